// The pipeline's hub side against a fake hub on 127.0.0.1: the support table
// with its fallbacks, model folder download with its second search, and the
// download road of model set-up.

#include <gtest/gtest.h>

#include "auralith/Auralith.hpp"
#include "auralith/utilities/LogCapture.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "support/HubTestEnvironment.hpp"
#include "vortilcore/hub/DownloadTestSupport.hpp"

using auralith::Auralith;
using hubtest::FakeHub;
namespace fs = std::filesystem;

namespace {

const char* const kRemoteTable = R"({"name": "owner-name", "version": "1",
  "device_support": [{"identifiers": ["Linux"], "models": {"default": "openai_whisper-tiny",
                      "supported": ["openai_whisper-tiny", "openai_whisper-base"]}}]})";

class AuralithHubTest : public auralith::testing::LogCaptureTest {
  protected:
    void SetUp() override {
        LogCaptureTest::SetUp();
        Auralith::setDeviceNameProvider([] { return std::string("Linux-x86_64"); });
    }
    void TearDown() override {
        Auralith::setDeviceNameProvider({});
        LogCaptureTest::TearDown();
    }

    auralith::ModelSupport recommended() {
        return Auralith::recommendedRemoteModels("owner/name", hub.temp.path() / "cache",
                                                 std::nullopt, configName, hub.endpoint());
    }
    fs::path download(const std::string& variant) {
        return Auralith::download(variant, hub.temp.path() / "cache", false, "owner/name",
                                  std::nullopt, hub.endpoint());
    }

    testsupport::HubTestEnvironment env;
    FakeHub hub;
    std::string configName = "config.json";
};

TEST_F(AuralithHubTest, TheRemoteTableDecidesForThisMachine) {
    hub.listing({"config.json", "openai_whisper-tiny/config.json"});
    hub.file("config.json", kRemoteTable);
    EXPECT_EQ(recommended().defaultModel, "openai_whisper-tiny");

    // One folder name of many: the glob keeps the supported folders that
    // match, in size order.
    const auto names = Auralith::fetchAvailableModels("owner/name", {"*base*", "*tiny*"},
                                                      hub.temp.path() / "cache", std::nullopt,
                                                      "config.json", hub.endpoint());
    EXPECT_EQ(names, (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-base"}));

    Auralith::setDeviceNameProvider([] { return std::string("Unknown-device"); });
    EXPECT_EQ(recommended().defaultModel, "openai_whisper-base");  // the built-in default
}

TEST_F(AuralithHubTest, AnAmbiguousConfigNameTakesTheFirstAndAMissingOneTheBuiltInTable) {
    hub.listing({"config.json", "config2.json"});
    hub.file("config.json", kRemoteTable);
    capture(vortil::Logging::LogLevel::info);
    configName = "config*.json";
    EXPECT_EQ(recommended().defaultModel, "openai_whisper-tiny");
    EXPECT_EQ(taken(), std::vector<std::string>{
                           "Multiple config files found (2): [\"config.json\", "
                           "\"config2.json\"]. Using first matching file: config.json"});

    configName = "missing.json";
    EXPECT_EQ(recommended().defaultModel, "openai_whisper-base");
    EXPECT_EQ(taken().at(0),
              "No config files found matching \"missing.json\" in owner/name, using fallback");
    EXPECT_EQ(hub.count("GET", FakeHub::resolvePath("missing.json")), 0u);
}

TEST_F(AuralithHubTest, HubFailuresEndInTheBuiltInTableWithOneErrorLine) {
    hub.server.set("/api/models/owner/name/revision/main",
                   testsupport::LocalHttpServer::Reply::answer(500, "down"));
    capture(vortil::Logging::LogLevel::error);
    EXPECT_EQ(recommended().defaultModel, "openai_whisper-base");
    const auto lines = taken();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Fetch model support config failed with error: ", 0), 0u) << lines[0];

    // A file that is not a table falls back the same way.
    hub.listing({"config.json"});
    hub.file("config.json", "{\"name\": 3}");
    EXPECT_EQ(recommended().defaultModel, "openai_whisper-base");
    EXPECT_EQ(taken().size(), 1u);
}

TEST_F(AuralithHubTest, AnAmbiguousVariantIsSearchedAgainAmongOpenaiFolders) {
    hub.listing(
        {"config.json", "openai_whisper-base/model.json", "distil-whisper_base/model.json"});
    hub.file("openai_whisper-base/model.json", "{\"a\":1}");
    const fs::path folder = download("base");
    EXPECT_EQ(folder, hub.repo() / "openai_whisper-base");
    EXPECT_TRUE(fs::exists(folder / "model.json"));
    EXPECT_EQ(hub.count("GET", FakeHub::resolvePath("distil-whisper_base/model.json")), 0u);
}

TEST_F(AuralithHubTest, AVariantThatMatchesNothingFailsAfterTheSecondSearch) {
    hub.listing({"config.json", "openai_whisper-base/model.json"});
    capture(vortil::Logging::LogLevel::debug);
    try {
        download("large-v9");
        FAIL() << "downloaded";
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(e.kind(), auralith::WhisperError::Kind::modelsUnavailable);
        EXPECT_EQ(e.message().rfind("No models found matching \"*openai*large-v9/*\" in ", 0), 0u)
            << e.message();
        EXPECT_NE(e.message().find("owner/name"), std::string::npos);
    }
    const auto lines = taken();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "Multiple models found matching \"*large-v9/*\""),
        1);
}

TEST_F(AuralithHubTest, SetUpDownloadsTheRecommendedVariantOrSaysTheModelWasNotFound) {
    hub.listing({"openai_whisper-base/model.json"});  // no table: the built-in default, base
    hub.file("openai_whisper-base/model.json", "{}");
    auralith::AuralithConfig::Arguments a;
    a.modelRepo = "owner/name";
    a.modelEndpoint = hub.endpoint();
    a.downloadBase = hub.temp.path() / "cache";
    a.download = true;
    a.verbose = false;
    auto pipeline = Auralith::create(auralith::AuralithConfig(a));
    EXPECT_EQ(pipeline->modelFolder(), hub.repo() / "openai_whisper-base");
    EXPECT_EQ(pipeline->modelState(),
              vortil::ModelState::unloaded);  // load unset, no configured folder

    a.model = "tiny";
    try {
        Auralith::create(auralith::AuralithConfig(a));
        FAIL() << "created";
    } catch (const auralith::WhisperError& e) {
        EXPECT_EQ(
            e.message().rfind(
                "Model not found. Please check the model or repo name and try again.\nError: ", 0),
            0u)
            << e.message();
    }
}

}  // namespace
