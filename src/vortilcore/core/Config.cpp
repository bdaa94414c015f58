#include "vortilcore/core/Config.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/system/JsonNesting.hpp"
#include "platform/system/NumberText.hpp"
#include "vortilcore/core/Unicode.hpp"

namespace vortil {

namespace {

const Config& nullConfig() {
    static const Config null;
    return null;
}

// A JSON number read back through the shortest float text, so 0.1f encodes as
// 0.1 and not as the double nearest to the float.
double floatForJson(float f) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, f);
    double d = 0;
    std::from_chars(buf, res.ptr, d);
    return d;
}

std::optional<int64_t> exactInteger(double d) {
    if (!std::isfinite(d) || d != std::trunc(d)) return std::nullopt;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
    return int64_t(d);
}

void hashCombine(size_t& seed, size_t v) {
    seed ^= v + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}

}  // namespace

Config::Config(std::initializer_list<std::pair<BinaryDistinctString, Config>> pairs) {
    Dictionary d;
    for (const auto& [k, v] : pairs) d.insert_or_assign(k, v);
    data_ = std::make_shared<const Dictionary>(std::move(d));
}

namespace {

// A two-element [unsigned, string] array read as the token it encodes.
std::optional<Config::Token> tokenOf(const nlohmann::json& j) {
    if (j.size() != 2 || !j[1].is_string()) return std::nullopt;
    const auto& id = j[0];
    std::optional<uint64_t> u;
    if (id.is_number_unsigned())
        u = id.get<uint64_t>();
    else if (id.is_number_integer() && id.get<int64_t>() >= 0)
        u = uint64_t(id.get<int64_t>());
    else if (id.is_number_float()) {
        if (auto i = exactInteger(id.get<double>()); i && *i >= 0) u = uint64_t(*i);
    }
    if (!u) return std::nullopt;
    return Config::Token{*u, BinaryDistinctString(j[1].get_ref<const std::string&>())};
}

}  // namespace

Config Config::fromJson(const nlohmann::json& j, JsonSource source) {
    using T = nlohmann::json::value_t;
    switch (j.type()) {
        case T::object: {
            Dictionary d;
            d.reserve(j.size());
            for (auto it = j.begin(); it != j.end(); ++it)
                d.insert_or_assign(BinaryDistinctString(it.key()), fromJson(it.value(), source));
            return Config(std::move(d));
        }
        case T::array: {
            if (source == JsonSource::encoded)
                if (auto token = tokenOf(j)) return Config(std::move(*token));
            Array a;
            a.reserve(j.size());
            for (const auto& e : j) a.push_back(fromJson(e, source));
            return Config(std::move(a));
        }
        case T::string:
            return Config(j.get_ref<const std::string&>());
        case T::boolean:
            if (source == JsonSource::encoded) return Config(j.get<bool>());
            return Config(int64_t(j.get<bool>() ? 1 : 0));
        case T::number_integer:
            return Config(j.get<int64_t>());
        case T::number_unsigned: {
            uint64_t u = j.get<uint64_t>();
            if (u <= uint64_t(INT64_MAX)) return Config(int64_t(u));
            return Config(float(u));
        }
        case T::number_float: {
            double d = j.get<double>();
            if (auto i = exactInteger(d)) return Config(*i);
            return Config(float(d));
        }
        case T::null:
            return Config();
        default:
            break;
    }
    // Binary or discarded values are never parsed from text, only built in code.
    if (source == JsonSource::encoded) return Config();
    std::fprintf(stderr, "Fatal error: unknown type: nlohmann::json %s\n", j.type_name());
    std::abort();
}

nlohmann::json Config::encoded() const {
    switch (kind()) {
        case Kind::string:
            return std::get<BinaryDistinctString>(data_).string();
        case Kind::integer:
            return std::get<int64_t>(data_);
        case Kind::boolean:
            return std::get<bool>(data_);
        case Kind::floating:
            return floatForJson(std::get<float>(data_));
        case Kind::dictionary: {
            nlohmann::json o = nlohmann::json::object();
            for (const auto& [k, v] : *std::get<std::shared_ptr<const Dictionary>>(data_))
                o[k.string()] = v.encoded();
            return o;
        }
        case Kind::array: {
            nlohmann::json a = nlohmann::json::array();
            for (const auto& v : *std::get<std::shared_ptr<const Array>>(data_))
                a.push_back(v.encoded());
            return a;
        }
        case Kind::token: {
            const auto& t = std::get<Token>(data_);
            return nlohmann::json::array({t.id, t.text.string()});
        }
        case Kind::null:
            break;
    }
    return nullptr;
}

