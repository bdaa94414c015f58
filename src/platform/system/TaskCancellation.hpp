#pragma once
// Cooperative cancellation of the work running on the current thread. Whoever
// runs a transcription on a worker thread installs its stop token with a
// TaskCancellation::Scope; code deep inside (a model prediction, a window
// loop) calls checkCancellation() at the points where it may stop, without
// every signature having to carry the token. A thread with no scope is never
// cancelled.

#include <stop_token>

#include "platform/system/CancellationError.hpp"

namespace platform {

class TaskCancellation {
  public:
    TaskCancellation() = delete;

    // Makes `token` the current thread's token until the scope ends, then
    // restores the one before it (scopes nest).
    class Scope {
      public:
        explicit Scope(std::stop_token token);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        std::stop_token previous_;
    };

    // The current thread's token, for handing on to work it starts on other threads.
    static std::stop_token currentToken() noexcept;

    static bool isCancelled() noexcept;
    // Throws CancellationError (every layer lets it pass unchanged) when the current token has been
    // stopped.
    static void checkCancellation();
};

}  // namespace platform
