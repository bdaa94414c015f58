// The verbolin program's own texts, run as a process: help and version, a
// wrong argument, a pack that is missing or does not load, no audio server,
// no display, the transcript's state; one listener per data folder; a signal that comes
// while the program starts.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>

#include "platform/system/OpenFd.hpp"
#include "support/GeneratedAudio.hpp"
#include "support/HeadlessVerbolin.hpp"
#include "support/LeftoverArchives.hpp"
#include "support/PrivatePulseServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/ScopedUmask.hpp"
#include "support/SmallDisk.hpp"
#include "support/TempDir.hpp"
#include "support/Unprivileged.hpp"
#include "verbolin/app/InstanceLock.hpp"
#include "verbolin/headless/CommandLine.hpp"
#include "verbolin/storage/StorageTestSupport.hpp"
#include "verbolin/storage/TranscriptCopy.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

using verbolin::CommandLine;
using Action = CommandLine::Action;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

// Runs a built program with `environment` assignments in front.
ProgramRun run(const std::string& program, const std::string& arguments,
               const std::string& environment = "") {
    testsupport::TempDir dir("verbolin-cli");
    const std::string command = environment + " " + VERBOLIN_BINARY_DIR + "/" + program + " " +
                                arguments + " >'" + (dir / "out").string() + "' 2>'" +
                                (dir / "err").string() + "' </dev/null";
    const int raw = std::system(command.c_str());
    ProgramRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = testsupport::readFile(dir / "out");
    r.err = testsupport::readFile(dir / "err");
    return r;
}

// An utterance of one word, `seconds` after a fixed morning in 2024.
verbolin::Segment wordsAt(int seconds) {
    verbolin::Segment s;
    s.start = platform::dateFromSecondsSince1970(1714557600.0 + seconds);
    s.end = s.start + std::chrono::seconds(1);
    s.text = "words";
    return s;
}

// The data and settings of a run in `home`, for run()'s environment.
std::string homeEnv(const testsupport::TempDir& home) {
    return "XDG_DATA_HOME='" + home.path().string() + "' XDG_CONFIG_HOME='" + home.path().string() +
           "'";
}

// A random-weights pack, quick to make and to load: enough to listen with.
void makeRandomPack(const std::filesystem::path& dataHome) {
    testsupport::runTool(std::string("'") + VERBOLIN_BINARY_DIR + "/verbolin-models' random '" +
                         (dataHome / "Verbolin/models/standard-v1").string() +
                         "' --tokenizer '" VERBOLIN_TEST_DATA_DIR
                         "/whisper-en-tokenizer' --dims d_model=64,heads=2,ffn=128,layers=2");
}

// Whether the process has a handler of its own for `signal` (not the default
// action, not ignored), as /proc shows it.
bool catches(pid_t pid, int signal) {
    const std::string status = testsupport::readFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("SigCgt:\t");
    if (at == std::string::npos) return false;
    const unsigned long long mask = std::stoull(status.substr(at + 8, 16), nullptr, 16);
    return (mask >> (signal - 1)) & 1;
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// Holds the data folder's lock, as the kernel's lock table tells.
bool holdsLock(const std::filesystem::path& dataFolder, pid_t pid) {
    return verbolin::InstanceLock::holder(dataFolder) == pid;
}

}  // namespace

