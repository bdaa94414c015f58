#include "verbolin/ui/DeferredTextMimeData.hpp"

namespace verbolin {

namespace {
const QString kPlain = QStringLiteral("text/plain");
}  // namespace

QStringList DeferredTextMimeData::formats() const { return {kPlain}; }

bool DeferredTextMimeData::hasFormat(const QString& type) const { return type == kPlain; }

QVariant DeferredTextMimeData::retrieveData(const QString& type, QMetaType as) const {
    // Qt asks for "text/plain;charset=utf-8" first and then for "text/plain":
    // one answer, so that the text is made once.
    if (type != kPlain || !make_) return {};
    const QString text = make_();
    if (as.id() == QMetaType::QByteArray) return text.toUtf8();
    return text;
}

}  // namespace verbolin
