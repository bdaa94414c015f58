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
            main_.post([this] {
                if (steps_.finish) steps_.finish();
            });
            return;
        }
        steps_.stopEngineThen([this] {
            if (engineStopped_) return;  // finished elsewhere meanwhile
            engineStopped_ = true;
            if (steps_.finish) steps_.finish();
        });
    });
}

void QuitPath::stopEngineIfNeeded() {
    if (engineStopped_) return;
    engineStopped_ = true;
    if (steps_.stopEngine) steps_.stopEngine();
}

}  // namespace verbolin
