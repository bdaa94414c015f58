#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/system/NetworkPathMonitor.hpp"
#include "support/HubTestEnvironment.hpp"
#include "vortilcore/hub/Etag.hpp"
#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/HubDefaults.hpp"

using namespace vortil;
using testsupport::HubTestEnvironment;

namespace {

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string constructionOutput(std::optional<std::string> token = std::nullopt) {
    testing::internal::CaptureStdout();
    HubApi api(std::nullopt, std::move(token));
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(HubApiToken, SourcesAreTakenInOrderSkippingEmptyOnes) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> vars;
        std::vector<std::pair<std::string, std::string>> files;  // under HOME
        std::optional<std::string> token;
    };
    const std::vector<Case> cases = {
        {"nothing anywhere", {}, {}, std::nullopt},
        {"HF_TOKEN first", {{"HF_TOKEN", "a"}, {"HUGGING_FACE_HUB_TOKEN", "b"}}, {}, "a"},
        {"empty HF_TOKEN skipped", {{"HF_TOKEN", ""}, {"HUGGING_FACE_HUB_TOKEN", "x"}}, {}, "x"},
        {"env token kept verbatim", {{"HF_TOKEN", " spaced "}}, {}, " spaced "},
        {"missing HF_TOKEN_PATH falls to HF_HOME",
         {{"HF_TOKEN_PATH", "/nonexistent/token"}, {"HF_HOME", "~/hfhome"}},
         {{"hfhome/token", "fromhome"}},
         "fromhome"},
        {"HF_TOKEN_PATH with tilde",
         {{"HF_TOKEN_PATH", "~/tok"}},
         {{"tok", "pathtoken"}},
         "pathtoken"},
        {"cache token file trimmed", {}, {{".cache/huggingface/token", "abc\n"}}, "abc"},
        {"CRLF and spaces trimmed", {}, {{".cache/huggingface/token", "  abc\r\n"}}, "abc"},
        {"blank file skipped",
         {},
         {{".cache/huggingface/token", " \n"}, {".huggingface/token", "old"}},
         "old"},
        {"invalid UTF-8 skipped",
         {},
         {{".cache/huggingface/token", "\xff\xfe"}, {".huggingface/token", "ok"}},
         "ok"},
        {"cache before legacy",
         {},
         {{".cache/huggingface/token", "new"}, {".huggingface/token", "old"}},
         "new"},
    };
    for (const Case& c : cases) {
        HubTestEnvironment env;
        for (const auto& [name, value] : c.vars) env.set(name, value);
        for (const auto& [file, content] : c.files) writeFile(env.home() / file, content);
        EXPECT_EQ(HubApi::hfTokenFromEnv(), c.token) << c.name;
        EXPECT_EQ(HubApi().hfToken, c.token) << c.name;
    }
}

TEST(HubApiToken, AGivenTokenWinsEvenWhenEmpty) {
    HubTestEnvironment env;
    env.set("HF_TOKEN", "fromenv");
    EXPECT_EQ(HubApi(std::nullopt, std::string()).hfToken, "");
    EXPECT_EQ(HubApi(std::nullopt, std::string("t")).hfToken, "t");
}

