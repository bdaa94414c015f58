// A first start on a machine without a speech model: `verbolin --listen`
// installs the standard pack from a loopback hub that serves the trained
// test model as its checkpoint, says how far it got, and then dictates. When
// the hub cannot be reached it says why and how to make the pack by hand,
// and leaves no pack folder.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "support/CheckpointHub.hpp"
#include "support/HeadlessVerbolin.hpp"
#include "support/HubTestEnvironment.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/ScopedUmask.hpp"
#include "support/SpeechAudio.hpp"
#include "support/TrainedModel.hpp"
#include "support/Unprivileged.hpp"
#include "support/WordErrorRate.hpp"
#include "support/ZipBuilder.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The same four held-out sentences, and the same bound, as the dictation
// test with a pack made by hand: the installed pack is that pack.
constexpr double kWordErrorBound = testsupport::kTrainedModelPublishedWER + 0.10;

std::vector<std::string> sentences() {
    auto heldOut = testsupport::heldOutSentences();
    heldOut.resize(4);
    return heldOut;
}

// How a pack whose text decoder's weights were cut short fails to load.
constexpr const char* kCutShort =
    "TextDecoder.mlmodelc/weights.safetensors: file is truncated (header of ";

// The tool's pack of the trained model at `folder`, its text decoder's
// weights cut to their first 1000 bytes unless `cut` is false.
void cutWeightsShort(const fs::path& folder, bool cut = true) {
    for (const auto& [name, bytes] : testsupport::toolPackOfTrainedModel()) {
        fs::create_directories((folder / name).parent_path());
        std::ofstream(folder / name, std::ios::binary) << bytes;
    }
    if (cut) fs::resize_file(folder / "TextDecoder.mlmodelc/weights.safetensors", 1000);
}

}  // namespace

TEST(FirstStartEndToEnd, ListenInstallsTheModelFromTheHubThenDictates) {
    ASSERT_TRUE(testsupport::speechToolsAvailable()) << "espeak-ng and sox make the test speech";
    testsupport::HubTestEnvironment env;
    testsupport::CheckpointHub hub;
    env.set("HF_ENDPOINT", hub.endpoint().c_str());
    env.set("CI_DISABLE_NETWORK_MONITOR", "1");  // loopback only counts as a network here
    testsupport::TempDir dir("verbolin-first-start");
    testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());
    const auto said = sentences();

    // The usual umask: the installed pack, like all the run makes, is its user's alone.
    const testsupport::ScopedUmask usual(022);
    testsupport::HeadlessVerbolin run(dir, pulse);
    ASSERT_TRUE(
        run.waitFor([&] { return run.err().find("Listening.") != std::string::npos; }, 300s))
        << run.err();
    for (const auto& entry : fs::recursive_directory_iterator(dir / "data"))
        EXPECT_EQ(testsupport::groupAndOthersAccess(entry.path().c_str()), 0u) << entry.path();
    const std::string installing = run.err();
    EXPECT_NE(installing.find("Downloading speech model\u2026 "), std::string::npos) << installing;
    EXPECT_NE(installing.find("Installing speech model\u2026"), std::string::npos) << installing;
    EXPECT_EQ(testsupport::filesUnder(run.dataFolder() / "models/standard-v1"),
              testsupport::toolPackOfTrainedModel());

    {
        testsupport::FifoSpeaker speaker(pulse.path("mic.fifo"),
                                         testsupport::sentencesWithPauses(said));
        ASSERT_TRUE(run.waitFor(
            [&] {
                // Every utterance heard has had its final.
                const std::string log = run.events();
                const auto saved = testsupport::occurrences(log, "\tutterance_saved\t");
                return speaker.finished() && saved > 0 &&
                       testsupport::occurrences(log, "\tfinal\t") >= saved;
            },
            180s))
            << run.err();
    }
    run.signal(SIGINT);
    const auto status = run.wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << run.err();

    std::string heard, reference;
    for (const auto& line : testsupport::printedFinals(run.out()))
        // The hub client's line about its token, which this variable adds.
        if (line.find("TOKEN") == std::string::npos && line.find("got token") == std::string::npos)
            heard += line + " ";
    for (const auto& sentence : said) reference += sentence + " ";
    EXPECT_LE(testsupport::wordErrorRate(reference, heard), kWordErrorBound) << heard;
}

