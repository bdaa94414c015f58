// Loading real files of every common kind, made with ffmpeg at test time:
// frame counts, channel selection, signal content, time ranges, and hostile
// files.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/audio/AudioFile.hpp"
#include "support/GeneratedAudio.hpp"
#include "support/HostileAudio.hpp"
#include "support/ProcessMemory.hpp"

namespace {

using auralith::AudioProcessor;
using auralith::WhisperError;
using ChannelMode = auralith::AudioInputOptions::ChannelMode;
using namespace testsupport;

class AudioFileLoading : public auralith::testing::LogCaptureTest {
  protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>("verbolin-audio");
        // Left 440 Hz at 0.5, right 1000 Hz at 0.25.
        const std::string stereo = sine(440, 0.5) + "|" + sine(1000, 0.25);
        makeAudio(*dir_ / "stereo44.wav", stereo, 44100, 3, "-c:a pcm_f32le");
        makeAudio(*dir_ / "mono16.wav", sine(440, 0.5), 16000, 3, "-c:a pcm_f32le");
    }
    static void TearDownTestSuite() { dir_.reset(); }
    static std::string path(const std::string& name) { return (*dir_ / name).string(); }

    static std::unique_ptr<TempDir> dir_;
};
std::unique_ptr<TempDir> AudioFileLoading::dir_;

TEST_F(AudioFileLoading, EveryContainerLoadsAs16kMonoWithItsContent) {
    const struct {
        const char* name;
        int rate;
        std::string expression;
        std::string codec;
        double hz;        // of the folded signal
        double rmsLevel;  // of the folded signal
        long frameSlack;  // encoder padding the container may add or drop
    } cases[] = {
        {"a.wav", 44100, sine(440, 0.5), "-c:a pcm_s16le", 440, 0.354, 0},
        {"b.wav", 48000, sine(1000, 0.5) + "|" + sine(1000, 0.5), "-c:a pcm_s24le", 1000, 0.354, 0},
        {"c.wav", 8000, sine(300, 0.5), "-c:a pcm_u8", 300, 0.354, 0},
        {"d.flac", 44100, sine(440, 0.5) + "|" + sine(440, 0.5), "-c:a flac", 440, 0.354, 0},
        {"e.mp3", 44100, sine(440, 0.5) + "|" + sine(440, 0.5), "-c:a libmp3lame -b:a 128k", 440,
         0.354, 1200},
        {"f.ogg", 48000, sine(440, 0.5), "-c:a libopus -b:a 64k", 440, 0.354, 1200},
        {"g.m4a", 44100, sine(440, 0.5) + "|" + sine(440, 0.5), "-c:a aac -b:a 128k", 440, 0.354,
         1200},
        {"h.ogg", 22050, sine(440, 0.5), "-c:a libvorbis", 440, 0.354, 1200},
    };
    for (const auto& c : cases) {
        makeAudio(*dir_ / c.name, c.expression, c.rate, 2.0, c.codec);
        const auto samples =
            AudioProcessor::loadAudioAsFloatArray(path(c.name), ChannelMode::sumChannels());
        EXPECT_NEAR(double(samples.size()), 32000, double(c.frameSlack) + 2) << c.name;
        EXPECT_NEAR(zeroCrossingHz(samples, 16000), c.hz, c.hz * 0.02) << c.name;
        EXPECT_NEAR(rms(samples, 1600, samples.size() - 1600), c.rmsLevel, 0.03) << c.name;
    }
}

TEST_F(AudioFileLoading, AudioTrackOfAVideoFileLoads) {
    const std::string video = path("clip.mp4");
    runTool(
        "ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc=size=64x48:rate=10:d=2 -f lavfi -i "
        "'aevalsrc=" +
        sine(440, 0.5) + ":s=44100:d=2' -c:v mpeg4 -c:a aac -shortest '" + video + "'");
    const auto samples = AudioProcessor::loadAudioAsFloatArray(video, ChannelMode::sumChannels());
    EXPECT_NEAR(double(samples.size()), 32000, 1200);
    EXPECT_NEAR(zeroCrossingHz(samples, 16000), 440, 9);
}

