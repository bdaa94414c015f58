#include "verbolin/ui/SidebarModel.hpp"

#include <algorithm>

#include "verbolin/storage/TranscriptStore.hpp"
#include "verbolin/ui/ParagraphText.hpp"

namespace verbolin {

std::vector<SidebarModel::Day> SidebarModel::sessionDays() const {
    std::vector<Day> days;
    const auto& entries = store_.sessionSummaries().entries();
    const auto place = [&](SessionItem item, platform::Date day) {
        auto it =
            std::find_if(days.begin(), days.end(), [&](const Day& d) { return d.day == day; });
        if (it == days.end()) it = days.insert(days.end(), Day{day, {}});
        it->items.push_back(std::move(item));
    };
    for (const auto& entry : entries) place(entry.item, entry.day);
    if (auto extra = keptItem()) place(std::move(*extra), keptDay(*extra));
    std::sort(days.begin(), days.end(), [](const Day& a, const Day& b) { return a.day > b.day; });
    for (auto& d : days)
        std::stable_sort(
            d.items.begin(), d.items.end(),
            [](const SessionItem& a, const SessionItem& b) { return a.start > b.start; });
    return days;
}

std::optional<SessionItem> SidebarModel::keptItem() const {
    auto extra = kept ? kept() : std::nullopt;
    if (extra && store_.sessionSummaries().indexOf(extra->id)) return std::nullopt;
    return extra;
}

platform::Date SidebarModel::keptDay(const SessionItem& item) const {
    const Segment* first = store_.endsIn(item).first;
    return store_.calendar().startOfDay(first ? first->start : item.start);
}

SidebarModel::Row SidebarModel::row(const SessionItem& item) const {
    Row row;
    const auto range = store_.rangeText(item);
    row.firstLine = item.title.empty() ? range : item.title;
    row.secondLine = (item.title.empty() ? "" : range + " · ") + store_.previewOf(item);
    row.isCurrent = item.marker.has_value() && !item.end.has_value();
    if (item.marker) row.entries = {kRename, kMerge};
    row.entries.push_back(kCopy);
    return row;
}

bool SidebarModel::isEmpty() const { return store_.sessionSummaries().entries().empty(); }

void SidebarModel::beginRename(const SessionItem& item) {
    if (!item.marker) return;
    renameText = item.marker->name.value_or("");
    renaming_ = item;
}

void SidebarModel::saveRename() {
    if (renaming_ && renaming_->marker) store_.rename(renaming_->marker->id, renameText);
    renaming_.reset();
}

void SidebarModel::merge(const SessionItem& item) {
    if (!item.marker) return;
    store_.removeSession(item.marker->id);
    if (scope_ == item.id) scope_ = kAllScope;
}

std::string SidebarModel::copyText(const SessionItem& item) const {
    return paragraphText(store_.segmentsIn(item));
}

}  // namespace verbolin
