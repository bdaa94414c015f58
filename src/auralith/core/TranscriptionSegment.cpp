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
    out = Json::object();
    out["id"] = value.id;
    out["seek"] = value.seek;
    out["start"] = json::number(value.start);
    out["end"] = json::number(value.end);
    out["text"] = value.text;
    out["tokens"] = value.tokens;
    Json probs = Json::array();
    for (const auto& map : value.tokenLogProbs) {
        Json entry = Json::object();
        for (const auto& [token, logProb] : map) entry[std::to_string(token)] = json::number(logProb);
        probs.push_back(std::move(entry));
    }
    out["tokenLogProbs"] = std::move(probs);
    out["temperature"] = json::number(value.temperature);
    out["avgLogprob"] = json::number(value.avgLogprob);
    out["compressionRatio"] = json::number(value.compressionRatio);
    out["noSpeechProb"] = json::number(value.noSpeechProb);
    if (value.words) out["words"] = *value.words;
}

template <class Json>
void decode(const Json& in, TranscriptionSegment& value) {
    value.id = in.at("id").template get<int64_t>();
    value.seek = in.at("seek").template get<int64_t>();
    value.start = in.at("start").template get<float>();
    value.end = in.at("end").template get<float>();
    value.text = in.at("text").template get<std::string>();
    value.tokens = in.at("tokens").template get<std::vector<int64_t>>();
    value.tokenLogProbs.clear();
    for (const auto& entry : in.at("tokenLogProbs")) {
        if (!entry.is_object()) throw std::invalid_argument("tokenLogProbs entries must be objects");
        std::map<int64_t, float> map;
        for (const auto& [key, logProb] : entry.items()) map[tokenIdFromKey(key)] = logProb.template get<float>();
        value.tokenLogProbs.push_back(std::move(map));
    }
    value.temperature = in.at("temperature").template get<float>();
    value.avgLogprob = in.at("avgLogprob").template get<float>();
    value.compressionRatio = in.at("compressionRatio").template get<float>();
    value.noSpeechProb = in.at("noSpeechProb").template get<float>();
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