TEST_F(AudioFileLoading, ChannelModesSelectAndFoldChannels) {
    capture(vortil::Logging::LogLevel::debug);
    const struct {
        ChannelMode mode;
        double hz;  // 0: a mixture, not checked
        double peakLevel;
        bool fallbackLogged;
    } cases[] = {
        {ChannelMode::specificChannel(0), 440, 0.5, false},
        {ChannelMode::specificChannel(1), 1000, 0.25, false},
        {ChannelMode::specificChannel(5), 440, 0.5, false},
        {ChannelMode::specificChannel(-1), 440, 0.5, false},
        {ChannelMode::sumChannels(), 0, 0.5, false},  // rescaled to the loudest channel's peak
        {ChannelMode::sumChannels(std::vector<int64_t>{}), 0, 0.5, false},
        {ChannelMode::sumChannels(std::vector<int64_t>{1}), 1000, 0.25, false},
        {ChannelMode::sumChannels(std::vector<int64_t>{1, 1, 9}), 1000, 0.25, false},
        {ChannelMode::sumChannels(std::vector<int64_t>{7, 9}), 440, 0.5, true},
    };
    for (const auto& c : cases) {
        taken();
        const auto samples = AudioProcessor::loadAudioAsFloatArray(path("stereo44.wav"), c.mode);
        EXPECT_EQ(samples.size(), 48000u);
        if (c.hz > 0) {
            EXPECT_NEAR(zeroCrossingHz(samples, 16000), c.hz, c.hz * 0.02)
                << c.mode.toJSON().dump();
        }
        // Each 30 s read is resampled on its own; the filter may overshoot a little.
        EXPECT_NEAR(peak(samples), c.peakLevel, 0.02) << c.mode.toJSON().dump();
        bool logged = false;
        for (const auto& m : taken())
            logged = logged ||
                     m.find("No valid channel indices provided, defaulting to first channel") !=
                         std::string::npos;
        EXPECT_EQ(logged, c.fallbackLogged) << c.mode.toJSON().dump();
    }
}

TEST_F(AudioFileLoading, SixteenKilohertzMonoIsReadUnchangedInEveryMode) {
    // The reference: the file's own float samples, read by ffmpeg itself.
    const std::string raw = path("mono16.f32");
    runTool("ffmpeg -nostdin -y -loglevel error -i '" + path("mono16.wav") + "' -f f32le '" + raw +
            "'");
    std::ifstream in(raw, std::ios::binary);
    std::vector<float> expected(48000);
    in.read(reinterpret_cast<char*>(expected.data()),
            std::streamsize(expected.size() * sizeof(float)));
    ASSERT_EQ(in.gcount(), std::streamsize(48000 * sizeof(float)));
    for (const auto& mode : {ChannelMode::sumChannels(), ChannelMode::specificChannel(3)})
        EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path("mono16.wav"), mode), expected);
}

TEST_F(AudioFileLoading, TimeRangesAreClampedAndBadOnesRefused) {
    const auto whole =
        AudioProcessor::loadAudioAsFloatArray(path("mono16.wav"), ChannelMode::sumChannels());
    const struct {
        std::optional<double> start, end;
        size_t from, count;  // the expected slice of the whole file
    } ranges[] = {
        {0.5, 1.5, 8000, 16000},
        {2.0, 10.0, 32000, 16000},
        {1.0, 1.0, 16000, 0},
        {2.0, 1.0, 32000, 0},
        {7.0, 9.0, 48000, 0},
        {std::nullopt, 0.25, 0, 4000},
        {2.75, std::nullopt, 44000, 4000},
    };
    for (const auto& r : ranges) {
        const auto part = AudioProcessor::loadAudioAsFloatArray(
            path("mono16.wav"), ChannelMode::sumChannels(), r.start, r.end);
        ASSERT_EQ(part.size(), r.count) << r.start.value_or(-1) << ".." << r.end.value_or(-1);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + long(r.from)));
        // The buffer form clamps the same way.
        EXPECT_EQ(AudioProcessor::loadAudioFromPath(path("mono16.wav"), ChannelMode::sumChannels(),
                                                    r.start, r.end)
                      .frameLength(),
                  r.count);
    }
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    const std::pair<std::optional<double>, std::optional<double>> bad[] = {
        {-1.0, 1.0}, {nan, 1.0}, {0.0, nan}, {inf, 1.0}, {0.0, -inf}};
    for (const auto& [start, end] : bad) {
        EXPECT_THROW(AudioProcessor::loadAudioFromPath(path("stereo44.wav"),
                                                       ChannelMode::sumChannels(), start, end),
                     WhisperError);
        EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray(path("stereo44.wav"),
                                                           ChannelMode::sumChannels(), start, end),
                     WhisperError);
    }
    EXPECT_THROW(AudioProcessor::loadAudioFromPath(path("stereo44.wav"), ChannelMode::sumChannels(),
                                                   0.0, 1.0, 0u),
                 WhisperError);
}

