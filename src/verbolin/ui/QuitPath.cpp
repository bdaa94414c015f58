#include "verbolin/ui/QuitPath.hpp"

namespace verbolin {

void QuitPath::request() {
    if (quitting_) return;
    quitting_ = true;
    if (steps_.withdraw) steps_.withdraw();
    main_.postAfter(kWithdrawDelay, [this] {
        if (engineStopped_ || !steps_.stopEngineThen) {
            stopEngineIfNeeded();
            // Texts of the last utterance are posted to the main loop while
            // the engine stops; they are stored before the loop ends.
            main_.post([this] { end(); });
            return;
        }
        steps_.stopEngineThen([this] {
            if (engineStopped_) return;  // finished elsewhere meanwhile
            engineStopped_ = true;
            end();
        });
    });
}

void QuitPath::stopNow() {
    if (!quitting_) {
        request();
        return;
    }
    if (engineStopped_ || !steps_.stopEngineNow) return;
    engineStopped_ = true;
    steps_.stopEngineNow();
    main_.post([this] { end(); });
}

void QuitPath::stopEngineIfNeeded() {
    if (engineStopped_) return;
    engineStopped_ = true;
    if (steps_.stopEngine) steps_.stopEngine();
}

void QuitPath::end() {
    if (ended_) return;
    ended_ = true;
    if (steps_.finish) steps_.finish();
}

}  // namespace verbolin
