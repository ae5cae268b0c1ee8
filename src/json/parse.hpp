// Tools over json_node trees for a JSON reader that brings its own grammar
// and tokens: the semantic actions of a node stack (values pushed, lists
// reduced into Arrays and Objects, the finished tree linked and checked for
// duplicate keys), and schema checks of a settings tree. Both report in
// words through an error-text slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json/json.hpp"

namespace ostrel {

// Bytes of the node stack.
inline constexpr size_t json_stack_size = 1048576;

struct json_parse_ctx {
    json_node* root = nullptr;  // the finished tree, after json_parse_finish
    char* error = nullptr;      // the last error text (malloc'd), NULL while none
    // The caller's area of json_stack_size bytes, aligned for json_node.
    json_node* stack = nullptr;
    int32_t top = 0;  // bytes in use
};

// Each action that finds the stack too full sets "Stack overflow", one that
// finds it empty (or no open list to reduce) "Stack underflow"; either way
// the stack is left as it was.
json_node* json_stack_push(json_parse_ctx* ctx);
json_node* json_stack_top(json_parse_ctx* ctx);
// A malloc'd copy of the top node, which leaves the stack; NULL when the
// copy cannot be made ("Out of memory", nothing popped).
json_node* json_stack_pop(json_parse_ctx* ctx);
// Takes over text (malloc'd). Numbers are read without the locale; a plain
// integer token exactly (saturating at the 64-bit range), any other number
// as the integer part of its double. String tokens are unescaped.
void json_stack_push_value(json_parse_ctx* ctx, uint32_t type, char* text);
// Takes over key (malloc'd).
void json_stack_set_key(json_parse_ctx* ctx, char* key);
void json_stack_mark_list(json_parse_ctx* ctx);
// Pops the open list (down to the node with the list mark) into a new
// container on top; NULL on failure.
json_node* json_stack_reduce(json_parse_ctx* ctx, uint32_t type, int has_elements);
void json_parse_finish(json_parse_ctx* ctx);
// Frees what the stack still holds and the error text; the stack area
// stays the caller's.
void json_parse_reset(json_parse_ctx* ctx);

// Sets parent, prev and last_child below node and its following siblings.
// With a context, the first duplicate key among the children of any of
// these nodes is reported and the linking stops there.
void json_link_tree(json_parse_ctx* ctx, json_node* node);
void json_check_duplicates(json_parse_ctx* ctx, json_node* node);
char* json_node_path(json_node* node, char* buffer, size_t size);
// Decodes the escapes of src into dst, which holds 2 * strlen(src) + 1
// bytes. "\uXXXX" becomes UTF-8 (a surrogate pair one character; a lone
// surrogate, "\u0000" and a malformed "\u" U+FFFD); any other escaped
// character stands for itself; a backslash at the end is dropped.
char* json_unescape(const char* src, char* dst);
const char* json_type_name(uint32_t type);

// Schema checks: 1 when the check passes, 0 (with a text in the slot, when
// one is given) when it fails. Lists end with a NULL entry.
struct json_setting_type {
    const char* name;
    uint32_t type;
};
int settings_check_range(int32_t minimum, int32_t maximum, json_node* node, char** slot);
int settings_check_type(json_node* node, uint32_t type, char** slot);
int settings_check_one_of(json_node* node, char** slot, const char* const* paths);
int settings_check_required(json_node* node, char** slot, const char* const* paths);
int settings_check_known_typed(json_node* node, char** slot, const json_setting_type* table);
int settings_check_known(json_node* node, char** slot, const char* const* names);

}  // namespace ostrel
