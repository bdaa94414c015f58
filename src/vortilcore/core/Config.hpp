#pragma once
// The dynamic JSON value through which tokenizer and hub configuration files
// are read. Dictionary keys are BinaryDistinctString, so vocabulary entries
// that differ only in Unicode normalization stay apart, and a member asked for
// in camelCase also finds the file's snake_case key.
//
// Values are immutable and cheap to copy: nested dictionaries and arrays are
// shared, so a sub-configuration can be handed around freely and read from
// any thread. set() is the one mutation; it copies the shared dictionary first.

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "vortilcore/core/BinaryDistinctString.hpp"

namespace vortil {

class Config {
  public:
    enum class Kind { string, integer, boolean, floating, dictionary, array, token, null };

    using Dictionary = std::unordered_map<BinaryDistinctString, Config>;
    using Array = std::vector<Config>;
    struct Token {
        uint64_t id = 0;
        BinaryDistinctString text;
    };

    Config() = default;  // null
    Config(std::nullptr_t) {}
    Config(const char* s) : data_(BinaryDistinctString(s)) {}
    Config(std::string_view s) : data_(BinaryDistinctString(s)) {}
    Config(const char16_t* s) : data_(BinaryDistinctString(std::u16string(s))) {}
    Config(const void*) = delete;  // no silent pointer-to-bool conversions
    Config(const std::string& s) : data_(BinaryDistinctString(s)) {}
    Config(BinaryDistinctString s) : data_(std::move(s)) {}
    Config(int v) : data_(int64_t(v)) {}
    Config(int64_t v) : data_(v) {}
    Config(bool v) : data_(v) {}
    Config(float v) : data_(v) {}
    Config(double v) : data_(float(v)) {}
    Config(Dictionary d) : data_(std::make_shared<const Dictionary>(std::move(d))) {}
    Config(Array a) : data_(std::make_shared<const Array>(std::move(a))) {}
    Config(Token t) : data_(std::move(t)) {}
    // Dictionary literal; a repeated key replaces the earlier pair.
    Config(std::initializer_list<std::pair<BinaryDistinctString, Config>> pairs);
    static Config array(std::initializer_list<Config> items) { return Config(Array(items)); }

    // What a JSON document was written as, which decides how it reads.
    enum class JsonSource {
        // A configuration file (tokenizer, model hub): JSON booleans become
        // integer 1 or 0.
        configurationFile,
        // What encoded() wrote: booleans stay booleans and a two-element
        // [unsigned, string] array is a token; never fails.
        encoded,
    };
    // Converts a parsed JSON document. Every whole number that fits a 64-bit
    // integer becomes integer (2.0 included); other numbers become 32-bit
    // floating.
    static Config fromJson(const nlohmann::json& parsed, JsonSource source);
    nlohmann::json encoded() const;

    Kind kind() const { return Kind(data_.index()); }
    bool isNull() const { return kind() == Kind::null; }

    // Lookup: the key as given, then its snake_case form; misses, JSON nulls
    // and non-dictionaries read as null.
    const Config& operator[](const BinaryDistinctString& key) const;
    const Config& get(std::string_view member) const;
    // The same, but nullptr when the receiver is not a dictionary.
    const Config* getIfDictionary(std::string_view member) const;

    // Sets one entry. A receiver that is not a dictionary becomes a dictionary
    // holding just that entry.
    void set(const BinaryDistinctString& key, Config value);

    static BinaryDistinctString uncamelCase(const BinaryDistinctString& key);

    // Typed readings; nullopt / nullptr for values of another shape.
    std::optional<bool> boolean() const;
    std::optional<std::string> stringValue() const;
    const BinaryDistinctString* binaryString() const;
    std::optional<int64_t> integerValue() const;
    std::optional<float> floatValue() const;  // floating only
    const Array* arrayValue() const;
    const Dictionary* dictionaryValue() const;
    // For an array, the texts of its string elements in order; else nullopt.
    std::optional<std::vector<std::string>> getStrings() const;
    // A token, or an array of exactly [string, integer]; id and text.
    std::optional<std::pair<uint64_t, std::string>> token() const;

    std::string description() const;

    friend bool operator==(const Config& a, const Config& b);
    size_t hash() const;

  private:
    using Data =
        std::variant<BinaryDistinctString, int64_t, bool, float, std::shared_ptr<const Dictionary>,
                     std::shared_ptr<const Array>, Token, std::monostate>;
    Data data_ = std::monostate{};
};

// The UTF-8 byte-order mark written twice wherever it directly follows a
// double quote; every other byte is copied unchanged.
std::string duplicatingBOMsAfterQuotes(std::string_view bytes);

// Parses a configuration file's bytes. A byte-order mark at the start of a
// string value is kept as exactly one U+FEFF in the parsed string. Throws
// nlohmann::json::parse_error for malformed input and for nesting deeper
// than platform::kMaxJsonNesting.
nlohmann::json bomPreservingJsonObject(std::string_view bytes);

}  // namespace vortil

template <>
struct std::hash<vortil::Config> {
    size_t operator()(const vortil::Config& c) const noexcept { return c.hash(); }
};
