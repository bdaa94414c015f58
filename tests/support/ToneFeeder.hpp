#pragma once
// Feeds a PulseAudio pipe source (module-pipe-source with format=s16le
// rate=48000 channels=2) from a thread, as a microphone would: a tone paced
// at real time.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testsupport {

// Writes a 440 Hz tone into the pipe source's FIFO as 48 kHz stereo s16le,
// paced at real time, for `seconds`.
class ToneFeeder {
  public:
    ToneFeeder(const std::filesystem::path& fifo, double seconds, float amplitude) {
        fd_ = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + fifo.string());
        thread_ = std::thread([this, seconds, amplitude] {
            const int total = int(48000 * seconds);
            const int chunk = 480;  // 10 ms
            auto next = std::chrono::steady_clock::now();
            std::vector<int16_t> buf(chunk * 2);
            for (int at = 0; at < total && !cancel_; at += chunk) {
                for (int i = 0; i < chunk; ++i) {
                    double x = amplitude * std::sin(2 * M_PI * 440.0 * double(at + i) / 48000.0);
                    auto v = int16_t(std::lround(x * 32767.0));
                    buf[2 * i] = v;
                    buf[2 * i + 1] = v;
                }
                const char* p = reinterpret_cast<const char*>(buf.data());
                size_t left = buf.size() * sizeof(int16_t);
                while (left > 0) {
                    ssize_t n = ::write(fd_, p, left);
                    if (n <= 0) return;
                    p += n;
                    left -= size_t(n);
                }
                next += std::chrono::milliseconds(10);
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~ToneFeeder() {
        cancel_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    int fd_ = -1;
    std::atomic<bool> cancel_{false};
    std::thread thread_;
};

}  // namespace testsupport
