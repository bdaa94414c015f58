#include "auralith/core/WordTiming.hpp"

#include <utility>

#include "auralith/core/HashCombine.hpp"
#include "auralith/utilities/JSONNumber.hpp"

namespace auralith {

WordTiming::WordTiming(std::string word, std::vector<int64_t> tokens, float start, float end,
                       float probability)
    : word(std::move(word)), tokens(std::move(tokens)), start(start), end(end), probability(probability) {}

namespace {

template <class Json>
void encode(Json& out, const WordTiming& value) {
    // Built aside and moved in at the end: a refused value must not leave a
    // half-built object in `out` (the JSON library leaks it when this runs
    // inside its converting constructor).
    Json built = Json::object();
    built["word"] = value.word;
    built["tokens"] = value.tokens;
    built["start"] = json::number(value.start);
    built["end"] = json::number(value.end);
    built["probability"] = json::number(value.probability);
    out = std::move(built);
}

template <class Json>
void decode(const Json& in, WordTiming& value) {
    value.word = in.at("word").template get<std::string>();
    value.tokens = json::readInt64Array(in.at("tokens"));
    value.start = json::readFloat(in.at("start"));
    value.end = json::readFloat(in.at("end"));
    value.probability = json::readFloat(in.at("probability"));
}

}  // namespace

void to_json(nlohmann::json& out, const WordTiming& value) { encode(out, value); }
void to_json(nlohmann::ordered_json& out, const WordTiming& value) { encode(out, value); }
void from_json(const nlohmann::json& in, WordTiming& value) { decode(in, value); }
void from_json(const nlohmann::ordered_json& in, WordTiming& value) { decode(in, value); }

}  // namespace auralith

size_t std::hash<auralith::WordTiming>::operator()(const auralith::WordTiming& value) const noexcept {
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
