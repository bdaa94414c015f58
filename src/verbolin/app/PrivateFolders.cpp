#include "verbolin/app/PrivateFolders.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/system/Paths.hpp"

namespace verbolin {
namespace fs = std::filesystem;

std::vector<fs::path> ownFolders() {
    const fs::path support = platform::applicationSupportDirectory();
    std::error_code ec;
    // Taken over as the data folder by this start: ours from now on.
    const fs::path data =
        fs::exists(support / "Verbolin", ec) ? support / "Verbolin" : support / "Echovane";
    return {data, platform::stateDirectory() / "Verbolin",
            platform::configDirectory() / "Verbolin"};
}

std::string makePrivate(const fs::path& folder) {
    struct stat st {};
    // lstat: the target of a link the user put there is the user's to set.
    if (::lstat(folder.c_str(), &st) != 0) {
        // Not there (yet): nothing to narrow.
        if (errno == ENOENT || errno == ENOTDIR) return "";
        return "cannot make " + folder.string() + " private to its user: " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return "";
    const mode_t wide = S_IRWXG | S_IRWXO;
    if ((st.st_mode & wide) == 0) return "";
    if (::chmod(folder.c_str(), st.st_mode & 07777 & ~wide) != 0)
        return "cannot make " + folder.string() + " private to its user: " + std::strerror(errno);
    return "";
}

std::vector<std::string> makeOwnFoldersPrivate() {
    std::vector<std::string> problems;
    for (const fs::path& folder : ownFolders())
        if (std::string problem = makePrivate(folder); !problem.empty())
            problems.push_back(std::move(problem));
    return problems;
}

}  // namespace verbolin