TEST(CommandLine, ArgumentsChooseTheAction) {
    struct Case {
        std::vector<std::string> arguments;
        Action action;
    };
    const Case cases[] = {
        {{}, Action::application},
        {{"--listen"}, Action::listen},
        {{"--status"}, Action::status},
        {{"--listen", "--listen"}, Action::listen},
        {{"-h"}, Action::help},
        {{"--bogus", "--help"}, Action::help},
        {{"--listen", "--version"}, Action::version},
        {{"--listen", "--status"}, Action::invalid},
        {{"--lsiten"}, Action::invalid},
        {{"listen"}, Action::invalid},
        {{"--listen", ""}, Action::invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandLine line = CommandLine::parse(c.arguments);
        EXPECT_EQ(line.action, c.action);
        EXPECT_EQ(line.error.empty(), c.action != Action::invalid) << line.error;
    }
    EXPECT_EQ(CommandLine::parse({"--lsiten"}).error, "unknown option \"--lsiten\"");
}

TEST(HeadlessCommands, HelpAndVersionPrintAndSucceed) {
    for (const char* option : {"--help", "-h"}) {
        SCOPED_TRACE(option);
        const ProgramRun r = run("verbolin", option);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, CommandLine::helpText());
        for (const char* mentioned :
             {"--listen", "--version", "VERBOLIN_INPUT_DEVICE", "VERBOLIN_AUTOSTART",
              "VERBOLIN_DEBUG_DIR", "VERBOLIN_VOICE_PROCESSING", "XDG_DATA_HOME", "XDG_STATE_HOME",
              "recovery file", "HF_TOKEN"})
            EXPECT_NE(r.out.find(mentioned), std::string::npos) << mentioned;
    }
    const ProgramRun version = run("verbolin", "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, CommandLine::versionText() + "\n");
    EXPECT_NE(version.out.find(" 0."), std::string::npos) << version.out;

    const ProgramRun wrong = run("verbolin", "--lsiten");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(wrong.out.empty());
    EXPECT_NE(wrong.err.find("unknown option \"--lsiten\""), std::string::npos) << wrong.err;

    const ProgramRun tool = run("verbolin-models", "--help");
    EXPECT_EQ(tool.status, 0) << tool.err;
    for (const char* mentioned : {"convert", "random", "--tokenizer", "standard-v1"})
        EXPECT_NE(tool.out.find(mentioned), std::string::npos) << mentioned;
}

// Qt would abort with a message about platform plugins; an unset DISPLAY,
// one that does not answer, and a Wayland display Qt cannot use are all
// said plainly, with status 1.
TEST(HeadlessCommands, WithoutADisplayTheWindowlessWaysAreNamed) {
    testsupport::TempDir home("verbolin-cli-home");
    // A display number nothing listens on here.
    int free = 90;
    while (free > 10 && std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(free))) --free;
    const std::string noServer = ":" + std::to_string(free);
    // A runtime folder without a compositor's socket, and a plugin folder
    // that seems to hold Qt's Wayland platform.
    testsupport::TempDir runtime("verbolin-cli-runtime");
    testsupport::TempDir plugins("verbolin-cli-plugins");
    std::filesystem::create_directories(plugins / "platforms");
    std::ofstream(plugins / "platforms/libqwayland-generic.so").put(0);
    const std::string inRuntime = "XDG_RUNTIME_DIR='" + runtime.path().string() + "' ";
    const std::string withPlugin = "QT_PLUGIN_PATH='" + plugins.path().string() + "' ";
    const std::string longName(200, 'w');  // longer than a socket's address holds
    const struct {
        std::string display;  // "-" for unset
        std::string wayland;  // more of the environment; WAYLAND_DISPLAY is unset without it
        std::string why;
    } rows[] = {
        {"-", "", "(DISPLAY is not set)"},
        {"", "", "(DISPLAY is not set)"},
        {noServer, "", "(the display \"" + noServer + "\" named by DISPLAY cannot be opened)"},
        {"not a display", "", "(the display \"not a display\" named by DISPLAY cannot be opened)"},
        {"-", inRuntime + withPlugin + "WAYLAND_DISPLAY=wayland-0",
         "(DISPLAY is not set, and the Wayland display \"wayland-0\" named by WAYLAND_DISPLAY "
         "cannot be opened)"},
        {"-", "-u XDG_RUNTIME_DIR " + withPlugin + "WAYLAND_DISPLAY=wayland-0",
         "(DISPLAY is not set, and the Wayland display \"wayland-0\" cannot be found: "
         "XDG_RUNTIME_DIR is not set)"},
        {"-", inRuntime + withPlugin + "WAYLAND_DISPLAY=" + longName,
         "(DISPLAY is not set, and the Wayland socket path \"" + runtime.path().string() + "/" +
             longName + "\" is too long)"},
        {"-", inRuntime + withPlugin + "WAYLAND_DISPLAY=/nonexistent/wayland-9",
         "(DISPLAY is not set, and the Wayland display \"/nonexistent/wayland-9\" named by "
         "WAYLAND_DISPLAY cannot be opened)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.display + " " + row.wayland);
        // env takes its -u options before any setting.
        const std::string unsetDisplay = row.display == "-" ? " -u DISPLAY" : "";
        const std::string display = row.display == "-" ? "" : " DISPLAY='" + row.display + "'";
        const std::string wayland = row.wayland.empty() ? " -u WAYLAND_DISPLAY" : " " + row.wayland;
        const ProgramRun r =
            run("verbolin", "",
                "env -u QT_QPA_PLATFORM" + unsetDisplay + wayland + display + " " + homeEnv(home));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("no graphical display found " + row.why), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("verbolin --listen"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Reinstalling"), std::string::npos) << r.err;
    }
}

// The counts read as English at every size. Sessions are counted as the
// sidebar lists them: what was said before the first session started is
// listed by day, with no session row of its own.
TEST(HeadlessCommands, StatusCountsSegmentsAndSessions) {
    const struct {
        int segments, sessions;
        const char* line;
        bool readOnlyDisk = false;  // counted as it stands, saying new text would not be saved
    } rows[] = {
        {0, 0, "Transcript: 0 segments, 0 sessions\n"},
        {0, 1, "Transcript: 0 segments, 1 session\n"},
        {1, 0, "Transcript: 1 segment, 1 session\n"},
        {1, 1, "Transcript: 1 segment, 2 sessions\n"},
        {2, 3, "Transcript: 2 segments, 4 sessions\n"},
        {3, 1,
         "Transcript: 3 segments, 2 sessions (new text not saved: the database can only be read)\n",
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        testsupport::TempDir home("verbolin-cli-home");
        std::optional<testsupport::SmallDisk> disk;
        if (row.readOnlyDisk) {
            disk.emplace();
            SKIP_WITHOUT_SMALL_DISK(*disk);
        }
        const auto data = disk ? disk->path() : home.path();
        {
            // The sessions start now, after the segments' day.
            verbolin::TranscriptStore store(data / "Verbolin");
            for (int i = 0; i < row.sessions; ++i) store.startSession("session");
            for (int i = 0; i < row.segments; ++i) store.append(wordsAt(10 * i));
        }
        if (disk) disk->setReadOnly(true);
        const ProgramRun r =
            run("verbolin", "--status",
                "XDG_DATA_HOME='" + data.string() + "' XDG_CONFIG_HOME='" + home.path().string() +
                    "' XDG_STATE_HOME='" + home.path().string() + "'");
        if (disk) disk->setReadOnly(false);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.line), std::string::npos) << r.out << r.err;
        if (disk) {
            EXPECT_NE(r.err.find("Read-only file system"), std::string::npos) << r.err;
        }
    }
}

namespace {

// Every entry below `root` with its kind, mode, size, change times and
// bytes: what a run that only reads leaves as it was. SQLite's WAL and its
// index, which a reader beside a writer shares, only by kind, mode and size
// when `besideWriter`.
std::map<std::string, std::string> snapshot(const std::filesystem::path& root,
                                            bool besideWriter = false) {
    std::map<std::string, std::string> entries;
    // A folder of mode 000 is noted, not entered, by a user it refuses.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             root, std::filesystem::directory_options::skip_permission_denied)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        const std::string name = entry.path().string();
        std::string& noted = entries[name];
        noted = std::to_string(st.st_mode) + " " + std::to_string(st.st_size);
        if (besideWriter && (name.ends_with("-wal") || name.ends_with("-shm"))) continue;
        for (const timespec& t : {st.st_mtim, st.st_ctim})
            noted += " " + std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
        if (S_ISREG(st.st_mode)) noted += " " + testsupport::readFile(entry.path());
    }
    return entries;
}

// What a run of --status finds in the temporary folder besides its own copy.
enum class Leftovers {
    none,
    killedCopies,
    heldCopy,
    fullDisk,
    replacedFolder,
    everyFolderReplaced,
    everyFolderRemoved
};

// Handed the next folder mkdtemp makes, before its maker sees it.
std::function<void(const std::filesystem::path&)> nextMadeFolder;

}  // namespace

