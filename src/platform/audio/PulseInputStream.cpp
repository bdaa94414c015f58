#include "platform/audio/PulseInputStream.hpp"

#include <unistd.h>

#include <atomic>

#include "platform/system/AppError.hpp"

namespace platform {
namespace {

// Delivery granularity: about 85 ms at 48 kHz, a short enough wait for the
// first words and few enough wake-ups.
constexpr uint32_t kFragmentFrames = 4096;

void streamStateThunk(pa_stream*, void* self) {
    static_cast<PulseInputStream*>(self)->onStreamState();
}
void readThunk(pa_stream*, size_t, void* self) {
    static_cast<PulseInputStream*>(self)->onReadable();
}
void eventThunk(pa_context*, pa_subscription_event_type_t t, uint32_t index, void* self) {
    static_cast<PulseInputStream*>(self)->onEvent(t, index);
}

struct ModuleLoad {
    PulseConnection* connection;
    uint32_t index = PA_INVALID_INDEX;
};

void onModuleLoaded(pa_context*, uint32_t index, void* userdata) {
    auto* m = static_cast<ModuleLoad*>(userdata);
    m->index = index;
    m->connection->signal();
}

void signalThunk(pa_context*, int, void* connection) {
    static_cast<PulseConnection*>(connection)->signal();
}

void serverInfoThunk(pa_context*, const pa_server_info* info, void* self) {
    static_cast<PulseInputStream*>(self)->onDefaultSource(info ? info->default_source_name
                                                               : nullptr);
}

}  // namespace

PulseInputStream::PulseInputStream(const std::optional<std::string>& server,
                                   std::optional<uint32_t> deviceID)
    : connection_(std::make_unique<PulseConnection>(server)) {
    PulseConnection::Lock lock(*connection_);
    if (deviceID) {
        auto s = connection_->source(*deviceID);
        if (s && !s->isMonitor) source_ = s;
    }
    if (!source_) {
        if (auto name = connection_->defaultSourceName()) {
            auto s = connection_->source(*name);
            if (s && !s->isMonitor) {
                source_ = s;
                followedDefault_ = *name;
            }
        }
    }
}

PulseInputStream::~PulseInputStream() {
    {
        PulseConnection::Lock lock(*connection_);
        stopLocked();
        pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
        onChange_ = nullptr;
        unloadEchoCancel();
    }
    connection_.reset();
}

AudioFormat PulseInputStream::format() const {
    PulseConnection::Lock lock(*connection_);
    if (!source_ || source_->rate == 0 || source_->channels == 0) return {};
    return {double(source_->rate), source_->channels};
}

void PulseInputStream::setVoiceProcessingEnabled(bool enabled) {
    PulseConnection::Lock lock(*connection_);
    if (!enabled) {
        if (echoModule_ != PA_INVALID_INDEX) {
            unloadEchoCancel();
            source_.reset();
            if (auto name = connection_->defaultSourceName()) source_ = connection_->source(*name);
        }
        return;
    }
    if (echoModule_ != PA_INVALID_INDEX) return;
    if (!source_)
        throw AppError("PulseAudio", PA_ERR_NOENTITY, "Echo cancellation needs an input device");
    if (stream_)
        throw AppError("PulseAudio", PA_ERR_BADSTATE,
                       "Echo cancellation must be chosen before capture starts");

    static std::atomic<unsigned> counter{0};
    const std::string name = std::string(kEchoCancelPrefix) + "_" + std::to_string(getpid()) + "_" +
                             std::to_string(counter.fetch_add(1));
    const std::string args =
        "source_master=" + source_->name + " source_name=" + name + " sink_name=" + name + "_sink";
    ModuleLoad load{connection_.get()};
    bool ok = connection_->await(pa_context_load_module(
        connection_->context(), "module-echo-cancel", args.c_str(), onModuleLoaded, &load));
    if (!ok || load.index == PA_INVALID_INDEX) {
        int err = connection_->lastError();
        throw AppError("PulseAudio", err,
                       std::string("Echo cancellation is not available: ") + pa_strerror(err));
    }
    echoModule_ = load.index;
    auto cancelled = connection_->source(name);
    if (!cancelled) {
        unloadEchoCancel();
        throw AppError("PulseAudio", PA_ERR_NOENTITY,
                       "Echo cancellation is not available: its source did not appear");
    }
    echoSource_ = cancelled->index;
    source_ = cancelled;
}

void PulseInputStream::unloadEchoCancel() {
    if (echoModule_ == PA_INVALID_INDEX) return;
    connection_->await(pa_context_unload_module(connection_->context(), echoModule_, signalThunk,
                                                connection_.get()));
    echoModule_ = PA_INVALID_INDEX;
    echoSource_ = PA_INVALID_INDEX;
}

void PulseInputStream::setConfigurationChangeHandler(ChangeHandler handler) {
    PulseConnection::Lock lock(*connection_);
    bool subscribe = handler && !onChange_;
    onChange_ = std::move(handler);
    if (!subscribe) return;
    pa_context_set_subscribe_callback(connection_->context(), eventThunk, this);
    auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER);
    connection_->await(
        pa_context_subscribe(connection_->context(), mask, signalThunk, connection_.get()));
}