const Config& Config::operator[](const BinaryDistinctString& key) const {
    const Dictionary* d = dictionaryValue();
    if (!d) return nullConfig();
    if (auto it = d->find(key); it != d->end()) return it->second;
    if (auto it = d->find(uncamelCase(key)); it != d->end()) return it->second;
    return nullConfig();
}

const Config& Config::get(std::string_view member) const {
    return (*this)[BinaryDistinctString(member)];
}

const Config* Config::getIfDictionary(std::string_view member) const {
    if (kind() != Kind::dictionary) return nullptr;
    return &get(member);
}

void Config::set(const BinaryDistinctString& key, Config value) {
    Dictionary d;
    if (const Dictionary* current = dictionaryValue()) d = *current;
    d.insert_or_assign(key, std::move(value));
    data_ = std::make_shared<const Dictionary>(std::move(d));
}

BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& key) {
    std::string text = key.string();
    std::string out;
    out.reserve(text.size() + 4);
    bool previousNotUpper = false;
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        char32_t c = unicode::nextScalar(text, i);
        int8_t category = u_charType(UChar32(c));
        bool upper = category == U_UPPERCASE_LETTER || category == U_TITLECASE_LETTER;
        if (upper) {
            if (previousNotUpper) out += '_';
            std::string one;
            unicode::appendScalar(one, c);
            out += unicode::lowercased(one);
        } else {
            out.append(text, start, i - start);
        }
        previousNotUpper = !upper;
    }
    return BinaryDistinctString(out);
}

