#pragma once
// Ctrl+Alt+Space from any application: a key grab on the X11 root window,
// made on a connection of its own and watched by a thread of its own, so it
// works whatever Qt platform the windows use. The grab is made four times,
// with and without NumLock and CapsLock, since X matches modifiers exactly.
//
// Threads: `onPress` is called on the watcher thread and must only schedule
// work on the main thread. The destructor releases the grab and joins the
// watcher; no call of `onPress` starts after it returns.

#include <functional>
#include <memory>
#include <thread>

namespace verbolin {

class GlobalHotKey {
  public:
    // Null when there is no X11 display to talk to (DISPLAY unset, Wayland
    // without Xwayland). A grab another client holds is not an error: the
    // key then simply does nothing, as grabbed() tells.
    static std::unique_ptr<GlobalHotKey> create(std::function<void()> onPress);

    ~GlobalHotKey();
    GlobalHotKey(const GlobalHotKey&) = delete;
    GlobalHotKey& operator=(const GlobalHotKey&) = delete;

    // Whether every variant of the grab was accepted.
    bool grabbed() const { return grabbed_; }

  private:
    struct Connection;
    GlobalHotKey(std::unique_ptr<Connection> connection, std::function<void()> onPress);
    void watch();

    std::unique_ptr<Connection> connection_;
    std::function<void()> onPress_;
    bool grabbed_ = false;
    int wake_[2] = {-1, -1};
    std::thread watcher_;
};

}  // namespace verbolin
