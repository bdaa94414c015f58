#include "verbolin/settings/Defaults.hpp"

namespace verbolin {

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
