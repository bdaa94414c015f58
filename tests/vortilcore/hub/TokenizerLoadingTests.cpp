#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "support/HubTestEnvironment.hpp"
#include "support/LocalHttpServer.hpp"
#include "vortilcore/hub/AutoTokenizerWrapper.hpp"
#include "vortilcore/hub/LanguageModelConfigurationFromHub.hpp"
#include "vortilcore/tokenizers/LlamaPreTrainedTokenizer.hpp"
#include "vortilcore/tokenizers/PreTrainedTokenizer.hpp"
#include "vortilcore/tokenizers/TokenizerError.hpp"

using namespace vortil;
using testsupport::LocalHttpServer;
using Reply = LocalHttpServer::Reply;
namespace fs = std::filesystem;

namespace {

const fs::path kData = VERBOLIN_TEST_DATA_DIR;

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Config readConfig(const fs::path& p) {
    return Config::fromJson(bomPreservingJsonObject(readAll(p)),
                            Config::JsonSource::configurationFile);
}

const std::vector<std::string> kTexts = {" Hello world", "Copies agree <|1.00|> \xF0\x9F\x99\x82",
                                         "<|startoftranscript|><|en|> numbers 1234 and   spaces",
                                         ""};

class TokenizerLoadingTest : public ::testing::Test {
  protected:
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(folder / name, std::ios::binary) << content;
    }

    testsupport::HubTestEnvironment env;
    testsupport::TempDir temp;
    fs::path folder = temp.path();
    HubApiWrapper hub{temp.path() / "cache", std::string()};
};

// A repository served the way the hub serves one: its listing, and each
// file's resolve address answering HEAD and GET.
void serveRepo(LocalHttpServer& server, const std::string& id,
               const std::map<std::string, std::string>& files) {
    std::string listing = R"({"siblings":[)";
    for (const auto& [name, content] : files) {
        if (listing.back() != '[') listing += ",";
        listing += R"({"rfilename":")" + name + R"("})";
        server.set(
            "/" + id + "/resolve/main/" + name,
            Reply::ok(content)
                .header("X-Repo-Commit", std::string(40, 'a'))
                .header("ETag", "\"" + std::to_string(std::hash<std::string>()(content)) + "\""));
    }
    server.set("/api/models/" + id + "/revision/main", Reply::ok(listing + "]}"));
}

HubApiWrapper onlineClient(const LocalHttpServer& server, const fs::path& cache) {
    HubApiWrapper hub(cache, std::string(), server.root().substr(0, server.root().size() - 1));
    hub.impl.useOfflineMode = false;
    return hub;
}

}  // namespace

TEST_F(TokenizerLoadingTest, WhisperTokenizerFromItsFolderMatchesTheDirectlyBuiltOne) {
    const fs::path whisper = kData / "whisper-en-tokenizer";
    const TokenizerWrapper loaded = AutoTokenizerWrapper::from(whisper, hub, true);
    const PreTrainedTokenizer reference(readConfig(whisper / "tokenizer_config.json"),
                                        readConfig(whisper / "tokenizer.json"));
    EXPECT_EQ(loaded.encode(" Hello world"), (std::vector<int>{50257, 50362, 18435, 995, 50256}));
    EXPECT_EQ(loaded.convertTokenToId("<|startoftranscript|>"), 50257);
    for (const std::string& text : kTexts) {
        EXPECT_EQ(loaded.encode(text), reference.encode(text)) << text;
        EXPECT_EQ(loaded.decode(loaded.encode(text)), reference.decode(reference.encode(text)))
            << text;
    }
}

TEST_F(TokenizerLoadingTest, WhisperTokenizerFromTheLoopbackHubMatchesTheLocalOne) {
    LocalHttpServer server;
    const fs::path whisper = kData / "whisper-en-tokenizer";
    serveRepo(server, "openai/whisper-tiny",
              {{"tokenizer.json", readAll(whisper / "tokenizer.json")},
               {"tokenizer_config.json", readAll(whisper / "tokenizer_config.json")},
               {"config.json", R"({"model_type":"whisper"})"},
               {"model.bin", "not requested"}});
    const HubApiWrapper client = onlineClient(server, temp.path() / "hubcache");
    const TokenizerWrapper remote =
        AutoTokenizerWrapper::fromPretrained("openai/whisper-tiny", client, true);
    const TokenizerWrapper local = AutoTokenizerWrapper::from(whisper, hub, true);
    for (const std::string& text : kTexts)
        EXPECT_EQ(remote.encode(text), local.encode(text)) << text;
    // Only the requested names were fetched, into the repository's cache folder.
    const fs::path repoFolder =
        client.localRepoLocation({"openai/whisper-tiny", HubApiWrapper::RepoType::models});
    EXPECT_EQ(repoFolder, temp.path() / "hubcache" / "models" / "openai" / "whisper-tiny");
    EXPECT_TRUE(fs::exists(repoFolder / "tokenizer.json"));
    EXPECT_FALSE(fs::exists(repoFolder / "model.bin"));
}

