#include "verbolin/settings/Defaults.hpp"

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace verbolin {

struct Defaults::Observers {
    // Held while handlers run, so that ending an observation waits for its
    // call; recursive, as a handler may write a setting or end one itself.
    std::recursive_mutex calling;
    std::mutex m;  // guards the list
    std::vector<std::pair<std::uint64_t, std::shared_ptr<const ChangeHandler>>> handlers;
    std::uint64_t nextId = 0;

    std::shared_ptr<const ChangeHandler> find(std::uint64_t id) {
        std::lock_guard lock(m);
        for (auto& [i, h] : handlers)
            if (i == id) return h;
        return nullptr;
    }
};

Defaults::Defaults() : observers_(std::make_shared<Observers>()) {}

platform::ObservationToken Defaults::observeChanges(ChangeHandler onChange) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(observers_->m);
        id = observers_->nextId++;
        observers_->handlers.emplace_back(
            id, std::make_shared<const ChangeHandler>(std::move(onChange)));
    }
    return platform::ObservationToken([weak = std::weak_ptr<Observers>(observers_), id] {
        auto o = weak.lock();
        if (!o) return;
        std::lock_guard wait(o->calling);
        std::lock_guard lock(o->m);
        std::erase_if(o->handlers, [id](const auto& h) { return h.first == id; });
    });
}

void Defaults::changed(std::string_view key) {
    std::lock_guard calling(observers_->calling);
    std::vector<std::uint64_t> ids;
    {
        std::lock_guard lock(observers_->m);
        for (auto& h : observers_->handlers) ids.push_back(h.first);
    }
    // A handler ended by an earlier one on the way is not called.
    for (std::uint64_t id : ids)
        if (auto handler = observers_->find(id)) (*handler)(key);
}

std::optional<bool> Defaults::boolean(std::string_view key) const {
    auto v = value(key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

std::optional<std::string> Defaults::string(std::string_view key) const {
    auto v = value(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<double> Defaults::number(std::string_view key) const {
    auto v = value(key);
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

void Defaults::setOptionalString(std::string_view key, const std::optional<std::string>& v) {
    if (v)
        setString(key, *v);
    else
        remove(key);
}

}  // namespace verbolin
