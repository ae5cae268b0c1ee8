#include "platform/dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace ostrel {

namespace {

void fill_times(const struct stat& st, plat_dir_item& item) {
    item.created = st.st_ctim.tv_sec;
    item.written = st.st_mtim.tv_sec;
    item.accessed = st.st_atim.tv_sec;
}

}  // namespace

plat_dir_search::plat_dir_search(const char* dir) {
    if (dir && *dir) dir_ = ::opendir(dir);
}

plat_dir_search::~plat_dir_search() {
    if (dir_) ::closedir(dir_);
}

bool plat_dir_search::next(plat_dir_item& item) {
    if (!dir_) return false;
    for (;;) {
        const dirent* d = ::readdir(dir_);
        if (!d) return false;
        const char* name = d->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) continue;
        struct stat st;
        if (::fstatat(::dirfd(dir_), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        item = plat_dir_item{};
        item.name = name;
        if (name[0] == '.') item.attributes |= plat_attr_hidden;
        if (S_ISLNK(st.st_mode)) {
            // A link to a regular file stands for the file; any other link
            // must not lead the walk (or a delete) anywhere else.
            struct stat target;
            if (::fstatat(::dirfd(dir_), name, &target, 0) == 0 && S_ISREG(target.st_mode)) {
                st = target;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            item.attributes |= plat_attr_directory;
        } else if (S_ISREG(st.st_mode)) {
            item.attributes |= plat_attr_archive;
            item.size = st.st_size;
        } else {
            item.attributes |= plat_attr_system;
        }
        fill_times(st, item);
        return true;
    }
}

int64_t plat_path_attributes(const char* path) {
    struct stat st;
    if (!path || ::stat(path, &st) != 0) return -1;
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    int64_t attributes =
        base[0] == '.' && std::strcmp(base, ".") && std::strcmp(base, "..") ? plat_attr_hidden : 0;
    if (S_ISDIR(st.st_mode))
        attributes |= plat_attr_directory;
    else if (S_ISREG(st.st_mode))
        attributes |= plat_attr_archive;
    else
        attributes |= plat_attr_system;
    return attributes;
}

int plat_rmdir(const char* path) {
    return path && ::rmdir(path) == 0 ? 0 : -1;
}

int plat_remove(const char* path) {
    return path && ::unlink(path) == 0 ? 0 : -1;
}

}  // namespace ostrel
