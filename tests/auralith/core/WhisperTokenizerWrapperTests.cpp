// Control-token ids and word splitting over the real Whisper English tokenizer
// (and variants of it with tokens taken out or moved).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numeric>
#include <string>
#include <vector>

#include "auralith/core/WhisperTokenizerWrapper.hpp"
#include "vortilcore/core/Config.hpp"
#include "vortilcore/tokenizers/AutoTokenizer.hpp"

namespace {

using auralith::SpecialTokens;
using auralith::WhisperTokenizerWrapper;
using auralith::WordTokens;
using Ids = std::vector<std::int64_t>;

const std::filesystem::path kData = VERBOLIN_TEST_DATA_DIR;

nlohmann::json readJson(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return nlohmann::json::parse(in);
}

vortil::TokenizerWrapper makeTokenizer(const nlohmann::json& config, const nlohmann::json& data) {
    const auto tokenizerConfig =
        vortil::Config::fromJson(config, vortil::Config::JsonSource::configurationFile);
    const auto tokenizerData =
        vortil::Config::fromJson(data, vortil::Config::JsonSource::configurationFile);
    const auto& type = vortil::AutoTokenizer::tokenizerClass(tokenizerConfig);
    return vortil::TokenizerWrapper{std::shared_ptr<const vortil::Tokenizer>(
        type.create(tokenizerConfig, tokenizerData, false))};
}

nlohmann::json whisperData() { return readJson(kData / "whisper-en-tokenizer" / "tokenizer.json"); }
nlohmann::json whisperConfig() {
    return readJson(kData / "whisper-en-tokenizer" / "tokenizer_config.json");
}

const WhisperTokenizerWrapper& whisper() {
    static const WhisperTokenizerWrapper wrapper(makeTokenizer(whisperConfig(), whisperData()),
                                                 kData / "whisper-en-tokenizer");
    return wrapper;
}

// Takes a token out of the vocabulary, or gives it another id.
void setToken(nlohmann::json& data, const std::string& content, std::optional<int> id) {
    auto& vocab = data["model"]["vocab"];
    vocab.erase(content);
    auto& added = data["added_tokens"];
    for (auto it = added.begin(); it != added.end();)
        it = (*it)["content"] == content ? added.erase(it) : it + 1;
    if (id) {
        vocab[content] = *id;
        added.push_back({{"id", *id},
                         {"content", content},
                         {"single_word", false},
                         {"lstrip", false},
                         {"rstrip", false},
                         {"normalized", false},
                         {"special", true}});
    }
}

Ids textIds(const std::string& text) {
    const auto ids = whisper().tokenizer().encode(text, false);
    return {ids.begin(), ids.end()};
}

Ids flatten(const WordTokens& split) {
    Ids all;
    for (const auto& group : split.wordTokens) all.insert(all.end(), group.begin(), group.end());
    return all;
}

bool hasReplacementCharacter(const std::string& text) {
    return text.find("\xEF\xBF\xBD") != std::string::npos;
}

TEST(WhisperTokenizerWrapper, ResolvesTheEnglishModelsControlTokens) {
    const auto& t = whisper().specialTokens();
    EXPECT_EQ(t, (SpecialTokens{.endToken = 50256,
                                .englishToken = 50258,
                                .noSpeechToken = 50361,
                                .noTimestampsToken = 50362,
                                .specialTokenBegin = 50256,
                                .startOfPreviousToken = 50360,
                                .startOfTranscriptToken = 50257,
                                .timeTokenBegin = 50363,
                                .transcribeToken = 50358,
                                .translateToken = 50357,
                                .whitespaceToken = 220}));
    EXPECT_EQ(whisper().tokenizerFolder(), kData / "whisper-en-tokenizer");
}

TEST(WhisperTokenizerWrapper, UnknownTokenAnswersDoNotPassForControlTokens) {
    // This tokenizer's configuration names "<|endoftext|>" as its unknown
    // token, so the plain lookup of a string outside the vocabulary answers
    // 50256. Forwarding keeps that answer; the control ids fall back instead.
    EXPECT_EQ(whisper().convertTokenToId(" "), 50256);
    EXPECT_EQ(whisper().convertTokenToId("<|yue|>"), 50256);
    EXPECT_EQ(whisper().specialTokens().whitespaceToken, 220);
    EXPECT_FALSE(whisper().allLanguageTokens().count(50256));

    auto data = whisperData();
    setToken(data, "<|nospeech|>", std::nullopt);
    const WhisperTokenizerWrapper lacking(makeTokenizer(whisperConfig(), data), std::nullopt);
    auto expected = whisper().specialTokens();
    expected.noSpeechToken = 50362;
    EXPECT_EQ(lacking.specialTokens(), expected);
    EXPECT_EQ(lacking.tokenizerFolder(), std::nullopt);
}

TEST(WhisperTokenizerWrapper, TokenizerWithoutControlTokensGetsTheFixedIds) {
    for (const char* toy : {"wordpiece-toy", "unigram-toy"}) {
        SCOPED_TRACE(toy);
        const WhisperTokenizerWrapper wrapper(
            makeTokenizer(readJson(kData / toy / "tokenizer_config.json"),
                          readJson(kData / toy / "tokenizer.json")),
            std::nullopt);
        EXPECT_EQ(wrapper.specialTokens(), (SpecialTokens{50257, 50259, 50362, 50363, 50257, 50361,
                                                          50258, 50364, 50359, 50358, 220}));
        EXPECT_TRUE(wrapper.allLanguageTokens().empty());
    }
}

TEST(WhisperTokenizerWrapper, LanguageTokensLieAboveTheSpecialTokenBegin) {
    const auto& languages = whisper().allLanguageTokens();
    // Every one of Whisper's language codes but "yue", which came later.
    EXPECT_EQ(languages.size(), 99u);
    for (const auto& [id, code] : std::vector<std::pair<std::int64_t, std::string>>{
             {50258, "en"}, {50259, "zh"}, {50265, "ja"}, {50351, "haw"}, {50355, "jw"}}) {
        EXPECT_TRUE(languages.count(id)) << code;
        EXPECT_EQ(whisper().convertIdToToken(id), "<|" + code + "|>");
    }
    for (auto id : languages) {
        EXPECT_GT(id, whisper().specialTokens().specialTokenBegin);
        EXPECT_LT(id, whisper().specialTokens().translateToken);
    }

    // With the end token moved above them, no language token qualifies.
    auto data = whisperData();
    setToken(data, "<|endoftext|>", 51864);
    const WhisperTokenizerWrapper moved(makeTokenizer(whisperConfig(), data), std::nullopt);
    EXPECT_EQ(moved.specialTokens().endToken, 51864);
    EXPECT_EQ(moved.specialTokens().specialTokenBegin, 51864);
    EXPECT_EQ(moved.convertTokenToId("<|ja|>"), 50265);
    EXPECT_TRUE(moved.allLanguageTokens().empty());
}

TEST(WhisperTokenizerWrapper, ForwardsTextAndIdConversions) {
    const auto ids = whisper().encode(" Hello world");
    // The tokenizer's template frames the text with its control tokens.
    ASSERT_GE(ids.size(), 4u);
    EXPECT_EQ(ids.front(), 50257);
    EXPECT_EQ(ids.back(), 50256);
    EXPECT_EQ(whisper().decode(textIds(" Hello world")), " Hello world");
    EXPECT_EQ(whisper().convertTokenToId("<|notimestamps|>"), 50362);
    EXPECT_EQ(whisper().convertIdToToken(50363), "<|0.00|>");
    EXPECT_EQ(whisper().convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(whisper().convertIdToToken(std::int64_t{1} << 40), std::nullopt);
    // Ids that are no token of this tokenizer are left out, never wrapped around.
    EXPECT_EQ(whisper().decode({(std::int64_t{1} << 32) + 15496}), "");
}

TEST(WhisperTokenizerWrapper, EnglishSplitsAtBlanksAndPunctuation) {
    const auto& st = whisper().specialTokens();
    Ids ids = {st.startOfTranscriptToken, st.englishToken, st.transcribeToken, st.timeTokenBegin};
    const auto text = textIds(" Hello, world. It's unbelievable");
    ids.insert(ids.end(), text.begin(), text.end());
    ids.push_back(st.timeTokenBegin + 50);
    ids.push_back(st.endToken);

    const auto split = whisper().splitToWordTokens(ids);
    EXPECT_EQ(split.words,
              (std::vector<std::string>{"<|startoftranscript|>", "<|en|>", "<|transcribe|>",
                                        "<|0.00|>", " Hello", ",", " world", ".", " It's",
                                        " unbelievable", "<|1.00|>", "<|endoftext|>"}));
    ASSERT_EQ(split.words.size(), split.wordTokens.size());
    EXPECT_EQ(flatten(split), ids);
    // " It" and "'s" are two tokens that make one word.
    EXPECT_EQ(split.wordTokens[8], textIds(" It's"));
    EXPECT_EQ(split.wordTokens[8].size(), 2u);
    EXPECT_EQ(split.words, whisper().splitTokensOnSpaces(ids).words);
}

TEST(WhisperTokenizerWrapper, SpaceRuleStartsAndJoinsWords) {
    // Subwords without a blank join the word before them; a lone punctuation
    // mark (blanks and tabs aside) stands alone; a blank starts a word.
    struct Case {
        std::string text;
        std::vector<std::string> words;
    };
    const std::vector<Case> cases = {
        {" well-known", {" well", "-known"}},         {" end. Next", {" end", ".", " Next"}},
        {" don't stop", {" don't", " stop"}},         {"Hi!!", {"Hi!!"}},
        {"\u00bfQu\u00e9?", {"\u00bfQu\u00e9", "?"}}, {" a\t,b", {" a\t", ",b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto ids = textIds(c.text);
        const auto split = whisper().splitTokensOnSpaces(ids);
        EXPECT_EQ(split.words, c.words);
        EXPECT_EQ(flatten(split), ids);
    }
}

TEST(WhisperTokenizerWrapper, EmptyInputGivesNoWords) {
    for (const auto& split : {whisper().splitToWordTokens({}), whisper().splitTokensOnSpaces({}),
                              whisper().splitTokensOnUnicode({})}) {
        EXPECT_TRUE(split.words.empty());
        EXPECT_TRUE(split.wordTokens.empty());
    }
}

TEST(WhisperTokenizerWrapper, ScriptsWithoutSpacesSplitPerCharacter) {
    for (const std::string text :
         {"\u3053\u3093\u306b\u3061\u306f\u3001\u4e16\u754c", "\u4f60\u597d\u4e16\u754c",
          "\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35\u0e04\u0e23\u0e31\u0e1a"}) {
        SCOPED_TRACE(text);
        const auto ids = textIds(text);
        const auto split = whisper().splitToWordTokens(ids);
        EXPECT_EQ(split.words, whisper().splitTokensOnUnicode(ids).words);
        EXPECT_EQ(flatten(split), ids);
        EXPECT_EQ(std::accumulate(split.words.begin(), split.words.end(), std::string()), text);
        for (const auto& word : split.words) EXPECT_FALSE(hasReplacementCharacter(word)) << word;
    }
}

TEST(WhisperTokenizerWrapper, ACharacterSplitAcrossTokensIsOneWord) {
    // Rare kanji are stored as single bytes: each token alone is half a character.
    const std::string text = "\u7f79\u9b71";
    const auto ids = textIds(text);
    std::size_t partial = 0;
    for (auto id : ids) partial += hasReplacementCharacter(whisper().decode({id}));
    ASSERT_GT(partial, 0u) << "the tokenizer keeps these characters whole";

    const auto split = whisper().splitToWordTokens(ids);
    EXPECT_EQ(split.words, (std::vector<std::string>{"\u7f79", "\u9b71"}));
    EXPECT_EQ(flatten(split), ids);
    for (const auto& group : split.wordTokens) EXPECT_GT(group.size(), 1u);

    // A sequence that stops inside a character loses that character only.
    Ids cut(ids.begin(), ids.end() - 1);
    const auto tail = whisper().splitTokensOnUnicode(cut);
    EXPECT_EQ(tail.words, (std::vector<std::string>{"\u7f79"}));
    EXPECT_EQ(tail.wordTokens, (std::vector<Ids>{split.wordTokens[0]}));
}

TEST(WhisperTokenizerWrapper, GenuineReplacementCharactersAreKeptWherever) {
    // A real U+FFFD must close its group wherever it stands: a group that
    // never closes loses every token after it, and one at the very end looks
    // like a sequence cut inside a character unless the bytes are read.
    for (const std::string text :
         {" ok \xEF\xBF\xBD then \xE7\xBD\xB9 fine", " ok \xEF\xBF\xBD", "\xEF\xBF\xBD",
          "\xEF\xBF\xBD\xEF\xBF\xBD", " \xE7\xBD\xB9\xEF\xBF\xBD", " end.\xEF\xBF\xBD"}) {
        SCOPED_TRACE(text);
        const auto ids = textIds(text);
        const auto split = whisper().splitTokensOnUnicode(ids);
        EXPECT_EQ(flatten(split), ids);
        EXPECT_EQ(std::accumulate(split.words.begin(), split.words.end(), std::string()), text);
        const auto spaces = whisper().splitTokensOnSpaces(ids);
        EXPECT_EQ(flatten(spaces), ids);
        EXPECT_EQ(std::accumulate(spaces.words.begin(), spaces.words.end(), std::string()), text);
    }
}

TEST(WhisperTokenizerWrapper, OnlyTheCutCharacterAfterARealOneIsDropped) {
    const std::string kept = " a\xEF\xBF\xBD";
    auto ids = textIds(kept + "\xE7\xBD\xB9");
    const auto whole = textIds("\xE7\xBD\xB9");
    ASSERT_GT(whole.size(), 1u) << "the tokenizer keeps this character whole";
    ids.pop_back();
    const auto split = whisper().splitTokensOnUnicode(ids);
    EXPECT_EQ(std::accumulate(split.words.begin(), split.words.end(), std::string()), kept);
    EXPECT_EQ(flatten(split), textIds(kept));
}

}  // namespace
