#include "verbolin/storage/SessionItem.hpp"

#include "verbolin/storage/Hashing.hpp"

size_t std::hash<verbolin::SessionItem>::operator()(
    const verbolin::SessionItem& item) const noexcept {
    std::optional<long long> end;
    if (item.end) end = item.end->time_since_epoch().count();
    return verbolin::HashBuilder()
        .add(item.id)
        .add(item.title)
        .add(item.start.time_since_epoch().count())
        .add(end)
        .add(item.marker)
        .value();
}
