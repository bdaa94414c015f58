#include <gtest/gtest.h>

#include <future>
#include <stop_token>

#include "platform/system/TaskCancellation.hpp"

using platform::CancellationError;
using platform::TaskCancellation;

TEST(TaskCancellation, ScopesNestAndRestoreAndStayOnTheirThread) {
    EXPECT_NO_THROW(TaskCancellation::checkCancellation());
    std::stop_source outer, inner;
    {
        TaskCancellation::Scope a(outer.get_token());
        {
            TaskCancellation::Scope b(inner.get_token());
            inner.request_stop();
            EXPECT_THROW(TaskCancellation::checkCancellation(), CancellationError);
            // Another thread has no scope and is never cancelled.
            EXPECT_FALSE(std::async(std::launch::async, [] {
                             return TaskCancellation::isCancelled();
                         }).get());
        }
        EXPECT_FALSE(TaskCancellation::isCancelled()) << "the outer token is back";
        outer.request_stop();
        EXPECT_THROW(TaskCancellation::checkCancellation(), CancellationError);
    }
    EXPECT_FALSE(TaskCancellation::isCancelled());
}
