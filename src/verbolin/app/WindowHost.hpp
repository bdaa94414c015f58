#pragma once
// The editor window as the application model sees it. The Qt window
// implements it; tests use a scripted one. Called on the main thread only.

namespace verbolin {

class WindowHost {
  public:
    // Window levels.
    static constexpr int kNormalLevel = 0;
    static constexpr int kFloatingLevel = 3;
    // Collection behaviour bits: shown on every workspace, and allowed beside
    // full-screen windows.
    static constexpr unsigned kCanJoinAllSpaces = 1;
    static constexpr unsigned kFullScreenAuxiliary = 256;

    virtual ~WindowHost() = default;

    virtual bool isVisible() const = 0;
    virtual bool isMiniaturized() const = 0;
    // Whether some part of the window can be seen on screen (not entirely
    // covered by other windows).
    virtual bool isOcclusionVisible() const = 0;
    virtual bool isKeyWindow() const = 0;

    virtual void makeKeyAndOrderFront() = 0;
    virtual void orderOut() = 0;
    virtual void setLevel(int level) = 0;
    virtual void setCollectionBehavior(unsigned behavior) = 0;
};

}  // namespace verbolin
