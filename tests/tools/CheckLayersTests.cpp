// Runs scripts/check-layers over small checkouts made for each case, the way
// CI runs it over the tree.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ShellCommand.hpp"
#include "support/TempDir.hpp"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

const fs::path kScript =
    fs::path(VERBOLIN_TEST_DATA_DIR) / ".." / ".." / "scripts" / "check-layers";

using Outcome = testsupport::ShellResult;
using testsupport::runShell;

// A git checkout holding `files` (path, contents), checked by the script.
Outcome checkTree(const std::vector<std::pair<std::string, std::string>>& files) {
    TempDir dir("check-layers");
    for (const auto& [path, text] : files) {
        fs::create_directories((dir.path() / path).parent_path());
        std::ofstream(dir.path() / path) << text;
    }
    const std::string root = "'" + dir.path().string() + "'";
    if (runShell("git -C " + root + " init -q && git -C " + root + " add -A").status != 0)
        return {};
    return runShell("'" + kScript.string() + "' --root " + root);
}

}  // namespace

TEST(CheckLayers, AcceptsIncludesThatPointDown) {
    const Outcome r = checkTree({
        {"src/platform/system/Log.hpp", "#pragma once\n"},
        {"src/vortilcore/core/Unicode.hpp", "#include \"platform/system/Log.hpp\"\n"},
        {"src/auralith/core/text/Filter.hpp", "#include \"auralith/core/Decoder.hpp\"\n"},
        {"src/auralith/core/Decoder.hpp", "#include \"auralith/core/text/Filter.hpp\"\n"},
        {"src/auralith/Auralith.cpp", "#include \"auralith/utilities/Logging.hpp\"\n"},
        {"src/verbolin/ui/Window.cpp",
         "#include <QWidget>\n#include \"verbolin/app/AppModel.hpp\"\n"},
        {"tests/verbolin/ui/WindowTests.cpp", "#include <QTest>\n"},
        {"tests/auralith/pipeline/T.cpp", "#include \"vortilcore/core/Unicode.hpp\"\n"},
    });
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST(CheckLayers, RejectsEachWrongWayIncludeWithItsPlace) {
    const std::pair<std::string, std::string> cases[] = {
        // layer up
        {"src/platform/system/Paths.cpp", "#include \"vortilcore/core/Unicode.hpp\"\n"},
        // folder up inside a library
        {"src/auralith/utilities/Result.hpp",
         "#include \"auralith/core/TranscriptionResult.hpp\"\n"},
        // peers
        {"src/verbolin/listening/Engine.cpp", "#include \"verbolin/storage/Segment.hpp\"\n"},
        {"src/platform/ml/Model.cpp", "  #  include <platform/audio/PCMBuffer.hpp>\n"},
        // Qt below the window layer
        {"src/verbolin/app/AppModel.cpp", "#include <QObject>\n"},
        // a folder nobody placed
        {"src/verbolin/extras/Thing.cpp", "#include \"platform/system/Log.hpp\"\n"},
        // a suite reaching above its library
        {"tests/auralith/core/DecoderTests.cpp", "#include \"verbolin/app/AppModel.hpp\"\n"},
    };
    for (const auto& [path, text] : cases) {
        const Outcome r =
            checkTree({{path, text}, {"src/platform/system/Log.hpp", "#pragma once\n"}});
        EXPECT_EQ(r.status, 1) << path << "\n" << r.output;
        EXPECT_NE(r.output.find(path), std::string::npos) << r.output;
    }
}

TEST(CheckLayers, TheTreeItselfPasses) {
    const Outcome r = runShell("'" + kScript.string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
}
