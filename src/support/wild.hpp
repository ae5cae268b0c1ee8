// Wildcard matching ("?", "*", sets, escapes; exact or ASCII case-insensitive)
// with list forms and "!" negations, and a sorted directory walk that hands
// each entry to a callback, with the delete functions built on it.
#pragma once

#include <cstdint>

namespace ostrel {

// Bits of dir_entry::flags.
inline constexpr uint32_t dir_flag_directory = 1;
inline constexpr uint32_t dir_flag_hidden = 2;
inline constexpr uint32_t dir_flag_system = 4;
inline constexpr uint32_t dir_flag_archive = 8;

// Longest path of an entry, without its terminator; a longer one is left out.
inline constexpr uint32_t dir_path_max = 1023;

// One entry of a listed directory. The path (malloc'd) is the directory,
// "/" and the name.
struct dir_entry {
    char* path;
    uint32_t flags;
    uint32_t level;
    int64_t size;  // 0 for directories
    int64_t created;
    int64_t written;
    int64_t accessed;
    dir_entry* next;
};

// Called for every entry; the entry is valid only during the call and the
// result is ignored.
using dir_walk_cb = int (*)(void* ctx, dir_entry* entry);

// exact 0: ASCII letters compare without case. The time is bounded by the
// product of the two lengths, whatever the pattern.
int str_wild_match(const char* text, const char* pattern, int exact);
// The text "*" matches every pattern; anything else as str_wild_match.
int str_wild_match_star(const char* text, const char* pattern, int exact);

// NULL-terminated pattern arrays; a pattern beginning with "!" must not match.
// 1 when every plain pattern matches and no negated one does (an empty array: 1).
int str_wild_all(const char* text, const char* const* patterns, int exact);
// The same over a comma list (empty items skipped); a list without items: 0.
int str_wild_all_csv(const char* text, const char* list, int exact);
// The last pattern that matches decides (plain 1, negated 0); none: 0.
int str_wild_list_or(const char* text, const char* const* patterns, int exact);
int str_wild_list_csv(const char* text, const char* list, int exact);
// The first item of the comma list items that str_wild_list_csv accepts is
// copied into out (when given) and gives 1; none gives 0.
int str_wild_find_csv(const char* items, const char* patterns, char* out, int out_size, int exact);

// Lists the directory in path order (str_casecmp, then the bytes), hands each
// entry to cb and, with level not 0, walks each subdirectory right after its
// own entry with level + 1. A file is kept only when its name matches the
// pattern (case-insensitive; NULL keeps all); directories are always kept.
// Returns how many files of this directory were kept.
uint32_t dir_walk(const char* dir, const char* pattern, uint32_t level, dir_walk_cb cb, void* ctx);
// 1 directory, 0 another file, -1 missing or unreadable. Links are followed.
int dir_is_directory(const char* path);
// Inserts a new entry (the path copied) in walk order, after the entries that
// compare equal; 1, or 0 when path is NULL or memory runs out.
int dir_list_insert_sorted(dir_entry** head, const char* path, uint32_t level, uint32_t flags,
                           int64_t size, const int64_t times[3]);
// Frees a whole list and its paths.
void dir_list_free(dir_entry* head);

// Deletes the entry: a plain directory (flags exactly 1) with all its
// contents, anything else as a file (a directory then stays). 1.
int dir_delete_entry_cb(void* ctx, dir_entry* entry);
// Deletes the files that dir_walk would list. Without a pattern, every entry
// goes and plain subdirectories are removed whole; with one, only matching
// files go, in subdirectories too when level is not 0.
void dir_delete_matching(const char* dir, const char* pattern, uint32_t level);
void dir_delete_contents(const char* dir, uint32_t level);
// dir_delete_matching at level 0, then the directory itself: 0 removed, -1 not.
int dir_remove_tree(const char* dir, const char* pattern);

}  // namespace ostrel