TEST_F(AudioFileLoading, CompressedFilesAreCutAtTheExactFrame) {
    // Silence with one click at 7.5 s: a range starting at 7 s must hold it at
    // 0.5 s, whatever the decoder had to do to get to 7 s.
    const std::string click = "if(between(t\\,7.5\\,7.502)\\,0.8\\,0)";
    const struct {
        const char* name;
        std::string codec;
        long slack;  // samples of codec smearing allowed around the click
    } cases[] = {
        {"click.wav", "-c:a pcm_s16le", 2},
        {"click.flac", "-c:a flac", 2},
        {"click.mp3", "-c:a libmp3lame -b:a 128k", 40},
        {"click.m4a", "-c:a aac -b:a 128k", 40},
        {"click.ogg", "-c:a libopus -b:a 96k", 40},
    };
    for (const auto& c : cases) {
        makeAudio(*dir_ / c.name, click, c.name == std::string("click.ogg") ? 48000 : 44100, 12,
                  c.codec);
        for (double start : {7.0, 2.0}) {
            const auto part = AudioProcessor::loadAudioAsFloatArray(
                path(c.name), ChannelMode::sumChannels(), start, start + 8);
            const auto loudest = std::max_element(part.begin(), part.end(), [](float a, float b) {
                return std::fabs(a) < std::fabs(b);
            });
            const long at = long(loudest - part.begin());
            EXPECT_NEAR(double(at), (7.5 - start) * 16000 + 16, double(c.slack) + 16)
                << c.name << " from " << start;
        }
    }
}