// The system's mkdtemp, and nextMadeFolder once: a seam between making a
// folder and writing into it.
extern "C" char* mkdtemp(char* pattern) noexcept {
    using Real = char* (*)(char*);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "mkdtemp"));
    char* made = real(pattern);
    // Only read while not armed: other tests make folders on other threads.
    if (made && nextMadeFolder) std::exchange(nextMadeFolder, nullptr)(made);
    return made;
}

namespace {

// Makes `held`, a copy of `transcript` whose folder, once made, is replaced
// by another user's folder (for root) or a link to `elsewhere`, as a run
// removing leftovers and another user could between. Returns what stands in
// its place.
void replaceMadeFolder(const std::filesystem::path& made, const std::filesystem::path& elsewhere) {
    std::filesystem::remove(made);
    if (::geteuid() != 0) {
        std::filesystem::create_directories(elsewhere);
        std::filesystem::create_directory_symlink(elsewhere, made);
        return;
    }
    std::filesystem::create_directory(made);
    EXPECT_EQ(::lchown(made.c_str(), 65534, 65534), 0) << made;
}

std::filesystem::path copyAfterReplacing(const std::filesystem::path& transcript,
                                         const std::filesystem::path& elsewhere,
                                         std::optional<verbolin::TranscriptCopy>& held) {
    std::filesystem::path replaced;
    nextMadeFolder = [&](const std::filesystem::path& made) {
        replaced = made;
        replaceMadeFolder(made, elsewhere);
    };
    held.emplace(transcript);
    EXPECT_FALSE(nextMadeFolder) << "no folder was made";
    return replaced;
}

// A copy of `transcript` whose every folder, once made, is replaced as
// copyAfterReplacing does, or removed as a run removing leftovers could:
// none can be kept, and the failure says which. Returns the names of what
// stands in their places.
std::set<std::string> copyWhileEveryFolderGoes(const std::filesystem::path& transcript,
                                               const std::filesystem::path& elsewhere,
                                               bool replace) {
    std::set<std::string> replaced;
    std::function<void(const std::filesystem::path&)> go = [&](const std::filesystem::path& made) {
        nextMadeFolder = go;
        if (!replace) return void(std::filesystem::remove(made));
        replaced.insert(made.filename().string());
        replaceMadeFolder(made, elsewhere);
    };
    nextMadeFolder = go;
    std::string said = "a folder was kept";
    try {
        verbolin::TranscriptCopy copy(transcript);
    } catch (const std::runtime_error& e) {
        said = e.what();
    }
    nextMadeFolder = nullptr;
    EXPECT_NE(said.find(replace ? "made was replaced at once" : "made was removed at once"),
              std::string::npos)
        << said;
    return replaced;
}

// A copy of `transcript` as a killed --status leaves it: in a folder no one holds.
void plantKilledCopy(const std::filesystem::path& transcript,
                     const std::filesystem::path& temporary, const std::string& name) {
    std::filesystem::create_directory(temporary / name);
    std::filesystem::copy_file(transcript, temporary / name / transcript.filename());
}

// Plants `kind` in `temporary`: a killed run's copy beside a link to
// `elsewhere` and (for root) another user's folder by such names, or a copy
// still being read, in its own folder or in one whose name another folder
// took. Returns the names that are to stay there.
std::set<std::string> plantLeftovers(Leftovers kind, const std::filesystem::path& transcript,
                                     const std::filesystem::path& temporary,
                                     const std::filesystem::path& elsewhere,
                                     std::optional<verbolin::TranscriptCopy>& held) {
    const testsupport::ScopedEnv tmpdir("TMPDIR", temporary.string());
    if (kind == Leftovers::heldCopy) held.emplace(transcript);
    if (kind == Leftovers::heldCopy) return {held->file().parent_path().filename().string()};
    if (kind == Leftovers::replacedFolder) {
        // The copy is in a folder of its own; nothing reached the one in its place.
        const auto replaced = copyAfterReplacing(transcript, elsewhere, held);
        const auto own = held->file().parent_path();
        EXPECT_NE(own, replaced);
        EXPECT_TRUE(std::filesystem::is_empty(replaced)) << replaced;
        EXPECT_TRUE(std::filesystem::exists(held->file()));
        return {own.filename().string(), replaced.filename().string()};
    }
    if (kind == Leftovers::everyFolderReplaced || kind == Leftovers::everyFolderRemoved)
        return copyWhileEveryFolderGoes(transcript, elsewhere,
                                        kind == Leftovers::everyFolderReplaced);
    if (kind != Leftovers::killedCopies) return {};
    plantKilledCopy(transcript, temporary, "verbolin-status-Killed");
    plantKilledCopy(transcript, elsewhere.parent_path(), elsewhere.filename());
    std::filesystem::create_directory_symlink(elsewhere, temporary / "verbolin-status-Link00");
    if (::geteuid() != 0) return {"verbolin-status-Link00"};
    const auto other = temporary / "verbolin-status-Other0";
    plantKilledCopy(transcript, temporary, other.filename());
    for (const auto& path : {other / transcript.filename(), other})
        EXPECT_EQ(::lchown(path.c_str(), 65534, 65534), 0) << path;
    return {"verbolin-status-Link00", "verbolin-status-Other0"};
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (!entry.path().filename().string().starts_with(".filler-"))
            names.insert(entry.path().filename().string());
    return names;
}

// A recovery file as a run that could not save left it: two texts, one of
// them edited, and the deletion of one the transcript does not hold. Its
// last line is made from a version of `stored` that the transcript does not
// hold: the next start passes it over. Beside `transcript`, a text on a
// line that the transcript marks as taken in already, which no start takes
// in again.
void writeWaiting(const std::filesystem::path& recovery, verbolin::Segment stored,
                  const std::optional<std::filesystem::path>& transcript = std::nullopt) {
    std::filesystem::create_directories(recovery.parent_path());
    verbolin::Segment edited = wordsAt(100);
    std::ofstream out(recovery);
    out << nlohmann::json(wordsAt(50)).dump() << "\n" << nlohmann::json(edited).dump() << "\n";
    edited.text = "edited";
    out << nlohmann::json(edited).dump() << "\n"
        << nlohmann::json{{"deletedSegment", wordsAt(0).id.string()}}.dump() << "\n";
    stored.text = "replaced since";
    nlohmann::json stale = stored;
    stale["before"] = "0123456789abcdef";
    out << stale.dump() << "\n";
    if (!transcript) return;
    const platform::Uuid file = platform::Uuid::random();
    ASSERT_TRUE(verbolin::TranscriptDB(*transcript).apply({.marks = {{file, 3}}}));
    nlohmann::json marked = wordsAt(300);
    marked["file"] = file.string();
    marked["line"] = 2;
    out << marked.dump() << "\n";
}

// A run that stored `utterances` and was killed: its WAL holds them, beside its index.
void leaveKilledWriter(const std::filesystem::path& folder, int utterances) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        verbolin::TranscriptStore store(folder);
        for (int i = 1; i <= utterances; ++i) store.append(wordsAt(10 * i));
        ::raise(SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    ASSERT_GT(std::filesystem::file_size(folder / "transcript.sqlite-wal"), 0u);
}

// What a run of --status finds, and what it says.
struct StatusRow {
    const char* name;
    bool transcript, waiting, legacy, running;
    const char* line;
    int killedWriter = 0;  // utterances a killed run left in the WAL
    bool readOnlyWithoutIndex = false, noTemporaryFolder = false, readerFiles = false;
    Leftovers leftovers = Leftovers::none;
    const char* says = "";   // in the output too
    const char* marks = "";  // the table of recovery marks remade so, after the text waits
    // Why they cannot be read, the transcript's path for "@", where not
    // for a table without its column line.
    const char* keptBecause = nullptr;
};

// The line about what writeWaiting() left in `recovery`. Where the marks
// cannot be read, no start takes the file in: said so, with the table and
// the way out; every line counts, unchecked.
std::string waitsLine(const std::filesystem::path& recovery, const std::filesystem::path& folder,
                      bool marksUnread, const char* keptBecause) {
    const std::string transcript = (folder / "transcript.sqlite").string();
    return "Recovery file: " + std::string(marksUnread ? "4" : "2") +
           " texts and 1 other change wait in " + recovery.string() +
           (!marksUnread ? " to be stored at the next start\n"
            : keptBecause
                ? ", kept until a start can check them: " +
                      std::regex_replace(keptBecause, std::regex("@"), transcript) + "\n"
                : ", kept until a start can check them: cannot read the table recovery_marks of " +
                      transcript +
                      " (no such column: line); rename that table, and the next start makes it "
                      "anew\n");
}

}  // namespace

