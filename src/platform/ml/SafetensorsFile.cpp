#include "platform/ml/SafetensorsFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/ml/Float16.hpp"
#include "platform/ml/MLModelError.hpp"
#include "platform/system/JsonNesting.hpp"
#include "platform/system/WriteAll.hpp"

namespace platform::ml {

namespace {

// A header larger than this is not a weight file we wrote or could use.
constexpr std::uint64_t kMaxHeaderBytes = 100u << 20;

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what) {
    throw MLModelError(MLModelError::Code::io, path.string() + ": " + what);
}

bool checkedByteSize(const std::vector<std::int64_t>& shape, std::size_t elementBytes,
                     std::uint64_t& out) {
    std::uint64_t n = elementBytes;
    for (auto d : shape) {
        if (d < 0) return false;
        const auto u = static_cast<std::uint64_t>(d);
        if (u != 0 && n > std::numeric_limits<std::uint64_t>::max() / u) return false;
        n *= u;
    }
    out = n;
    return true;
}

}  // namespace

std::size_t safetensorsDtypeSize(const std::string& dtype) {
    static const std::map<std::string, std::size_t> sizes = {
        {"F64", 8},  {"I64", 8}, {"U64", 8}, {"F32", 4}, {"I32", 4}, {"U32", 4}, {"F16", 2},
        {"BF16", 2}, {"I16", 2}, {"U16", 2}, {"I8", 1},  {"U8", 1},  {"BOOL", 1}};
    auto it = sizes.find(dtype);
    return it == sizes.end() ? 0 : it->second;
}

std::shared_ptr<const SafetensorsFile> SafetensorsFile::open(const std::filesystem::path& path) {
    std::shared_ptr<SafetensorsFile> st(new SafetensorsFile());
    st->file_ = std::make_unique<MappedFile>(path);
    const std::byte* base = st->file_->data();
    const std::size_t size = st->file_->size();
    if (size < 8) fail(path, "file is truncated (no header length)");

    std::uint64_t headerLen = 0;
    for (int i = 7; i >= 0; --i) headerLen = (headerLen << 8) | static_cast<std::uint8_t>(base[i]);
    if (headerLen > kMaxHeaderBytes)
        fail(path, "header length " + std::to_string(headerLen) + " is implausible");
    if (headerLen > size - 8)
        fail(path, "file is truncated (header of " + std::to_string(headerLen) +
                       " bytes, file of " + std::to_string(size) + ")");

    const char* headerText = reinterpret_cast<const char*>(base + 8);
    nlohmann::json header;
    try {
        header = platform::parseJson(std::string_view(headerText, headerLen));
    } catch (const nlohmann::json::exception& e) {
        fail(path, std::string("header is not valid JSON (") + e.what() + ")");
    }
    if (!header.is_object()) fail(path, "header is not a JSON object");

    const std::byte* dataStart = base + 8 + headerLen;
    const std::uint64_t dataSize = size - 8 - headerLen;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;

    for (auto it = header.begin(); it != header.end(); ++it) {
        const std::string& name = it.key();
        const auto& entry = it.value();
        if (name == "__metadata__") {
            if (!entry.is_object()) fail(path, "__metadata__ is not an object");
            for (auto m = entry.begin(); m != entry.end(); ++m) {
                if (!m.value().is_string())
                    fail(path, "__metadata__ value \"" + m.key() + "\" is not a string");
                st->metadata_[m.key()] = m.value().get<std::string>();
            }
            continue;
        }
        const std::string where = "tensor \"" + name + "\"";
        if (!entry.is_object()) fail(path, where + " is not described by an object");
        auto dtypeIt = entry.find("dtype");
        auto shapeIt = entry.find("shape");
        auto offsetsIt = entry.find("data_offsets");
        if (dtypeIt == entry.end() || !dtypeIt->is_string()) fail(path, where + " has no dtype");
        if (shapeIt == entry.end() || !shapeIt->is_array()) fail(path, where + " has no shape");
        if (offsetsIt == entry.end() || !offsetsIt->is_array() || offsetsIt->size() != 2)
            fail(path, where + " has no data_offsets pair");

        SafetensorsTensor t;
        t.name = name;
        t.dtype = dtypeIt->get<std::string>();
        const std::size_t elementBytes = safetensorsDtypeSize(t.dtype);
        if (elementBytes == 0) fail(path, where + " has unknown dtype \"" + t.dtype + "\"");
        for (const auto& d : *shapeIt) {
            if (!d.is_number_unsigned())
                fail(path, where + " has a shape entry that is not a non-negative integer");
            const auto v = d.get<std::uint64_t>();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                fail(path, where + " has an impossible shape");
            t.shape.push_back(static_cast<std::int64_t>(v));
        }
        for (const auto& o : *offsetsIt)
            if (!o.is_number_unsigned())
                fail(path, where + " has data_offsets that are not non-negative integers");
        const auto begin = (*offsetsIt)[0].get<std::uint64_t>();
        const auto end = (*offsetsIt)[1].get<std::uint64_t>();
        if (begin > end || end > dataSize)
            fail(path, where + " data offsets [" + std::to_string(begin) + ", " +
                           std::to_string(end) + "] lie outside the " + std::to_string(dataSize) +
                           "-byte data section");
        std::uint64_t expected = 0;
        if (!checkedByteSize(t.shape, elementBytes, expected) || expected != end - begin)
            fail(path, where + " covers " + std::to_string(end - begin) +
                           " bytes but its shape and dtype need " + std::to_string(expected));
        t.data = {dataStart + begin, static_cast<std::size_t>(end - begin)};
        ranges.emplace_back(begin, end);
        st->index_[name] = st->tensors_.size();
        st->tensors_.push_back(std::move(t));
    }

    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i].first < ranges[i - 1].second) fail(path, "tensor data ranges overlap");
    return st;
}