// A file read from any frame gives what reading it straight through gives,
// whichever way the reader got there: a file sought into before anything
// was decoded, a seek back to near the start (decoded from the start again),
// a seek far ahead. Two ways this went wrong: WAV files of other codecs than
// PCM, whose timestamps the demuxer works out from a byte rate such headers
// need not state exactly (ffmpeg's own ADPCM at 16 kHz says 16,000 bytes/s
// for 8,047), landed on other frames or met an early end taken for the real
// one; and Opus lost its priming (312 frames) from whatever frame came first
// after opening, so a file sought into first was off one way and one decoded
// from the start again was off the other. And a 16 kHz MP3 decoded from the
// start again lost its first frame and most of its priming.
TEST_F(AudioFileLoading, EveryKindOfFileReadsFromAnywhereAsStraightThrough) {
    const std::string chirp = "0.5*sin(2*PI*(200+300*t)*t)";
    const struct {
        const char* name;
        std::string codec;
        int rate;
        // A decoder that starts a little before the frame (as a seek does)
        // only converges on the state it would have had: off by this much.
        float tolerance;
    } cases[] = {
        {"chirp-adpcm_ms.wav", "-c:a adpcm_ms", 16000, 0.0f},
        {"chirp-adpcm_ima.wav", "-c:a adpcm_ima_wav", 16000, 0.0f},
        {"chirp-gsm.wav", "-c:a gsm_ms", 8000, 0.0f},
        {"chirp.ogg", "-c:a libopus -b:a 96k", 48000, 0.01f},
        {"chirp.mp3", "-c:a libmp3lame -b:a 128k", 44100, 0.01f},
        // Frames of 576 samples, shorter than the priming of 1105.
        {"chirp16.mp3", "-c:a libmp3lame -b:a 32k", 16000, 0.01f},
        {"chirp.m4a", "-c:a aac -b:a 128k", 44100, 0.01f},
        {"chirp.flac", "-c:a flac", 44100, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        makeAudio(*dir_ / c.name, chirp, c.rate, 14, c.codec);
        std::vector<float> straight;
        {
            platform::AudioFile file(path(c.name));
            platform::PCMBuffer buffer(file.processingFormat(), 4096);
            while (const auto n = file.read(buffer, 4096))
                straight.insert(straight.end(), buffer.floatChannelData()[0],
                                buffer.floatChannelData()[0] + n);
            ASSERT_EQ(file.length(), int64_t(straight.size()));
        }
        const auto length = int64_t(straight.size());
        platform::AudioFile file(path(c.name));  // nothing decoded yet: sought into first
        platform::PCMBuffer buffer(file.processingFormat(), 2048);
        for (const double at : {0.9, 0.02, 0.6, 0.45, 0.05, 0.99}) {
            const auto frame = int64_t(at * double(length));
            file.setFramePosition(frame);
            const auto n = file.read(buffer, 2048);
            ASSERT_EQ(n, std::min<int64_t>(2048, length - frame)) << "from " << frame;
            float worst = 0;
            for (uint32_t i = 0; i < n; ++i)
                worst = std::max(worst, std::fabs(buffer.floatChannelData()[0][i] -
                                                  straight[size_t(frame) + i]));
            EXPECT_LE(worst, c.tolerance) << "from " << frame;
            // An early end taken for the real one shortened it.
            EXPECT_GE(file.length(), frame + int64_t(n));
        }
    }
}

// Worst difference between `got` and the stretch of `reference` from `from`.
float worstDifference(const float* got, size_t count, const std::vector<float>& reference,
                      size_t from) {
    float worst = 0;
    for (size_t i = 0; i < count; ++i)
        worst = std::max(worst, std::fabs(got[i] - reference.at(from + i)));
    return worst;
}

// A header's length is a hint: a file whose header claims a third of what
// it holds (or less) loads to the real end, as ffmpeg decodes it, whether
// read whole, from the middle of a file nothing was read from yet, or after
// seeks; its length follows the real one, and no read or seek puts the
// position outside [0, length].
TEST_F(AudioFileLoading, HeadersClaimingLessThanTheFileHoldsAreReadToTheRealEnd) {
    for (const auto& f : underclaimingFiles(dir_->path())) {
        SCOPED_TRACE(f.name);
        const std::string file = path(f.name);
        std::ofstream(file, std::ios::binary) << f.bytes;
        const auto reference = ffmpegDecode(file, dir_->path());
        const auto frames = int64_t(reference.size());
        ASSERT_GE(frames, 12000);

        const auto whole = AudioProcessor::loadAudioAsFloatArray(file, ChannelMode::sumChannels());
        ASSERT_EQ(whole.size(), reference.size());
        EXPECT_LE(worstDifference(whole.data(), whole.size(), reference, 0), f.tolerance);
        auto buffer = AudioProcessor::loadAudioFromPath(file, ChannelMode::sumChannels());
        EXPECT_EQ(buffer.frameLength(), reference.size());
        EXPECT_EQ(AudioProcessor().loadAudioAsync(file).get().frameLength(), reference.size());
        // A range that starts before the claimed end and ends after it.
        const auto range = AudioProcessor::loadAudioAsFloatArray(file, ChannelMode::sumChannels(),
                                                                 0.1, double(frames) / 16000 - 0.1);
        ASSERT_EQ(range.size(), reference.size() - 3200);
        EXPECT_LE(worstDifference(range.data(), range.size(), reference, 1600), f.tolerance);

        platform::AudioFile audio(file);
        // Before anything is read: the packets' count, less the priming. The
        // encoder's end padding, when the header's is not the real end, is
        // known only once the end is met (an MP3's 431 frames here).
        EXPECT_NEAR(double(audio.length()), double(frames), 1152);
        platform::PCMBuffer block(audio.processingFormat(), 1000);
        auto positionInRange = [&] {
            EXPECT_GE(audio.framePosition(), 0);
            EXPECT_LE(audio.framePosition(), audio.length());
        };
        for (const double at : {0.6, 0.9, 0.1, 0.5}) {
            const int64_t frame = int64_t(at * double(frames));
            audio.setFramePosition(frame);
            positionInRange();
            ASSERT_EQ(audio.framePosition(), frame);
            const uint32_t n = audio.read(block, 1000);
            positionInRange();
            ASSERT_EQ(n, std::min<int64_t>(1000, frames - frame)) << "from " << frame;
            EXPECT_LE(worstDifference(block.floatChannelData()[0], n, reference, size_t(frame)),
                      f.tolerance)
                << "from " << frame;
        }
        // The fuzzer's reads: straight on to the end, then beyond it.
        audio.setFramePosition(0);
        int64_t total = 0;
        while (const uint32_t n = audio.read(block, 1000)) {
            total += n;
            positionInRange();
        }
        EXPECT_EQ(total, frames);
        EXPECT_EQ(audio.length(), frames);
        audio.setFramePosition(frames + 10);
        positionInRange();
        EXPECT_EQ(audio.read(block, 16), 0u);
    }
}

TEST_F(AudioFileLoading, LongFilesAreResampledInBoundedReads) {
    capture(vortil::Logging::LogLevel::debug);
    makeAudio(*dir_ / "long.wav", sine(440, 0.5) + "|" + sine(440, 0.5), 44100, 90,
              "-c:a pcm_s16le");
    platform::AudioFile file(path("long.wav"));
    const auto buffer = AudioProcessor::loadAudioFromFile(file, ChannelMode::sumChannels());
    EXPECT_LE(buffer.frameLength(), 1440000u);
    EXPECT_GE(buffer.frameLength(), 1440000u - 3);
    std::vector<std::string> reads;
    for (const auto& m : taken())
        if (m.rfind("Resampling ", 0) == 0 && m.find(" - ") != std::string::npos)
            reads.push_back(m);
    EXPECT_EQ(reads,
              (std::vector<std::string>{"Resampling 0.00s - 30.00s", "Resampling 30.00s - 60.00s",
                                        "Resampling 60.00s - 90.00s"}));
}

TEST_F(AudioFileLoading, MissingPathsAreReportedByEveryEntryPoint) {
    const std::string missing = path("nothing-here.wav");
    const std::string expected = "Resource path does not exist " + missing;
    auto messageOf = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const WhisperError& e) {
            return e.kind() == WhisperError::Kind::loadAudioFailed ? e.message() : "wrong kind";
        }
        return "no error";
    };
    EXPECT_EQ(
        messageOf([&] { AudioProcessor::loadAudioFromPath(missing, ChannelMode::sumChannels()); }),
        expected);
    EXPECT_EQ(messageOf([&] {
                  AudioProcessor::loadAudioAsFloatArray(missing, ChannelMode::sumChannels());
              }),
              expected);
    EXPECT_EQ(messageOf([&] { AudioProcessor().loadAudioAsync(missing).get(); }), expected);

    const auto results = AudioProcessor().loadAudio(
        std::vector<std::string>{missing, path("mono16.wav")}, ChannelMode::sumChannels());
    ASSERT_EQ(results.size(), 2u);
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(results[0]));
    EXPECT_EQ(messageOf([&] { std::rethrow_exception(std::get<std::exception_ptr>(results[0])); }),
              expected);
    ASSERT_TRUE(std::holds_alternative<std::vector<float>>(results[1]));
    EXPECT_EQ(std::get<std::vector<float>>(results[1]).size(), 48000u);
    EXPECT_EQ(AudioProcessor().loadAudioAsync(path("stereo44.wav")).get().frameLength(), 48000u);
}

