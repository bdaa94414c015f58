// What another user could have planted or could change is refused with the
// reason, nothing read or written through it. (These rows need no root.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "platform/system/OwnedFiles.hpp"
#include "support/ScopedUmask.hpp"
#include "support/TempDir.hpp"

using namespace platform;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

void make(const fs::path& path, mode_t mode, bool folder) {
    if (folder)
        fs::create_directory(path);
    else
        std::ofstream(path) << "mine";
    fs::permissions(path, fs::perms(mode));
}

}  // namespace

// Each row leaves something under the name "x" (or nothing) and opens it as
// a file or as the private folder; what stood there keeps its mode, and
// nothing appears where a link led.
TEST(OwnedFile, OnlyAPlainFileOrAClosedFolderOfThisUsersIsOpened) {
    using enum OwnedFile::Status;
    constexpr auto read = OwnedAccess::read, append = OwnedAccess::append;
    const auto link = [](const fs::path& x) { fs::create_symlink(x.string() + "-target", x); };
    const struct {
        const char* name;
        std::function<void(const fs::path& x)> leave;
        bool folder;
        OwnedAccess access;
        OwnedFile::Status expected;
        std::string said;  // after the name
    } rows[] = {
        {"a file, 0644", [](auto& x) { make(x, 0644, false); }, false, append, open, ""},
        {"no file, read", [](auto&) {}, false, read, missing, ""},
        {"a file its group can write", [](auto& x) { make(x, 0620, false); }, false, read, refused,
         " can be written by other users (mode 0620)"},
        {"a link to nowhere", link, false, append, refused, " is a link, which is not followed"},
        {"a file with a second name",
         [](auto& x) { make(x, 0600, false), fs::create_hard_link(x, x.string() + "-2"); }, false,
         read, refused, " has other names (2 hard links), which are not followed"},
        // Opened for reading, it would wait for a writer.
        {"a FIFO", [](auto& x) { ASSERT_EQ(::mkfifo(x.c_str(), 0600), 0); }, false, read, refused,
         " is not a regular file"},
        {"a folder as the file", [](auto& x) { make(x, 0700, true); }, false, read, refused,
         " is not a regular file"},
        {"no folder, appended to: made", [](auto&) {}, true, append, open, ""},
        {"no folder, read: not made", [](auto&) {}, true, read, missing, ""},
        {"a folder its group can read", [](auto& x) { make(x, 0750, true); }, true, append, refused,
         " is open to other users (mode 0750)"},
        {"a link to a closed folder",
         [&](auto& x) {
             make(x.string() + "-target", 0700, true);
             link(x);
         },
         true, append, refused, " is a link, which is not followed"},
        {"a file as the folder", [](auto& x) { make(x, 0600, false); }, true, append, refused,
         " is not a folder"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::TempDir dir;
        const testsupport::ScopedUmask noMask(0);  // the modes made are ours, not the umask's
        const fs::path x = dir / "x";
        row.leave(x);
        const mode_t before = modeOf(x);
        const OwnedFile opened =
            row.folder ? OwnedFile::privateFolder(x, row.access) : OwnedFile::open(x, row.access);
        EXPECT_EQ(opened.status(), row.expected);
        EXPECT_EQ(opened.problem(), row.said.empty() ? "" : x.string() + row.said);
        EXPECT_EQ(opened.fd() >= 0, row.expected == open);
        EXPECT_EQ(modeOf(x), before || !opened.isOpen() ? before : row.folder ? 0700 : 0600);
        EXPECT_FALSE(fs::exists(dir / "x-target/x") || fs::is_regular_file(dir / "x-target"))
            << "made through the link";
        EXPECT_FALSE(opened.isOpen() && !row.folder && ::fcntl(opened.fd(), F_GETFL) & O_NONBLOCK)
            << "not blocking again once known to be a plain file";
    }
}

// The file is opened in the folder that was checked, even when the name
// leads elsewhere by then: the folder moved away and a link put in its place
// (in a shared folder without the sticky bit, anyone could).
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

    // A name that would leave the checked folder is the caller's fault, as
    // is a folder that was refused.
    for (const char* name : {"../elsewhere/x", "a/b", "..", ".", ""})
        EXPECT_THROW(OwnedFile::openIn(checked, name, OwnedAccess::read), std::invalid_argument)
            << name;
    const OwnedFile refused = OwnedFile::privateFolder(folder, OwnedAccess::read);
    EXPECT_EQ(refused.status(), OwnedFile::Status::refused);
    EXPECT_THROW(OwnedFile::openIn(refused, "x", OwnedAccess::read), std::invalid_argument);
}
