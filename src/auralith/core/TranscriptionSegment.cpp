#include "auralith/core/TranscriptionSegment.hpp"

#include <charconv>
#include <stdexcept>
#include <utility>

#include "auralith/core/HashCombine.hpp"
#include "auralith/utilities/JSONNumber.hpp"

namespace auralith {

namespace {

int64_t tokenIdFromKey(const std::string& key) {
    int64_t id = 0;
    auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), id);
    if (error != std::errc() || end != key.data() + key.size() || key.empty()) {
        throw std::invalid_argument("Invalid token id key in tokenLogProbs: \"" + key + "\"");
    }
    return id;
}

}  // namespace

TranscriptionSegment::TranscriptionSegment(int64_t id, int64_t seek, float start, float end, std::string text,
                                           std::vector<int64_t> tokens,
                                           std::vector<std::map<int64_t, float>> tokenLogProbs,
                                           float temperature, float avgLogprob, float compressionRatio,
                                           float noSpeechProb, std::optional<std::vector<WordTiming>> words)
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

template <class Json>
void encode(Json& out, const TranscriptionSegment& value) {
    // Built aside and moved in at the end: a refused value must not leave a
    // half-built object in `out` (the JSON library leaks it when this runs
    // inside its converting constructor).
    Json built = Json::object();
    built["id"] = value.id;
    built["seek"] = value.seek;
    built["start"] = json::number(value.start);
    built["end"] = json::number(value.end);
    built["text"] = value.text;
    built["tokens"] = value.tokens;
    Json probs = Json::array();
    for (const auto& map : value.tokenLogProbs) {
        Json entry = Json::object();
        for (const auto& [token, logProb] : map) entry[std::to_string(token)] = json::number(logProb);
        probs.push_back(std::move(entry));
    }
    built["tokenLogProbs"] = std::move(probs);
    built["temperature"] = json::number(value.temperature);
    built["avgLogprob"] = json::number(value.avgLogprob);
    built["compressionRatio"] = json::number(value.compressionRatio);
    built["noSpeechProb"] = json::number(value.noSpeechProb);
    if (value.words) built["words"] = *value.words;
    out = std::move(built);
}

template <class Json>
void decode(const Json& in, TranscriptionSegment& value) {
    value.id = json::readInt64(in.at("id"));
    value.seek = json::readInt64(in.at("seek"));
    value.start = json::readFloat(in.at("start"));
    value.end = json::readFloat(in.at("end"));
    value.text = in.at("text").template get<std::string>();
    value.tokens = json::readInt64Array(in.at("tokens"));
    value.tokenLogProbs.clear();
    for (const auto& entry : in.at("tokenLogProbs")) {
        if (!entry.is_object()) throw std::invalid_argument("tokenLogProbs entries must be objects");
        std::map<int64_t, float> map;
        for (const auto& [key, logProb] : entry.items()) map[tokenIdFromKey(key)] = json::readFloat(logProb);
        value.tokenLogProbs.push_back(std::move(map));
    }
    value.temperature = json::readFloat(in.at("temperature"));
    value.avgLogprob = json::readFloat(in.at("avgLogprob"));
    value.compressionRatio = json::readFloat(in.at("compressionRatio"));
    value.noSpeechProb = json::readFloat(in.at("noSpeechProb"));
    auto words = in.find("words");
    if (words == in.end() || words->is_null()) {
        value.words.reset();
    } else {
        value.words = words->template get<std::vector<WordTiming>>();
    }
}

}  // namespace

void to_json(nlohmann::json& out, const TranscriptionSegment& value) { encode(out, value); }
void to_json(nlohmann::ordered_json& out, const TranscriptionSegment& value) { encode(out, value); }
void from_json(const nlohmann::json& in, TranscriptionSegment& value) { decode(in, value); }
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
