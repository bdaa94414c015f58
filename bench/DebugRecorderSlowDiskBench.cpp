// The diagnostics recorder on a disk slower than the audio it records: a
// write hook makes every write take as long as a disk of the given speed
// would. Sixty seconds of audio in 100 ms buffers are fed ten times faster
// than real time (320 kB/s), with a line logged per buffer, so the disk
// speeds below stand for ten times slower disks under live audio. Prints the most audio that
// waited, the slowest audio() call, what was kept out, and how long close()
// took with what was still waiting. Run by hand.
//
//   cmake -B build-bench -DVERBOLIN_BUILD_BENCH=ON && cmake --build build-bench --target
//   bench_DebugRecorderSlowDiskBench

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "verbolin/listening/DebugRecorder.hpp"

namespace {

using Clock = std::chrono::steady_clock;

void run(const char* name, double diskBytesPerSecond, const verbolin::DebugRecorderLimits& limits) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("verbolin-recorder-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    verbolin::DebugRecorder recorder(
        dir, platform::Clock::system(), limits, [&](const std::string&, size_t bytes) {
            std::this_thread::sleep_for(
                std::chrono::duration<double>(double(bytes) / diskBytesPerSecond));
        });
    recorder.beginSession();

    const std::vector<float> buffer(1600, 0.25f);
    size_t mostWaiting = 0;
    Clock::duration slowestCall{};
    for (int k = 0; k < 600; ++k) {
        const auto before = Clock::now();
        recorder.audio(buffer);
        recorder.event("buffer", "k=" + std::to_string(k));
        slowestCall = std::max(slowestCall, Clock::now() - before);
        mostWaiting = std::max(mostWaiting, recorder.backlog().sessionAudioBytes);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const size_t waitingAtExit = recorder.backlog().sessionAudioBytes;
    const auto closing = Clock::now();
    recorder.close();
    const double closeSeconds = std::chrono::duration<double>(Clock::now() - closing).count();

    const auto written = std::filesystem::file_size(dir / "session.pcm");
    std::printf(
        "%-34s disk %6.0f kB/s  most waiting %8zu B  slowest call %7.1f us  "
        "written %5.1f s of 60  waiting at exit %7zu B  close %5.2f s\n",
        name, diskBytesPerSecond / 1000, mostWaiting,
        std::chrono::duration<double, std::micro>(slowestCall).count(), double(written) / 32000.0,
        waitingAtExit, closeSeconds);
    std::filesystem::remove_all(dir);
}

}  // namespace

int main() {
    const verbolin::DebugRecorderLimits bounded;
    verbolin::DebugRecorderLimits unbounded;
    unbounded.sessionAudioBytes = unbounded.utteranceBytes = unbounded.eventLines = size_t(1) << 40;
    unbounded.exitAllowance = std::chrono::seconds(0);  // drop the backlog at exit
    run("bounded, disk keeps up", 2'000'000, bounded);
    run("bounded, disk at 1/4 of the feed", 80'000, bounded);
    run("bounded, disk at 1/40 of the feed", 8'000, bounded);
    run("no bound, disk at 1/4 of the feed", 80'000, unbounded);
    return 0;
}
