#pragma once
// Text copied out of the timeline, gathered a paragraph (or the selected part
// of one) at a time: every character selected is kept as it is, spaces and
// line breaks at either end included, so that a cut and a paste give back
// what was there. Between two paragraphs stands one blank line; none stands
// before the first piece or after the last, since a selection that starts or
// ends on the break between paragraphs holds no text of the paragraph there.

#include <QString>
#include <QStringView>

namespace verbolin {

class CopiedText {
  public:
    // Characters of one paragraph. An empty piece (an emptied paragraph, or
    // a selection ending at a paragraph's start) adds no blank line of its own.
    void add(QStringView piece);
    // The break between one paragraph and the next.
    void separator() { between_ = true; }
    QString take() { return std::move(text_); }

  private:
    QString text_;
    bool between_ = false;  // a break since the last piece
};

}  // namespace verbolin
