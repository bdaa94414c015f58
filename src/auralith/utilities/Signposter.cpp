#include "auralith/utilities/Signposter.hpp"

#include <charconv>
#include <utility>

namespace auralith {

Signposter::Signposter(std::shared_ptr<const Logger> logger) : logger_(std::move(logger)) {}

void Signposter::setSink(Sink sink) {
    auto shared = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> guard(sinkLock_);
    sink_ = std::move(shared);
}

void Signposter::emit(const SignpostEvent& event) const {
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard<std::mutex> guard(sinkLock_);
        sink = sink_;
    }
    if (sink) {
        (*sink)(event);
        return;
    }
    std::string text =
        (event.kind == SignpostEvent::Kind::begin ? "[Signpost] begin " : "[Signpost] end ") +
        event.name + " #" + std::to_string(event.id);
    if (event.kind == SignpostEvent::Kind::end) {
        char elapsed[64];
        const double ms = std::chrono::duration<double, std::milli>(event.elapsed).count();
        auto end =
            std::to_chars(elapsed, elapsed + sizeof elapsed, ms, std::chars_format::fixed, 3).ptr;
        text += " " + std::string(elapsed, end) + " ms";
    }
    if (!event.message.empty()) text += " " + event.message;
    logger_->debug(text);
}

}  // namespace auralith