// A RIFF/WAVE header for 16-bit PCM with the given fields, followed by `dataBytes` bytes.
std::string wavFile(uint16_t channels, uint32_t rate, uint32_t claimedDataBytes,
                    uint32_t dataBytes) {
    std::string s;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xff));
    };
    auto u16 = [&](uint16_t v) {
        for (int i = 0; i < 2; ++i) s.push_back(char((v >> (8 * i)) & 0xff));
    };
    s += "RIFF";
    u32(36 + claimedDataBytes);
    s += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2);
    u16(uint16_t(channels * 2));
    u16(16);
    s += "data";
    u32(claimedDataBytes);
    for (uint32_t i = 0; i < dataBytes; ++i) s.push_back(char((i * 37) & 0x7f));
    return s;
}

TEST_F(AudioFileLoading, HostileFilesGiveClearErrorsOrWhatAudioTheyHold) {
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    };
    const std::string mp3 =
        makeAudio(*dir_ / "full.mp3", sine(440, 0.5), 44100, 4, "-c:a libmp3lame").string();
    std::string mp3Bytes = readFile(mp3);
    const auto aiff = makeAudio(*dir_ / "full.aiff", sine(440, 0.5), 16000, 1, "-c:a pcm_s16be");
    std::filesystem::create_directories(path("folder.wav"));
    runTool("ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc=size=32x32:d=1 -frames:v 1 '" +
            path("image.png") + "'");

    // A file of `size` bytes that starts with `header`, the rest a hole: as
    // long as a real one to the loaders, without the disk it would take.
    auto sparse = [&](const std::string& name, const std::string& header, uintmax_t size) {
        write(name, header);
        std::filesystem::resize_file(path(name), size);
        return path(name);
    };

    const struct {
        std::string file;
        long expectedSamples;   // -1: must fail with a message
        const char* says = "";  // what the message says is wrong
        bool asBuffer = false;  // loaded whole into one buffer rather than an array
    } cases[] = {
        {write("text.wav", "This is not audio at all, only words.\n"), -1},
        {write("empty.wav", ""), -1},
        {write("header-only.mp3", mp3Bytes.substr(0, 300)), -1},
        {write("half.mp3", mp3Bytes.substr(0, mp3Bytes.size() / 2)), 32000},
        {write("overclaim.wav", wavFile(1, 16000, 16000 * 2 * 10, 16000 * 2)), 16000},
        {write("no-channels.wav", wavFile(0, 16000, 3200, 3200)), -1},
        {write("no-rate.wav", wavFile(1, 0, 3200, 3200)), -1},
        {write("many-channels.wav", wavFile(4000, 16000, 8000 * 10, 8000 * 10)), -1},
        {write("2ghz.wav", wavFile(1, 2000000000, 3200, 3200)), -1},
        {write("1536khz.wav", wavFile(1, 1536000, 1536000 * 2, 1536000 * 2)), 16000},
        // Each sample of a 1 Hz file would become 16000.
        {write("1hz.wav", wavFile(1, 1, 3200, 3200)), -1},
        {write("999hz.wav", wavFile(1, 999, 3200, 3200)), -1},
        {write("1khz.wav", wavFile(1, 1000, 2000, 2000)), 16000},
        // Refused by the demuxer with a bare -1 ("Operation not permitted").
        {write("claims-4g-frames.aiff", aiffWithFrameCount(readFile(aiff), 0xFFFFFFFFu)), -1,
         "its header claims 4294967295 frames of audio, more than the file's"},
        {path("image.png"), -1},
        {path("folder.wav"), -1},
        // 2 GiB of 16-bit audio at 1 kHz: more than one buffer holds at 16 kHz.
        {sparse("298h-at-1khz.wav", wavFile(1, 1000, 0x80000000u, 0), 44 + 0x80000000ull), -1,
         "is too long to load whole: 298.3 hours, at most 74.6 hours", true},
    };
    for (const auto& c : cases) {
        try {
            const auto samples = [&] {
                if (!c.asBuffer)
                    return AudioProcessor::loadAudioAsFloatArray(c.file,
                                                                 ChannelMode::sumChannels());
                auto buffer = AudioProcessor::loadAudioFromPath(c.file, ChannelMode::sumChannels());
                return AudioProcessor::convertBufferToArray(buffer);
            }();
            EXPECT_GE(c.expectedSamples, 0) << c.file << " loaded " << samples.size() << " samples";
            EXPECT_NEAR(double(samples.size()), double(c.expectedSamples), 2000) << c.file;
        } catch (const std::exception& e) {
            EXPECT_EQ(c.expectedSamples, -1) << c.file << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(std::filesystem::path(c.file).filename().string()),
                      std::string::npos)
                << "the error names the file: " << e.what();
        }
    }
}

