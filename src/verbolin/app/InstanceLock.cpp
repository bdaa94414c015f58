#include "verbolin/app/InstanceLock.hpp"

#include <unistd.h>

#include <fstream>
#include <system_error>

#include "platform/system/Paths.hpp"

namespace verbolin {
namespace fs = std::filesystem;

fs::path InstanceLock::lockFile(const fs::path& dataFolder) {
    return platform::runtimeDirectory() / ("verbolin-" + std::to_string(::getuid()) + "-" +
                                           platform::folderKey(dataFolder) + ".lock");
}

InstanceLock::InstanceLock(const fs::path& dataFolder) : dataFolder_(dataFolder) {
    const fs::path file = lockFile(dataFolder);
    try {
        lock_ = std::make_unique<platform::FileLock>(file);
        if (!lock_->tryLock()) {
            std::ifstream in(file);
            std::string pid;
            in >> pid;
            refusedBy_ = pid.find_first_not_of("0123456789") == std::string::npos ? pid : "";
            lock_.reset();
            return;
        }
        // Into the locked file itself, never a replacement of it: the lock
        // lives on this file, and a new one of the same name would be free.
        std::ofstream out(file, std::ios::trunc);
        out << ::getpid() << "\n";
    } catch (const fs::filesystem_error& e) {
        lock_.reset();
        problem_ = "cannot make sure no other Verbolin listens for " + dataFolder.string() + " (" +
                   e.code().message() + " on " + file.string() + ")";
    }
}

std::string InstanceLock::refusal() const {
    std::string text =
        "Verbolin is already listening for this data folder (" + dataFolder_.string() + ")";
    if (refusedBy_ && !refusedBy_->empty()) text += " in process " + *refusedBy_;
    return text + "; quit that one first.";
}

}  // namespace verbolin