TEST(HubApiToken, NoticeIsPrintedOnlyWhenTheMonitorIsDisabledWithExactlyOne) {
    struct Case {
        const char* value;
        std::optional<std::string> token;
        std::string output;
    };
    const std::vector<Case> cases = {
        {nullptr, std::nullopt, ""},      {"1", std::nullopt, "\U0001F534 NO TOKEN **\n"},
        {"1", "t", "\u2705 got token\n"}, {"1", "", "\u2705 got token\n"},
        {"true", std::nullopt, ""},       {"", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        HubTestEnvironment env;
        env.set("CI_DISABLE_NETWORK_MONITOR", c.value);
        EXPECT_EQ(constructionOutput(c.token), c.output) << (c.value ? c.value : "(unset)");
    }
}

TEST(HubApiConfiguration, EndpointAndDownloadBaseDefaults) {
    HubTestEnvironment env;
    HubApi plain;
    EXPECT_EQ(plain.endpoint, kDefaultHubEndpoint);
    EXPECT_EQ(plain.downloadBase, env.home() / "Documents" / "huggingface");
    EXPECT_FALSE(plain.useBackgroundSession);
    EXPECT_FALSE(plain.useOfflineMode.has_value());
    EXPECT_EQ(plain.sha256Pattern, "^[0-9a-f]{64}$");
    EXPECT_EQ(plain.commitHashPattern, "^[0-9a-f]{40}$");

    env.set("HF_ENDPOINT", "https://mirror.example/base/path");
    env.set("XDG_DOCUMENTS_DIR", "/srv/docs");
    HubApi fromEnv;
    EXPECT_EQ(fromEnv.endpoint, "https://mirror.example/base/path");
    EXPECT_EQ(fromEnv.downloadBase, std::filesystem::path("/srv/docs/huggingface"));

    env.set("HF_ENDPOINT", "");
    EXPECT_EQ(HubApi().endpoint, "");  // set but empty still counts
    env.set("XDG_DOCUMENTS_DIR", "relative/docs");
    EXPECT_EQ(HubApi().downloadBase, env.home() / "Documents" / "huggingface");

    HubApi given("/cache/base", std::nullopt, "http://127.0.0.1:9", true);
    EXPECT_EQ(given.downloadBase, std::filesystem::path("/cache/base"));
    EXPECT_EQ(given.endpoint, "http://127.0.0.1:9");
    EXPECT_TRUE(given.useBackgroundSession);
}

TEST(HubApiRepo, RawValuesAreExact) {
    EXPECT_EQ(hubRepoTypeFromRawValue("spaces"), HubRepoType::spaces);
    EXPECT_EQ(hubRepoTypeFromRawValue("datasets"), HubRepoType::datasets);
    for (const char* raw : {"Models", "model", "models ", "", "MODELS"}) {
        EXPECT_FALSE(hubRepoTypeFromRawValue(raw).has_value()) << raw;
    }
}

TEST(HubApiRepo, JsonRoundTripAndDecodingFailures) {
    const HubApi::Repo repo{"a/b", HubApi::RepoType::datasets};
    const nlohmann::json j = repo;
    EXPECT_EQ(j.dump(), R"({"id":"a/b","type":"datasets"})");
    EXPECT_EQ(j.get<HubApi::Repo>(), repo);
    EXPECT_NE(repo, (HubApi::Repo{"a/b", HubApi::RepoType::models}));

    struct Case {
        const char* json;
        RepoDecodingError::Kind kind;
    };
    for (const Case& c :
         std::vector<Case>{{R"({"type":"models"})", RepoDecodingError::Kind::keyNotFound},
                           {R"({"id":"a/b"})", RepoDecodingError::Kind::keyNotFound},
                           {R"({"id":1,"type":"models"})", RepoDecodingError::Kind::typeMismatch},
                           {R"({"id":"a","type":null})", RepoDecodingError::Kind::typeMismatch},
                           {R"({"id":"a","type":"x"})", RepoDecodingError::Kind::dataCorrupted},
                           {R"([1])", RepoDecodingError::Kind::typeMismatch}}) {
        try {
            (void)nlohmann::json::parse(c.json).get<HubApi::Repo>();
            ADD_FAILURE() << c.json;
        } catch (const RepoDecodingError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.json;
        }
    }
}

TEST(HubApiEtag, Normalization) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases = {
        {"W/\"abc\"", "abc"},         {"\"abc\"", "abc"}, {"abc", "abc"},
        {std::nullopt, std::nullopt}, {"a\"b", "a\"b"},   {"\"\"x\"\"", "x"},
        {"W/W/\"a\"", "W/\"a"},       {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(HubApi::normalizeEtag(in), out) << in.value_or("(none)");
}

// A server without etags names its content by the time of the last change,
// but only a time a minute or more before its answer can name one content.
TEST(HubApiEtag, ALastModifiedNamesContentOnlyAMinuteBeforeTheAnswer) {
    const std::string t = "Tue, 05 Mar 2024 10:00:00 GMT";
    const struct {
        std::optional<std::string> lastModified, date, strong;
    } cases[] = {
        {t, "Tue, 05 Mar 2024 10:01:00 GMT", t},
        {t, "Tue, 05 Mar 2024 10:00:59 GMT", std::nullopt},
        {t, "Tue, 05 Mar 2024 10:00:01 GMT", std::nullopt},
        {t, t, std::nullopt},
        {t, std::nullopt, std::nullopt},
        {"never", "Tue, 05 Mar 2024 10:00:01 GMT", std::nullopt},
        {t, "", std::nullopt},
        {"Tuesday, 05-Mar-24 10:00:00 GMT", "Wed, 06 Mar 2024 10:00:00 GMT",
         "Tuesday, 05-Mar-24 10:00:00 GMT"},
        {"Tue Mar  5 10:00:00 2024", "Tue, 05 Mar 2024 10:00:00 GMT", std::nullopt},
    };
    for (const auto& c : cases) {
        platform::HttpHeaders headers;
        if (c.lastModified) headers.set("Last-Modified", *c.lastModified);
        if (c.date) headers.set("Date", *c.date);
        EXPECT_EQ(strongLastModified(headers), c.strong)
            << c.lastModified.value_or("(none)") << " / " << c.date.value_or("(none)");
    }
    // One time in another of the forms servers write it; text that is no time names nothing.
    EXPECT_TRUE(sameLastModified(t, "Tuesday, 05-Mar-24 10:00:00 GMT"));
    EXPECT_FALSE(sameLastModified("never", "never"));
}

// The path the machine reports is replaced for the rest of this test program.
class HubApiOffline : public ::testing::Test {
  protected:
    static void simulate(bool satisfied, bool expensive = false, bool constrained = false) {
        platform::NetworkPath path;
        path.status = satisfied ? platform::NetworkPath::Status::satisfied
                                : platform::NetworkPath::Status::unsatisfied;
        path.isExpensive = expensive;
        path.isConstrained = constrained;
        platform::NetworkPathMonitor::shared().simulate(path);
    }
    HubTestEnvironment env;
};

TEST_F(HubApiOffline, DecisionTable) {
    NetworkStateActor fresh;
    EXPECT_FALSE(fresh.shouldUseOfflineMode());  // no path seen yet: online

    struct Case {
        bool satisfied, expensive, constrained;
        std::optional<bool> override;
        const char* ciVariable;
        bool offline;
    };
    const std::vector<Case> cases = {
        {true, false, false, std::nullopt, nullptr, false},
        {false, false, false, std::nullopt, nullptr, true},
        {true, true, true, std::nullopt, nullptr, false},
        {false, false, false, false, nullptr, false},
        {true, false, false, true, nullptr, true},
        {false, false, false, std::nullopt, "1", false},
        {false, false, false, std::nullopt, "true", true},
        {false, false, false, std::nullopt, "", true},
        {false, false, false, std::nullopt, " 1", true},
    };
    HubApi api(std::nullopt, std::string());
    for (const Case& c : cases) {
        testsupport::ScopedEnv ci("CI_DISABLE_NETWORK_MONITOR", c.ciVariable);
        simulate(c.satisfied, c.expensive, c.constrained);
        api.useOfflineMode = c.override;
        EXPECT_EQ(api.shouldUseOfflineMode(), c.offline)
            << c.satisfied << c.expensive << c.constrained << (c.ciVariable ? c.ciVariable : "-");
        // The client's own monitor saw the same path.
        EXPECT_EQ(api.networkMonitor->state().isConnected(), c.satisfied);
        EXPECT_EQ(api.networkMonitor->state().isExpensive(), c.expensive);
    }
    simulate(true);
}

namespace {

// The names of the process's threads, one per line.
std::string threadNames() {
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names += entry.path().filename().string() + " " + name + "\n";
    }
    return names;
}

int monitorThreads() {
    int count = 0;
    const std::string names = threadNames();
    for (std::size_t at = names.find(" HubApi.NetMon\n"); at != std::string::npos;
         at = names.find(" HubApi.NetMon\n", at + 1))
        ++count;
    return count;
}

}  // namespace

TEST_F(HubApiOffline, ManyClientsFromManyThreadsShareOneWatcherThread) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 25; ++i) {
                HubApi api(std::nullopt, std::string());
                HubApi copy = api;
                (void)copy.shouldUseOfflineMode();
            }
        });
    }
    // Paths arriving while clients come and go reach the survivors.
    for (int i = 0; i < 50; ++i) simulate(i % 2 == 0);
    for (auto& t : threads) t.join();
    EXPECT_EQ(monitorThreads(), 1) << "threads:\n" << threadNames();
    HubApi survivor(std::nullopt, std::string());
    simulate(false);
    EXPECT_TRUE(survivor.shouldUseOfflineMode());
    EXPECT_FALSE(survivor.networkMonitor->state().isConnected());
    simulate(true);
    EXPECT_FALSE(survivor.shouldUseOfflineMode());
}