const SafetensorsTensor* SafetensorsFile::find(const std::string& name) const {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : &tensors_[it->second];
}

void writeSafetensors(const std::filesystem::path& path,
                      const std::vector<SafetensorsEntry>& tensors,
                      const std::map<std::string, std::string>& metadata) {
    nlohmann::json header = nlohmann::json::object();
    if (!metadata.empty()) header["__metadata__"] = metadata;
    std::uint64_t offset = 0;
    for (const auto& t : tensors) {
        std::uint64_t bytes = 0;
        const std::size_t elementBytes = safetensorsDtypeSize(t.dtype);
        if (elementBytes == 0 || !checkedByteSize(t.shape, elementBytes, bytes) ||
            bytes != t.data.size())
            throw MLModelError(MLModelError::Code::io,
                               "Tensor \"" + t.name + "\" has inconsistent dtype, shape and data");
        if (header.contains(t.name))
            throw MLModelError(MLModelError::Code::io, "Tensor \"" + t.name + "\" written twice");
        header[t.name] = {
            {"dtype", t.dtype}, {"shape", t.shape}, {"data_offsets", {offset, offset + bytes}}};
        offset += bytes;
    }
    std::string text = header.dump();
    // Pad with spaces so that the data section starts 8-byte aligned.
    text.append((8 - (text.size() % 8)) % 8, ' ');

    std::filesystem::path tmp = path;
    tmp += ".partial";
    // The system's reason reaches the message: "No space left on device"
    // tells the user what to do, a bare "Cannot write" does not.
    const auto cannotWrite = [&](int err) {
        ::unlink(tmp.c_str());  // a half-written file is of no use to anyone
        return MLModelError(MLModelError::Code::io,
                            "Cannot write " + path.string() + ": " + std::strerror(err));
    };
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw cannotWrite(errno);
    std::uint64_t len = text.size();
    char lenBytes[8];
    for (int i = 0; i < 8; ++i) lenBytes[i] = static_cast<char>((len >> (8 * i)) & 0xFF);
    int err = platform::writeAll(fd, lenBytes, 8);
    if (err == 0) err = platform::writeAll(fd, text.data(), text.size());
    for (const auto& t : tensors)
        if (err == 0) err = platform::writeAll(fd, t.data.data(), t.data.size());
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) throw cannotWrite(err);
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        ::unlink(tmp.c_str());
        throw MLModelError(MLModelError::Code::io,
                           "Cannot write " + path.string() + ": " + ec.message());
    }
}

}  // namespace platform::ml

namespace platform::ml {

std::vector<float> tensorToFloats(const SafetensorsTensor& t) {
    const std::size_t elementBytes = safetensorsDtypeSize(t.dtype);
    const std::size_t n = elementBytes ? t.data.size() / elementBytes : 0;
    std::vector<float> out(n);
    const std::byte* p = t.data.data();
    // An empty tensor (a 0 in its shape) has no storage to copy to or from:
    // memcpy must not be handed the null pointers.
    if (t.dtype == "F32") {
        if (n > 0) std::memcpy(out.data(), p, n * 4);
    } else if (t.dtype == "F16") {
        if (n == 0) return out;
        std::vector<Float16> tmp(n);
        std::memcpy(tmp.data(), p, n * 2);
        convertHalfToFloat(tmp.data(), out.data(), n);
    } else if (t.dtype == "BF16") {
        for (std::size_t i = 0; i < n; ++i) {
            std::uint16_t b;
            std::memcpy(&b, p + 2 * i, 2);
            const std::uint32_t u = static_cast<std::uint32_t>(b) << 16;
            std::memcpy(&out[i], &u, 4);
        }
    } else if (t.dtype == "F64") {
        for (std::size_t i = 0; i < n; ++i) {
            double d;
            std::memcpy(&d, p + 8 * i, 8);
            out[i] = static_cast<float>(d);
        }
    } else {
        throw MLModelError(MLModelError::Code::io,
                           "Tensor \"" + t.name + "\" is " + t.dtype + ", not floating point");
    }
    return out;
}

}  // namespace platform::ml
