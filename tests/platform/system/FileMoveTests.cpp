#include <gtest/gtest.h>

#include <fstream>

#include "platform/system/FileMove.hpp"
#include "support/TempDir.hpp"
#include "support/ZipBuilder.hpp"

using namespace platform;
namespace fs = std::filesystem;

TEST(MoveItem, MovesFilesAndFoldersButNeverReplacesWhatIsThere) {
    testsupport::TempDir temp;
    const fs::path folder = temp.path() / "folder";
    fs::create_directories(folder / "inner");
    std::ofstream(folder / "inner" / "a.txt") << "a";

    moveItem(folder, temp.path() / "moved");
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(testsupport::readFile(temp.path() / "moved" / "inner" / "a.txt"), "a");

    // rename(2) would silently replace an existing file or an empty folder.
    std::ofstream(temp.path() / "file.txt") << "new";
    std::ofstream(temp.path() / "backup.txt") << "keep me";
    fs::create_directories(temp.path() / "empty");
    for (const char* existing : {"backup.txt", "empty"}) {
        const fs::path from =
            std::string(existing) == "empty" ? temp.path() / "moved" : temp.path() / "file.txt";
        try {
            moveItem(from, temp.path() / existing);
            ADD_FAILURE() << "replaced " << existing;
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), std::errc::file_exists) << existing;
        }
        EXPECT_TRUE(fs::exists(from)) << existing;
    }
    EXPECT_EQ(testsupport::readFile(temp.path() / "backup.txt"), "keep me");
    EXPECT_THROW(moveItem(temp.path() / "missing", temp.path() / "elsewhere"),
                 fs::filesystem_error);
}
