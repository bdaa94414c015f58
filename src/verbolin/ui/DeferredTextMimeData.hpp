#pragma once
// Plain text for the clipboard or the X primary selection, made only when a
// program asks for it. Selecting everything of years of dictation is one key;
// making its tens of megabytes of text then would hold the window for most
// of a second, and keep them for as long as nobody pastes them.

#include <QMimeData>
#include <QStringList>
#include <functional>

namespace verbolin {

class DeferredTextMimeData final : public QMimeData {
  public:
    // `make` runs on the thread that asks (Qt asks on the main thread), once
    // for every paste, so that nothing is kept between them.
    explicit DeferredTextMimeData(std::function<QString()> make) : make_(std::move(make)) {}

    QStringList formats() const override;
    bool hasFormat(const QString& type) const override;

  protected:
    QVariant retrieveData(const QString& type, QMetaType as) const override;

  private:
    std::function<QString()> make_;
};

}  // namespace verbolin
