#include "verbolin/app/InstanceLock.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "platform/system/Paths.hpp"

namespace verbolin {
namespace fs = std::filesystem;

namespace {

// A move of the former folder between looking and opening sends the next
// attempt to the data folder; more than a few such races mean something
// else is going on.
constexpr int kAttempts = 3;

bool isFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

}  // namespace

InstanceLock InstanceLock::forStandardFolder() {
    const fs::path support = platform::applicationSupportDirectory();
    return InstanceLock(support / "Verbolin", support / "Echovane");
}

fs::path InstanceLock::folderToLock(const std::optional<fs::path>& formerFolder) {
    std::error_code ec;
    if (fs::exists(dataFolder_, ec)) return dataFolder_;
    if (formerFolder && isFolder(*formerFolder)) return *formerFolder;
    fs::create_directories(dataFolder_.parent_path());
    // Private from the start: it will hold what the user says.
    if (::mkdir(dataFolder_.c_str(), 0700) != 0 && errno != EEXIST)
        throw fs::filesystem_error("cannot create the data folder", dataFolder_,
                                   std::error_code(errno, std::generic_category()));
    return dataFolder_;
}

InstanceLock::InstanceLock(const fs::path& dataFolder, const std::optional<fs::path>& formerFolder)
    : dataFolder_(dataFolder) {
    for (int attempt = 1;; ++attempt) {
        fs::path folder;
        try {
            folder = folderToLock(formerFolder);
            lock_ = std::make_unique<platform::FolderLock>(folder);
            if (!lock_->tryLock()) {
                refused_ = true;
                refusedBy_ = platform::FolderLock::holder(folder);
                lock_.reset();
            }
            return;
        } catch (const fs::filesystem_error& e) {
            lock_.reset();
            const bool moved = e.code() == std::errc::no_such_file_or_directory;
            if (moved && attempt < kAttempts) continue;
            problem_ = "cannot make sure no other Verbolin runs for " + dataFolder.string() + " (" +
                       e.code().message() + " on " +
                       (e.path1().empty() ? folder : e.path1()).string() + ")";
            return;
        }
    }
}

std::optional<pid_t> InstanceLock::holder(const fs::path& dataFolder) {
    return platform::FolderLock::holder(dataFolder);
}

std::string InstanceLock::refusal() const {
    return "Verbolin is already running for this data folder (" + dataFolder_.string() + ") in " +
           (refusedBy_ ? "process " + std::to_string(*refusedBy_)
                       : std::string("another process")) +
           "; quit that one first.";
}

}  // namespace verbolin
