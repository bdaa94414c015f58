// The resumable downloader against the curl command line, on one 512 MiB file
// served over loopback by a server in a child process (so that its memory is
// not counted here). Reported per run: wall time; for both the peak resident
// memory of the process that downloads (curl's, and this process's while the
// downloader runs); for the downloader also the growth of resident memory
// while the transfer runs.
// Run by hand: build with -DVERBOLIN_BUILD_BENCH=ON, then bench_HubDownloadBench.
// The files go to $TMPDIR: point it at a disk folder and at /dev/shm to
// compare writing to a disk with writing to memory.

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/Paths.hpp"
#include "vortilcore/hub/Downloader.hpp"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFileSize = size_t(512) << 20;

int gPort = 0;
fs::path gFolder;

// Resident memory of this process in bytes.
int64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0;
    int64_t resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// This process's peak resident memory ("VmHWM") in bytes.
int64_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            int64_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Starts the peak over from the current resident memory.
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

[[noreturn]] void serve(int portPipe) {
    std::vector<char> data(kFileSize);
    for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 2654435761u) >> 13);
    httplib::Server server;
    server.Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(data.size(), "application/octet-stream",
                                 [&](size_t offset, size_t length, httplib::DataSink& sink) {
                                     sink.write(data.data() + offset,
                                                std::min<size_t>(length, 1 << 20));
                                     return true;
                                 });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    if (write(portPipe, &port, sizeof port) != sizeof port) _exit(1);
    server.listen_after_bind();
    _exit(0);
}

std::string url() { return "http://127.0.0.1:" + std::to_string(gPort) + "/big"; }

void BM_CurlCommandLine(benchmark::State& state) {
    const fs::path out = gFolder / "curl.bin";
    const std::string command = "curl -s -o '" + out.string() + "' " + url();
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("curl failed");
        state.PauseTiming();
        if (fs::file_size(out) != kFileSize) state.SkipWithError("curl wrote a wrong size");
        fs::remove(out);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
    // The largest of the waited-for descendants: curl, not its shell.
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    state.counters["peak_rss_MiB"] = double(children.ru_maxrss) / 1024.0;
}

void BM_Downloader(benchmark::State& state) {
    const fs::path destination = gFolder / "downloader.bin";
    const fs::path partial = gFolder / "downloader.bin.incomplete";
    int64_t worstGrowth = 0;
    int64_t worstPeak = 0;
    int64_t idle = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::ofstream(partial).close();
        resetPeakResident();
        const int64_t before = residentBytes();
        idle = before;
        std::atomic<bool> done{false};
        std::atomic<int64_t> peak{before};
        std::thread sampler([&] {
            while (!done) {
                peak = std::max(peak.load(), residentBytes());
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        state.ResumeTiming();

        {
            vortil::Downloader downloader(destination, partial);
            auto stream =
                downloader.download(url(), std::nullopt, std::nullopt, int64_t(kFileSize), 10.0, 5);
            while (auto s = stream->next()) {
                if (s->kind() == vortil::Downloader::DownloadState::Kind::failed)
                    state.SkipWithError("failed");
                if (s->isFinal()) break;
            }
        }

        state.PauseTiming();
        done = true;
        sampler.join();
        worstGrowth = std::max(worstGrowth, peak.load() - before);
        worstPeak = std::max({worstPeak, peak.load(), peakResidentBytes()});
        if (fs::file_size(destination) != kFileSize)
            state.SkipWithError("downloader wrote a wrong size");
        fs::remove(destination);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
    state.counters["rss_growth_MiB"] = double(worstGrowth) / double(1 << 20);
    state.counters["peak_rss_MiB"] = double(worstPeak) / double(1 << 20);
    state.counters["idle_rss_MiB"] = double(idle) / double(1 << 20);
}

BENCHMARK(BM_CurlCommandLine)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Downloader)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    const pid_t server = fork();
    if (server < 0) return 1;
    if (server == 0) {
        close(fds[0]);
        serve(fds[1]);
    }
    close(fds[1]);
    if (read(fds[0], &gPort, sizeof gPort) != sizeof gPort || gPort <= 0) return 1;
    close(fds[0]);

    gFolder = platform::temporaryDirectory() / ("hub-download-bench-" + std::to_string(getpid()));
    fs::create_directories(gFolder);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(gFolder);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return 0;
}