std::optional<bool> Config::boolean() const {
    switch (kind()) {
        case Kind::boolean:
            return std::get<bool>(data_);
        case Kind::integer:
            return std::get<int64_t>(data_) == 1;
        case Kind::string: {
            std::string s = unicode::lowercased(std::get<BinaryDistinctString>(data_).string());
            if (s == "true" || s == "t" || s == "1") return true;
            if (s == "false" || s == "f" || s == "0") return false;
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::string> Config::stringValue() const {
    if (auto* s = binaryString()) return s->string();
    return std::nullopt;
}

const BinaryDistinctString* Config::binaryString() const {
    return std::get_if<BinaryDistinctString>(&data_);
}

std::optional<int64_t> Config::integerValue() const {
    if (auto* i = std::get_if<int64_t>(&data_)) return *i;
    return std::nullopt;
}

std::optional<float> Config::floatValue() const {
    if (auto* f = std::get_if<float>(&data_)) return *f;
    return std::nullopt;
}

const Config::Array* Config::arrayValue() const {
    if (auto* a = std::get_if<std::shared_ptr<const Array>>(&data_)) return a->get();
    return nullptr;
}

const Config::Dictionary* Config::dictionaryValue() const {
    if (auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&data_)) return d->get();
    return nullptr;
}

std::optional<std::vector<std::string>> Config::getStrings() const {
    const Array* a = arrayValue();
    if (!a) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& e : *a)
        if (auto s = e.stringValue()) out.push_back(std::move(*s));
    return out;
}

std::optional<std::pair<uint64_t, std::string>> Config::token() const {
    if (auto* t = std::get_if<Token>(&data_)) return std::make_pair(t->id, t->text.string());
    const Array* a = arrayValue();
    if (!a || a->size() != 2) return std::nullopt;
    auto text = (*a)[0].stringValue();
    auto id = (*a)[1].integerValue();
    // An id must be unsigned; a negative one gives no token rather than a wrapped id.
    if (!text || !id || *id < 0) return std::nullopt;
    return std::make_pair(uint64_t(*id), std::move(*text));
}

std::string Config::description() const {
    switch (kind()) {
        case Kind::string: {
            std::string out(1, '"');
            out += std::get<BinaryDistinctString>(data_).string();
            out += '"';
            return out;
        }
        case Kind::integer:
            return std::to_string(std::get<int64_t>(data_));
        case Kind::boolean:
            return std::get<bool>(data_) ? "true" : "false";
        case Kind::floating:
            return platform::numberText(std::get<float>(data_));
        case Kind::dictionary: {
            const Dictionary& d = *dictionaryValue();
            if (d.empty()) return "{[:]}";
            std::string out = "{[";
            bool first = true;
            for (const auto& [k, v] : d) {
                if (!first) out += ", ";
                first = false;
                out += k.string() + ": " + v.description();
            }
            return out + "]}";
        }
        case Kind::array: {
            std::string out = "[[";
            bool first = true;
            for (const auto& v : *arrayValue()) {
                if (!first) out += ", ";
                first = false;
                out += v.description();
            }
            return out + "]]";
        }
        case Kind::token: {
            const auto& t = std::get<Token>(data_);
            std::string out(1, '(');
            out += std::to_string(t.id);
            out += ", ";
            out += t.text.string();
            out += ')';
            return out;
        }
        case Kind::null:
            break;
    }
    return "null";
}

bool operator==(const Config& a, const Config& b) {
    using K = Config::Kind;
    K ka = a.kind(), kb = b.kind();
    if (ka == K::boolean && (kb == K::string || kb == K::integer || kb == K::boolean)) {
        auto r = b.boolean();
        return r && *r == std::get<bool>(a.data_);
    }
    if (kb == K::boolean && (ka == K::string || ka == K::integer)) {
        auto r = a.boolean();
        return r && *r == std::get<bool>(b.data_);
    }
    if (ka == K::integer && kb == K::floating)
        return float(std::get<int64_t>(a.data_)) == std::get<float>(b.data_);
    if (ka == K::floating && kb == K::integer)
        return float(std::get<int64_t>(b.data_)) == std::get<float>(a.data_);
    if (ka != kb) return false;
    switch (ka) {
        case K::string:
            return std::get<BinaryDistinctString>(a.data_) ==
                   std::get<BinaryDistinctString>(b.data_);
        case K::integer:
            return std::get<int64_t>(a.data_) == std::get<int64_t>(b.data_);
        case K::floating:
            return std::get<float>(a.data_) == std::get<float>(b.data_);
        case K::dictionary: {
            const auto& da = *a.dictionaryValue();
            const auto& db = *b.dictionaryValue();
            if (da.size() != db.size()) return false;
            for (const auto& [k, v] : da) {
                auto it = db.find(k);
                if (it == db.end() || !(it->second == v)) return false;
            }
            return true;
        }
        case K::array:
            return *a.arrayValue() == *b.arrayValue();
        case K::token: {
            const auto& ta = std::get<Config::Token>(a.data_);
            const auto& tb = std::get<Config::Token>(b.data_);
            return ta.id == tb.id && ta.text == tb.text;
        }
        case K::null:
            return true;
        case K::boolean:
            break;  // handled above
    }
    return false;
}

size_t Config::hash() const {
    size_t h = 0;
    switch (kind()) {
        case Kind::string:
            hashCombine(h, 1);
            hashCombine(h, hashUnits(std::get<BinaryDistinctString>(data_).value()));
            break;
        case Kind::integer:
            hashCombine(h, 2);
            hashCombine(h, std::hash<int64_t>{}(std::get<int64_t>(data_)));
            break;
        case Kind::boolean:
            hashCombine(h, 3);
            hashCombine(h, std::get<bool>(data_) ? 1 : 0);
            break;
        case Kind::floating: {
            float f = std::get<float>(data_);
            if (f == 0) f = 0;  // negative zero hashes as zero
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            hashCombine(h, 4);
            hashCombine(h, bits);
            break;
        }
        case Kind::dictionary: {
            hashCombine(h, 5);
            size_t sum = 0;  // order-independent
            for (const auto& [k, v] : *dictionaryValue()) {
                size_t e = std::hash<BinaryDistinctString>{}(k);
                hashCombine(e, v.hash());
                sum += e;
            }
            hashCombine(h, sum);
            break;
        }
        case Kind::array:
            hashCombine(h, 6);
            for (const auto& v : *arrayValue()) hashCombine(h, v.hash());
            break;
        case Kind::token: {
            const auto& t = std::get<Token>(data_);
            hashCombine(h, 7);
            hashCombine(h, t.id);
            hashCombine(h, hashUnits(t.text.value()));
            break;
        }
        case Kind::null:
            hashCombine(h, 0);
            break;
    }
    return h;
}

std::string duplicatingBOMsAfterQuotes(std::string_view in) {
    std::string out;
    out.reserve(in.size() + 1000);
    size_t i = 0;
    while (i < in.size()) {
        out.push_back(in[i]);
        if (in[i] == '"' && i + 3 < in.size() && static_cast<unsigned char>(in[i + 1]) == 0xEF &&
            static_cast<unsigned char>(in[i + 2]) == 0xBB &&
            static_cast<unsigned char>(in[i + 3]) == 0xBF) {
            out += "\xEF\xBB\xBF\xEF\xBB\xBF";
            i += 4;
        } else {
            ++i;
        }
    }
    return out;
}

nlohmann::json bomPreservingJsonObject(std::string_view bytes) {
    // This reader keeps a byte-order mark inside a string as it stands, which
    // is the result the quote-doubling rewrite exists to obtain from readers
    // that drop one; so the bytes go in unchanged. A mark that starts the
    // whole document is skipped as a file signature.
    return platform::parseJson(bytes);
}

}  // namespace vortil
