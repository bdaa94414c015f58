// Runs scripts/check-layers over small checkouts made for each case, the way
// CI runs it over the tree.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
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
using Files = std::vector<std::pair<std::string, std::string>>;

// A git checkout holding `files` (path, contents), checked by the script
// with `environment` ("NAME=value ...") set.
Outcome checkTree(const Files& files, const std::string& environment = "") {
    TempDir dir("check layers");  // a space, which make-style dependency lists escape
    for (const auto& [path, text] : files) {
        fs::create_directories((dir.path() / path).parent_path());
        std::ofstream(dir.path() / path) << text;
    }
    const std::string root = "'" + dir.path().string() + "'";
    if (runShell("git -C " + root + " init -q && git -C " + root + " add -A").status != 0)
        return {};
    return runShell(environment + " '" + kScript.string() + "' --root " + root);
}

const Files kNestedJobTree = {
    {"src/vortilcore/hub/Downloader.hpp",
     "#pragma once\nstruct Downloader {\n    void run();\n};\n"},
    {"src/vortilcore/hub/HubApi.hpp",
     "#pragma once\n#include \"vortilcore/hub/Downloader.hpp\"\nstruct HubApi {\n"
     "    struct HubFileDownloader;\n    int snapshot() const;\n};\n"
     "struct HubApi::HubFileDownloader {\n    HubApi hub;\n    int download() const;\n};\n"},
    {"src/vortilcore/hub/HubApiFileDownloader.cpp",
     "#include \"vortilcore/hub/HubApi.hpp\"\n"
     "int HubApi::HubFileDownloader::download() const {\n    return 0;\n}\n"},
    {"src/vortilcore/hub/HubApiSnapshot.cpp",
     "#include \"vortilcore/hub/HubApi.hpp\"\n"
     "int HubApi::snapshot() const {\n    return HubFileDownloader{}.download();\n}\n"},
};

// A tree the check must fail, with what it must say (each in the output) and
// a line it must not (one that would only repeat another).
struct RejectedRow {
    const char* what;
    Files files;
    std::vector<std::string> said;
    std::string notSaid;
};

template <size_t N>
void expectRejected(const RejectedRow (&rows)[N]) {
    const Files app = {{"src/verbolin/app/AppModel.hpp", "#pragma once\n"},
                       {"src/platform/system/Log.hpp", "#pragma once\n"}};
    for (const RejectedRow& row : rows) {
        Files files = app;
        files.insert(files.end(), row.files.begin(), row.files.end());
        const Outcome r = checkTree(files);
        EXPECT_EQ(r.status, 1) << row.what << "\n" << r.output;
        for (const std::string& line : row.said)
            EXPECT_NE(r.output.find(line), std::string::npos) << row.what << "\n" << r.output;
        if (!row.notSaid.empty()) {
            EXPECT_EQ(r.output.find(row.notSaid), std::string::npos) << row.what << "\n"
                                                                     << r.output;
        }
    }
}

}  // namespace

