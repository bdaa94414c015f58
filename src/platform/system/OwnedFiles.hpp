#pragma once
// Opening files that must be this user's alone, where another user may have
// put something first under the same name (the shared temporary folder is
// open to all), or a link to elsewhere: no link is followed (nor a file with
// more than one hard link), and a file or
// folder that another user owns, or that others could change, is refused
// with the reason. Every check is made on what was opened (fstat), never on
// the name, so nothing can be swapped in between the check and the use; a
// file in a checked folder is opened relative to that open folder.
//
// One OwnedFile is used by one thread at a time.

#include <filesystem>
#include <string>

namespace platform {

enum class OwnedAccess {
    read,
    append,  // also reads; made (mode 0600, a folder 0700) when it is not there
};

class OwnedFile {
  public:
    enum class Status {
        open,
        missing,  // not there (only when reading)
        refused,  // there, but a link, not this user's, or open to others
        failed,   // the system would not make or open it
    };

    // `folder`, made with mode 0700 when it is not there and `access` is
    // append (its parent must exist), then opened without following a link
    // and refused unless it is a folder of this user's that neither group
    // nor others may use at all.
    static OwnedFile privateFolder(const std::filesystem::path& folder, OwnedAccess access);

    // `file`, opened without following a link in its last part, and refused
    // unless it is a regular file of this user's, with one name (one hard
    // link), that neither group nor others may write.
    static OwnedFile open(const std::filesystem::path& file, OwnedAccess access);

    // `name`, a single file name, in the open `folder` (one privateFolder
    // gave), opened relative to it as `open` opens a file. Throws
    // std::invalid_argument when `name` is not a plain name or `folder` is
    // not open.
    static OwnedFile openIn(const OwnedFile& folder, const std::string& name, OwnedAccess access);

    OwnedFile(OwnedFile&& other) noexcept;
    OwnedFile& operator=(OwnedFile&& other) noexcept;
    ~OwnedFile();
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;

    Status status() const { return status_; }
    bool isOpen() const { return status_ == Status::open; }
    int fd() const { return fd_; }  // -1 unless open
    const std::filesystem::path& path() const { return path_; }
    // Unless open, why, naming the file: "/tmp/x belongs to another user
    // (uid 65534)", "cannot open /tmp/x: Permission denied".
    const std::string& problem() const { return problem_; }

  private:
    OwnedFile(std::filesystem::path path, Status status, std::string problem, int fd = -1);
    static OwnedFile openChecked(int folderFd, const char* name, std::filesystem::path shown,
                                 OwnedAccess access, bool folder);

    std::filesystem::path path_;
    Status status_;
    std::string problem_;
    int fd_ = -1;
};

}  // namespace platform
