#include "platform/system/TaskCancellation.hpp"

#include <utility>

namespace platform {

namespace {
thread_local std::stop_token currentToken;
}

TaskCancellation::Scope::Scope(std::stop_token token)
    : previous_(std::exchange(currentToken, std::move(token))) {}

TaskCancellation::Scope::~Scope() { currentToken = std::move(previous_); }

bool TaskCancellation::isCancelled() noexcept { return currentToken.stop_requested(); }

void TaskCancellation::checkCancellation() {
    if (isCancelled()) throw CancellationError();
}

}  // namespace platform