TEST(CheckLayers, AcceptsIncludesThatPointDown) {
    const Outcome r = checkTree({
        {"src/platform/system/Log.hpp", "#pragma once\n"},
        {"src/vortilcore/core/Unicode.hpp", "#include \"platform/system/Log.hpp\"\n"},
        {"src/auralith/core/text/Filter.hpp", "#include \"auralith/core/DecodingOptions.hpp\"\n"},
        {"src/auralith/core/TranscribeTask.hpp", "#include \"auralith/core/text/Filter.hpp\"\n"},
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

// Cases that reading #include lines alone let through: the compiler's view of
// what a file pulls in, however it is spelled and through whatever headers.
TEST(CheckLayers, RejectsWhatOnlyTheCompilerSees) {
    const RejectedRow rows[] = {
        {"a relative include climbing into the app layer",
         {{"src/platform/system/Paths.cpp", "#include \"../../verbolin/app/AppModel.hpp\"\n"}},
         {"src/platform/system/Paths.cpp:1: includes \"../../verbolin/app/AppModel.hpp\"",
          "src/platform/system/Paths.cpp: reaches src/verbolin/app/AppModel.hpp"},
         ""},
        {"an include named by a macro",
         {{"src/platform/system/Paths.cpp",
           "#define APP \"verbolin/app/AppModel.hpp\"\n#include APP\n"}},
         {"src/platform/system/Paths.cpp: reaches src/verbolin/app/AppModel.hpp"},
         ""},
        {"a support header bringing the app layer into a platform suite",
         {{"tests/support/AppFixture.hpp",
           "#pragma once\n#include \"verbolin/app/AppModel.hpp\"\n"},
          {"tests/platform/system/PathsTests.cpp", "#include \"support/AppFixture.hpp\"\n"},
          {"tests/verbolin/app/AppTests.cpp", "#include \"support/AppFixture.hpp\"\n"}},
         {"tests/platform/system/PathsTests.cpp: reaches src/verbolin/app/AppModel.hpp "
          "(verbolin_core is not below platform_system, which it links), through "
          "tests/support/AppFixture.hpp"},
         "tests/verbolin/app/AppTests.cpp"},
        {"the text folder including the transcription task",
         {{"src/auralith/core/text/Filter.hpp", "#include \"auralith/core/TranscribeTask.hpp\"\n"},
          {"src/auralith/core/TranscribeTask.hpp", "#pragma once\n"}},
         {"src/auralith/core/text/Filter.hpp: reaches src/auralith/core/TranscribeTask.hpp "
          "(auralith/core:task is not below auralith/core/text)"},
         ""},
        {"a wrong include reported where it is written, not at every file above it",
         {{"src/platform/system/Paths.hpp",
           "#pragma once\n#include \"verbolin/app/AppModel.hpp\"\n"},
          {"src/platform/system/Paths.cpp", "#include \"platform/system/Paths.hpp\"\n"}},
         {"src/platform/system/Paths.hpp: reaches src/verbolin/app/AppModel.hpp"},
         "src/platform/system/Paths.cpp"},
        {"Qt brought in through a header",
         {{"src/verbolin/app/Bridge.hpp", "#pragma once\n#include <QtCore/QObject>\n"},
          {"src/verbolin/app/AppModel.cpp", "#include \"verbolin/app/Bridge.hpp\"\n"}},
         {"src/verbolin/app/Bridge.hpp: Qt outside src/verbolin/ui: <QtCore/QObject>"},
         "src/verbolin/app/AppModel.cpp"},
        {"a file directly in auralith/core that no floor lists",
         {{"src/auralith/core/Newcomer.hpp", "#pragma once\n"}},
         {"src/auralith/core/Newcomer.hpp: has no place"},
         ""},
        {"a fuzz harness reaching above the library it links",
         {{"fuzz/CMakeLists.txt", "verbolin_fuzzer(ZipFuzzer platform_system)\n"},
          {"fuzz/ZipFuzzer.cpp", "#include \"verbolin/app/AppModel.hpp\"\n"}},
         {"fuzz/ZipFuzzer.cpp: reaches src/verbolin/app/AppModel.hpp"},
         ""},
        {"a source every harness builds, answering to the lowest library among them",
         {{"fuzz/CMakeLists.txt",
           "verbolin_fuzzer(ZipFuzzer platform_system)\n"
           "verbolin_fuzzer(DBFuzzer verbolin_core)\n"},
          {"fuzz/Shared.cpp", "#include \"verbolin/app/AppModel.hpp\"\n"}},
         {"fuzz/Shared.cpp: reaches src/verbolin/app/AppModel.hpp (verbolin_core is not below "
          "platform_system"},
         ""},
        {"a harness linking a library the layer list does not know",
         {{"fuzz/CMakeLists.txt", "verbolin_fuzzer(ZipFuzzer platform_zip)\n"},
          {"fuzz/ZipFuzzer.cpp", "#include \"platform/system/Log.hpp\"\n"}},
         {"fuzz/ZipFuzzer.cpp: belongs to no library"},
         ""},
        {"the support library's sources linking only the system layer",
         {{"tests/support/ManualMainExecutor.cpp", "#include \"platform/audio/PCMBuffer.hpp\"\n"}},
         {"tests/support/ManualMainExecutor.cpp: reaches src/platform/audio/PCMBuffer.hpp"},
         ""},
        {"a header the compiler cannot get through",
         {{"src/platform/system/Self.hpp", "#include \"platform/system/Self.hpp\"\n"}},
         {"the compiler cannot read: src/platform/system/Self.hpp"},
         ""},
    };
    expectRejected(rows);
}

// Two modules that reach each other through includes, however the module's
// files are named.
TEST(CheckLayers, RejectsModulesThatReachEachOther) {
    const RejectedRow rows[] = {
        {"two headers including each other",
         {{"src/vortilcore/hub/HubApi.hpp",
           "#pragma once\n#include \"vortilcore/hub/FileMetadata.hpp\"\n"},
          {"src/vortilcore/hub/FileMetadata.hpp",
           "#pragma once\n#include \"vortilcore/hub/HubApi.hpp\"\n"}},
         {"src/vortilcore/hub/FileMetadata: include cycle: src/vortilcore/hub/FileMetadata, "
          "src/vortilcore/hub/HubApi reach each other"},
         ""},
        {"a factory in its base class's file, three modules round",
         {{"src/verbolin/settings/Defaults.hpp", "#pragma once\n"},
          {"src/verbolin/settings/Defaults.cpp",
           "#include \"verbolin/settings/FileDefaults.hpp\"\n"},
          {"src/verbolin/settings/FileDefaults.hpp",
           "#pragma once\n#include \"verbolin/settings/Store.hpp\"\n"},
          {"src/verbolin/settings/Store.hpp", "#pragma once\n"},
          {"src/verbolin/settings/Store.cpp", "#include \"verbolin/settings/Defaults.hpp\"\n"}},
         {"include cycle: src/verbolin/settings/Defaults, src/verbolin/settings/FileDefaults, "
          "src/verbolin/settings/Store reach each other"},
         ""},
        {"a client's method defined in a .cpp of another name that includes back up",
         {{"src/vortilcore/hub/HubApi.hpp",
           "#pragma once\n// struct Decoy { in a comment defines nothing\n"
           "struct HubApi : Base {\n    struct Logger {\n        void warn();\n    };\n"
           "    void snapshot();\n};\n"},
          {"src/vortilcore/hub/HubApi.cpp", "#include \"vortilcore/hub/HubApi.hpp\"\n"},
          {"src/vortilcore/hub/FileDownloader.hpp",
           "#pragma once\n#include \"vortilcore/hub/HubApi.hpp\"\n"},
          {"src/vortilcore/hub/HubApiSnapshot.cpp",
           "#include \"vortilcore/hub/HubApi.hpp\"\n#include "
           "\"vortilcore/hub/FileDownloader.hpp\"\n"
           "void vortil::HubApi::Logger::warn() {}\n"
           "std::vector<std::string> HubApi::snapshot(\n    int a) {\n    return {};\n}\n"}},
         {"src/vortilcore/hub/FileDownloader: include cycle: src/vortilcore/hub/FileDownloader, "
          "src/vortilcore/hub/HubApi (with HubApiSnapshot.cpp) reach each other"},
         ""},
        {"the transfer engine reaching up into the client whose nested job uses it",
         [] {
             Files files = kNestedJobTree;
             files.push_back({"src/vortilcore/hub/Downloader.cpp",
                              "#include \"vortilcore/hub/Downloader.hpp\"\n"
                              "#include \"vortilcore/hub/HubApi.hpp\"\n"
                              "void Downloader::run() {}\n"});
             return files;
         }(),
         {"src/vortilcore/hub/Downloader: include cycle: src/vortilcore/hub/Downloader, "
          "src/vortilcore/hub/HubApi (with HubApiFileDownloader.cpp, HubApiSnapshot.cpp) reach "
          "each other"},
         ""},
    };
    expectRejected(rows);
}

// A check that cannot run fails, saying why, instead of passing what it never read.
TEST(CheckLayers, FailsPlainlyWithoutACompiler) {
    const Outcome r =
        checkTree({{"src/platform/system/Log.hpp", "#pragma once\n"}}, "CXX=/nonexistent/c++");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("the compiler cannot read: /nonexistent/c++"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Traceback"), std::string::npos) << r.output;
}

TEST(CheckLayers, AcceptsWhatTheBuildAllows) {
    const std::pair<const char*, Files> rows[] = {
        {"a benchmark using the window and a suite's helper",
         {{"bench/TimelineBench.cpp",
           "#include <QWidget>\n#include \"verbolin/ui/Window.hpp\"\n#include "
           "\"verbolin/app/AppTestSupport.hpp\"\n"},
          {"tests/verbolin/app/AppTestSupport.hpp",
           "#pragma once\n#include \"support/Fake.hpp\"\n"},
          {"tests/support/Fake.hpp", "#pragma once\n"}}},
        {"a suite using a lower suite's helper",
         {{"tests/platform/ml/WhisperTestModels.hpp", "#pragma once\n"},
          {"tests/auralith/core/DecoderTests.cpp",
           "#include \"platform/ml/WhisperTestModels.hpp\"\n"}}},
        {"a harness using its folder's helper and the model tool",
         {{"fuzz/CMakeLists.txt", "verbolin_fuzzer(CheckpointFuzzer platform_ml)\n"},
          {"fuzz/FuzzSupport.hpp", "#pragma once\n"},
          {"fuzz/CheckpointFuzzer.cpp",
           "#include \"FuzzSupport.hpp\"\n#include \"Converter.hpp\"\n"},
          {"tools/verbolin-models/Converter.hpp",
           "#pragma once\n#include \"platform/ml/Float16.hpp\"\n"}}},
        {"a nested class's definitions belong to its outer class, not to a namesake elsewhere",
         {{"src/vortilcore/core/Logging.hpp",
           "#pragma once\nclass Logging {\n    struct State {\n        int level;\n    };\n};\n"},
          {"src/auralith/core/audio/Chunker.hpp",
           "#pragma once\n#include \"vortilcore/core/Logging.hpp\"\n"},
          {"src/auralith/core/audio/AudioProcessor.hpp",
           "#pragma once\nclass AudioProcessor {\n    struct State;\n    enum class Mode { a "
           "};\n};\n"},
          {"src/auralith/core/audio/AudioProcessor.cpp",
           "#include \"auralith/core/audio/AudioProcessor.hpp\"\n"
           "#include \"auralith/core/audio/Chunker.hpp\"\n"
           "int AudioProcessor::State::size() const { return 0; }\n"}}},
        {"a call of another module's function is no definition of it",
         {{"src/verbolin/settings/Store.hpp",
           "#pragma once\nstruct Store {\n    static int open();\n};\n"},
          {"src/verbolin/settings/Panel.hpp",
           "#pragma once\n#include \"verbolin/settings/Store.hpp\"\n"},
          {"src/verbolin/settings/Startup.cpp",
           "#include \"verbolin/settings/Panel.hpp\"\nconst int kFirst = Store::open();\n"
           "int read() {\n    return Store::open();\n}\n"}}},
        {"a nested job defined after its outer class in that class's header, both classes' "
         "functions in .cpp files of other names, and the engine they use below both",
         kNestedJobTree},
        {"a header and its own .cpp, and a file name with a space",
         {{"src/platform/system/Log File.hpp", "#pragma once\n"},
          {"src/platform/system/Log File.cpp", "#include \"platform/system/Log File.hpp\"\n"}}},
    };
    for (const auto& [what, files] : rows) {
        const Outcome r = checkTree(files);
        EXPECT_EQ(r.status, 0) << what << "\n" << r.output;
    }
}

// What the script takes from the preprocessor matches the dependencies the
// build itself recorded for every object it compiled, as far as our files go.
TEST(CheckLayers, ReadsTheSameIncludesAsTheBuild) {
    if (!fs::exists(fs::path(VERBOLIN_BINARY_DIR) / "build.ninja"))
        GTEST_SKIP() << "the build's dependencies are read from Ninja; this build is not one";
    const fs::path source = fs::path(VERBOLIN_TEST_DATA_DIR).parent_path().parent_path();
    const Outcome recorded =
        runShell("ninja -C '" + std::string(VERBOLIN_BINARY_DIR) + "' -t deps");
    const Outcome computed = runShell("'" + kScript.string() + "' --deps");
    ASSERT_EQ(recorded.status, 0) << recorded.output;
    ASSERT_EQ(computed.status, 0) << computed.output;

    std::map<std::string, std::set<std::string>> script;
    std::istringstream lines(computed.output);
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(": ");
        if (colon == std::string::npos) continue;
        std::set<std::string>& deps = script[line.substr(0, colon)];
        std::istringstream words(line.substr(colon + 2));
        for (std::string w; words >> w;) deps.insert(w);
    }
    const std::string prefix = fs::weakly_canonical(source).string() + "/";
    const auto ours = [&](const fs::path& where) -> std::string {
        std::string path = fs::weakly_canonical(where).string();
        if (path.rfind(prefix, 0) != 0) return "";
        path = path.substr(prefix.size());
        for (const char* top : {"src/", "tests/", "bench/", "fuzz/", "tools/"})
            if (path.rfind(top, 0) == 0) return path;
        return "";
    };
    // An entry: "<object>: #deps N, deps mtime T (VALID)", then the source and
    // what it included, one per indented line. Objects older than one of
    // their files (a checkout edited since the build) are left out.
    int compared = 0;
    std::istringstream entries(recorded.output);
    std::string line, object;
    std::vector<fs::path> paths;
    bool valid = false;
    const auto compare = [&] {
        const fs::path built = fs::path(VERBOLIN_BINARY_DIR) / object;
        std::error_code ec;
        const auto builtAt = fs::last_write_time(built, ec);
        bool fresh = valid && !ec && !paths.empty();
        for (const fs::path& p : paths) {
            const auto changedAt = fs::last_write_time(p, ec);
            fresh = fresh && !ec && changedAt <= builtAt;
        }
        const std::string file = fresh ? ours(paths.front()) : "";
        if (!file.empty() && script.count(file)) {
            std::set<std::string> deps;
            for (const fs::path& p : paths)
                if (const std::string mine = ours(p); !mine.empty() && mine != file)
                    deps.insert(mine);
            EXPECT_EQ(deps, script[file]) << file;
            ++compared;
        }
        paths.clear();
    };
    while (std::getline(entries, line)) {
        if (line.empty()) continue;
        if (line[0] != ' ') {
            compare();
            object = line.substr(0, line.find(": #deps"));
            valid = line.find("(VALID)") != std::string::npos;
        } else {
            // Ninja keeps paths relative to the build folder where it can.
            paths.push_back(fs::path(VERBOLIN_BINARY_DIR) /
                            line.substr(line.find_first_not_of(' ')));
        }
    }
    compare();
    EXPECT_GT(compared, 20) << "the build recorded too few objects to compare";
}

// The script holds each suite's files to the highest library CMake links the
// suite with: the two lists of which suite links what must not drift apart.
TEST(CheckLayers, HoldsEachSuiteToTheLibraryItLinks) {
    if (!fs::exists(fs::path(VERBOLIN_BINARY_DIR) / "build.ninja"))
        GTEST_SKIP() << "the suites' links are read from build.ninja; this build is not Ninja's";
    const std::map<std::string, int> rank = {
        {"platform_system", 0}, {"platform_audio", 1}, {"platform_ml", 1}, {"vortilcore", 2},
        {"auralith", 3},        {"verbolin_core", 4},  {"verbolin_ui", 5}};
    const Outcome listed = runShell("'" + kScript.string() + "' --places");
    ASSERT_EQ(listed.status, 0) << listed.output;
    std::map<std::string, std::string> place;
    std::istringstream lines(listed.output);
    for (std::string line; std::getline(lines, line);)
        if (const auto colon = line.rfind(": "); colon != std::string::npos)
            place[line.substr(0, colon)] = line.substr(colon + 2);

    // build test_x: CXX_EXECUTABLE_LINKER__test_x_<type> <objects> | <libraries> ...
    const std::regex linkLine(R"(^build (test_\w+): CXX_EXECUTABLE_LINKER\S* ([^|]*)\| (.*)$)");
    const std::regex library(R"(^lib(\w+)\.a$)");
    std::ifstream ninja(fs::path(VERBOLIN_BINARY_DIR) / "build.ninja");
    int suites = 0;
    for (std::string line; std::getline(ninja, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, linkLine)) continue;
        const std::string suite = m[1], objects = m[2], inputs = m[3];
        std::string top;
        std::istringstream linked(inputs);
        for (std::string word; linked >> word;) {
            std::smatch lib;
            if (!std::regex_match(word, lib, library) || !rank.count(lib[1])) continue;
            if (top.empty() || rank.at(lib[1]) > rank.at(top)) top = lib[1];
        }
        ASSERT_FALSE(top.empty()) << suite << " links none of our libraries";
        const std::string prefix = "CMakeFiles/" + suite + ".dir/";
        std::istringstream built(objects);
        for (std::string object; built >> object;) {
            if (object.rfind(prefix, 0) != 0) continue;
            const std::string source =
                object.substr(prefix.size(), object.size() - prefix.size() - 2);
            EXPECT_EQ(place[source], top) << source << " in " << suite;
        }
        ++suites;
    }
    EXPECT_GT(suites, 10) << "build.ninja names too few suites";
}
