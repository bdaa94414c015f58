#include "auralith/core/WordTiming.hpp"

#include <nlohmann/json.hpp>
#include <utility>

#include "auralith/core/HashCombine.hpp"
#include "auralith/utilities/JSONValues.hpp"

namespace auralith {

WordTiming::WordTiming(std::string word, std::vector<int64_t> tokens, float start, float end,
                       float probability)
    : word(std::move(word)),
      tokens(std::move(tokens)),
      start(start),
      end(end),
      probability(probability) {}

namespace {

namespace jv = json_values;
using Json = jv::Json;

Json encode(const WordTiming& value) {
    Json built = Json::object();
    built["word"] = value.word;
    built["tokens"] = value.tokens;
    built["start"] = jv::floatNumber(value.start, "start");
    built["end"] = jv::floatNumber(value.end, "end");
    built["probability"] = jv::floatNumber(value.probability, "probability");
    return built;
}

void decode(const Json& in, WordTiming& value) {
    jv::requireObject(in, "");
    WordTiming decoded;
    decoded.word = jv::requiredMember(in, "word", jv::readString);
    decoded.tokens = jv::requiredMember(in, "tokens", jv::readInt64Array);
    decoded.start = jv::requiredMember(in, "start", jv::readFloat);
    decoded.end = jv::requiredMember(in, "end", jv::readFloat);
    decoded.probability = jv::requiredMember(in, "probability", jv::readFloat);
    value = std::move(decoded);
}

}  // namespace

void to_json(nlohmann::json& out, const WordTiming& value) { out = nlohmann::json(encode(value)); }
void to_json(nlohmann::ordered_json& out, const WordTiming& value) { out = encode(value); }
void from_json(const nlohmann::json& in, WordTiming& value) { decode(Json(in), value); }
void from_json(const nlohmann::ordered_json& in, WordTiming& value) { decode(in, value); }

}  // namespace auralith

size_t std::hash<auralith::WordTiming>::operator()(
    const auralith::WordTiming& value) const noexcept {
    using auralith::detail::hashValue;
    size_t seed = 0;
    hashValue(seed, value.word);
    hashValue(seed, value.tokens.size());
    for (int64_t token : value.tokens) hashValue(seed, token);
    hashValue(seed, value.start);
    hashValue(seed, value.end);
    hashValue(seed, value.probability);
    return seed;
}