void PulseInputStream::onEvent(pa_subscription_event_type_t type, uint32_t index) {
    const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    bool relevant = false;
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        // Sources come and go; their property changes (volume, mute) are no
        // configuration change, and neither is our own echo canceller.
        relevant = kind != PA_SUBSCRIPTION_EVENT_CHANGE && index != echoSource_;
    } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        // The default devices may have changed. A stream on the default
        // input asks which one it is now before it reports anything.
        if (followedDefault_ && running_ && !stopping_) {
            if (!defaultQuery_)
                defaultQuery_ =
                    pa_context_get_server_info(connection_->context(), serverInfoThunk, this);
            if (defaultQuery_) return;
        }
        relevant = true;
    }
    if (relevant && onChange_) onChange_();
}

void PulseInputStream::onDefaultSource(const char* name) {
    // The query is done; only our reference to it remains.
    if (defaultQuery_) {
        pa_operation_unref(defaultQuery_);
        defaultQuery_ = nullptr;
    }
    if (!followedDefault_ || !name || *name == '\0' || *followedDefault_ == name) return;
    // The system now records from elsewhere by default: this stream is done,
    // and the owner, told of the change, finds it no longer running.
    if (running_.exchange(false) && !stopping_ && onChange_) onChange_();
}

void PulseInputStream::cancelDefaultQuery() {
    if (!defaultQuery_) return;
    pa_operation_cancel(defaultQuery_);
    pa_operation_unref(defaultQuery_);
    defaultQuery_ = nullptr;
}

void PulseInputStream::start(BufferHandler handler) {
    PulseConnection::Lock lock(*connection_);
    if (stream_) throw AppError("PulseAudio", PA_ERR_BADSTATE, "Capture is already running");
    if (!source_) throw AppError("PulseAudio", PA_ERR_NOENTITY, "No input device");
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = source_->rate;
    spec.channels = uint8_t(source_->channels);
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_ = pa_stream_new(connection_->context(), "Verbolin capture", &spec, &map);
    if (!stream_) {
        int err = connection_->lastError();
        throw AppError("PulseAudio", err,
                       std::string("Cannot start audio capture: ") + pa_strerror(err));
    }
    onBuffer_ = std::move(handler);
    stopping_ = false;
    pa_stream_set_state_callback(stream_, streamStateThunk, this);
    pa_stream_set_read_callback(stream_, readThunk, this);
    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(-1);
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(kFragmentFrames * pa_frame_size(&spec));
    int err = 0;
    // DONT_MOVE: when the device goes away the server ends the stream instead
    // of moving it elsewhere, so the owner learns of it and picks the device
    // again itself (its choice may not be the server's default).
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_, source_->name.c_str(), &attr, flags) < 0) {
        err = connection_->lastError();
    } else {
        const auto deadline = PulseConnection::answerDeadline();
        for (bool late = false;; late = !connection_->waitUntil(deadline)) {
            pa_stream_state_t s = pa_stream_get_state(stream_);
            if (s == PA_STREAM_READY) break;
            if (!PA_STREAM_IS_GOOD(s)) {
                err = connection_->lastError();
                if (err == 0) err = PA_ERR_UNKNOWN;
                break;
            }
            if (late) {
                err = PA_ERR_TIMEOUT;
                break;
            }
        }
    }
    if (err != 0) {
        stopLocked();
        throw AppError("PulseAudio", err,
                       std::string("Cannot start audio capture: ") + pa_strerror(err));
    }
    running_ = true;
}

void PulseInputStream::onStreamState() {
    pa_stream_state_t s = pa_stream_get_state(stream_);
    connection_->signal();
    if (s == PA_STREAM_FAILED || s == PA_STREAM_TERMINATED) {
        bool wasRunning = running_.exchange(false);
        // The server ended the stream (its device went away): a change of
        // configuration as far as the owner is concerned.
        if (wasRunning && !stopping_ && onChange_) onChange_();
    }
}

void PulseInputStream::onReadable() {
    const size_t frameBytes = source_ ? sizeof(float) * source_->channels : 0;
    while (stream_ && pa_stream_readable_size(stream_) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream_, &data, &bytes) < 0) return;
        if (bytes == 0) return;  // nothing after all
        // A hole (lost data) has no samples; it is skipped rather than padded.
        if (data && frameBytes > 0 && onBuffer_)
            onBuffer_(static_cast<const float*>(data), bytes / frameBytes);
        pa_stream_drop(stream_);
    }
}

void PulseInputStream::stop() {
    PulseConnection::Lock lock(*connection_);
    stopLocked();
}

void PulseInputStream::stopLocked() {
    stopping_ = true;
    running_ = false;
    cancelDefaultQuery();
    if (stream_) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    onBuffer_ = nullptr;
}

}  // namespace platform
