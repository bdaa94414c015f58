#include "verbolin/ui/AttributedText.hpp"

#include <algorithm>

namespace verbolin {

int TextAttributes::count() const {
    return int(blockId.has_value()) + int(separator) + int(opens.has_value()) +
           int(cut != CutPart::none) + int(fontSize.has_value()) + int(paragraph.has_value()) +
           int(color.has_value());
}

AttributedText::AttributedText(const QString& text, const TextAttributes& attributes) {
    append(text, attributes);
}

void AttributedText::append(const QString& text, const TextAttributes& attributes) {
    if (text.isEmpty()) return;
    const int start = length();
    text_ += text;
    if (!runs_.empty() && runs_.back().attributes == attributes)
        runs_.back().length += int(text.size());
    else
        runs_.push_back({int(text.size()), attributes, start});
}

void AttributedText::append(const AttributedText& other) {
    const int offset = length();
    text_ += other.text_;
    for (const Run& r : other.runs_) {
        if (!runs_.empty() && runs_.back().attributes == r.attributes)
            runs_.back().length += r.length;
        else
            runs_.push_back({r.length, r.attributes, r.start + offset});
    }
}

void AttributedText::renumber(size_t from) {
    int start = from == 0 ? 0 : runs_[from - 1].start + runs_[from - 1].length;
    for (size_t i = from; i < runs_.size(); ++i) {
        runs_[i].start = start;
        start += runs_[i].length;
    }
}

std::pair<size_t, int> AttributedText::locate(int pos) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), pos,
                               [](int p, const Run& r) { return p < r.start; });
    if (it == runs_.begin()) return {runs_.empty() ? 0 : runs_.size(), 0};
    size_t i = size_t(it - runs_.begin()) - 1;
    if (pos < runs_[i].start + runs_[i].length) return {i, runs_[i].start};
    return {runs_.size(), length()};
}

size_t AttributedText::splitAt(int pos) {
    auto [i, start] = locate(pos);
    if (i == runs_.size() || start == pos) return i;
    Run tail{runs_[i].length - (pos - start), runs_[i].attributes, pos};
    runs_[i].length = pos - start;
    runs_.insert(runs_.begin() + long(i) + 1, tail);
    return i + 1;
}

void AttributedText::coalesce() {
    std::vector<Run> out;
    out.reserve(runs_.size());
    for (Run& r : runs_) {
        if (r.length == 0) continue;
        if (!out.empty() && out.back().attributes == r.attributes)
            out.back().length += r.length;
        else
            out.push_back(std::move(r));
    }
    runs_ = std::move(out);
    renumber(0);
}

void AttributedText::replace(int pos, int len, const AttributedText& with) {
    pos = std::clamp(pos, 0, length());
    len = std::clamp(len, 0, length() - pos);
    size_t first = splitAt(pos);
    size_t last = splitAt(pos + len);
    runs_.erase(runs_.begin() + long(first), runs_.begin() + long(last));
    runs_.insert(runs_.begin() + long(first), with.runs_.begin(), with.runs_.end());
    text_.replace(pos, len, with.text_);
    // Only the two seams can have become mergeable; a full pass is cheap
    // next to Qt's own work but not next to a tail update of a long text.
    auto mergeAt = [&](size_t i) {
        if (i == 0 || i >= runs_.size()) return;
        if (runs_[i - 1].attributes == runs_[i].attributes) {
            runs_[i - 1].length += runs_[i].length;
            runs_.erase(runs_.begin() + long(i));
        }
    };
    mergeAt(first + with.runs_.size());
    mergeAt(first);
    renumber(first > 0 ? first - 1 : 0);
}

AttributedText AttributedText::mid(int pos, int len) const {
    AttributedText out;
    for (const AttributedRun& r : runs(pos, len))
        out.append(text_.mid(r.start, r.length), r.attributes);
    return out;
}

const TextAttributes* AttributedText::attributesAt(int index) const {
    if (index < 0 || index >= length()) return nullptr;
    return &runs_[locate(index).first].attributes;
}

std::vector<AttributedRun> AttributedText::runs(int pos, int len) const {
    std::vector<AttributedRun> out;
    pos = std::clamp(pos, 0, length());
    int end = std::clamp(pos + std::max(len, 0), pos, length());
    for (size_t i = locate(pos).first; i < runs_.size() && runs_[i].start < end; ++i) {
        const Run& r = runs_[i];
        int s = std::max(r.start, pos), e = std::min(r.start + r.length, end);
        if (e > s) out.push_back({s, e - s, r.attributes});
    }
    return out;
}

void AttributedText::assignBlock(int pos, int len, const QString& blockId, double fontSize) {
    pos = std::clamp(pos, 0, length());
    len = std::clamp(len, 0, length() - pos);
    if (len == 0) return;
    size_t first = splitAt(pos);
    size_t last = splitAt(pos + len);
    for (size_t i = first; i < last; ++i) {
        runs_[i].attributes.blockId = blockId;
        runs_[i].attributes.fontSize = fontSize;
    }
    coalesce();
}

}  // namespace verbolin