// The byte rate and frame size of a WAV header are redundant, and damaged
// ones used to split frames between packets and send seeks to other frames
// than they named: a range that starts more than the decoder reads ahead into
// the file must still hold what is there.
TEST_F(AudioFileLoading, AWavWhoseByteRateOrFrameSizeLiesIsCutAtTheExactFrame) {
    constexpr uint32_t kRate = 16000;
    constexpr uint32_t kFrames = kRate * 25;
    constexpr uint32_t kClick = kRate * 41 / 2;  // 20.5 s
    const struct {
        uint32_t byteRate;
        uint16_t frameBytes;
    } headers[] = {{1000, 2}, {kRate * 2, 2}, {kRate * 7, 2}, {kRate * 2, 3}, {1000, 35}};
    for (const auto& h : headers) {
        std::string bytes = wavFile(1, kRate, kFrames * 2, 0);
        auto put = [&](size_t at, uint32_t v, int n) {
            for (int i = 0; i < n; ++i) bytes[at + size_t(i)] = char((v >> (8 * i)) & 0xff);
        };
        put(28, h.byteRate, 4);
        put(32, h.frameBytes, 2);
        for (uint32_t i = 0; i < kFrames; ++i) {
            const int16_t v = i >= kClick && i < kClick + 32 ? 26000 : 0;
            bytes.push_back(char(v & 0xff));
            bytes.push_back(char((v >> 8) & 0xff));
        }
        const std::string file = path("liar-" + std::to_string(h.byteRate) + "-" +
                                      std::to_string(h.frameBytes) + ".wav");
        std::ofstream(file, std::ios::binary) << bytes;
        for (double start : {20.0, 14.0}) {
            const auto part =
                AudioProcessor::loadAudioAsFloatArray(file, ChannelMode::sumChannels(), start, 24);
            const auto loudest = std::max_element(part.begin(), part.end(), [](float a, float b) {
                return std::fabs(a) < std::fabs(b);
            });
            ASSERT_NE(loudest, part.end()) << file << " from " << start;
            EXPECT_GT(std::fabs(*loudest), 0.5f) << file << " from " << start;
            EXPECT_NEAR(double(loudest - part.begin()), (20.5 - start) * kRate, 4)
                << file << " from " << start;
        }
    }
}

