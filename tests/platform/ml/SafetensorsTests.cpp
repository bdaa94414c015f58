#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "MLTestSupport.hpp"
#include "platform/ml/Float16.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/ml/SafetensorsFile.hpp"
#include "support/SmallDisk.hpp"

using namespace platform::ml;
using mltest::safetensorsBytes;

TEST(Safetensors, WritesAndMapsTensorsBack) {
    mltest::TempDir dir;
    const std::vector<float> a = {1, 2, 3, 4, 5, 6};
    const std::vector<Float16> b = {Float16(0.5f), Float16(-1.0f), Float16(3.0f)};
    writeSafetensors(dir.path() / "w.safetensors",
                     {{"a", "F32", {2, 3}, std::as_bytes(std::span(a))},
                      {"layers.0.b", "F16", {3}, std::as_bytes(std::span(b))}},
                     {{"format", "pt"}});
    auto st = SafetensorsFile::open(dir.path() / "w.safetensors");
    ASSERT_EQ(st->tensors().size(), 2u);
    const auto* ta = st->find("a");
    ASSERT_NE(ta, nullptr);
    EXPECT_EQ(ta->shape, (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(tensorToFloats(*ta), a);
    EXPECT_EQ(tensorToFloats(*st->find("layers.0.b")), (std::vector<float>{0.5f, -1.0f, 3.0f}));
    EXPECT_EQ(st->metadata().at("format"), "pt");
    EXPECT_EQ(st->find("missing"), nullptr);
    // The header is padded so the data section starts 8-byte aligned.
    const std::string bytes = mltest::readFile(dir.path() / "w.safetensors");
    std::uint64_t len = 0;
    std::memcpy(&len, bytes.data(), 8);
    EXPECT_EQ(len % 8, 0u);
}

// A 0 in a shape is legal and leaves the tensor without storage; reading it
// must not hand a null buffer to a copy (the sanitizer build stops on that).
TEST(Safetensors, EmptyTensorsOfEveryFloatTypeReadAsNoValues) {
    mltest::TempDir dir;
    std::vector<SafetensorsEntry> entries;
    for (const char* dtype : {"F32", "F16", "BF16", "F64"})
        entries.push_back({std::string("empty.") + dtype, dtype, {0, 5}, {}});
    entries.push_back({"empty.I8", "I8", {3, 0}, {}});
    writeSafetensors(dir.path() / "e.safetensors", entries);
    const auto st = SafetensorsFile::open(dir.path() / "e.safetensors");
    for (const char* dtype : {"F32", "F16", "BF16", "F64"}) {
        const auto* t = st->find(std::string("empty.") + dtype);
        ASSERT_NE(t, nullptr) << dtype;
        EXPECT_TRUE(tensorToFloats(*t).empty()) << dtype;
    }
    EXPECT_THROW(tensorToFloats(*st->find("empty.I8")), MLModelError);
}

TEST(Safetensors, RefusesTruncatedAndLyingFilesCleanly) {
    const std::string goodHeader = R"({"w":{"dtype":"F32","shape":[2],"data_offsets":[0,8]}})";
    const std::string data(8, '\x01');
    struct Case {
        const char* what;
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {"empty file", "", "no header length"},
        {"short length field", std::string(5, '\0'), "no header length"},
        {"header longer than the file", safetensorsBytes(goodHeader, data, goodHeader.size() + 100),
         "truncated"},
        {"implausible header length", safetensorsBytes(goodHeader, data, 1ull << 62),
         "implausible"},
        {"data cut short", safetensorsBytes(goodHeader, data.substr(0, 5)),
         "outside the 5-byte data section"},
        {"header not JSON", safetensorsBytes("{\"w\":", data), "not valid JSON"},
        {"header not an object", safetensorsBytes("[1,2]", data), "not a JSON object"},
        {"offsets past the end",
         safetensorsBytes(R"({"w":{"dtype":"F32","shape":[2],"data_offsets":[8,16]}})", data),
         "outside"},
        {"offsets reversed",
         safetensorsBytes(R"({"w":{"dtype":"F32","shape":[0],"data_offsets":[8,0]}})", data),
         "outside"},
        {"huge offsets",
         safetensorsBytes(
             R"({"w":{"dtype":"F32","shape":[2],"data_offsets":[18446744073709551608,18446744073709551615]}})",
             data),
         "outside"},
        {"shape does not match the byte range",
         safetensorsBytes(R"({"w":{"dtype":"F32","shape":[3],"data_offsets":[0,8]}})", data),
         "need 12"},
        {"shape product overflows",
         safetensorsBytes(
             R"({"w":{"dtype":"F32","shape":[4294967296,4294967296],"data_offsets":[0,8]}})", data),
         "need"},
        {"negative dimension",
         safetensorsBytes(R"({"w":{"dtype":"F32","shape":[-2],"data_offsets":[0,8]}})", data),
         "non-negative"},
        {"unknown dtype",
         safetensorsBytes(R"({"w":{"dtype":"F8","shape":[8],"data_offsets":[0,8]}})", data),
         "unknown dtype"},
        {"missing offsets", safetensorsBytes(R"({"w":{"dtype":"F32","shape":[2]}})", data),
         "data_offsets"},
        {"overlapping tensors",
         safetensorsBytes(
             R"({"a":{"dtype":"F32","shape":[2],"data_offsets":[0,8]},"b":{"dtype":"F32","shape":[1],"data_offsets":[4,8]}})",
             data),
         "overlap"},
        {"metadata not strings", safetensorsBytes(R"({"__metadata__":{"x":1}})", ""),
         "not a string"},
    };
    mltest::TempDir dir;
    for (const auto& c : cases) {
        const auto path = dir.path() / "bad.safetensors";
        mltest::writeFile(path, c.bytes);
        try {
            SafetensorsFile::open(path);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const MLModelError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find("bad.safetensors"), std::string::npos) << c.what;
        }
    }
    EXPECT_THROW(SafetensorsFile::open(dir.path() / "absent.safetensors"), MLModelError);
    EXPECT_THROW(SafetensorsFile::open(dir.path()), MLModelError);  // a folder, not a file
}

TEST(Safetensors, WriterRefusesInconsistentEntries) {
    mltest::TempDir dir;
    const std::vector<float> a = {1, 2, 3};
    EXPECT_THROW(
        writeSafetensors(dir.path() / "w", {{"a", "F32", {2, 2}, std::as_bytes(std::span(a))}}),
        MLModelError);
    EXPECT_THROW(
        writeSafetensors(dir.path() / "w", {{"a", "Q4", {3}, std::as_bytes(std::span(a))}}),
        MLModelError);
    EXPECT_THROW(
        writeSafetensors(dir.path() / "w", {{"a", "F32", {3}, std::as_bytes(std::span(a))},
                                            {"a", "F32", {3}, std::as_bytes(std::span(a))}}),
        MLModelError);
}

// Weights that do not fit: the error names the file and the reason, the
// file that was there stays whole, and no half-written temporary is left.
TEST(Safetensors, AFullDiskKeepsTheOldFileAndLeavesNoPartialOne) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    const auto file = disk / "w.safetensors";
    const std::vector<float> old = {1, 2, 3};
    writeSafetensors(file, {{"a", "F32", {3}, std::as_bytes(std::span(old))}});
    const std::vector<float> big(1 << 20, 0.5f);  // 4 MB on a 2 MB disk
    try {
        writeSafetensors(file, {{"a", "F32", {1 << 20}, std::as_bytes(std::span(big))}});
        ADD_FAILURE() << "written beyond the disk's size";
    } catch (const MLModelError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(file.string() + ":"), std::string::npos) << what;
        EXPECT_NE(what.find("No space left on device"), std::string::npos) << what;
    }
    EXPECT_EQ(tensorToFloats(*SafetensorsFile::open(file)->find("a")), old);
    EXPECT_FALSE(std::filesystem::exists(disk / "w.safetensors.partial"));
}