namespace {

// The rows of the test below.
std::vector<StatusRow> statusRows() {
    return {
        {"a fresh machine", false, false, false, false, "Transcript: none yet\n"},
        {"text waiting, no transcript", false, true, false, false, "Transcript: none yet\n"},
        {"waiting beside transcripts", true, true, true, false,
         "Transcript: 1 segment, 1 session\n"},
        {"a run holding it open", true, false, false, true, "Transcript: 2 segments, 1 session\n"},
        {"a killed run's WAL", true, false, false, false, "Transcript: 12 segments, 1 session\n",
         11},
        {"a killed run's WAL, read-only, without its index", true, false, false, false,
         "Transcript: 12 segments, 1 session (new text not saved", 11, true},
        {"a killed run's WAL, no temporary folder", true, false, false, false,
         "Transcript: 1 segment, 1 session (the newest changes could not be read: cannot make ", 11,
         false, true},
        {"a reader's empty WAL and index", true, false, false, false,
         "Transcript: 1 segment, 1 session\n", 0, false, false, true},
        {"killed runs' copies", true, false, false, false, "Transcript: 12 segments, 1 session\n",
         11, false, false, false, Leftovers::killedCopies},
        {"a copy being read", true, false, false, false, "Transcript: 12 segments, 1 session\n", 11,
         false, false, false, Leftovers::heldCopy},
        {"a copy being read, its folder replaced once made", true, false, false, false,
         "Transcript: 12 segments, 1 session\n", 11, false, false, false,
         Leftovers::replacedFolder},
        {"a copy whose every folder is replaced once made", true, false, false, false,
         "Transcript: 12 segments, 1 session\n", 11, false, false, false,
         Leftovers::everyFolderReplaced},
        {"a copy whose every folder is removed once made", true, false, false, false,
         "Transcript: 12 segments, 1 session\n", 11, false, false, false,
         Leftovers::everyFolderRemoved},
        {"a full temporary folder", true, false, false, false,
         "Transcript: 1 segment, 1 session (the newest changes could not be read: cannot copy ", 11,
         false, false, false, Leftovers::fullDisk, " (No space left on device))\n"},
        {"text waiting, marks that cannot be read", true, true, false, false,
         "Transcript: 1 segment, 1 session\n", 0, false, false, false, Leftovers::none, "wait in",
         "ALTER TABLE recovery_marks RENAME COLUMN line TO lines"},
        {"text waiting, a later release's transcript without marks", true, true, false, false,
         "Transcript: 1 segment, 1 session\n", 0, false, false, false, Leftovers::none, "wait in",
         "DROP TABLE recovery_marks; DROP TABLE IF EXISTS recovery_records; PRAGMA user_version = "
         "2",
         "@ was made by a later release of Verbolin, without the table recovery_marks where "
         "this one marks the recovery lines it takes in; they stay for a release that can mark "
         "them there"},
        {"text waiting, marks that cannot take a mark", true, true, false, false,
         "Transcript: 1 segment, 1 session\n", 0, false, false, false, Leftovers::none, "wait in",
         "ALTER TABLE recovery_marks RENAME TO old_marks; CREATE TABLE recovery_marks (file TEXT, "
         "line INTEGER)",
         "cannot read the table recovery_marks of @ (its key is not the one Verbolin keeps the "
         "marks under); rename that table, and the next start makes it anew"},
        {"text waiting, a view under the marks' name", true, true, false, false,
         "Transcript: 1 segment, 1 session\n", 0, false, false, false, Leftovers::none, "wait in",
         "ALTER TABLE recovery_marks RENAME TO old_marks; CREATE VIEW recovery_marks AS SELECT "
         "file, line FROM old_marks",
         "cannot read the table recovery_marks of @ (it is a view, not a table); the next start "
         "that can write the transcript drops that view and makes the table anew"},
    };
}

}  // namespace

