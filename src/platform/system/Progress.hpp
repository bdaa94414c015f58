#pragma once
// Thread-safe progress of one job, made of its own units and of child
// progresses that stand for a number of this one's units.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

class Progress : public std::enable_shared_from_this<Progress> {
  public:
    // Called with the new fraction whenever it may have changed, including
    // through a child; never under the progress's lock, on the changing thread.
    using ChangeHandler = std::function<void(double fractionCompleted)>;

    explicit Progress(int64_t totalUnitCount = 0);

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    int64_t totalUnitCount() const;
    void setTotalUnitCount(int64_t total);
    int64_t completedUnitCount() const;
    void setCompletedUnitCount(int64_t completed);

    // `child` accounts for `pendingUnitCount` of this progress's units. When it
    // finishes, those units are added to completedUnitCount and the child is
    // let go. This progress must be owned by a shared_ptr (children reach it
    // through a weak reference); throws std::logic_error otherwise.
    void addChild(std::shared_ptr<Progress> child, int64_t pendingUnitCount);

    // In [0, 1]; 0 while the total is not positive.
    double fractionCompleted() const;
    // completed >= total > 0.
    bool isFinished() const;

    void setOnChange(ChangeHandler handler);

    // The transfer rate in bytes per second, when the job reports one (the
    // progress's throughput entry). Setting it does not count as a change.
    std::optional<double> throughput() const;
    void setThroughput(std::optional<double> bytesPerSecond);

  private:
    struct Child {
        std::shared_ptr<Progress> progress;
        int64_t pending;
    };

    void changed();
    void childChanged();

    mutable std::mutex m_;
    int64_t total_;
    int64_t completed_ = 0;
    std::vector<Child> children_;
    std::weak_ptr<Progress> parent_;
    ChangeHandler onChange_;
    std::optional<double> throughput_;
};

}  // namespace platform
