#pragma once
// A read-only memory mapping of a whole file, unmapped on destruction. Model
// weights are read through one of these, so loading costs no copy and the pages
// are shared by every model object that maps the same file.

#include <cstddef>
#include <filesystem>

namespace platform::ml {

class MappedFile {
  public:
    // Throws MLModelError (io) when the file cannot be opened or mapped,
    // carrying the system's errno, or is no regular file.
    explicit MappedFile(const std::filesystem::path& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const std::byte* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    const std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace platform::ml