// --status only reads: it makes nothing on a fresh machine, and beside text
// waiting in a recovery file, an earlier version's transcript file, a run
// holding the folder and its transcript open, or the WAL of a run that was
// killed (in a folder that cannot be written, without its index), says what
// there is, committed changes included, and changes nothing. Where it
// cannot read them, it says so. It removes the copies killed runs left in the
// temporary folder (so does the window's start, with the speech model
// archives killed installs left), but no copy a run still reads, nor anything
// of another user's or behind a link; and a copy is written only into the
// folder its run made (one that can keep none says whether each was removed
// or replaced).
TEST(HeadlessCommands, StatusOnlyReads) {
    namespace fs = std::filesystem;
    for (const auto& row : statusRows()) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir home("verbolin-cli-home");
        testsupport::TempDir ownTemporary("verbolin-cli-tmp");
        std::optional<testsupport::SmallDisk> disk, temporaryDisk;
        if (row.readOnlyWithoutIndex) {
            disk.emplace();
            SKIP_WITHOUT_SMALL_DISK(*disk);
        }
        if (row.leftovers == Leftovers::fullDisk) {
            temporaryDisk.emplace();
            SKIP_WITHOUT_SMALL_DISK(*temporaryDisk);
            temporaryDisk->fill(4096);  // room for a part of the copy
        }
        const auto temporary = row.noTemporaryFolder ? home / "none"
                               : temporaryDisk       ? temporaryDisk->path()
                                                     : ownTemporary.path();
        const auto dataHome = disk ? disk->path() : home / "data";
        const auto folder = dataHome / "Verbolin";
        const testsupport::ScopedEnv state("XDG_STATE_HOME", (home / "state").string());
        const auto recovery = verbolin::TranscriptStore::recoveryFiles(folder).front();
        const verbolin::Segment stored = wordsAt(0);
        if (row.transcript) verbolin::TranscriptStore(folder).append(stored);
        if (row.waiting)
            writeWaiting(
                recovery, stored,
                row.transcript ? std::optional(folder / "transcript.sqlite") : std::nullopt);
        if (*row.marks)
            storage_test::run(verbolin::TranscriptDB(folder / "transcript.sqlite").handle(),
                              row.marks);
        if (row.legacy)
            std::ofstream(folder / "transcript.jsonl") << nlohmann::json(wordsAt(200)).dump();
        std::optional<verbolin::InstanceLock> lock;
        std::optional<verbolin::TranscriptStore> open;
        if (row.running) {
            lock.emplace(folder);
            ASSERT_TRUE(lock->held());
            open.emplace(folder);
            open->append(wordsAt(10));
        }
        if (row.killedWriter) leaveKilledWriter(folder, row.killedWriter);
        if (HasFatalFailure()) return;
        if (row.readerFiles) {
            storage_test::countWithReadOnlyReader(folder / "transcript.sqlite");
            ASSERT_TRUE(fs::exists(folder / "transcript.sqlite-shm"));
        }
        if (disk) {
            fs::remove(folder / "transcript.sqlite-shm");
            disk->setReadOnly(true);
        }
        std::optional<verbolin::TranscriptCopy> held;
        const auto stay = plantLeftovers(row.leftovers, folder / "transcript.sqlite", temporary,
                                         home / "linked", held);
        const fs::path watched = disk ? disk->path() : home.path();
        const auto before = snapshot(watched, row.running);
        const std::string environment = homeEnv(home) + " XDG_DATA_HOME='" + dataHome.string() +
                                        "' XDG_STATE_HOME='" + (home / "state").string() +
                                        "' TMPDIR='" + temporary.string() + "'";
        const ProgramRun r = run("verbolin", "--status", environment);
        EXPECT_EQ(snapshot(watched, row.running), before) << r.out << r.err;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.line), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
        EXPECT_EQ(row.noTemporaryFolder ? stay : namesIn(temporary), stay) << r.err;
        if (row.leftovers == Leftovers::killedCopies) {  // and at the window's start
            plantKilledCopy(folder / "transcript.sqlite", temporary, "verbolin-status-Killed");
            // The start removes the archives killed installs left too.
            platform::OpenFd holder;
            auto stayAtStart = stay;
            stayAtStart.merge(
                testsupport::plantLeftoverArchives(temporary, home / "archive.zip", holder));
            run("verbolin", "",
                "env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY " + environment);
            EXPECT_EQ(namesIn(temporary), stayAtStart);
            EXPECT_TRUE(fs::exists(home / "archive.zip"));
        }
        const std::string waits = waitsLine(recovery, folder, *row.marks, row.keptBecause);
        EXPECT_EQ(r.out.find(waits) != std::string::npos, row.waiting) << r.out;
    }
}

