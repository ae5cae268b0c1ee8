// Files that are written once and must be whole: the new bytes go to a
// temporary file in the same folder, reach the disk, and then take the
// file's name in one step, so a reader finds the old file or the new one,
// never a part of either. Where no temporary file can be made, the file is
// rewritten in place, its room reserved first.
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

// Opens name, through a link too, to be rewritten in place: a regular file,
// or nothing yet (then it is created empty). Not truncated; readable as well
// where it may be read. NULL for anything else, and when it cannot be opened.
FILE* plat_open_rewritable(const char* name);

// Makes the regular file f was opened on by plat_open_rewritable hold
// exactly size bytes of data, where no temporary file can be made. The room
// is reserved before any byte is written; when that fails, the file is left
// as it was. A write that fails later puts the old bytes back (or, when they
// could not be read, empties the file), so a part of either never stays.
// 1 when the file holds the data, else 0.
int plat_rewrite_file(FILE* f, const char* data, size_t size);

// Empties the file f was opened on. 1, or 0 when it cannot be emptied.
int plat_truncate(FILE* f);

}  // namespace ostrel
