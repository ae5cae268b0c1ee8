// Files that are written once and must be whole: the new bytes go to a
// temporary file in the same folder, reach the disk, and then take the
// file's name in one step, so a reader finds the old file or the new one,
// never a part of either.
#pragma once

#include <cstddef>
#include <cstdio>

namespace ostrel {

// Opens name for writing without truncating it, when it can later be
// replaced whole: a regular file (not a symbolic link) or nothing yet (then
// it is created empty, as a new file would be), in a folder that may be
// written. NULL for anything else, and when it cannot be opened so.
FILE* plat_open_replaceable(const char* name);

// Replaces the file name with size bytes of data. Its permission bits are
// kept; a file that is not there gets those of a new file. 1 when name
// holds the bytes; 0 when it does not, and then name is as it was and no
// temporary file is left.
int plat_replace_file(const char* name, const char* data, size_t size);

// Empties the file f was opened on. 1, or 0 when it cannot be emptied.
int plat_truncate(FILE* f);

}  // namespace ostrel