// --status says "installed" only for a pack that --listen can load, and what
// is wrong with one that is there but does not load; one whose file or
// folder the system refuses is unusable as it stands, fetched over by no one.
TEST(HeadlessCommands, StatusSaysInstalledOnlyForAPackThatLoads) {
    const std::string refusal = "Speech model: Standard, installed but unusable: Cannot read ";
    const struct {
        std::vector<const char*> files;  // in the pack's folder, each holding "{}"
        bool loads;                      // a whole pack, made by the model tool
        std::string line;
        const char* refused = nullptr;  // in the pack's folder, of mode 000, named after `line`
    } rows[] = {
        {{}, false, "Speech model: Standard, not installed\n"},
        {{"TextDecoder.mlmodelc/model.mil"}, false, "Speech model: Standard, not installed\n"},
        {{"TextDecoder.mlmodelc/model.mil", "tokenizer/tokenizer.json"},
         false,
         "Speech model: Standard, installed, but its tokenizer does not load ("},
        {{}, true, "Speech model: Standard, installed\n"},
        {{"TextDecoder.mlmodelc/model.json"},
         true,
         "Speech model: Standard, installed but unusable: "},
        // Loading it would fetch the hub's tokenizer into the pack.
        {{"tokenizer/tokenizer.json"},
         true,
         "Speech model: Standard, installed, but its tokenizer does not load ("},
        {{}, true, refusal, "tokenizer/tokenizer.json"},
        {{}, true, refusal, "tokenizer"},
        {{}, true, refusal, "TextDecoder.mlmodelc"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.files) + row.line +
                     (row.refused ? row.refused : ""));
        testsupport::TempDir home("verbolin-cli-home");
        const auto pack = home / "Verbolin/models/standard-v1";
        if (row.loads) makeRandomPack(home.path());
        for (const char* file : row.files) {
            const auto path = pack / file;
            std::filesystem::create_directories(path.parent_path());
            std::ofstream(path) << "{}";
        }
        std::string line = row.line;
        if (row.refused) {
            testsupport::handToNobody(home.path());
            std::filesystem::permissions(pack / row.refused, std::filesystem::perms::none);
            line += (pack / row.refused).string() + ": Permission denied\n";
        }
        const auto before = snapshot(home.path());
        const auto status = [&] {
            const ProgramRun r = run("verbolin", "--status", homeEnv(home));
            return "status " + std::to_string(r.status) + "\n" + r.out + r.err;
        };
        const std::string said = row.refused ? testsupport::unprivileged(status) : status();
        EXPECT_TRUE(said.starts_with("status 0\n")) << said;
        EXPECT_NE(said.find(line), std::string::npos) << said;
        EXPECT_EQ(snapshot(home.path()), before);
        if (row.refused)
            std::filesystem::permissions(pack / row.refused, std::filesystem::perms(0700));
    }
}

// Without a server, or without a microphone on it, nothing can be heard: the
// run says why and ends with status 1, and never claims to listen first.
TEST(HeadlessCommands, NoAudioServerIsSaidBeforeClaimingToListen) {
    testsupport::PrivatePulseServer noMicrophone({});
    const struct {
        const char* name;
        std::string server;  // PULSE_SERVER
        bool loadablePack;
        const char* said;
        bool howToStart;  // whether starting a server is suggested
    } rows[] = {
        {"no server", "unix:/nonexistent/verbolin-no-server", false,
         "No PulseAudio (or PipeWire-Pulse) server was found", true},
        {"a server without a microphone", noMicrophone.serverString(), true,
         "verbolin: No usable input device", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir home("verbolin-cli-home");
        const auto pack = home / "Verbolin/models/standard-v1";
        if (row.loadablePack) {
            makeRandomPack(home.path());
        } else {
            // The server is looked for before the pack is loaded.
            std::filesystem::create_directories(pack / "TextDecoder.mlmodelc");
            std::filesystem::create_directories(pack / "tokenizer");
            std::ofstream(pack / "tokenizer/tokenizer.json") << "{}";
        }
        const ProgramRun r =
            run("verbolin", "--listen", homeEnv(home) + " PULSE_SERVER='" + row.server + "'");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("pulseaudio --start") != std::string::npos, row.howToStart) << r.err;
        EXPECT_EQ(r.err.find("Listening"), std::string::npos) << r.err;
    }
}

