#include "platform/system/TaskCancellation.hpp"

#include <utility>

namespace platform {

namespace {
thread_local std::stop_token threadToken;
}

TaskCancellation::Scope::Scope(std::stop_token token)
    : previous_(std::exchange(threadToken, std::move(token))) {}

TaskCancellation::Scope::~Scope() { threadToken = std::move(previous_); }

std::stop_token TaskCancellation::currentToken() noexcept { return threadToken; }

bool TaskCancellation::isCancelled() noexcept { return threadToken.stop_requested(); }

void TaskCancellation::checkCancellation() {
    if (isCancelled()) throw CancellationError();
}

}  // namespace platform
