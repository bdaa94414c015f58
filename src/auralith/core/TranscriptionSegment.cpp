#include "auralith/core/TranscriptionSegment.hpp"

#include <charconv>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "auralith/core/HashCombine.hpp"
#include "auralith/utilities/JSONCodingErrors.hpp"
#include "auralith/utilities/JSONValues.hpp"

namespace auralith {

TranscriptionSegment::TranscriptionSegment(int64_t id, int64_t seek, float start, float end,
                                           std::string text, std::vector<int64_t> tokens,
                                           std::vector<std::map<int64_t, float>> tokenLogProbs,
                                           float temperature, float avgLogprob,
                                           float compressionRatio, float noSpeechProb,
                                           std::optional<std::vector<WordTiming>> words)
    : id(id),
      seek(seek),
      start(start),
      end(end),
      text(std::move(text)),
      tokens(std::move(tokens)),
      tokenLogProbs(std::move(tokenLogProbs)),
      temperature(temperature),
      avgLogprob(avgLogprob),
      compressionRatio(compressionRatio),
      noSpeechProb(noSpeechProb),
      words(std::move(words)) {}

namespace {

namespace jv = json_values;
using Json = jv::Json;

// A token-probability key is the token id in decimal. Spellings of one id
// ("5", "05", "-0" and "0") would silently overwrite each other's value, so
// a second spelling of an id already read is refused.
std::map<int64_t, float> readTokenLogProbs(const Json& entry, std::string_view path) {
    jv::requireObject(entry, path);
    std::map<int64_t, float> map;
    for (const auto& [key, logProb] : entry.items()) {
        const std::string at = std::string(path) + "." + key;
        int64_t id = 0;
        auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), id);
        if (key.empty() || error != std::errc() || end != key.data() + key.size())
            throw DecodingError(DecodingError::Kind::dataCorrupted, at,
                                "Key \"" + key + "\" is not a token id.");
        if (logProb.is_null())
            throw DecodingError(DecodingError::Kind::valueNotFound, at,
                                "Expected a value but found null.");
        if (!map.emplace(id, jv::readFloat(logProb, at)).second)
            throw DecodingError(DecodingError::Kind::dataCorrupted, at,
                                "Duplicate token id " + std::to_string(id) + ".");
    }
    return map;
}

Json encode(const TranscriptionSegment& value) {
    Json built = Json::object();
    built["id"] = value.id;
    built["seek"] = value.seek;
    built["start"] = jv::floatNumber(value.start, "start");
    built["end"] = jv::floatNumber(value.end, "end");
    built["text"] = value.text;
    built["tokens"] = value.tokens;
    Json probs = Json::array();
    for (std::size_t i = 0; i < value.tokenLogProbs.size(); ++i) {
        Json entry = Json::object();
        for (const auto& [token, logProb] : value.tokenLogProbs[i]) {
            const std::string key = std::to_string(token);
            entry[key] =
                jv::floatNumber(logProb, "tokenLogProbs[" + std::to_string(i) + "]." + key);
        }
        probs.push_back(std::move(entry));
    }
    built["tokenLogProbs"] = std::move(probs);
    built["temperature"] = jv::floatNumber(value.temperature, "temperature");
    built["avgLogprob"] = jv::floatNumber(value.avgLogprob, "avgLogprob");
    built["compressionRatio"] = jv::floatNumber(value.compressionRatio, "compressionRatio");
    built["noSpeechProb"] = jv::floatNumber(value.noSpeechProb, "noSpeechProb");
    if (value.words) built["words"] = *value.words;
    return built;
}

void decode(const Json& in, TranscriptionSegment& value) {
    jv::requireObject(in, "");
    TranscriptionSegment decoded;
    decoded.id = jv::requiredMember(in, "id", jv::readInt64);
    decoded.seek = jv::requiredMember(in, "seek", jv::readInt64);
    decoded.start = jv::requiredMember(in, "start", jv::readFloat);
    decoded.end = jv::requiredMember(in, "end", jv::readFloat);
    decoded.text = jv::requiredMember(in, "text", jv::readString);
    decoded.tokens = jv::requiredMember(in, "tokens", jv::readInt64Array);
    decoded.tokenLogProbs =
        jv::requiredMember(in, "tokenLogProbs", [](const Json& j, std::string_view path) {
            return jv::readArray(j, path, readTokenLogProbs);
        });
    decoded.temperature = jv::requiredMember(in, "temperature", jv::readFloat);
    decoded.avgLogprob = jv::requiredMember(in, "avgLogprob", jv::readFloat);
    decoded.compressionRatio = jv::requiredMember(in, "compressionRatio", jv::readFloat);
    decoded.noSpeechProb = jv::requiredMember(in, "noSpeechProb", jv::readFloat);
    decoded.words = jv::optionalMember(in, "words", [](const Json& j, std::string_view path) {
        return jv::readArray(j, path, jv::readRecord<WordTiming>);
    });
    value = std::move(decoded);
}

}  // namespace

void to_json(nlohmann::json& out, const TranscriptionSegment& value) {
    out = nlohmann::json(encode(value));
}
void to_json(nlohmann::ordered_json& out, const TranscriptionSegment& value) {
    out = encode(value);
}
void from_json(const nlohmann::json& in, TranscriptionSegment& value) { decode(Json(in), value); }
void from_json(const nlohmann::ordered_json& in, TranscriptionSegment& value) { decode(in, value); }

}  // namespace auralith

size_t std::hash<auralith::TranscriptionSegment>::operator()(
    const auralith::TranscriptionSegment& value) const noexcept {
    using auralith::detail::hashValue;
    size_t seed = 0;
    hashValue(seed, value.id);
    hashValue(seed, value.seek);
    hashValue(seed, value.start);
    hashValue(seed, value.end);
    hashValue(seed, value.text);
    hashValue(seed, value.tokens.size());
    for (int64_t token : value.tokens) hashValue(seed, token);
    hashValue(seed, value.tokenLogProbs.size());
    for (const auto& map : value.tokenLogProbs) {
        hashValue(seed, map.size());
        for (const auto& [token, logProb] : map) {
            hashValue(seed, token);
            hashValue(seed, logProb);
        }
    }
    hashValue(seed, value.temperature);
    hashValue(seed, value.avgLogprob);
    hashValue(seed, value.compressionRatio);
    hashValue(seed, value.noSpeechProb);
    hashValue(seed, value.words.has_value());
    if (value.words) {
        for (const auto& word : *value.words) hashValue(seed, word);
    }
    return seed;
}
