// What another user could have planted, or could change, is refused with the
// reason, and nothing is read through it or written to it. "Another user" is
// nobody (65534): the rows that need to hand a file to it run as root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>

#include "platform/system/OwnedFiles.hpp"
#include "support/ScopedUmask.hpp"
#include "support/TempDir.hpp"

using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

void writeFile(const fs::path& file, const std::string& text, mode_t mode) {
    std::ofstream(file, std::ios::binary) << text;
    fs::permissions(file, fs::perms(mode));
}

std::string readFd(int fd) {
    std::string text;
    char block[256];
    for (ssize_t n; (n = ::pread(fd, block, sizeof block, off_t(text.size()))) > 0;)
        text.append(block, size_t(n));
    return text;
}

// Read only when a plain file: reading a FIFO would wait for a writer.
std::string bytesOf(const fs::path& file) {
    return fs::is_regular_file(fs::symlink_status(file)) ? testsupport::readFile(file) : "";
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

// Each row leaves something under the name "f" (or nothing), opens it, and
// expects it open, missing, or refused for the reason given; whatever stood
// there keeps its bytes.
TEST(OwnedFile, AFileIsOpenedOnlyWhenItIsAPlainFileOfThisUsersThatOthersCannotWrite) {
    using Status = OwnedFile::Status;
    const struct {
        const char* name;
        std::function<void(const fs::path& dir)> make;
        OwnedAccess access;
        Status expected;
        std::string said;  // after the file's name
        bool needsRoot = false;
    } rows[] = {
        {"ours, 0600, read", [](auto& d) { writeFile(d / "f", "mine", 0600); }, OwnedAccess::read,
         Status::open, ""},
        {"ours, 0644: others may read it, not change it",
         [](auto& d) { writeFile(d / "f", "mine", 0644); }, OwnedAccess::append, Status::open, ""},
        {"not there, read", [](auto&) {}, OwnedAccess::read, Status::missing, ""},
        {"its folder not there, read", [](auto&) {}, OwnedAccess::read, Status::missing, ""},
        {"ours, 0666", [](auto& d) { writeFile(d / "f", "theirs", 0666); }, OwnedAccess::read,
         Status::refused, " can be written by other users (mode 0666)"},
        {"ours, writable by its group", [](auto& d) { writeFile(d / "f", "theirs", 0620); },
         OwnedAccess::append, Status::refused, " can be written by other users (mode 0620)"},
        {"a link to a file of ours",
         [](auto& d) {
             writeFile(d / "target", "mine", 0600);
             fs::create_symlink(d / "target", d / "f");
         },
         OwnedAccess::append, Status::refused, " is a link, which is not followed"},
        {"a link to nowhere, appended to",
         [](auto& d) { fs::create_symlink(d / "made through the link", d / "f"); },
         OwnedAccess::append, Status::refused, " is a link, which is not followed"},
        {"a FIFO (an open for reading would wait for a writer)",
         [](auto& d) { ASSERT_EQ(::mkfifo((d / "f").c_str(), 0600), 0); }, OwnedAccess::read,
         Status::refused, " is not a regular file"},
        {"a folder", [](auto& d) { fs::create_directory(d / "f"); }, OwnedAccess::read,
         Status::refused, " is not a regular file"},
        {"another user's, 0600",
         [](auto& d) {
             writeFile(d / "f", "theirs", 0600);
             ASSERT_EQ(::lchown((d / "f").c_str(), kNobody, kNobody), 0);
         },
         OwnedAccess::append, Status::refused, " belongs to another user (uid 65534)", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsRoot && ::geteuid() != 0) continue;
        testsupport::TempDir dir;
        row.make(dir.path());
        const bool inMissingFolder = std::string(row.name).find("folder not") != std::string::npos;
        const fs::path file = inMissingFolder ? dir / "missing/f" : dir / "f";
        const std::string before = bytesOf(file);
        const mode_t modeBefore = modeOf(file);

        const OwnedFile opened = OwnedFile::open(file, row.access);
        EXPECT_EQ(opened.status(), row.expected) << opened.problem();
        EXPECT_EQ(opened.path(), file);
        if (row.expected == Status::open) {
            EXPECT_EQ(readFd(opened.fd()), before);
            EXPECT_EQ(opened.problem(), "");
        } else {
            EXPECT_EQ(opened.fd(), -1);
            EXPECT_EQ(opened.problem(),
                      row.said.empty() ? std::string() : file.string() + row.said);
        }
        EXPECT_EQ(bytesOf(file), before);
        EXPECT_EQ(modeOf(file), modeBefore);
        EXPECT_FALSE(fs::exists(dir / "made through the link"));
        if (std::string(row.name) == "a link to a file of ours") {
            EXPECT_EQ(testsupport::readFile(dir / "target"), "mine");
        }
    }
}

TEST(OwnedFile, AppendingMakesAPrivateFileAndWritesAtItsEnd) {
    testsupport::TempDir dir;
    const testsupport::ScopedUmask noMask(0);  // the 0600 is ours, not the umask's
    {
        const OwnedFile made = OwnedFile::open(dir / "new", OwnedAccess::append);
        ASSERT_TRUE(made.isOpen()) << made.problem();
        ASSERT_EQ(::write(made.fd(), "one\n", 4), 4);
    }
    EXPECT_EQ(modeOf(dir / "new"), mode_t(0600));
    {
        const OwnedFile again = OwnedFile::open(dir / "new", OwnedAccess::append);
        ASSERT_TRUE(again.isOpen()) << again.problem();
        ASSERT_EQ(::lseek(again.fd(), 0, SEEK_SET), 0);  // O_APPEND writes at the end anyway
        ASSERT_EQ(::write(again.fd(), "two\n", 4), 4);
        // Blocking again once known to be a plain file.
        EXPECT_EQ(::fcntl(again.fd(), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(::fcntl(again.fd(), F_GETFD) & FD_CLOEXEC, 0);
    }
    EXPECT_EQ(testsupport::readFile(dir / "new"), "one\ntwo\n");
    const OwnedFile noFolder = OwnedFile::open(dir / "missing/new", OwnedAccess::append);
    EXPECT_EQ(noFolder.status(), OwnedFile::Status::failed);
    EXPECT_EQ(noFolder.problem(),
              "cannot open " + (dir / "missing/new").string() + ": No such file or directory");
}

// Each row leaves something under the folder's name (or nothing) and asks
// for the private folder; only a folder of this user's closed to everyone
// else is taken, and what another user left is never changed.
TEST(OwnedFile, APrivateFolderIsMadeClosedAndRefusedWhenAnyoneElseCouldReachIt) {
    using Status = OwnedFile::Status;
    const struct {
        const char* name;
        std::function<void(const fs::path& folder)> make;
        OwnedAccess access;
        Status expected;
        std::string said;
        bool needsRoot = false;
    } rows[] = {
        {"not there, appended to: made 0700", [](auto&) {}, OwnedAccess::append, Status::open, ""},
        {"not there, read: not made", [](auto&) {}, OwnedAccess::read, Status::missing, ""},
        {"ours, 0700",
         [](auto& f) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms(0700));
         },
         OwnedAccess::read, Status::open, ""},
        {"ours, 0777",
         [](auto& f) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms(0777));
         },
         OwnedAccess::append, Status::refused, " is open to other users (mode 0777)"},
        {"ours, readable by its group",
         [](auto& f) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms(0750));
         },
         OwnedAccess::read, Status::refused, " is open to other users (mode 0750)"},
        {"a link to a private folder of ours",
         [](auto& f) {
             fs::create_directory(f.string() + "-real");
             fs::permissions(f.string() + "-real", fs::perms(0700));
             fs::create_symlink(f.string() + "-real", f);
         },
         OwnedAccess::append, Status::refused, " is a link, which is not followed"},
        {"a dangling link", [](auto& f) { fs::create_symlink(f.string() + "-real", f); },
         OwnedAccess::append, Status::refused, " is a link, which is not followed"},
        {"a file", [](auto& f) { writeFile(f, "", 0600); }, OwnedAccess::append, Status::refused,
         " is not a folder"},
        {"another user's, 0700",
         [](auto& f) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms(0700));
             ASSERT_EQ(::lchown(f.c_str(), kNobody, kNobody), 0);
         },
         OwnedAccess::append, Status::refused, " belongs to another user (uid 65534)", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsRoot && ::geteuid() != 0) continue;
        testsupport::TempDir shared;
        const testsupport::ScopedUmask noMask(0);
        const fs::path folder = shared / "verbolin-1000";
        row.make(folder);
        const mode_t modeBefore = modeOf(folder);

        const OwnedFile opened = OwnedFile::privateFolder(folder, row.access);
        EXPECT_EQ(opened.status(), row.expected) << opened.problem();
        EXPECT_EQ(opened.problem(), row.said.empty() ? std::string() : folder.string() + row.said);
        if (row.expected == Status::open)
            EXPECT_EQ(modeOf(folder), mode_t(0700));
        else if (modeBefore)
            EXPECT_EQ(modeOf(folder), modeBefore);
        else
            EXPECT_FALSE(fs::exists(fs::symlink_status(folder)));
        EXPECT_FALSE(fs::exists(folder.string() + "-real/f"));
        if (opened.isOpen() || opened.status() == Status::missing) continue;
        // Nothing can be opened in a folder that was refused.
        EXPECT_THROW(OwnedFile::openIn(opened, "f", OwnedAccess::append), std::invalid_argument);
    }
}