TEST_F(TokenizerLoadingTest, ClassChoiceDiffersBetweenTheRoads) {
    LocalHttpServer server;
    const fs::path llama = kData / "llama-toy";
    serveRepo(server, "owner/llama",
              {{"tokenizer.json", readAll(llama / "tokenizer.json")},
               {"tokenizer_config.json", readAll(llama / "tokenizer_config.json")}});
    const TokenizerWrapper local = AutoTokenizerWrapper::from(llama, hub, true);
    const TokenizerWrapper remote = AutoTokenizerWrapper::fromPretrained(
        "owner/llama", onlineClient(server, temp.path() / "c"), true);
    EXPECT_EQ(dynamic_cast<const LlamaPreTrainedTokenizer*>(local.impl.get()), nullptr);
    EXPECT_NE(dynamic_cast<const LlamaPreTrainedTokenizer*>(remote.impl.get()), nullptr);
}

TEST_F(TokenizerLoadingTest, FolderContentsDecideTheConfigurations) {
    const std::string tokenizerData = R"({"model":{"type":"BPE","vocab":{},"merges":[]}})";
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        bool hasModelConfig;
        std::optional<std::string>
            tokenizerConfig;  // dump of the configured value after the class fallback
    };
    const std::vector<Case> cases = {
        {"only tokenizer.json", {}, false, std::nullopt},
        {"jinja without tokenizer_config",
         {{"chat_template.jinja", "{{ x }}"}, {"config.json", R"({"model_type":"whisper"})"}},
         true,
         R"({"chat_template":"{{ x }}","tokenizer_class":"WhisperTokenizer"})"},
        {"invalid UTF-8 jinja blocks the json template",
         {{"chat_template.jinja", "\xff\xfe"},
          {"chat_template.json", R"({"chat_template":"json"})"}},
         false,
         std::nullopt},
        {"jinja wins over json and the existing key",
         {{"chat_template.jinja", "J"},
          {"chat_template.json", R"({"chat_template":"json"})"},
          {"tokenizer_config.json", R"({"chat_template":"old","tokenizer_class":"X"})"}},
         false,
         R"({"chat_template":"J","tokenizer_class":"X"})"},
        {"json template used without jinja",
         {{"chat_template.json", R"({"chat_template":"from json"})"}},
         false,
         R"({"chat_template":"from json"})"},
        {"json template that is not a string is ignored",
         {{"chat_template.json", R"({"chat_template":[1,2]})"},
          {"tokenizer_config.json", R"({"a":1})"}},
         false,
         R"({"a":1})"},
        {"malformed json template is ignored",
         {{"chat_template.json", "{nope"}},
         false,
         std::nullopt},
        {"class from the model type, other keys kept",
         {{"tokenizer_config.json", R"({"a":1})"}, {"config.json", R"({"model_type":"whisper"})"}},
         true,
         R"({"a":1,"tokenizer_class":"WhisperTokenizer"})"},
        {"no config.json, no class added",
         {{"tokenizer_config.json", R"({"a":1})"}},
         false,
         R"({"a":1})"},
        {"non-string class replaced",
         {{"tokenizer_config.json", R"({"tokenizer_class":5})"},
          {"config.json", R"({"modelType":"gpt_neox"})"}},
         true,
         R"({"tokenizer_class":"Gpt_NeoxTokenizer"})"},
        {"string class kept",
         {{"tokenizer_config.json", R"({"tokenizer_class":"LlamaTokenizer"})"},
          {"config.json", R"({"model_type":"whisper"})"}},
         true,
         R"({"tokenizer_class":"LlamaTokenizer"})"},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        std::ofstream(dir.path() / "tokenizer.json") << tokenizerData;
        for (const auto& [name, content] : c.files)
            std::ofstream(dir.path() / name, std::ios::binary) << content;
        const LanguageModelConfigurationFromHub config(dir.path(), hub);
        EXPECT_EQ(config.configurations().modelConfig.has_value(), c.hasModelConfig) << c.name;
        const std::optional<Config> tokenizerConfig = config.tokenizerConfig();
        ASSERT_EQ(tokenizerConfig.has_value(), c.tokenizerConfig.has_value()) << c.name;
        if (tokenizerConfig) {
            EXPECT_EQ(tokenizerConfig->encoded().dump(), *c.tokenizerConfig) << c.name;
        }
        if (!c.tokenizerConfig) {
            try {
                AutoTokenizerWrapper::from(dir.path(), hub, true);
                ADD_FAILURE() << c.name;
            } catch (const TokenizerError& e) {
                EXPECT_EQ(e.errorCase(), TokenizerError::Case::missingConfig);
                EXPECT_EQ(std::string(e.what()), "Tokenizer configuration is missing.");
            }
        }
    }
}

