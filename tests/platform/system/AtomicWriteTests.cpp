#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/system/AtomicWrite.hpp"
#include "support/TempDir.hpp"

namespace fs = std::filesystem;

TEST(WriteFileAtomically, AFailedWriteKeepsTheOldContent) {
    testsupport::TempDir temp;
    EXPECT_THROW(platform::writeFileAtomically(temp / "missing" / "f", "x"), fs::filesystem_error);

    platform::writeFileAtomically(temp / "f", "a much longer old content");
    platform::writeFileAtomically(temp / "f", "new");
    EXPECT_EQ(testsupport::readFile(temp / "f"), "new");
    // A folder standing where the file should be cannot be replaced by a file.
    fs::create_directories(temp / "taken" / "inner");
    EXPECT_THROW(platform::writeFileAtomically(temp / "taken", "x"), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(temp / "taken" / "inner"));
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 2)
        << "no temporary file is left";
}
