#include <gtest/gtest.h>

#include "AppTestSupport.hpp"
#include "verbolin/app/AppModel.hpp"

using namespace apptest;
using verbolin::AppModel;

// Microphone frames through the listening session, a scripted recogniser and
// the engine into the transcript database, as the application runs them.
TEST(EndToEndTest, SpokenUtterancesLandInTheDatabase) {
    TestEnvironment env;
    EngineWorld world;
    installStandardPack(env.dataPath());
    const auto storeDir = env.home.path() / "store";
    {
        AppModel::Services s;
        s.main = &world.main;
        s.defaults = &world.defaults;
        s.storeDirectory = storeDir;
        s.engine = world.services();
        AppModel model(std::move(s));
        auto& store = model.store();

        // Listening starts by itself once the model is ready.
        ASSERT_TRUE(world.waitForMicrophone());
        ASSERT_TRUE(model.engine().isRecording.peek());
        auto recogniser = world.made().back();
        recogniser->script(FakeSpeechEngine::Reply::say("  Hello from the microphone. \n"));
        recogniser->script(FakeSpeechEngine::Reply::say("Thank you."));  // a known hallucination
        recogniser->script(FakeSpeechEngine::Reply::say("and a second line"));

        world.deliverSilence(5);
        world.deliverSpeech(15);
        ASSERT_TRUE(
            world.runUntil([&] { return store.isSpeaking.peek() && store.level.peek() > 0.5f; }));
        EXPECT_NEAR(store.level.peek(), 0.8194f, 0.001f);  // RMS 0.354 is -9.0 dBFS
        world.deliverSilence(12);
        ASSERT_TRUE(world.runUntil([&] { return store.segments.peek().size() == 1; }));
        EXPECT_FALSE(store.isSpeaking.peek());
        EXPECT_EQ(store.level.peek(), 0.0f);  // the silence after it reads as the floor

        world.speakOneUtterance(1.0);  // recognised as a hallucination: nothing stored
        world.speakOneUtterance(1.0);
        ASSERT_TRUE(world.runUntil([&] { return store.segments.peek().size() == 2; }));
        ASSERT_EQ(recogniser->calls().size(), 3u);
        // The first final is recent, so it is the next decode's context.
        EXPECT_EQ(recogniser->calls()[1].context, "Hello from the microphone.");

        // Quitting: nothing acknowledged is lost.
        model.engine().stopAndWait();
        EXPECT_EQ(world.backend->runningCount(), 0);
    }
    world.main.runPending();

    verbolin::TranscriptStore reopened(storeDir);
    ASSERT_EQ(reopened.segments.peek().size(), 2u);
    EXPECT_EQ(reopened.segments.peek()[0].text, "Hello from the microphone.");
    EXPECT_EQ(reopened.segments.peek()[1].text, "and a second line");
    EXPECT_LT(reopened.segments.peek()[0].start, reopened.segments.peek()[0].end);
}