TEST_F(TokenizerLoadingTest, BadFilesFailWithHubErrors) {
    using C = HubClientError::Case;
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        C error;
        std::string description;  // empty: not checked
    };
    const std::vector<Case> cases = {
        {"no tokenizer.json",
         {{"tokenizer_config.json", "{}"}},
         C::configurationMissing,
         "Required configuration file missing: tokenizer.json"},
        {"tokenizer_config is an array",
         {{"tokenizer.json", "{}"}, {"tokenizer_config.json", "[1]"}},
         C::parse,
         "Failed to parse server response."},
        {"config.json is not JSON",
         {{"tokenizer.json", "{}"}, {"config.json", "{{"}},
         C::jsonSerialization,
         ""},
        {"tokenizer.json is not JSON", {{"tokenizer.json", "\xff"}}, C::jsonSerialization, ""},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        for (const auto& [name, content] : c.files)
            std::ofstream(dir.path() / name, std::ios::binary) << content;
        try {
            LanguageModelConfigurationFromHub::loadConfig(dir.path(), hub);
            ADD_FAILURE() << c.name;
        } catch (const HubClientError& e) {
            EXPECT_EQ(e.errorCase(), c.error) << c.name << ": " << e.what();
            if (!c.description.empty()) {
                EXPECT_EQ(std::string(e.what()), c.description) << c.name;
            }
        }
    }
    // An item that exists but cannot be read as a file.
    testsupport::TempDir dir;
    fs::create_directory(dir.path() / "tokenizer.json");
    try {
        LanguageModelConfigurationFromHub::loadConfig(dir.path(), hub);
        ADD_FAILURE();
    } catch (const HubClientError& e) {
        EXPECT_EQ(e.errorCase(), C::fileSystemError) << e.what();
    }
}

TEST_F(TokenizerLoadingTest, EveryReaderSeesTheSameOutcome) {
    write("tokenizer.json", "{}");
    write("tokenizer_config.json", R"({"a":1})");
    const LanguageModelConfigurationFromHub good(folder, hub);
    const LanguageModelConfigurationFromHub bad(temp.path() / "missing", hub);
    std::vector<std::future<std::string>> readers;
    for (int i = 0; i < 8; ++i) {
        readers.push_back(std::async(std::launch::async, [&] {
            std::string seen = good.tokenizerConfig()->encoded().dump();
            try {
                bad.configurations();
            } catch (const HubClientError& e) {
                seen += std::string("|") + e.what();
            }
            return seen;
        }));
    }
    for (auto& r : readers)
        EXPECT_EQ(r.get(), R"({"a":1}|Required configuration file missing: tokenizer.json)");
}

TEST(TokenizerHubRoad, FetchErrorsAreMapped) {
    using platform::HttpError;
    using platform::UrlErrorCode;
    struct Case {
        std::exception_ptr error;
        std::string description;
    };
    const std::vector<Case> cases = {
        {std::make_exception_ptr(HttpError(UrlErrorCode::resourceUnavailable, "gone")),
         "Resource not found: owner/name"},
        {std::make_exception_ptr(HttpError(UrlErrorCode::notConnectedToInternet, "offline")),
         "Network error: offline"},
        {std::make_exception_ptr(HttpError(UrlErrorCode::networkConnectionLost, "lost")),
         "Network error: lost"},
        {std::make_exception_ptr(HttpError(UrlErrorCode::timedOut, "slow")), "Network error: slow"},
        {std::make_exception_ptr(HubClientError::fileNotFound("x")), "File not found: x"},
        {std::make_exception_ptr(EnvironmentError::offlineModeError("m")), "Offline mode error: m"},
    };
    for (const Case& c : cases) {
        try {
            std::rethrow_exception(
                LanguageModelConfigurationFromHub::mapFetchError(c.error, "owner/name"));
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.description);
        }
    }
}

TEST(TokenizerHubRoad, AnUnreachableHubReportsTheListingFailure) {
    testsupport::HubTestEnvironment env;
    testsupport::TempDir temp;
    std::string endpoint;
    {
        LocalHttpServer closed;
        endpoint = closed.root().substr(0, closed.root().size() - 1);
    }
    HubApiWrapper client(temp.path(), std::string(), endpoint);
    client.impl.useOfflineMode = false;
    try {
        AutoTokenizerWrapper::fromPretrained("owner/name", client, true);
        FAIL();
    } catch (const HubClientError& e) {
        EXPECT_EQ(e.errorCase(), HubClientError::Case::downloadError) << e.what();
    }
}

TEST(HubApiWrapperTests, LocationsAndSharedInstance) {
    testsupport::HubTestEnvironment env;
    const HubApiWrapper wrapper("/base");
    EXPECT_EQ(wrapper.localRepoLocation({"a/b", HubApiWrapper::RepoType::spaces}),
              fs::path("/base/spaces/a/b"));
    EXPECT_EQ(wrapper.localRepoLocation({"a/b", HubApiWrapper::RepoType::datasets}),
              fs::path("/base/datasets/a/b"));
    EXPECT_EQ(wrapper.localRepoLocation({"openai/whisper-base", HubApiWrapper::RepoType::models}),
              fs::path("/base/models/openai/whisper-base"));
    EXPECT_EQ(HubApiWrapper().localRepoLocation({"o/n", HubApiWrapper::RepoType::models}),
              env.home() / "Documents" / "huggingface" / "models" / "o" / "n");

    HubApiWrapper first = HubApiWrapper::shared();
    first.impl.endpoint = "changed";
    EXPECT_NE(HubApiWrapper::shared().impl.endpoint, "changed");  // each read is a copy
}