// The hub's address answers nothing: the run says why and how to make the
// pack without the network, ends with status 1, and makes no pack folder. A
// pack in place whose weights were cut short is named with the damaged file
// and stays as it was. One whose tokenizer folder the system refuses is
// named with the system's reason, and no server is asked for a copy.
TEST(FirstStartEndToEnd, AnUnreachableHubIsSaidWithTheWayAroundIt) {
    enum class Pack { none, damaged, refused };
    for (const Pack pack : {Pack::none, Pack::damaged, Pack::refused}) {
        SCOPED_TRACE(pack == Pack::none      ? "no pack"
                     : pack == Pack::damaged ? "a damaged pack in place"
                                             : "a pack whose tokenizer folder is refused");
        testsupport::HubTestEnvironment env;
        // A loopback port nothing listens on once its server is gone.
        env.set("HF_ENDPOINT", testsupport::LocalHttpServer().root().c_str());
        env.set("CI_DISABLE_NETWORK_MONITOR", "1");
        testsupport::TempDir dir("verbolin-first-start");
        const fs::path packFolder = dir / "data/Verbolin/models/standard-v1";
        if (pack != Pack::none) cutWeightsShort(packFolder, pack == Pack::damaged);
        const auto before = testsupport::filesUnder(packFolder);
        testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());
        if (pack == Pack::refused) {
            for (const fs::path& reached : {dir.path(), pulse.path(""), env.home()})
                testsupport::handToNobody(reached);
            fs::permissions(packFolder / "tokenizer", fs::perms::none);
        }

        const auto listen = [&] {
            testsupport::HeadlessVerbolin run(dir, pulse);
            const auto status = run.wait(120s);
            const bool exited = status && WIFEXITED(*status);
            return (exited ? "status " + std::to_string(WEXITSTATUS(*status)) : "no exit") + "\n" +
                   run.err();
        };
        const std::string said =
            pack == Pack::refused ? testsupport::unprivileged(listen) : listen();
        if (pack == Pack::refused) fs::permissions(packFolder / "tokenizer", fs::perms(0700));
        EXPECT_TRUE(said.starts_with("status 1\n")) << said;
        const auto expectSaid = [&](const std::string& part, bool present = true) {
            EXPECT_EQ(said.find(part) != std::string::npos, present) << part << " in:\n" << said;
        };
        const std::string unreachable =
            "The speech model could not be downloaded: 127.0.0.1 refused the connection.";
        expectSaid(unreachable, pack != Pack::refused);
        expectSaid("or set HF_ENDPOINT to a mirror", pack != Pack::refused);
        EXPECT_FALSE(fs::exists(dir / "data/Verbolin/models/.install-standard.lock"));
        if (pack == Pack::none) {
            expectSaid("verbolin-models convert <checkpoint-dir> " + packFolder.string());
            EXPECT_FALSE(fs::exists(packFolder));
            continue;
        }
        EXPECT_EQ(testsupport::filesUnder(packFolder), before) << "the pack was touched";
        if (pack == Pack::refused) {
            expectSaid("\nverbolin: Cannot read " + (packFolder / "tokenizer").string() +
                       ": Permission denied\n");
            continue;
        }
        expectSaid("verbolin: The speech model pack at " + packFolder.string() + " is damaged (" +
                   kCutShort);
        expectSaid(") and could not be installed again; its folder is " + packFolder.string() +
                   ". The speech model could not be downloaded");
        expectSaid("convert a checkpoint folder with verbolin-models convert");
    }
}

// With a pack server named, `verbolin --listen` installs the pack from its
// archive over a pack folder that lacks its tokenizer, or whose weights were
// cut short, saying once what was wrong, and then listens; the hub is not
// asked. A pack that an install killed part-way had moved aside, and not yet
// replaced, is taken back and replaced as it would have been.
TEST(FirstStartEndToEnd, ListenInstallsOverAnIncompletePackFromThePackServer) {
    const struct {
        bool cutShort;      // else the tokenizer is missing
        std::string fault;  // said after the pack's folder
        bool setAside = false;
    } cases[] = {
        {false, " lacks tokenizer/tokenizer.json; it is installed again.\n"},
        {true, std::string(" is damaged (") + kCutShort},
        {true, std::string(" is damaged (") + kCutShort, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        testsupport::HubTestEnvironment env;
        testsupport::CheckpointHub hub;
        testsupport::LocalHttpServer packServer;
        testsupport::ZipBuilder zip;
        for (const auto& [name, bytes] : testsupport::toolPackOfTrainedModel())
            zip.file("standard-v1/" + name, bytes);
        packServer.set("/models/standard-v1.zip",
                       testsupport::LocalHttpServer::Reply::ok(zip.bytes()));
        env.set("HF_ENDPOINT", hub.endpoint().c_str());
        env.set("VERBOLIN_PACK_SERVER", packServer.root().c_str());
        env.set("CI_DISABLE_NETWORK_MONITOR", "1");
        testsupport::TempDir dir("verbolin-first-start");
        const fs::path packFolder = dir / "data/Verbolin/models/standard-v1";
        if (c.cutShort)
            cutWeightsShort(packFolder);
        else
            fs::create_directories(packFolder / "TextDecoder.mlmodelc");
        const fs::path aside = dir / "data/Verbolin/models/.replaced-standard";
        if (c.setAside) fs::rename(packFolder, aside);
        testsupport::PrivatePulseServer pulse(testsupport::PrivatePulseServer::pipeMicrophone());

        testsupport::HeadlessVerbolin run(dir, pulse);
        ASSERT_TRUE(
            run.waitFor([&] { return run.err().find("Listening.") != std::string::npos; }, 300s))
            << run.err();
        const std::string said = run.err();
        EXPECT_NE(said.find("Downloading speech model\u2026 "), std::string::npos) << said;
        // The progress in its usual words; what was wrong, said once.
        EXPECT_NE(said.find("\nInstalling speech model\u2026\n"), std::string::npos) << said;
        EXPECT_EQ(said.find("lacked"), std::string::npos) << said;
        const std::string line = "verbolin: The speech model pack at " + packFolder.string();
        EXPECT_NE(said.find(line + c.fault), std::string::npos) << said;
        EXPECT_EQ(testsupport::occurrences(said, line), 1u) << said;
        EXPECT_EQ(testsupport::occurrences(said, "; it is installed again.\n"), 1u) << said;
        EXPECT_EQ(testsupport::filesUnder(packFolder), testsupport::toolPackOfTrainedModel());
        EXPECT_FALSE(fs::exists(aside)) << "the replaced pack was left";
        EXPECT_TRUE(hub.gotPaths().empty());
        // The HEAD, the archive's end read ahead for its directory, the archive.
        EXPECT_EQ(packServer.recorded().size(), 3u) << "installed more than once";
        run.signal(SIGINT);
        const auto status = run.wait(60s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << run.err();
    }
}
