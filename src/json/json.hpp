// JSON documents as trees of json_node records: building, finding, changing,
// moving, copying and freeing nodes, and writing the tree as JSON text.
//
// The nodes are plain C records handed across the interface with ownership
// flags, and the parse stack copies them whole, so they are malloc'd and
// freed by the calls here; keys and texts are owned or borrowed per node.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/fmt.hpp"

namespace ostrel {

enum : uint32_t {
    json_string = 5,
    json_number = 9,
    json_boolean = 10,
    json_null = 11,
    json_array = 254,
    json_object = 255,
};

// Bits of json_node::flags.
enum : uint32_t {
    json_f_key_owned = 1,
    json_f_text_owned = 2,
    json_f_failed = 4,  // an allocation failed in this node's subtree; only ever set
};

struct json_node {
    uint32_t type;
    char* key;  // NULL for array elements and roots
    union {
        char* text;       // String; may be NULL
        int64_t integer;  // Number: the integer part; Boolean: 0 or 1
    } value;
    double number;        // Number: the value as given
    uint32_t list_start;  // parse-stack mark; 0 outside the stack
    json_node* first_child;
    json_node* parent;
    json_node* next;
    json_node* prev;
    json_node* last_child;
    uint32_t flags;
};

// Paths and walks use buffers of this size.
inline constexpr size_t json_path_size = 1024;

// The integer part of a double: truncated toward zero, clamped to the 64-bit
// range, 0 for NaN.
int64_t json_integer_part(double value);

// Construction; every new node is its parent's last child. NULL when refused
// (a duplicate key, a parent that is no container, a keyless member of an
// Object, a NULL text) with the tree unchanged, or when memory ran out (the
// parent chain is then marked failed).
json_node* json_add(json_node* parent, uint32_t type, const char* key, int key_owned);
json_node* json_new(json_node* parent, uint32_t type, const char* key);
json_node* json_add_object(json_node* parent, const char* key);
json_node* json_add_array(json_node* parent, const char* key);
json_node* json_add_string(json_node* parent, const char* key, const char* text);
json_node* json_add_string_ex(json_node* parent, const char* key, const char* text, int key_owned,
                              int text_owned);
json_node* json_add_number(json_node* parent, const char* key, double value);
json_node* json_add_number_ex(json_node* parent, const char* key, double value, int key_owned);
json_node* json_add_bool(json_node* parent, const char* key, int value);

// Values.
int json_set_string(json_node* node, const char* text, int owned);
int json_set_number(json_node* node, double value);
int json_set_bool(json_node* node, int value);
void json_set_string_owned(json_node* node, int owned);
const char* json_get_string(json_node* node, const char* path);  // "" when none
int32_t json_get_int(json_node* node, const char* path);
double json_get_double(json_node* node, const char* path);
int json_get_bool(json_node* node, const char* path);

// Look-up and navigation. Paths are "/"-separated keys; empty components are
// skipped, and a path without components finds nothing.
json_node* json_find(json_node* node, const char* path);
json_node* json_find_child(json_node* node, const char* key);
json_node* json_first_child(json_node* node);
json_node* json_next(json_node* node);
json_node* json_array_item(json_node* node, unsigned index);
size_t json_child_count(json_node* node);

// The callback returns 0 to stop the walk, 2 or 3 not to descend into the
// node, anything else to go on. path holds json_path_size bytes.
using json_walk_cb = int (*)(json_node* node, char* path, void* user, int* result);
// Visits first and its following siblings with their subtrees (Array
// elements excepted); a keyless node adds nothing to the path. 1 when the
// walk ran to its end, 0 when the callback stopped it.
int json_walk(json_node* first, char* path, size_t length, int* result, void* user,
              json_walk_cb cb);

// Structure.
void json_delete(json_node* node);
void json_detach(json_node* node);
void json_move(json_node* node, json_node* new_parent);
int json_rename(json_node* node, const char* key);
json_node* json_copy_node(json_node* node);
json_node* json_copy_chain(json_node* node);
json_node* json_copy_tree(json_node* node);
void json_free_tree(json_node* node);
void json_mark_failed(json_node* node);

// Writer. The text is JSON whatever the tree holds: keys and strings are
// escaped and made valid UTF-8 (ill-formed bytes become U+FFFD), and only
// members of an Object carry their key. json_print returns a malloc'd text,
// or NULL when memory ran out or an Object holds a keyless member.
char* json_print(json_node* root, int pretty);
// Appends node as a root (without its key); the buffer's text, or NULL.
char* json_write(json_node* node, str_buf* buf, int level, int pretty);
// The escaped text in buffer (which must hold json_escaped_size(text) bytes)
// or, with a NULL buffer, in a malloc'd copy. NULL for a NULL text or when
// the copy cannot be made.
char* json_escape_string(const char* text, char* buffer);
size_t json_escaped_size(const char* text);
char* json_escape_dup(const char* text);
// "u%04x" of the byte at out (6 bytes with the terminator); returns 5.
int json_escape_u(char* out, unsigned char byte);

}  // namespace ostrel
