#include "support/ManualMainExecutor.hpp"

#include <algorithm>

namespace platform {

ManualMainExecutor::ManualMainExecutor(VirtualClock& clock)
    : clock_(clock), owner_(std::this_thread::get_id()) {}

void ManualMainExecutor::post(Task task) {
    postAfter(std::chrono::nanoseconds(0), std::move(task));
}

void ManualMainExecutor::postAfter(std::chrono::nanoseconds delay, Task task) {
    Date due = clock_.now() + std::chrono::duration_cast<Date::duration>(delay);
    std::lock_guard lock(m_);
    entries_.push_back({due, nextSeq_++, std::move(task)});
}

bool ManualMainExecutor::isMainThread() const { return std::this_thread::get_id() == owner_; }

bool ManualMainExecutor::takeDue(Date limit, Entry& out) {
    std::lock_guard lock(m_);
    auto best = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->due > limit) continue;
        if (best == entries_.end() || it->due < best->due ||
            (it->due == best->due && it->seq < best->seq))
            best = it;
    }
    if (best == entries_.end()) return false;
    out = std::move(*best);
    entries_.erase(best);
    return true;
}

size_t ManualMainExecutor::runPending(size_t most) {
    size_t ran = 0;
    Entry e;
    while (ran < most && takeDue(clock_.now(), e)) {
        e.task();
        ++ran;
    }
    return ran;
}

size_t ManualMainExecutor::advance(std::chrono::nanoseconds by) {
    const Date target = clock_.now() + std::chrono::duration_cast<Date::duration>(by);
    size_t ran = runPending();
    Entry e;
    while (takeDue(target, e)) {
        if (e.due > clock_.now()) clock_.set(e.due);
        e.task();
        ++ran;
        ran += runPending();
    }
    if (clock_.now() < target) clock_.set(target);
    return ran + runPending();
}

size_t ManualMainExecutor::pendingCount() const {
    std::lock_guard lock(m_);
    return entries_.size();
}

}  // namespace platform
