#include <cmath>
#include <cstdlib>
#include <cstring>

#include "json/json.hpp"
#include "json/parse.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

bool is_container(const json_node* n) {
    return n->type == json_array || n->type == json_object;
}

// Takes the node out of its parent and sibling chain; its subtree stays.
void unlink(json_node* n) {
    if (n->next) n->next->prev = n->prev;
    if (n->prev) n->prev->next = n->next;
    if (n->parent) {
        if (n->parent->first_child == n) n->parent->first_child = n->next;
        if (n->parent->last_child == n) n->parent->last_child = n->prev;
    }
    n->parent = n->next = n->prev = nullptr;
}

void append(json_node* parent, json_node* n) {
    n->parent = parent;
    n->prev = parent->last_child;
    n->next = nullptr;
    if (parent->last_child)
        parent->last_child->next = n;
    else
        parent->first_child = n;
    parent->last_child = n;
}

// Frees what the node owns and the node, not its subtree.
void free_node(json_node* n) {
    if (n->flags & json_f_key_owned) std::free(n->key);
    if (n->type == json_string && (n->flags & json_f_text_owned)) std::free(n->value.text);
    std::free(n);
}

json_node* find_component(json_node* node, const char* key, size_t len) {
    for (json_node* c = node->first_child; c; c = c->next)
        if (c->key && std::strlen(c->key) == len && std::memcmp(c->key, key, len) == 0) return c;
    return nullptr;
}

}  // namespace

int64_t json_integer_part(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is the first double past the range; -2^63 is in it.
    if (value >= 9223372036854775808.0) return INT64_MAX;
    if (value < -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(value);
}

void json_mark_failed(json_node* node) {
    for (; node; node = node->parent) node->flags |= json_f_failed;
}

json_node* json_add(json_node* parent, uint32_t type, const char* key, int key_owned) {
    if (parent) {
        if (!is_container(parent)) return nullptr;
        // An Object member without a key could not be written as JSON.
        if (!key && parent->type == json_object) return nullptr;
        if (key && json_find_child(parent, key)) return nullptr;
    }
    auto* n = static_cast<json_node*>(std::calloc(1, sizeof(json_node)));
    if (!n) {
        json_mark_failed(parent);
        return nullptr;
    }
    if (key) {
        if (key_owned) {
            n->key = strdup(key);
            if (!n->key) {
                json_mark_failed(parent);
                std::free(n);
                return nullptr;
            }
            n->flags = json_f_key_owned;
        } else {
            n->key = const_cast<char*>(key);
        }
    }
    n->type = type;
    if (parent) append(parent, n);
    return n;
}

json_node* json_new(json_node* parent, uint32_t type, const char* key) {
    return json_add(parent, type, key, 1);
}

json_node* json_add_object(json_node* parent, const char* key) {
    return json_add(parent, json_object, key, 1);
}

json_node* json_add_array(json_node* parent, const char* key) {
    return json_add(parent, json_array, key, 1);
}

json_node* json_add_string(json_node* parent, const char* key, const char* text) {
    return json_add_string_ex(parent, key, text, 1, 1);
}

json_node* json_add_string_ex(json_node* parent, const char* key, const char* text, int key_owned,
                              int text_owned) {
    if (!text) return nullptr;
    char* copy = nullptr;
    if (text_owned) {
        copy = strdup(text);
        if (!copy) {
            json_mark_failed(parent);
            return nullptr;
        }
    }
    json_node* n = json_add(parent, json_string, key, key_owned);
    if (!n) {
        std::free(copy);
        return nullptr;
    }
    if (text_owned) {
        n->value.text = copy;
        n->flags |= json_f_text_owned;
    } else {
        n->value.text = const_cast<char*>(text);
    }
    return n;
}

json_node* json_add_number(json_node* parent, const char* key, double value) {
    return json_add_number_ex(parent, key, value, 1);
}

json_node* json_add_number_ex(json_node* parent, const char* key, double value, int key_owned) {
    json_node* n = json_add(parent, json_number, key, key_owned);
    if (n) {
        n->value.integer = json_integer_part(value);
        n->number = value;
    }
    return n;
}

json_node* json_add_bool(json_node* parent, const char* key, int value) {
    json_node* n = json_add(parent, json_boolean, key, 1);
    if (n) n->value.integer = value ? 1 : 0;
    return n;
}

int json_set_string(json_node* node, const char* text, int owned) {
    if (!node || node->type != json_string) return 0;
    char* stored = const_cast<char*>(text);
    if (text && owned) stored = strdup(text);
    if (!stored) {
        // The old text stays: nothing is lost by a refused change.
        json_mark_failed(node);
        return 0;
    }
    if (node->flags & json_f_text_owned) std::free(node->value.text);
    node->value.text = stored;
    if (owned)
        node->flags |= json_f_text_owned;
    else
        node->flags &= ~json_f_text_owned;
    return 1;
}

int json_set_number(json_node* node, double value) {
    if (!node || node->type != json_number) return 0;
    node->value.integer = json_integer_part(value);
    node->number = value;
    return 1;
}

int json_set_bool(json_node* node, int value) {
    if (!node || node->type != json_boolean) return 0;
    node->value.integer = value ? 1 : 0;
    return 1;
}

void json_set_string_owned(json_node* node, int owned) {
    if (!node) return;
    if (owned)
        node->flags |= json_f_text_owned;
    else
        node->flags &= ~json_f_text_owned;
}

const char* json_get_string(json_node* node, const char* path) {
    json_node* n = json_find(node, path);
    return n && n->type == json_string && n->value.text ? n->value.text : "";
}

int32_t json_get_int(json_node* node, const char* path) {
    json_node* n = json_find(node, path);
    if (!n || n->type != json_number) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(n->value.integer)));
}

