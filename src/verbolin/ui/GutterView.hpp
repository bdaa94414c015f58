#pragma once
// The time column laid over the timeline's text: a time label beside each
// paragraph's first line, a pencil for edited paragraphs, dividers for long
// pauses and sessions, and the flash over a copied paragraph. It is
// transparent to the mouse; the text widget hands it presses in the column.

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/system/MainExecutor.hpp"
#include "verbolin/ui/CopyFlash.hpp"
#include "verbolin/ui/GutterEntry.hpp"
#include "verbolin/ui/ParagraphRanges.hpp"

namespace verbolin {

class TimelineTextEdit;

class GutterView final : public QWidget {
    Q_OBJECT
  public:
    GutterView(TimelineTextEdit* textView, platform::MainExecutor& main);

    // The entry beside ranges()[index], or none. Asked for while drawing, so
    // that only the paragraphs on screen are ever looked at.
    std::function<std::optional<GutterEntry>(size_t index)> entryAt;
    double fontSize = 20;
    std::function<void(const QString&)> onCopy;
    // The paragraphs' places in the text, asked for at each use.
    std::function<const std::vector<ParagraphRange>&()> ranges;

    struct Paragraph {
        QString id;
        int location, length;
        double minY, maxY;  // viewport coordinates
    };
    // The paragraph whose extent holds y (both ends included).
    std::optional<Paragraph> paragraphAt(double y) const;
    // True when a press at p belongs to the column (and was handled).
    bool claims(QPoint p) const;
    bool press(QPoint p);
    void flash(int location, int length);
    const CopyFlash& flashState() const { return flash_; }

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    double scrollY() const;
    void scheduleTick(unsigned generation);

    QPointer<TimelineTextEdit> textView_;
    platform::MainExecutor& main_;
    CopyFlash flash_;
};

}  // namespace verbolin