// Two listeners on one data folder would both capture the microphone and
// store every utterance twice: whichever starts second, the window or
// --listen, is refused with status 1 and says who holds the folder, whatever
// the runtime folder of each (the lock is the data folder's own), and when
// the data folder is read-only. A holder that is killed leaves the folder free.
TEST(HeadlessCommands, OneListenerPerDataFolder) {
    using namespace std::chrono_literals;
    const testsupport::ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    testsupport::TempDir runtimes("verbolin-cli-runtime");
    const std::string one = (runtimes / "one").string(), two = (runtimes / "two").string();
    std::filesystem::create_directories(one);
    std::filesystem::create_directories(two);
    const struct {
        std::vector<std::string> first;           // none: the window
        std::optional<std::string> firstRuntime;  // none: unset
        const char* second;
        std::string secondRuntime;  // for the shell: an assignment or an unset
        bool readOnly;
    } rows[] = {
        {{"--listen"}, one, "--listen", "XDG_RUNTIME_DIR='" + one + "'", false},
        {{"--listen"}, one, "--listen", "XDG_RUNTIME_DIR='" + two + "'", false},
        {{"--listen"}, one, "", "env -u XDG_RUNTIME_DIR", false},
        {{}, std::nullopt, "--listen", "XDG_RUNTIME_DIR='" + two + "'", false},
        {{"--listen"}, one, "--listen", "XDG_RUNTIME_DIR='" + two + "'", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("first ") + testing::PrintToString(row.first) + " in " +
                     row.firstRuntime.value_or("no runtime folder") + ", second '" + row.second +
                     "' with " + row.secondRuntime + (row.readOnly ? ", read-only" : ""));
        testsupport::TempDir dir("verbolin-cli-home");
        makeRandomPack(dir / "data");
        const auto dataFolder = dir / "data/Verbolin";
        if (row.readOnly) std::filesystem::permissions(dataFolder, std::filesystem::perms(0555));
        std::unique_ptr<testsupport::HeadlessVerbolin> first;
        {
            const testsupport::ScopedEnv runtime("XDG_RUNTIME_DIR", row.firstRuntime);
            first = std::make_unique<testsupport::HeadlessVerbolin>(dir, pulse, row.first);
        }
        ASSERT_TRUE(first->waitFor([&] { return holdsLock(dataFolder, first->pid()); }, 60s))
            << first->err();

        const ProgramRun second =
            run("verbolin", row.second,
                row.secondRuntime + " XDG_DATA_HOME='" + (dir / "data").string() +
                    "' XDG_CONFIG_HOME='" + (dir / "config").string() + "' PULSE_SERVER='" +
                    pulse.serverString() + "'");
        EXPECT_EQ(second.status, 1) << second.err;
        EXPECT_NE(second.err.find("Verbolin is already running for this data folder (" +
                                  dataFolder.string() + ") in process " +
                                  std::to_string(first->pid()) + "; quit that one first."),
                  std::string::npos)
            << second.err;
        EXPECT_EQ(second.err.find("Listening."), std::string::npos) << second.err;
        EXPECT_FALSE(first->wait(0ms).has_value()) << "the first one ended";

        first.reset();  // killed, as by a crash
        const verbolin::InstanceLock after(dataFolder);
        EXPECT_TRUE(after.held());
        std::filesystem::permissions(dataFolder, std::filesystem::perms(0700));
    }
}

namespace {

// What connecting to the local socket at `path` gives: 0 when something
// listens there, else the error (ECONNREFUSED for a socket left by a crash).
int connectError(const std::filesystem::path& path) {
    const platform::OpenFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
               ? 0
               : errno;
}

// The window's single-instance socket in `tmp`, once something listens on it.
std::optional<std::filesystem::path> listeningSocket(const std::filesystem::path& tmp) {
    for (const std::string& name : namesIn(tmp))
        if (name.starts_with("verbolin-") && connectError(tmp / name) == 0) return tmp / name;
    return std::nullopt;
}

}  // namespace

// The window with few open files: a soft limit below the hard one is
// raised, and the window starts; a hard limit below what it needs is said in
// one line, with status 1, and nothing of that start stays in the temporary
// folder. A window killed with SIGKILL leaves its single-instance socket; the
// next start replaces it and is the instance that a later launch reaches.
TEST(HeadlessCommands, TheWindowStartsWithEnoughOpenFilesAndAfterACrash) {
    using namespace std::chrono_literals;
    namespace fs = std::filesystem;
    const testsupport::ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    rlimit usual{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &usual), 0);
    ASSERT_GT(usual.rlim_max, rlim_t(256)) << "the test needs a higher hard limit";
    const struct {
        const char* name;
        rlim_t soft, hard;
        bool afterKilledWindow;
        bool starts;
    } rows[] = {
        {"16 open files", 16, 16, false, false},
        {"16 under a high hard limit", 16, usual.rlim_max, false, true},
        {"a killed window's socket left", usual.rlim_cur, usual.rlim_max, true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir("verbolin-cli-home");
        makeRandomPack(dir / "data");
        const fs::path tmp = dir / "tmp", runtime = dir / "runtime";
        fs::create_directories(tmp);
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        const testsupport::ScopedEnv privateTmp("TMPDIR", tmp.string());
        const testsupport::ScopedEnv privateRuntime("XDG_RUNTIME_DIR", runtime.string());
        if (row.afterKilledWindow) {
            testsupport::HeadlessVerbolin crashed(dir, pulse, {});
            // Qt binds in a folder of its own beside the socket and moves
            // the socket out: killed once that folder is gone too.
            ASSERT_TRUE(crashed.waitFor(
                [&] { return listeningSocket(tmp).has_value() && namesIn(tmp).size() == 1; }, 60s))
                << crashed.err();
        }  // killed
        EXPECT_EQ(namesIn(tmp).size(), row.afterKilledWindow ? 1u : 0u);
        for (const std::string& name : namesIn(tmp))
            EXPECT_EQ(connectError(tmp / name), ECONNREFUSED) << name;
        const rlimit limit{row.soft, row.hard};
        testsupport::HeadlessVerbolin window(dir, pulse, {}, false,
                                             [&] { ::setrlimit(RLIMIT_NOFILE, &limit); });
        if (!row.starts) {
            const auto status = window.wait(60s);
            ASSERT_TRUE(status.has_value()) << "still running\n" << window.err();
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
            std::smatch said;
            const std::string err = window.err();
            ASSERT_TRUE(std::regex_match(
                err, said,
                std::regex("Verbolin needs at least ([0-9]+) open files; the limit is 16 "
                           "\\(ulimit -n\\)\n")))
                << err;
            // More than the limits the window was seen to fail under.
            EXPECT_GT(std::stoi(said[1]), 21);
            EXPECT_EQ(namesIn(tmp), std::set<std::string>{});
            continue;
        }
        ASSERT_TRUE(window.waitFor(
            [&] {
                return holdsLock(window.dataFolder(), window.pid()) &&
                       listeningSocket(tmp).has_value();
            },
            60s))
            << window.err();
        // The folder Qt bound it in goes a moment after the socket answers.
        window.waitFor([&] { return namesIn(tmp).size() == 1; }, 10s);
        EXPECT_EQ(namesIn(tmp).size(), 1u);
        const ProgramRun second =
            run("verbolin", "",
                "XDG_DATA_HOME='" + (dir / "data").string() + "' XDG_CONFIG_HOME='" +
                    (dir / "config").string() + "' PULSE_SERVER='" + pulse.serverString() + "'");
        EXPECT_EQ(second.status, 0) << second.err;
        EXPECT_NE(second.err.find("Verbolin is already running"), std::string::npos) << second.err;
        window.signal(SIGTERM);
        const auto status = window.wait(60s);
        ASSERT_TRUE(status.has_value()) << "still running 60 s after SIGTERM\n" << window.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << window.err();
        EXPECT_EQ(namesIn(tmp), std::set<std::string>{});
    }
}

