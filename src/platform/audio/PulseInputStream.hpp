#pragma once
// A capture stream on one PulseAudio source, in the source's own rate and
// channel count as 32-bit float. Echo cancellation loads the server's
// module-echo-cancel on top of the source and records from the module's
// cancelled source instead; the module is unloaded with the stream.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/AudioInputStream.hpp"
#include "platform/audio/PulseConnection.hpp"

namespace platform {

class PulseInputStream final : public AudioInputStream {
  public:
    // Prefix of the sources our echo cancellers create; device lists hide them.
    static constexpr const char* kEchoCancelPrefix = "verbolin_echo_cancel";

    // Connects and picks the source: the one with index `deviceID` when it
    // exists and is not the monitor of an output, else the default source
    // when that is not a monitor, else none (format() then reports no
    // usable device). Throws when the server cannot be reached.
    PulseInputStream(const std::optional<std::string>& server, std::optional<uint32_t> deviceID);
    ~PulseInputStream() override;

    void setVoiceProcessingEnabled(bool enabled) override;
    AudioFormat format() const override;
    void setConfigurationChangeHandler(ChangeHandler handler) override;
    void start(BufferHandler handler) override;
    void stop() override;
    bool isRunning() const override { return running_.load(); }

    // Libpulse's callbacks; they run on the loop thread with the lock held.
    void onStreamState();
    void onReadable();
    void onEvent(pa_subscription_event_type_t type, uint32_t index);
    void onDefaultSource(const char* name);

  private:
    void stopLocked();
    void cancelDefaultQuery();
    void unloadEchoCancel();

    std::unique_ptr<PulseConnection> connection_;
    // Guarded by the loop lock.
    std::optional<PulseSource> source_;
    // Set when the stream records the server's default input (none was
    // chosen, or the chosen one is gone): the name it had at opening. A new
    // default then ends the stream, as a lost device does, so the owner
    // starts again on the new one.
    std::optional<std::string> followedDefault_;
    pa_operation* defaultQuery_ = nullptr;
    uint32_t echoModule_ = PA_INVALID_INDEX;
    uint32_t echoSource_ = PA_INVALID_INDEX;
    pa_stream* stream_ = nullptr;
    bool stopping_ = false;
    BufferHandler onBuffer_;
    ChangeHandler onChange_;
    std::atomic<bool> running_{false};
};

}  // namespace platform
