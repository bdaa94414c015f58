#pragma once
// The running application as the application model sees it: whether it is
// hidden or frontmost, how to bring it forward, and the feed of window and
// application changes that can alter what the user sees. The Qt shell
// implements it; tests use a scripted one. Called on the main thread only.

#include <functional>

namespace verbolin {

class AppHost {
  public:
    virtual ~AppHost() = default;

    virtual bool isHidden() const = 0;
    virtual bool isActive() const = 0;
    virtual void activate(bool ignoringOtherApps) = 0;

    // Calls `onChange` on the main thread after any window's occlusion
    // change, close, miniaturize, deminiaturize or becoming key, and after the
    // application is hidden or shown again. Observations last as long as the
    // host.
    virtual void observeWindowChanges(std::function<void()> onChange) = 0;
};

}  // namespace verbolin
