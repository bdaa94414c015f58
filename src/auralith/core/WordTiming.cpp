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
    out = Json::object();
    out["word"] = value.word;
    out["tokens"] = value.tokens;
    out["start"] = json::number(value.start);
    out["end"] = json::number(value.end);
    out["probability"] = json::number(value.probability);
}

template <class Json>
void decode(const Json& in, WordTiming& value) {
    value.word = in.at("word").template get<std::string>();
    value.tokens = in.at("tokens").template get<std::vector<int64_t>>();
    value.start = in.at("start").template get<float>();
    value.end = in.at("end").template get<float>();
    value.probability = in.at("probability").template get<float>();
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
