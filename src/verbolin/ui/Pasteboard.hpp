#pragma once
// The system clipboard as the timeline uses it: cleared, then given one plain
// string. Rich text never leaves the application.

#include <QString>

namespace verbolin {

class Pasteboard {
  public:
    virtual ~Pasteboard() = default;
    virtual void clearAndSetString(const QString& text) = 0;
    virtual QString string() const = 0;
};

// Backed by QClipboard (and the X11 selection where there is one).
class ClipboardPasteboard final : public Pasteboard {
  public:
    void clearAndSetString(const QString& text) override;
    QString string() const override;
};

// For tests: remembers what was written and how often.
class MemoryPasteboard final : public Pasteboard {
  public:
    void clearAndSetString(const QString& text) override {
        text_ = text;
        ++writes_;
    }
    QString string() const override { return text_; }
    int writes() const { return writes_; }

  private:
    QString text_;
    int writes_ = 0;
};

}  // namespace verbolin
