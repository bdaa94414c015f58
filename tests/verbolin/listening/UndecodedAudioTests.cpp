#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "platform/system/Date.hpp"
#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"
#include "verbolin/listening/DebugRecorder.hpp"
#include "verbolin/listening/UndecodedAudio.hpp"

using verbolin::UndecodedAudio;

namespace {

uint32_t le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(b[at + size_t(i)]);
    return v;
}
uint16_t le16(const std::string& b, size_t at) {
    return uint16_t(uint8_t(b[at]) | (uint8_t(b[at + 1]) << 8));
}

}  // namespace

// The header must say what a player needs to play the samples back exactly.
TEST(UndecodedAudio, WavHeaderDescribesSixteenKilohertzMonoPcmAndCarriesTheSamples) {
    const std::vector<std::vector<float>> inputs = {
        {}, {0.25f, -0.25f, 2.0f, std::nanf("")}, std::vector<float>(16000 * 3, 0.1f)};
    for (const auto& samples : inputs) {
        SCOPED_TRACE(samples.size());
        const std::string wav = UndecodedAudio::wav(samples);
        ASSERT_EQ(wav.size(), 44 + samples.size() * 2);
        EXPECT_EQ(wav.substr(0, 4), "RIFF");
        EXPECT_EQ(le32(wav, 4), wav.size() - 8);
        EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(le16(wav, 20), 1);  // PCM
        EXPECT_EQ(le16(wav, 22), 1);  // mono
        EXPECT_EQ(le32(wav, 24), 16000u);
        EXPECT_EQ(le32(wav, 28), 32000u);
        EXPECT_EQ(le16(wav, 34), 16);
        EXPECT_EQ(wav.substr(36, 4), "data");
        EXPECT_EQ(le32(wav, 40), samples.size() * 2);
        const auto pcm = verbolin::DebugRecorder::pcm16(samples);
        EXPECT_EQ(wav.substr(44), std::string(pcm.begin(), pcm.end()));
    }
}

TEST(UndecodedAudio, KeepNeverReplacesAFileAndReportsAnUnwritableFolder) {
    testsupport::TempDir tmp("verbolin-undecoded");
    const auto start = platform::dateFromSecondsSince1970(1714550000.0);
    const auto first = UndecodedAudio::keep(tmp / "kept", std::vector<float>{0.5f}, start);
    const auto second = UndecodedAudio::keep(tmp / "kept", std::vector<float>{-0.5f}, start);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.filename().string().find(':'), std::string::npos);
    EXPECT_EQ(testsupport::readFile(first), UndecodedAudio::wav(std::vector<float>{0.5f}));
    EXPECT_EQ(testsupport::readFile(second), UndecodedAudio::wav(std::vector<float>{-0.5f}));

    // A file where the folder should be (root may write anywhere else).
    std::ofstream(tmp / "taken") << "not a folder";
    EXPECT_THROW(UndecodedAudio::keep(tmp / "taken", std::vector<float>{0.5f}, start),
                 std::filesystem::filesystem_error);
    EXPECT_EQ(testsupport::readFile(tmp / "taken"), "not a folder");
}

// Audio kept on a full disk fails visibly and leaves nothing that could pass
// for a kept utterance: no truncated WAV, no empty claim of its name.
TEST(UndecodedAudio, KeepOnAFullDiskFailsAndLeavesNoFileBehind) {
    testsupport::SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    const auto start = platform::dateFromSecondsSince1970(1714550000.0);
    const std::vector<float> samples(16000 * 2, 0.25f);  // 64 KB, far more than is left
    const auto folder = disk / UndecodedAudio::kFolderName;
    for (const bool folderExists : {true, false}) {
        SCOPED_TRACE(folderExists ? "folder exists" : "folder is new");
        std::filesystem::remove_all(folder);
        if (folderExists) std::filesystem::create_directories(folder);
        disk.fill();
        try {
            UndecodedAudio::keep(folder, samples, start);
            ADD_FAILURE() << "kept on a full disk";
        } catch (const std::filesystem::filesystem_error& e) {
            EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
        }
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            ADD_FAILURE() << "left behind: " << entry.path();
        disk.makeRoom();
        const auto kept = UndecodedAudio::keep(folder, samples, start);
        EXPECT_EQ(testsupport::readFile(kept), UndecodedAudio::wav(samples));
    }
}
