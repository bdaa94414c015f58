#pragma once
// Speech model archives as installs leave them in the temporary folder, for
// the tests of what a start and an install remove there.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/system/OpenFd.hpp"
#include "platform/system/Uuid.hpp"

namespace testsupport {

// Plants in `temporary` one archive that a killed install left, one that an
// install holds still (`holder` holds it), a link to `elsewhere` (made), a
// file of another name and (for root) another user's archive. Returns the
// names that are to stay there.
inline std::set<std::string> plantLeftoverArchives(const std::filesystem::path& temporary,
                                                   const std::filesystem::path& elsewhere,
                                                   platform::OpenFd& holder) {
    const auto named = [] {
        return "verbolin-model-" + platform::Uuid::random().string() + ".zip";
    };
    const std::string killed = named(), held = named(), link = named(), other = named();
    const std::string notOne = "verbolin-model-notes.zip";
    for (const auto& name : {killed, held, other, notOne}) std::ofstream(temporary / name) << "PK";
    holder = platform::OpenFd(::open((temporary / held).c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(::flock(holder.get(), LOCK_EX), 0);
    std::ofstream(elsewhere) << "PK";
    std::filesystem::create_symlink(elsewhere, temporary / link);
    if (::geteuid() != 0) {
        std::filesystem::remove(temporary / other);
        return {held, link, notOne};
    }
    EXPECT_EQ(::lchown((temporary / other).c_str(), 65534, 65534), 0);
    return {held, link, notOne, other};
}

}  // namespace testsupport
