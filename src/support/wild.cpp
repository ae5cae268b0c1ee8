#include "support/wild.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dir.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

// One match of a text against a pattern. Only "*" branches. When the
// pattern after a "*" run has failed at every text position from some
// position on, that position is remembered: a later try there or further on
// fails at once, and a try further back only tries the positions before it.
// So each pattern part meets each text position once, and the time stays
// within the product of the two lengths.
class wild_matcher {
  public:
    wild_matcher(const char* text, const char* pattern, int exact)
        : t_(reinterpret_cast<const unsigned char*>(text)),
          p_(reinterpret_cast<const unsigned char*>(pattern)),
          tn_(std::strlen(text)),
          pn_(std::strlen(pattern)),
          exact_(exact != 0) {}

    bool run(size_t ti, size_t pi);

  private:
    int fold(unsigned char c) const { return exact_ ? c : str_char_tolower(c); }
    bool set_matches(size_t& pi, unsigned char c) const;

    const unsigned char* t_;
    const unsigned char* p_;
    size_t tn_, pn_;
    bool exact_;
    // For each pattern position after a "*" run: the first text position of
    // the failed tail (tn_ + 1 while none failed); made on the first star.
    std::vector<size_t> failed_from_;
};

// pi is just past "[" on entry and past the set on return. Ranges compare
// signed bytes, as the original character type did.
bool wild_matcher::set_matches(size_t& pi, unsigned char c) const {
    bool negated = false;
    if (pi < pn_ && p_[pi] == '^') {
        negated = true;
        ++pi;
    }
    const auto ch = static_cast<signed char>(fold(c));
    bool hit = false, has_start = false;
    signed char start = 0;
    while (pi < pn_ && p_[pi] != ']') {
        if (p_[pi] == '-' && pi + 1 < pn_ && p_[pi + 1] != ']') {
            const auto end = static_cast<signed char>(fold(p_[pi + 1]));
            if (has_start && start <= ch && ch <= end) hit = true;
            start = end;
            has_start = true;
            pi += 2;
        } else {
            const auto member = static_cast<signed char>(fold(p_[pi]));
            if (member == ch) hit = true;
            start = member;
            has_start = true;
            ++pi;
        }
    }
    if (pi < pn_) ++pi;  // the "]"; an unclosed set ends the pattern
    return hit != negated;
}

bool wild_matcher::run(size_t ti, size_t pi) {
    for (;;) {
        if (pi == pn_) return ti == tn_;
        switch (p_[pi]) {
            case '?':
                if (ti == tn_) return false;
                ++ti;
                ++pi;
                break;
            case '*': {
                while (pi < pn_ && p_[pi] == '*') ++pi;
                if (pi == pn_) return true;
                if (failed_from_.empty()) failed_from_.assign(pn_ + 1, tn_ + 1);
                // The recursion only reaches later pattern positions, so
                // this entry stays as it is during the loop.
                const size_t limit = failed_from_[pi];
                for (size_t pos = ti; pos < limit; ++pos) {
                    if (tn_ - pos == 1 && t_[pos] == '*') return true;
                    if (run(pos, pi)) return true;
                }
                if (ti < limit) failed_from_[pi] = ti;
                return false;
            }
            case '[':
                if (ti == tn_) return false;
                ++pi;
                if (!set_matches(pi, t_[ti])) return false;
                ++ti;
                break;
            case '\\':
                if (pi + 1 == pn_) return ti == tn_;
                ++pi;
                [[fallthrough]];
            default:
                if (ti == tn_ || fold(t_[ti]) != fold(p_[pi])) return false;
                ++ti;
                ++pi;
                break;
        }
    }
}

bool is_star_text(const char* text) {
    return text[0] == '*' && text[1] == '\0';
}

// The items of a comma list, in a copy of at most the list's first 10239 bytes.
std::vector<std::string> csv_items(const char* list) {
    constexpr size_t copy_size = 10240;
    std::vector<std::string> items;
    if (!list) return items;
    std::string_view rest(list, strnlen(list, copy_size - 1));
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        if (!item.empty()) items.emplace_back(item);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return items;
}

std::vector<const char*> as_array(const std::vector<std::string>& items) {
    std::vector<const char*> array;
    array.reserve(items.size() + 1);
    for (const auto& s : items) array.push_back(s.c_str());
    array.push_back(nullptr);
    return array;
}

// Walk order: str_casecmp, and the bytes between names that differ only in
// case, so the order never depends on the order the system lists them in.
bool path_before(const char* a, const char* b) {
    int c = str_casecmp(a, b);
    return c != 0 ? c < 0 : std::strcmp(a, b) < 0;
}

dir_entry* new_entry(const char* path, uint32_t level, uint32_t flags, int64_t size,
                     const int64_t times[3]) {
    auto* e = static_cast<dir_entry*>(std::calloc(1, sizeof(dir_entry)));
    if (!e) return nullptr;
    e->path = strdup(path);
    if (!e->path) {
        std::free(e);
        return nullptr;
    }
    e->level = level;
    e->flags = flags;
    e->size = size;
    e->created = times[0];
    e->written = times[1];
    e->accessed = times[2];
    return e;
}