double json_get_double(json_node* node, const char* path) {
    json_node* n = json_find(node, path);
    return n && n->type == json_number ? n->number : 0.0;
}

int json_get_bool(json_node* node, const char* path) {
    json_node* n = json_find(node, path);
    return n && n->type == json_boolean ? static_cast<int>(n->value.integer) : 0;
}

json_node* json_find(json_node* node, const char* path) {
    if (!node || !path) return nullptr;
    json_node* cur = nullptr;
    const char* p = path;
    for (;;) {
        while (*p == '/') ++p;
        if (!*p) break;
        const char* end = std::strchr(p, '/');
        size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (len >= json_path_size) return nullptr;
        cur = find_component(cur ? cur : node, p, len);
        if (!cur) return nullptr;
        p += len;
    }
    return cur;
}

json_node* json_find_child(json_node* node, const char* key) {
    if (!node || !key) return nullptr;
    for (json_node* c = node->first_child; c; c = c->next)
        if (c->key && std::strcmp(c->key, key) == 0) return c;
    return nullptr;
}

json_node* json_first_child(json_node* node) {
    return node ? node->first_child : nullptr;
}

json_node* json_next(json_node* node) {
    return node ? node->next : nullptr;
}

json_node* json_array_item(json_node* node, unsigned index) {
    if (!node || node->type != json_array) return nullptr;
    json_node* c = node->first_child;
    for (unsigned i = 0; c && i < index; ++i) c = c->next;
    return c;
}

size_t json_child_count(json_node* node) {
    size_t n = 0;
    for (json_node* c = json_first_child(node); c; c = c->next) ++n;
    return n;
}

int json_walk(json_node* first, char* path, size_t length, int* result, void* user,
              json_walk_cb cb) {
    if (length == 0 && result) *result = 0;
    for (json_node* n = first; n;) {
        if (length < json_path_size) path[length] = '\0';
        if (n->key) {
            if (length != 0) str_append(path, "/", json_path_size);
            str_append(path, n->key, json_path_size);
        }
        json_node* next = n->next;
        int r = cb(n, path, user, result);
        if (r == 0) return 0;
        if (r != 2 && r != 3 && n->first_child && n->type != json_array) {
            if (!json_walk(n->first_child, path, std::strlen(path), result, user, cb)) return 0;
        }
        n = next;
    }
    return 1;
}

void json_delete(json_node* node) {
    if (!node) return;
    unlink(node);
    json_free_tree(node);
}

void json_detach(json_node* node) {
    if (node) unlink(node);
}

void json_move(json_node* node, json_node* new_parent) {
    if (!node || !new_parent) return;
    unlink(node);
    append(new_parent, node);
}

int json_rename(json_node* node, const char* key) {
    if (!node || !key) return 0;
    char* copy = strdup(key);
    if (!copy) {
        json_mark_failed(node);
        return 0;
    }
    if (node->flags & json_f_key_owned) std::free(node->key);
    node->key = copy;
    node->flags |= json_f_key_owned;
    return 1;
}

json_node* json_copy_node(json_node* node) {
    if (!node) return nullptr;
    auto* n = static_cast<json_node*>(std::calloc(1, sizeof(json_node)));
    if (!n) return nullptr;
    n->type = node->type;
    n->number = node->number;
    n->flags = json_f_key_owned;
    if (node->key && !(n->key = strdup(node->key))) {
        std::free(n);
        return nullptr;
    }
    if (node->type == json_string) {
        if (node->value.text) {
            n->value.text = strdup(node->value.text);
            if (!n->value.text) {
                std::free(n->key);
                std::free(n);
                return nullptr;
            }
            n->flags |= json_f_text_owned;
        }
    } else {
        n->value.integer = node->value.integer;
    }
    return n;
}

json_node* json_copy_chain(json_node* node) {
    json_node* head = nullptr;
    json_node** tail = &head;
    // Siblings in a loop, children by recursion: a long list costs no stack.
    for (json_node* s = node; s; s = s->next) {
        json_node* c = json_copy_node(s);
        if (!c) {
            json_free_tree(head);
            return nullptr;
        }
        *tail = c;
        tail = &c->next;
        if (s->first_child && !(c->first_child = json_copy_chain(s->first_child))) {
            json_free_tree(head);
            return nullptr;
        }
    }
    return head;
}

json_node* json_copy_tree(json_node* node) {
    json_node* copy = json_copy_chain(node);
    json_link_tree(nullptr, copy);
    return copy;
}

void json_free_tree(json_node* node) {
    while (node) {
        json_node* next = node->next;
        json_free_tree(node->first_child);
        free_node(node);
        node = next;
    }
}

}  // namespace ostrel
