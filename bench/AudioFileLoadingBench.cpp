// Loading audio files to 16 kHz mono, against the ffmpeg program doing the
// same conversion in the same run, the memory incremental loading holds for
// a long file, and the memory whole-file loading takes for a long file and
// for tiny files whose headers claim hours.
//
//   cmake -B build -DVERBOLIN_BUILD_BENCH=ON && cmake --build build --target
//   bench_AudioFileLoadingBench build/bench_AudioFileLoadingBench
//
// The test files are made with ffmpeg into $TMPDIR on the first run and kept
// there (verbolin-bench-*.mp3).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/audio/EnergyVAD.hpp"
#include "support/HostileAudio.hpp"
#include "support/ProcessMemory.hpp"

namespace {

using ChannelMode = auralith::AudioInputOptions::ChannelMode;

std::string benchFile(const std::string& name, const std::string& source, int seconds,
                      const std::string& codec) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp ? tmp : "/tmp") + "/verbolin-bench-" + name;
    if (!std::filesystem::exists(path)) {
        const std::string cmd = "ffmpeg -nostdin -y -loglevel error -f lavfi -i '" + source +
                                ":d=" + std::to_string(seconds) + "' " + codec + " '" + path +
                                ".part' && mv '" + path + ".part' '" + path + "'";
        if (std::system(cmd.c_str()) != 0) return {};
    }
    return path;
}

// Ten minutes of 44.1 kHz stereo MP3: a tone in each channel.
const std::string& tenMinuteMp3() {
    static const std::string path =
        benchFile("10min.mp3", "aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=44100", 600,
                  "-f mp3 -c:a libmp3lame -b:a 128k");
    return path;
}

void BM_LoadTenMinuteMp3To16kMono(benchmark::State& state) {
    const auto& path = tenMinuteMp3();
    if (path.empty()) return state.SkipWithError("cannot make the test file");
    size_t samples = 0;
    for (auto _ : state) {
        const auto audio =
            auralith::AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels());
        samples = audio.size();
        benchmark::DoNotOptimize(audio.data());
    }
    state.counters["samples"] = double(samples);
}
BENCHMARK(BM_LoadTenMinuteMp3To16kMono)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// The reference: the ffmpeg program, one thread, writing float samples to a pipe.
void BM_FfmpegProgramTenMinuteMp3To16kMono(benchmark::State& state) {
    const auto& path = tenMinuteMp3();
    if (path.empty()) return state.SkipWithError("cannot make the test file");
    const std::string cmd = "ffmpeg -nostdin -loglevel error -threads 1 -i '" + path +
                            "' -ar 16000 -ac 1 -f f32le - | cat >/dev/null";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) return state.SkipWithError("ffmpeg failed");
    }
}
BENCHMARK(BM_FfmpegProgramTenMinuteMp3To16kMono)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// Two hours read as a stream of chunks with two outstanding chunks. Reports the resident-memory
// peak above the level before the stream started; the window buffers themselves (the 120 s read
// window, the carried-over part and two 30 s chunks) come to about 12 MiB.
void BM_IncrementalTwoHourMp3PeakMemory(benchmark::State& state) {
    const std::string path =
        benchFile("2h.mp3", "aevalsrc=0.4*sin(2*PI*440*t)*gt(mod(t\\,9)\\,1):s=44100", 7200,
                  "-f mp3 -ac 1 -c:a libmp3lame -b:a 64k");
    if (path.empty()) return state.SkipWithError("cannot make the test file");
    auto vad = std::make_shared<auralith::EnergyVAD>(16000, 1600, 0, 0.02f);
    double peakMiB = 0;
    size_t chunks = 0;
    for (auto _ : state) {
        testsupport::restartPeakCount();
        const long base = testsupport::statusKiB("VmRSS:");
        auto stream = auralith::AudioProcessor::loadFileIncrementally(
            path, ChannelMode::sumChannels(), double(state.range(0)), 2, 480000, vad);
        chunks = 0;
        while (auto chunk = stream->next()) {
            ++chunks;
            chunk->completionSignal();
        }
        peakMiB = double(testsupport::statusKiB("VmHWM:") - base) / 1024.0;
    }
    state.counters["chunks"] = double(chunks);
    state.counters["peakAboveStartMiB"] = peakMiB;
}
// The argument is the read window in seconds: how the peak grows with it
// shows what the window costs; the rest is fixed. Run one argument per
// process (--benchmark_filter='TwoHour.*/120/'): memory an earlier run left
// resident hides the next run's peak.
BENCHMARK(BM_IncrementalTwoHourMp3PeakMemory)
    ->Arg(120)
    ->Arg(30)
    ->Arg(240)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// Whole-file loading's resident-memory peak above the level before the
// load, against the size of what it returns. Argument 0 is a three-hour
// 44.1 kHz stereo MP3 (its 16 kHz output is 691 MB; made on the first run,
// which takes a few minutes); 1 to 3 are tiny files whose headers claim hours
// (a 58-byte WAV, a 385-byte MP3, a 56-byte FLAC), each loaded as an array
// and as one buffer. Run one argument per process (--benchmark_filter=
// 'WholeFile.*/0'): memory an earlier run left resident hides the next peak.
void BM_WholeFilePeakMemory(benchmark::State& state) {
    static testsupport::TempDir scratch("verbolin-bench-hostile");
    std::string path;
    switch (state.range(0)) {
        case 0:
            path = benchFile("3h.mp3", "aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=44100",
                             10800, "-f mp3 -c:a libmp3lame -b:a 128k");
            break;
        case 1:
            path = (scratch / "claims-53h.wav").string();
            std::ofstream(path, std::ios::binary) << testsupport::wavClaiming53Hours();
            break;
        case 2:
            path = (scratch / "claims-15h.mp3").string();
            std::ofstream(path, std::ios::binary)
                << testsupport::mp3Claiming15Hours(scratch.path());
            break;
        default:
            path = (scratch / "claims-27h.flac").string();
            std::ofstream(path, std::ios::binary)
                << testsupport::flacClaiming27Hours(scratch.path());
            break;
    }
    if (path.empty()) return state.SkipWithError("cannot make the test file");
    double peakMiB = 0, outputMiB = 0;
    for (auto _ : state) {
        testsupport::restartPeakCount();
        const long base = testsupport::statusKiB("VmRSS:");
        size_t samples = 0;
        std::string errors;
        auto attempt = [&](auto&& load) {
            try {
                samples = std::max(samples, size_t(load()));
            } catch (const std::exception& e) {
                errors += std::string(errors.empty() ? "" : "; ") + e.what();
            }
        };
        attempt([&] {
            return auralith::AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels())
                .size();
        });
        if (state.range(0) != 0) {
            attempt([&] {
                return auralith::AudioProcessor::loadAudioFromPath(path, ChannelMode::sumChannels())
                    .frameLength();
            });
        }
        state.SetLabel(errors);
        peakMiB = double(testsupport::statusKiB("VmHWM:") - base) / 1024.0;
        outputMiB = double(samples * sizeof(float)) / (1024.0 * 1024.0);
    }
    state.counters["peakAboveStartMiB"] = peakMiB;
    state.counters["outputMiB"] = outputMiB;
    if (outputMiB > 0) state.counters["peakPerOutput"] = peakMiB / outputMiB;
}
BENCHMARK(BM_WholeFilePeakMemory)
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