// Samples that are not numbers would spoil every spectrogram window they
// fall in: they load as silence, and the log says so, naming the file.
TEST_F(AudioFileLoading, NonFiniteSamplesLoadAsSilenceWithAWarning) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> samples(16000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * std::sin(float(i) * 0.1f);
    const size_t bad[] = {0, 1, 777, 8000, 15999};
    samples[0] = nan;
    samples[1] = -nan;
    samples[777] = inf;
    samples[8000] = -inf;
    samples[15999] = nan;
    const std::string file = path("nan.wav");
    std::ofstream(file, std::ios::binary) << floatWav(16000, samples);

    capture(vortil::Logging::LogLevel::error);
    const auto loaded = AudioProcessor::loadAudioAsFloatArray(file, ChannelMode::sumChannels());
    ASSERT_EQ(loaded.size(), samples.size());
    for (size_t i = 0; i < loaded.size(); ++i) {
        const bool replaced = std::find(std::begin(bad), std::end(bad), i) != std::end(bad);
        ASSERT_EQ(loaded[i], replaced ? 0.0f : samples[i]) << i;
    }
    const auto messages = taken();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(file), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find(" 5 samples"), std::string::npos) << messages[0];

    // Resampled, a NaN would smear over its neighbours: nothing of it is left.
    const std::string file44 = path("nan44.wav");
    std::ofstream(file44, std::ios::binary) << floatWav(44100, samples);
    const auto resampled =
        AudioProcessor::loadAudioFromPath(file44, ChannelMode::sumChannels(), 0.0, std::nullopt);
    ASSERT_GT(resampled.frameLength(), 5000u);
    for (uint32_t i = 0; i < resampled.frameLength(); ++i)
        ASSERT_TRUE(std::isfinite(resampled.floatChannelData()[0][i])) << i;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

[[noreturn]] void quit(int code, const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::fflush(stderr);
    std::_Exit(code);
}

// Run in a child process: loads the file through every whole-file entry
// point and exits 0 when each gave at most `maxSamples` samples or a load
// failure, without a memory error and within `budgetMiB` of resident
// memory (which includes the codecs' first-use tables, about 7 MiB, and the
// background load's own thread). Outside the sanitizers the child's address space is limited too,
// so that a loader asking for gigabytes fails at once instead of taking them.
void loadWithinBudget(const std::string& file, size_t maxSamples, long budgetMiB) {
    if (!kSanitized) {
        const rlimit limit{rlim_t(statusKiB("VmSize:") + 2048 * 1024) * 1024,
                           rlim_t(statusKiB("VmSize:") + 2048 * 1024) * 1024};
        ::setrlimit(RLIMIT_AS, &limit);
    }
    testsupport::restartPeakCount();
    const long base = statusKiB("VmRSS:");
    auto check = [&](const char* how, auto&& load) {
        try {
            const size_t got = load();
            if (got > maxSamples)
                quit(1, std::string(how) + " gave " + std::to_string(got) + " samples");
        } catch (const std::bad_alloc&) {
            quit(2, std::string(how) + ": std::bad_alloc escaped");
        } catch (const WhisperError&) {
            // A load failure told as one: what these files deserve.
        } catch (const platform::AudioFileError&) {
            // A file refused when opened, naming it: as good.
        } catch (const std::exception& e) {
            quit(3, std::string(how) + ": not a load failure: " + e.what());
        }
    };
    check("as an array", [&] {
        return AudioProcessor::loadAudioAsFloatArray(file, ChannelMode::sumChannels()).size();
    });
    check("as a buffer", [&] {
        return size_t(
            AudioProcessor::loadAudioFromPath(file, ChannelMode::sumChannels()).frameLength());
    });
    check("in the background",
          [&] { return size_t(AudioProcessor().loadAudioAsync(file).get().frameLength()); });
    // The sanitizers' own bookkeeping (shadow memory, quarantined blocks)
    // makes resident memory say nothing about the loaders there.
    const long peakMiB = (statusKiB("VmHWM:") - base) / 1024;
    if (!kSanitized && peakMiB > budgetMiB)
        quit(4, "resident memory grew by " + std::to_string(peakMiB) + " MiB");
    quit(0, "");
}

// A 90-byte WAV whose LIST chunk claims 2.8 GB, as a fuzzer found it: the
// demuxer took 1.3 GB of memory to read its INFO tags.
std::string wavWithAHugeListChunk() {
    static const char bytes[] =
        "\x52\x49\x46\x46\x06\x13\x00\x00\x57\x41\x56\x45\x66\x6d\x74\x20"
        "\x10\x00\x00\x00\x01\x00\x01\x00\x80\x3e\x00\x00\x00\x7d\x00\x00"
        "\x02\x00\x07\x00\x4c\x49\x53\x54\x1a\x00\x00\xa6\x49\x4e\x46\x4f"
        "\x49\x53\x46\x00\x0e\x54\x00\x4c\x00\x61\x76\x66\x31\x38\x2e\x32"
        "\x37\x2e\x31\x30\x30\x00\x64\x61\x74\x61\xc0\x12\x00\x00\x00\x00"
        "\xc0\xf3\xcd\xf5\x13\xf8\x94\xfa\x3f\xfd";
    return std::string(bytes, sizeof bytes - 1);
}

