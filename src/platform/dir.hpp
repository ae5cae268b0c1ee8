// Stand-in for the platform's directory search and attribute queries: one
// directory's entries with attribute bits, sizes and times, read with
// opendir/readdir/lstat. Links are never followed into directories.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <string>

namespace ostrel {

// Attribute bits of an entry, as the walk reports them.
inline constexpr uint32_t plat_attr_directory = 1;
inline constexpr uint32_t plat_attr_hidden = 2;   // the name begins with "."
inline constexpr uint32_t plat_attr_system = 4;   // neither a file nor a directory
inline constexpr uint32_t plat_attr_archive = 8;  // every regular file

// One entry of a directory.
struct plat_dir_item {
    std::string name;
    uint32_t attributes = 0;
    int64_t size = 0;
    int64_t created = 0;  // status-change time: the nearest this system keeps
    int64_t written = 0;
    int64_t accessed = 0;
};

// A search over one directory. An entry is a directory only when lstat says
// so; a link to a regular file reads as that file (its target's size and
// times); a link to anything else, a dangling link, a FIFO, a socket or a
// device is a system entry.
class plat_dir_search {
  public:
    explicit plat_dir_search(const char* dir);
    ~plat_dir_search();
    plat_dir_search(const plat_dir_search&) = delete;
    plat_dir_search& operator=(const plat_dir_search&) = delete;

    // False when the directory could not be opened.
    bool ok() const { return dir_ != nullptr; }
    // The next entry other than "." and ".."; false at the end. An entry
    // that vanished between listing and lstat is passed over.
    bool next(plat_dir_item& item);

  private:
    DIR* dir_ = nullptr;
};

// The attribute bits of a path, following links; -1 when it is missing or
// cannot be examined.
int64_t plat_path_attributes(const char* path);
// An empty directory; 0 done, -1 failed.
int plat_rmdir(const char* path);
// A file, link or other non-directory entry (never a directory, never a
// link's target); 0 done, -1 failed.
int plat_remove(const char* path);

}  // namespace ostrel
