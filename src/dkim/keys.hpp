// The DKIM key table: signing keys grouped by domain, in an AVL tree of
// domain records compared without regard to ASCII case.
#pragma once

#include <cstdint>

namespace ostrel {

// Embedded in each domain record; the tree routines know nothing else of it.
// The balance lives in a field of its own (-1 left higher, 0 even, +1 right
// higher) instead of the low bits of the parent pointer.
struct dkim_tree_node {
    dkim_tree_node* left = nullptr;
    dkim_tree_node* right = nullptr;
    dkim_tree_node* parent = nullptr;
    int8_t balance = 0;
};

enum dkim_key_type : uint8_t { dkim_key_rsa = 1, dkim_key_ed25519 = 2 };

// The link of a key in its domain's list: next is the next older key, prev
// the next newer one.
struct dkim_key_link {
    dkim_key_link* next = nullptr;
    dkim_key_link* prev = nullptr;
};

struct dkim_key {
    dkim_key_link link;        // first, so that a link leads back to its key
    char* selector = nullptr;  // owned; the s= text
    char* pem = nullptr;       // owned; the PEM text as it was read
    uint8_t type = 0;          // dkim_key_type
};

struct dkim_domain {
    dkim_tree_node node;            // first, so that a node leads back to its record
    char* domain = nullptr;         // owned; the d= text, as the first call gave it
    dkim_key_link* keys = nullptr;  // newest key first
};

inline dkim_key* dkim_key_of(dkim_key_link* l) {
    return reinterpret_cast<dkim_key*>(l);
}
inline const dkim_key* dkim_key_of(const dkim_key_link* l) {
    return reinterpret_cast<const dkim_key*>(l);
}
inline dkim_domain* dkim_domain_of(dkim_tree_node* n) {
    return reinterpret_cast<dkim_domain*>(n);
}
inline const dkim_domain* dkim_domain_of(const dkim_tree_node* n) {
    return reinterpret_cast<const dkim_domain*>(n);
}

// The table's root is the record at the top of the tree; NULL is empty.
// Adds a key (PEM text, NUL-terminated; parsed once to learn its type). The
// record now holding it, or NULL when the key is refused (no private key, a
// type other than RSA or Ed25519, an encrypted key without a terminal to ask
// on) or memory ran out.
dkim_domain* dkim_keys_add(dkim_domain** root, const char* domain, const char* selector,
                           const char* pem);
const dkim_domain* dkim_keys_find(const dkim_domain* root, const char* domain);
void dkim_keys_free(dkim_domain** root);

// The key type of a PEM text, 0 when it holds no usable private key.
uint8_t dkim_key_type_of(const char* pem);
// The crypto library's pass-phrase callback: asks on the controlling
// terminal only, never on standard input; fails without a terminal.
int dkim_pass_phrase_cb(char* buf, int size, int rwflag, void* user);

// Tree routines.
void dkim_tree_insert_rebalance(dkim_tree_node** root, dkim_tree_node* n);
void dkim_tree_remove(dkim_tree_node** root, dkim_tree_node* n);
dkim_tree_node* dkim_tree_first(dkim_tree_node* n);
dkim_tree_node* dkim_tree_last(dkim_tree_node* n);
dkim_tree_node* dkim_tree_next(dkim_tree_node* n);
dkim_tree_node* dkim_tree_prev(dkim_tree_node* n);
dkim_tree_node* dkim_tree_first_postorder(dkim_tree_node* root);
dkim_tree_node* dkim_tree_next_postorder(dkim_tree_node* n, dkim_tree_node* parent);
int dkim_domain_cmp_text(const char* domain, const dkim_tree_node* n);
int dkim_domain_cmp(const dkim_tree_node* a, const dkim_tree_node* b);

}  // namespace ostrel