// The file is opened in the folder that was checked, even when the name
// leads elsewhere by then: a folder moved away and a link put in its place
// (in a shared folder without the sticky bit anyone could).
TEST(OwnedFile, AFileIsOpenedInTheCheckedFolderWhateverItsNameLeadsToLater) {
    testsupport::TempDir shared;
    const fs::path folder = shared / "private", elsewhere = shared / "elsewhere";
    const OwnedFile checked = OwnedFile::privateFolder(folder, OwnedAccess::append);
    ASSERT_TRUE(checked.isOpen()) << checked.problem();
    fs::create_directory(elsewhere);
    fs::rename(folder, shared / "moved");
    fs::create_symlink(elsewhere, folder);

    const OwnedFile file = OwnedFile::openIn(checked, "unsaved.jsonl", OwnedAccess::append);
    ASSERT_TRUE(file.isOpen()) << file.problem();
    EXPECT_EQ(file.path(), folder / "unsaved.jsonl");
    ASSERT_EQ(::write(file.fd(), "kept\n", 5), 5);
    EXPECT_EQ(testsupport::readFile(shared / "moved/unsaved.jsonl"), "kept\n");
    EXPECT_FALSE(fs::exists(elsewhere / "unsaved.jsonl"));

    // A name that would leave the checked folder is a fault of the caller.
    for (const char* name : {"../elsewhere/x", "a/b", "..", ".", ""})
        EXPECT_THROW(OwnedFile::openIn(checked, name, OwnedAccess::read), std::invalid_argument)
            << name;
}

TEST(OwnedFile, AMovedFromFileNoLongerHoldsTheDescriptor) {
    testsupport::TempDir dir;
    writeFile(dir / "f", "mine", 0600);
    OwnedFile first = OwnedFile::open(dir / "f", OwnedAccess::read);
    ASSERT_TRUE(first.isOpen());
    const int fd = first.fd();
    OwnedFile second = std::move(first);
    EXPECT_EQ(second.fd(), fd);
    EXPECT_FALSE(first.isOpen());  // NOLINT(bugprone-use-after-move): the moved-from state
    EXPECT_EQ(first.fd(), -1);
    second = OwnedFile::open(dir / "missing", OwnedAccess::read);
    EXPECT_EQ(second.status(), OwnedFile::Status::missing);
    // The descriptor went with the assignment: fcntl finds it closed.
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}