// The sorted entries of one directory, as dir_walk lists them; count gets
// the number of kept files.
dir_entry* list_directory(const char* dir, const char* pattern, uint32_t level, uint32_t* count) {
    *count = 0;
    plat_dir_search search(dir);
    if (!search.ok()) return nullptr;
    std::string prefix(dir);
    if (prefix.back() != '/') prefix += '/';
    std::vector<dir_entry*> entries;
    plat_dir_item item;
    while (search.next(item)) {
        // A cut path would name another file: such an entry is left out.
        if (prefix.size() + item.name.size() > dir_path_max) continue;
        const bool is_dir = item.attributes & plat_attr_directory;
        if (!is_dir && pattern && !str_wild_match_star(item.name.c_str(), pattern, 0)) continue;
        if (!is_dir) ++*count;
        const int64_t times[3] = {item.created, item.written, item.accessed};
        std::string path = prefix + item.name;
        if (dir_entry* e =
                new_entry(path.c_str(), level, item.attributes, is_dir ? 0 : item.size, times))
            entries.push_back(e);
    }
    // Sorting once gives the order that insertion one by one would give.
    std::stable_sort(entries.begin(), entries.end(), [](const dir_entry* a, const dir_entry* b) {
        return path_before(a->path, b->path);
    });
    dir_entry* head = nullptr;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        (*it)->next = head;
        head = *it;
    }
    return head;
}

}  // namespace

int str_wild_match(const char* text, const char* pattern, int exact) {
    if (!text || !pattern) return 0;
    wild_matcher m(text, pattern, exact);
    return m.run(0, 0) ? 1 : 0;
}

int str_wild_match_star(const char* text, const char* pattern, int exact) {
    if (text && is_star_text(text)) return 1;
    return str_wild_match(text, pattern, exact);
}

int str_wild_all(const char* text, const char* const* patterns, int exact) {
    if (!text || !patterns) return patterns ? 0 : 1;
    const bool star = is_star_text(text);
    for (const char* const* p = patterns; *p; ++p) {
        if (**p == '!') {
            if (star || str_wild_match(text, *p + 1, exact)) return 0;
        } else if (!star && !str_wild_match(text, *p, exact)) {
            return 0;
        }
    }
    return 1;
}

int str_wild_all_csv(const char* text, const char* list, int exact) {
    auto items = csv_items(list);
    if (items.empty()) return 0;
    return str_wild_all(text, as_array(items).data(), exact);
}

int str_wild_list_or(const char* text, const char* const* patterns, int exact) {
    if (!text || !patterns) return 0;
    const bool star = is_star_text(text);
    int result = 0;
    for (const char* const* p = patterns; *p; ++p) {
        const bool negated = **p == '!';
        if (star || str_wild_match(text, *p + (negated ? 1 : 0), exact)) result = negated ? 0 : 1;
    }
    return result;
}

int str_wild_list_csv(const char* text, const char* list, int exact) {
    auto items = csv_items(list);
    return str_wild_list_or(text, as_array(items).data(), exact);
}

int str_wild_find_csv(const char* items, const char* patterns, char* out, int out_size, int exact) {
    for (const auto& item : csv_items(items)) {
        if (str_wild_list_csv(item.c_str(), patterns, exact)) {
            if (out) str_copy(out, item.c_str(), out_size > 0 ? static_cast<size_t>(out_size) : 0);
            return 1;
        }
    }
    return 0;
}

uint32_t dir_walk(const char* dir, const char* pattern, uint32_t level, dir_walk_cb cb, void* ctx) {
    if (!dir) return 0;
    uint32_t count = 0;
    dir_entry* head = list_directory(dir, pattern, level, &count);
    while (head) {
        dir_entry* e = head;
        if (cb) cb(ctx, e);
        if (level != 0 && (e->flags & dir_flag_directory))
            dir_walk(e->path, pattern, level + 1, cb, ctx);
        head = e->next;
        std::free(e->path);
        std::free(e);
    }
    return count;
}

int dir_is_directory(const char* path) {
    int64_t attributes = plat_path_attributes(path);
    if (attributes < 0) return -1;
    return (attributes & plat_attr_directory) ? 1 : 0;
}

int dir_list_insert_sorted(dir_entry** head, const char* path, uint32_t level, uint32_t flags,
                           int64_t size, const int64_t times[3]) {
    if (!head || !path) return 0;
    const int64_t zero[3] = {0, 0, 0};
    dir_entry* e = new_entry(path, level, flags, size, times ? times : zero);
    if (!e) return 0;
    dir_entry** at = head;
    while (*at && !path_before(path, (*at)->path)) at = &(*at)->next;
    e->next = *at;
    *at = e;
    return 1;
}

void dir_list_free(dir_entry* head) {
    while (head) {
        dir_entry* next = head->next;
        std::free(head->path);
        std::free(head);
        head = next;
    }
}

int dir_delete_entry_cb(void*, dir_entry* entry) {
    if (!entry || !entry->path) return 1;
    if (entry->flags == dir_flag_directory) {
        dir_delete_contents(entry->path, 0);
        plat_rmdir(entry->path);
    } else {
        plat_remove(entry->path);
    }
    return 1;
}

void dir_delete_matching(const char* dir, const char* pattern, uint32_t level) {
    if (!dir) return;
    uint32_t count = 0;
    dir_entry* head = list_directory(dir, pattern, level, &count);
    for (dir_entry* e = head; e; e = e->next) {
        const bool is_dir = e->flags & dir_flag_directory;
        // A directory goes whole only when everything is to be deleted;
        // with a pattern, only the matching files inside it go.
        if (!pattern || !is_dir) dir_delete_entry_cb(nullptr, e);
        if (level != 0 && is_dir) dir_delete_matching(e->path, pattern, level + 1);
    }
    dir_list_free(head);
}

void dir_delete_contents(const char* dir, uint32_t level) {
    dir_delete_matching(dir, nullptr, level);
}

int dir_remove_tree(const char* dir, const char* pattern) {
    dir_delete_matching(dir, pattern, 0);
    return plat_rmdir(dir);
}

}  // namespace ostrel
