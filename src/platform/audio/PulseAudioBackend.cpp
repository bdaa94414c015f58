#include "platform/audio/PulseAudioBackend.hpp"

#include <exception>
#include <string>
#include <string_view>

#include "platform/audio/PulseConnection.hpp"
#include "platform/audio/PulseInputStream.hpp"
#include "platform/system/Log.hpp"

namespace platform {
namespace {

bool isListed(const PulseSource& s) {
    return !s.isMonitor && s.channels >= 1 && !s.name.empty() &&
           s.name.rfind(PulseInputStream::kEchoCancelPrefix, 0) != 0;
}

AudioDeviceInfo toDevice(const PulseSource& s) {
    return {s.index, s.description.empty() ? s.name : s.description, s.channels};
}

void logQueryFailure(std::string_view what, const std::exception& e) {
    std::string message = "could not query ";
    message += what;
    message += ": ";
    message += e.what();
    writeLog("Verbolin", "Audio", LogType::error, message);
}

}  // namespace

std::shared_ptr<AudioBackend> AudioBackend::system() {
    static const std::shared_ptr<AudioBackend> backend = std::make_shared<PulseAudioBackend>();
    return backend;
}

PulseAudioBackend::PulseAudioBackend(std::optional<std::string> server)
    : server_(std::move(server)) {}

std::vector<AudioDeviceInfo> PulseAudioBackend::inputDevices() {
    std::vector<AudioDeviceInfo> devices;
    try {
        PulseConnection c(server_);
        PulseConnection::Lock lock(c);
        for (const auto& s : c.sources())
            if (isListed(s)) devices.push_back(toDevice(s));
    } catch (const std::exception& e) {
        // The interface promises no throw; an unreachable server reads as no
        // devices, but the reason must still reach the log.
        logQueryFailure("input devices", e);
        return {};
    }
    return devices;
}

std::optional<AudioDeviceInfo> PulseAudioBackend::defaultInputDevice() {
    try {
        PulseConnection c(server_);
        PulseConnection::Lock lock(c);
        auto name = c.defaultSourceName();
        if (!name) return std::nullopt;
        auto s = c.source(*name);
        if (!s || !isListed(*s)) return std::nullopt;
        return toDevice(*s);
    } catch (const std::exception& e) {
        logQueryFailure("the default input device", e);
        return std::nullopt;
    }
}

std::unique_ptr<AudioInputStream> PulseAudioBackend::openInput(std::optional<uint32_t> deviceID) {
    return std::make_unique<PulseInputStream>(server_, deviceID);
}

}  // namespace platform