// Under the usual umask 022, a first --status makes nothing at all, and a run
// that listens over folders an earlier version left open to all leaves nothing of
// Verbolin's (SQLite's journals and debug recordings included) that group or
// others may read or enter; the user's own folders keep their mode.
TEST(HeadlessCommands, WhatVerbolinKeepsIsForItsUserAlone) {
    using namespace std::chrono_literals;
    namespace fs = std::filesystem;
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    const testsupport::ScopedUmask usual(022);
    testsupport::TempDir dir("verbolin-cli-home");
    fs::create_directories(dir / "data");  // the user's, as ~/.local/share is
    const testsupport::ScopedEnv state("XDG_STATE_HOME", (dir / "state").string());
    const auto checkPrivate = [&](const char* when) {
        SCOPED_TRACE(when);
        for (const char* own : {"data", "debug"}) {
            if (fs::exists(dir / own)) {
                EXPECT_EQ(modeOf(dir / own), 0755u) << "the user's folder was changed: " << own;
            }
        }
        std::size_t seen = 0;
        for (const char* root : {"data", "config", "state", "debug"}) {
            if (!fs::exists(dir / root)) continue;
            for (const auto& entry : fs::recursive_directory_iterator(dir / root)) {
                ++seen;
                EXPECT_EQ(testsupport::groupAndOthersAccess(entry.path().c_str()), 0u)
                    << entry.path();
            }
        }
        EXPECT_GE(seen, 2u) << "nothing was made";
    };
    const ProgramRun status = run("verbolin", "--status",
                                  "XDG_DATA_HOME='" + (dir / "data").string() +
                                      "' XDG_CONFIG_HOME='" + (dir / "config").string() + "'");
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_TRUE(fs::is_empty(dir.path()) ||
                fs::directory_iterator(dir.path())->path() == dir / "data")
        << status.out << status.err;
    EXPECT_TRUE(fs::is_empty(dir / "data")) << status.out << status.err;

    {
        const testsupport::ScopedUmask tool(077);
        makeRandomPack(dir / "data");
    }
    for (const char* folder : {"data/Verbolin", "config/Verbolin", "state/Verbolin"}) {
        fs::create_directories(dir / folder);
        fs::permissions(dir / folder, fs::perms(0755));
    }
    fs::create_directories(dir / "debug");  // VERBOLIN_DEBUG_DIR, made by the user
    testsupport::HeadlessVerbolin app(dir, pulse);
    ASSERT_TRUE(app.waitFor(
        [&] {
            return app.err().find("Listening.") != std::string::npos &&
                   fs::exists(dir / "debug/events.log");
        },
        60s))
        << app.err();
    EXPECT_TRUE(fs::exists(dir / "data/Verbolin/transcript.sqlite-wal"));
    checkPrivate("while listening");
    app.signal(SIGINT);
    const auto ended = app.wait(60s);
    ASSERT_TRUE(ended.has_value()) << app.err();
    EXPECT_TRUE(WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) << app.err();
    checkPrivate("after listening");
}

// A SIGTERM that comes before the program has set anything up (here: sent
// while blocked, so it is pending when main begins) ends the run through its
// quit path with a normal exit status, as one that comes later does.
TEST(HeadlessCommands, ASigtermAtStartEndsTheRunNormally) {
    using namespace std::chrono_literals;
    const testsupport::ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
    testsupport::PrivatePulseServer pulse(
        {"load-module module-null-source source_name=mic", "set-default-source mic"});
    testsupport::TempDir dir("verbolin-cli-home");
    makeRandomPack(dir / "data");
    const struct {
        std::vector<std::string> arguments;  // none: the window
        bool pending;                        // else sent as soon as the program catches it
    } rows[] = {{{"--listen"}, true}, {{}, true}, {{"--listen"}, false}, {{}, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.arguments) +
                     (row.pending ? " pending" : " caught"));
        testsupport::HeadlessVerbolin app(dir, pulse, row.arguments, row.pending);
        if (!row.pending) {
            ASSERT_TRUE(app.waitFor([&] { return catches(app.pid(), SIGTERM); }, 60s)) << app.err();
            app.signal(SIGTERM);
        }
        // Ended at all: before, a pending one was never let through.
        const auto status = app.wait(60s);
        ASSERT_TRUE(status.has_value()) << "still running\n" << app.err();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status << "\n"
                                                                     << app.err();
    }
}
