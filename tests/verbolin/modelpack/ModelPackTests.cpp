#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "support/FakeSpeechEngine.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"
#include "verbolin/listening/EngineChoice.hpp"
#include "verbolin/listening/ModelPack.hpp"

using namespace verbolin;
using testsupport::FakeSpeechEngine;
namespace fs = std::filesystem;

TEST(ModelPack, CatalogueAndNamedFallBackToTheStandardPack) {
    const ModelPack standard{"standard", 1, "Standard", 130};
    ASSERT_EQ(ModelPack::all().size(), 1u);
    EXPECT_EQ(ModelPack::all().front(), standard);
    for (const char* name : {"standard", "large", "", "Standard"}) {
        EXPECT_EQ(ModelPack::named(name), standard) << name;
    }
}

TEST(ModelPack, SourceAndLocalFolderAreNamedByIdAndVersion) {
    testsupport::TempDir temp;
    testsupport::ScopedEnv data("XDG_DATA_HOME", temp.path().string());
    const ModelPack pack{"tiny", 12, "Tiny", 40};
    EXPECT_EQ(ModelPack::named("standard").checkpointRepo(), "openai/whisper-base.en");
    EXPECT_EQ(pack.localFolder(), temp.path() / "Verbolin" / "models" / "tiny-v12");
    const std::pair<const char*, const char*> urls[] = {
        {"http://127.0.0.1:8000/", "http://127.0.0.1:8000/models/tiny-v12.zip"},
        {"https://packs.example.org/verbolin",
         "https://packs.example.org/verbolin/models/tiny-v12.zip"},
        {"https://packs.example.org/verbolin/",
         "https://packs.example.org/verbolin/models/tiny-v12.zip"},
    };
    for (const auto& [root, url] : urls) EXPECT_EQ(pack.remoteURL(root), url) << root;
    // Each source's size, shown before the real one is known.
    const ModelPack standard = ModelPack::named("standard");
    EXPECT_EQ(standard.approxMB, 130);
    EXPECT_EQ(standard.checkpointApproxMB(), 290);
}

TEST(ModelPack, IsInstalledNeedsBothDecoderAndTokenizer) {
    testsupport::TempDir temp;
    testsupport::ScopedEnv data("XDG_DATA_HOME", temp.path().string());
    const ModelPack pack = ModelPack::named("standard");
    const fs::path folder = pack.localFolder();

    EXPECT_FALSE(pack.isInstalled());
    fs::create_directories(folder / "TextDecoder.mlmodelc");
    EXPECT_FALSE(pack.isInstalled());
    fs::create_directories(folder / "tokenizer");
    EXPECT_FALSE(pack.isInstalled());
    std::ofstream(folder / "tokenizer" / "tokenizer.json") << "{}";
    EXPECT_TRUE(pack.isInstalled());
    fs::remove_all(folder / "TextDecoder.mlmodelc");
    EXPECT_FALSE(pack.isInstalled());
}

TEST(EngineChoice, EqualOnlyWhenAllFourPackFieldsAgree) {
    const ModelPack base{"standard", 1, "Standard", 130};
    EXPECT_EQ(EngineChoice::auralith(base), EngineChoice::auralith(base));
    const ModelPack variants[] = {
        {"other", 1, "Standard", 130},
        {"standard", 2, "Standard", 130},
        {"standard", 1, "Other", 130},
        {"standard", 1, "Standard", 131},
    };
    for (const auto& v : variants) {
        EXPECT_NE(EngineChoice::auralith(base), EngineChoice::auralith(v))
            << v.id << v.version << v.title << v.approxMB;
    }
    EXPECT_EQ(EngineChoice::auralith(base).pack(), base);
}

TEST(FakeSpeechEngine, FollowsItsScriptThenTheDefaultAndRecordsCalls) {
    FakeSpeechEngine engine;
    engine.script(FakeSpeechEngine::Reply::say("hello there"));
    engine.script(FakeSpeechEngine::Reply::fail("model exploded"));
    engine.setDefault(FakeSpeechEngine::Reply::say("again"));
    const std::shared_ptr<SpeechEngine> shared = std::make_shared<FakeSpeechEngine>();
    EXPECT_EQ(shared->name(), "fake");

    const std::vector<float> samples(1600, 0.1f);
    EXPECT_EQ(engine.transcribe(samples, std::nullopt), "hello there");
    try {
        engine.transcribe(samples, std::string("hello there"));
        FAIL() << "expected the scripted error";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "model exploded");
    }
    EXPECT_EQ(engine.transcribe(std::vector<float>(40000), std::nullopt), "again");

    const auto calls = engine.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].sampleCount, 1600u);
    EXPECT_FALSE(calls[0].context);
    EXPECT_EQ(calls[1].context, "hello there");
    EXPECT_EQ(calls[2].sampleCount, 40000u);

    engine.failPrepare("no model files");
    EXPECT_THROW(engine.prepare(), std::runtime_error);
    EXPECT_EQ(engine.prepareCount(), 1);
}

TEST(FakeSpeechEngine, HeldCallsOverlapAcrossThreadsUntilReleased) {
    FakeSpeechEngine engine;
    engine.script(FakeSpeechEngine::Reply::held("first"));
    engine.script(FakeSpeechEngine::Reply::held("second"));
    std::string a, b;
    const std::vector<float> samples(16000);
    std::thread t1([&] { a = engine.transcribe(samples, std::nullopt); });
    ASSERT_TRUE(engine.waitForCalls(1));
    std::thread t2([&] { b = engine.transcribe(samples, std::nullopt); });
    ASSERT_TRUE(engine.waitForCalls(2));
    engine.release(2);
    t1.join();
    t2.join();
    EXPECT_EQ(a, "first");
    EXPECT_EQ(b, "second");
    EXPECT_EQ(engine.maxConcurrentCalls(), 2);
}