// Files whose headers claim far more than they hold: the loaders believe no
// more than the bytes can hold, and take memory only as audio arrives (the
// last file's claim of ten minutes is one its size could hold, but it holds
// twenty seconds).
TEST(HostileAudioFiles, ClaimedLengthsCostNoMemory) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir("verbolin-hostile");
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    };
    const struct {
        std::string file;
        size_t bytes;
        size_t maxSamples;  // at 16 kHz
    } cases[] = {
        {write("claims-53h.wav", wavClaiming53Hours()), 58, 16},
        {write("claims-15h.mp3", mp3Claiming15Hours(dir.path())), 385, 3 * 1152},
        {write("claims-27h.flac", flacClaiming27Hours(dir.path())), 56, 4608},
        {write("list-claims-2gb.wav", wavWithAHugeListChunk()), 90, 16},
        {write("claims-10min.mp3", mp3Claiming(dir.path(), 20, 0, 600 * 44100 / 1152)), 0,
         21 * 16000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        if (c.bytes > 0) {
            ASSERT_EQ(std::filesystem::file_size(c.file), c.bytes);
        }
        EXPECT_EXIT(loadWithinBudget(c.file, c.maxSamples, 32), ::testing::ExitedWithCode(0), "");
    }
}

TEST(AudioBufferConversion, FoldingArrayCopyAndCapacityRounding) {
    // Channels that cancel out: the rescale's divisor floor keeps the result finite.
    platform::PCMBuffer stereo({platform::CommonFormat::pcmFormatFloat32, 44100, 2, false}, 64);
    stereo.setFrameLength(64);
    for (int i = 0; i < 64; ++i)
        stereo.floatChannelData()[1][i] = -(stereo.floatChannelData()[0][i] = 0.5f);
    const auto mono = AudioProcessor::convertToMono(stereo, ChannelMode::sumChannels());
    ASSERT_TRUE(mono);
    EXPECT_EQ(std::vector<float>(mono->floatChannelData()[0], mono->floatChannelData()[0] + 64),
              std::vector<float>(64, 0.0f));

    platform::PCMBuffer buffer({platform::CommonFormat::pcmFormatFloat32, 16000, 1, false}, 2500);
    buffer.setFrameLength(2500);
    for (int i = 0; i < 2500; ++i) buffer.floatChannelData()[0][i] = float(i + 1);
    const auto copied = AudioProcessor::convertBufferToArray(buffer, 1024);
    ASSERT_EQ(copied.size(), 2500u);
    EXPECT_EQ(copied.back(), 2500.0f);
    for (int i = 0; i < 2500; ++i) ASSERT_EQ(buffer.floatChannelData()[0][i], 0.0f);

    const struct { uint32_t frames, capacity; } cases[] = {{441, 160}, {1000, 363}, {1, 1}, {0, 0}};
    for (const auto& c : cases) {
        platform::PCMBuffer in({platform::CommonFormat::pcmFormatFloat32, 44100, 1, false},
                               c.frames);
        in.setFrameLength(c.frames);
        auto converter = platform::AudioConverter::create(
            in.format(), {platform::CommonFormat::pcmFormatFloat32, 16000, 1, false});
        ASSERT_TRUE(converter);
        const auto out = AudioProcessor::resampleBuffer(in, *converter);
        EXPECT_EQ(out.frameCapacity(), c.capacity) << c.frames;
        EXPECT_LE(out.frameLength(), c.capacity);
    }
}

TEST(WaveformImage, RawSampleBytesWithGuards) {
    std::vector<float> samples(12, 0.0f);
    samples[0] = 1.0f;  // 0x3F800000 little-endian: 00 00 80 3F
    const auto image = AudioProcessor::createWaveformImage(samples, 4.7, 3.2);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 4);
    EXPECT_EQ(image->height, 3);
    EXPECT_EQ(image->bytesPerRow, 16);
    ASSERT_EQ(image->pixels.size(), 48u);
    EXPECT_EQ(image->pixels[3], 0x3F);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (auto [w, h] :
         {std::pair{5.0, 3.0}, {0.0, 3.0}, {-1.0, 2.0}, {nan, 1.0}, {1e300, 1.0}, {1e9, 1e9}})
        EXPECT_FALSE(AudioProcessor::createWaveformImage(samples, w, h)) << w << "x" << h;
}

}  // namespace
