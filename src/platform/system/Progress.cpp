#include "platform/system/Progress.hpp"

#include <algorithm>
#include <stdexcept>

namespace platform {

Progress::Progress(int64_t totalUnitCount) : total_(totalUnitCount) {}

int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(m_);
    return total_;
}

void Progress::setTotalUnitCount(int64_t total) {
    {
        std::lock_guard lock(m_);
        total_ = total;
    }
    changed();
}

int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(m_);
    return completed_;
}

void Progress::setCompletedUnitCount(int64_t completed) {
    {
        std::lock_guard lock(m_);
        completed_ = completed;
    }
    changed();
}

bool Progress::isFinished() const {
    std::lock_guard lock(m_);
    return total_ > 0 && completed_ >= total_;
}

void Progress::addChild(std::shared_ptr<Progress> child, int64_t pendingUnitCount) {
    if (!child || child.get() == this) throw std::logic_error("Progress: invalid child");
    std::weak_ptr<Progress> self = weak_from_this();
    if (self.expired()) throw std::logic_error("Progress: a parent must be owned by a shared_ptr");
    {
        std::lock_guard lock(child->m_);
        if (!child->parent_.expired())
            throw std::logic_error("Progress: child already has a parent");
        child->parent_ = self;
    }
    {
        std::lock_guard lock(m_);
        children_.push_back({std::move(child), pendingUnitCount});
    }
    // The child may already be finished; this folds it in and notifies.
    childChanged();
}

double Progress::fractionCompleted() const {
    int64_t total;
    int64_t completed;
    std::vector<Child> children;
    {
        std::lock_guard lock(m_);
        total = total_;
        completed = completed_;
        children = children_;
    }
    if (total <= 0) return 0.0;
    // Children are read without holding this lock: a child notifies its
    // parent from outside its own lock, so no lock is ever held across both.
    double done = static_cast<double>(completed);
    for (const Child& c : children)
        done += c.progress->fractionCompleted() * static_cast<double>(c.pending);
    return std::clamp(done / static_cast<double>(total), 0.0, 1.0);
}

std::optional<double> Progress::throughput() const {
    std::lock_guard lock(m_);
    return throughput_;
}

void Progress::setThroughput(std::optional<double> bytesPerSecond) {
    std::lock_guard lock(m_);
    throughput_ = bytesPerSecond;
}

void Progress::setOnChange(ChangeHandler handler) {
    std::lock_guard lock(m_);
    onChange_ = std::move(handler);
}

void Progress::changed() {
    ChangeHandler handler;
    std::shared_ptr<Progress> parent;
    {
        std::lock_guard lock(m_);
        handler = onChange_;
        parent = parent_.lock();
    }
    if (handler) handler(fractionCompleted());
    if (parent) parent->childChanged();
}

void Progress::childChanged() {
    // Fold every finished child into our own count, as a finished child's
    // units are simply done; its later changes no longer concern us.
    std::vector<Child> children;
    {
        std::lock_guard lock(m_);
        children = children_;
    }
    std::vector<const Progress*> finished;
    for (const Child& c : children)
        if (c.progress->isFinished()) finished.push_back(c.progress.get());
    std::vector<std::shared_ptr<Progress>> released;
    if (!finished.empty()) {
        std::lock_guard lock(m_);
        for (const Progress* f : finished) {
            auto it = std::find_if(children_.begin(), children_.end(),
                                   [f](const Child& c) { return c.progress.get() == f; });
            if (it == children_.end()) continue;  // another thread folded it already
            completed_ += it->pending;
            released.push_back(std::move(it->progress));
            children_.erase(it);
        }
    }
    for (const auto& r : released) {
        std::lock_guard lock(r->m_);
        r->parent_.reset();
    }
    changed();
}

}  // namespace platform
