// Small general-purpose operations: path helpers, look-ups in string and
// number lists, a stack of data blocks, XML escaping, a hex dump, ROT13 and
// byte-order swaps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// Longest text path_build and path_full produce, terminator included.
inline constexpr size_t path_out_size = 4096;

// base to the power of exponent, modulo 2^32; exponent 0 gives 1.
uint32_t int_pow(uint32_t base, uint32_t exponent);

// Sets the permissions to the octal number in mode; 1 done, 0 failed.
int path_chmod(const char* path, const char* mode);
// Creates every missing directory of the path (mode 0777 less the umask;
// the mode text is not used). 1 when the path exists afterwards, else 0.
int path_mkdir_recursive(const char* path, const char* mode);
// dir "/" [subdir "/"] name into out (path_out_size bytes, cut silently);
// with create set, the directory part is made first when it is missing.
// Returns out.
char* path_build(char* out, const char* dir, const char* subdir, const char* name, int create);
// The absolute form of the path in out (path_out_size bytes), made
// lexically: "." , ".." and repeated "/" resolved, links not, the path need
// not exist. NULL when it does not fit or the working folder is unknown.
char* path_full(const char* path, char* out);

// NULL-terminated string arrays. case_sensitive 0 folds ASCII letters.
int str_list_contains(const char* text, int case_sensitive, const char* const* list);
// Index of the first entry equal to text, -1 when none.
int str_list_index(const char* text, const char* const* list);
// 1 when value is among the numbers that follow; the list ends with its
// first negative number, which is compared too.
int int_in_list(int32_t value, ...);
// "0"-"9", "a"-"f", "A"-"F" give their value, everything else 0.
int hex_digit_value(int c);

// A stack of data blocks, newest first. A node owns a copy of its data when
// the push asked for one.
struct data_node {
    void* data;
    uint32_t size;
    data_node* next;  // older
    data_node* prev;  // newer
};
struct data_list {
    data_node* newest;
};
// Makes the list on the first push into a NULL variable. The new node, or
// NULL when memory runs out (or a copy of a negative size is asked for).
data_node* data_list_push(data_list** list, void* data, int32_t size, int copy);
// From the newest towards the oldest: an iterator holding NULL (or none)
// starts at the newest node; NULL at the end, the iterator then unchanged.
void* data_list_next(data_list* list, uint32_t* size, data_node** iter);
// The newest node's data (now the caller's), the node released. An empty
// list is released and the variable cleared; NULL then.
void* data_list_pop(data_list** list, uint32_t* size);

// Singly linked list of malloc'd values in malloc'd nodes.
struct ptr_node {
    void* value;
    ptr_node* next;
};
// Frees every value and node and clears the head; NULL or empty is fine.
void ptr_list_free(ptr_node** head);
void mem_free(void* p);

// A new heap string with " & < > % written as entities and control bytes
// other than TAB, LF and CR dropped; NULL when memory runs out.
char* xml_escape(const char* text);
// Hex dump of 16 bytes a line on standard output.
void fmt_hexdump(const void* data, int64_t length);
// In place; NULL stays NULL.
char* str_rot13(char* text);

uint16_t byte_swap16_load(const void* p);
uint32_t byte_swap32_load(const void* p);
uint64_t byte_swap64_load(const void* p);
void* byte_swap16_store(uint16_t value, void* out);
void* byte_swap32_store(uint32_t value, void* out);
void* byte_swap64_store(uint64_t value, void* out);

}  // namespace ostrel
