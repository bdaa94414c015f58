#pragma once
// The timeline's text widget: a QTextEdit whose changes are first asked for
// (so separators and the live paragraph stay intact), which copies plain
// text only, whose context menu acts where it was asked for, and which lets
// its owner add to that menu and claim clicks in the time column.

#include <QElapsedTimer>
#include <QTextCursor>
#include <QTextEdit>
#include <functional>
#include <memory>
#include <optional>

namespace verbolin {

class TimelineTextEdit final : public QTextEdit {
    Q_OBJECT
  public:
    explicit TimelineTextEdit(QWidget* parent = nullptr);

    std::function<bool(int pos, int len)> shouldChange;
    // Where text typed over [pos, pos + len) goes instead, when it may not
    // go there (the live paragraph); none refuses it.
    std::function<std::optional<int>(int pos, int len)> typingTarget;
    std::function<QString()> plainSelectedText;
    // `atParagraph`: the menu was asked for on a paragraph or inside the
    // selection, not on the space between or below the paragraphs.
    std::function<void(QMenu&, bool atParagraph)> prepareMenu;
    // Whether a viewport point lies on a paragraph's lines (or its time).
    std::function<bool(QPoint)> pointsAtParagraph;
    // Press in the viewport: true when the owner took it.
    std::function<bool(QPoint)> viewportPress;
    std::function<bool(QPoint)> claimsPoint;  // pointing hand there
    // Ctrl+Backspace: deletes the paragraphs of the selection. False leaves
    // the key to the editor, which deletes the word before the caret.
    std::function<bool()> deleteSelectionKey;
    // Ctrl+Z and Ctrl+Shift+Z: the owner keeps the history, by paragraph;
    // the document keeps none.
    std::function<void()> onUndo, onRedo;
    // A change of [pos, pos + len) asked for by a key or a paste was refused.
    std::function<void(int pos, int len)> refused;
    // A paste at the selection that the owner takes in itself: true when it did.
    std::function<bool(const QString& text)> pasteLong;
    // Whether the character at `position` is a break opportunity the owner
    // put in, which is no character of the text: Backspace and Delete pass it.
    std::function<bool(int position)> breakMarkAt;
    // A triple-click at `position`: the editor's own selects the line with
    // its break, which no key could then type over.
    std::function<void(int position)> selectParagraphAt;

    // Ctrl+A: the owner selects what it shows and what it holds elsewhere.
    std::function<void()> selectWhole;
    // Ctrl+Home and Ctrl+End (with Shift: `select`): the owner first brings
    // in that end of the text, then goes there.
    std::function<void(bool end, bool select)> reachEdge;
    // Up or Down, Page Up or Page Down (`up`): the owner first brings in
    // what lies beyond a caret on the first (last) line it holds.
    std::function<void(bool up)> reachBeyond;

    // Before a key or a paste changes the text: the owner brings in the
    // caret's own paragraph when it is not shown. False: the change goes
    // nowhere (the owner said why).
    std::function<bool()> bringCaretIn;

    // Shift+click at a document position: the owner extends a selection
    // whose anchor is not held from that anchor. False: the editor's own.
    std::function<bool(int position)> extendTo;

    // The edit has taken a new size, its document not yet the new width.
    std::function<void()> resizing;
    // The edit has taken a new size, and its document the new width.
    std::function<void()> resized;

    // True while a left-button press, release or drag is being handled.
    bool inMouseEvent() const { return mouseDepth_ > 0; }

    // Ctrl+C and the menu's Copy: the selection as the owner reads it. The
    // editor's own copy goes by the document's selection, which is empty
    // where both ends of the selection lie outside what the owner holds.
    void copySelection();
    // Makes `data` the X primary selection where the platform has one, as
    // the editor does for a selection made by the mouse or the keys.
    void offerSelection(std::unique_ptr<QMimeData> data);
    // Whether the primary selection is still `data`, as last offered.
    bool offersSelection(const QMimeData* data) const;

  protected:
    void keyPressEvent(QKeyEvent* e) override;
    void inputMethodEvent(QInputMethodEvent* e) override;
    void insertFromMimeData(const QMimeData* source) override;
    QMimeData* createMimeDataFromSelection() const override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

  private:
    bool allowed(int pos, int len) const { return !shouldChange || shouldChange(pos, len); }
    void refuse(int pos, int len) const {
        if (refused) refused(pos, len);
    }
    bool allowedAtSelection() const;
    // Whether text may be typed at the selection, once moved where the
    // owner sends it.
    bool placeTyping();
    // Return and Enter: a line break at the selection, an empty line's included.
    void insertLineBreak();
    // Up and Down (`page`: Page Up and Page Down) by the lines as laid out:
    // the editor's own stops for good at a word broken across two lines.
    void moveLines(bool up, bool page, QTextCursor::MoveMode mode);
    // After a step of one character from `was`: on past any break mark it
    // crossed, so that every step moves the caret where it is seen.
    void stepPastBreakMarks(int was);

    int mouseDepth_ = 0;
    // Where and when the last double-click was: a press soon after, close
    // by, is a triple-click.
    QPoint doubleClickAt_;
    QElapsedTimer sinceDoubleClick_;
};

}  // namespace verbolin
