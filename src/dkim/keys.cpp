#include "dkim/keys.hpp"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/str.hpp"

namespace ostrel {

namespace {

struct bio_free {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

char* copy_text(const char* text) {
    size_t n = std::strlen(text) + 1;
    auto* out = static_cast<char*>(std::malloc(n));
    if (out) std::memcpy(out, text, n);
    return out;
}

void replace_child(dkim_tree_node** root, dkim_tree_node* parent, dkim_tree_node* old,
                   dkim_tree_node* now) {
    if (!parent)
        *root = now;
    else if (parent->left == old)
        parent->left = now;
    else
        parent->right = now;
}

// x's right child takes x's place; balances are the caller's.
dkim_tree_node* rotate_left(dkim_tree_node** root, dkim_tree_node* x) {
    dkim_tree_node* y = x->right;
    x->right = y->left;
    if (y->left) y->left->parent = x;
    y->parent = x->parent;
    replace_child(root, x->parent, x, y);
    y->left = x;
    x->parent = y;
    return y;
}

dkim_tree_node* rotate_right(dkim_tree_node** root, dkim_tree_node* x) {
    dkim_tree_node* y = x->left;
    x->left = y->right;
    if (y->right) y->right->parent = x;
    y->parent = x->parent;
    replace_child(root, x->parent, x, y);
    y->right = x;
    x->parent = y;
    return y;
}

// p leans two levels to side s (-1 left, +1 right). Rotates and returns the
// new top; *shorter says whether the subtree lost height by it.
dkim_tree_node* rebalance(dkim_tree_node** root, dkim_tree_node* p, int s, bool* shorter) {
    dkim_tree_node* c = s < 0 ? p->left : p->right;
    if (c->balance != -s) {
        // Single rotation: the child takes the parent's place.
        dkim_tree_node* top = s < 0 ? rotate_right(root, p) : rotate_left(root, p);
        if (c->balance == 0) {
            c->balance = static_cast<int8_t>(-s);
            p->balance = static_cast<int8_t>(s);
            *shorter = false;
        } else {
            c->balance = 0;
            p->balance = 0;
            *shorter = true;
        }
        return top;
    }
    // Double rotation: the child's inner child takes the parent's place.
    dkim_tree_node* g = s < 0 ? c->right : c->left;
    if (s < 0) {
        rotate_left(root, c);
        rotate_right(root, p);
    } else {
        rotate_right(root, c);
        rotate_left(root, p);
    }
    if (g->balance == s) {
        p->balance = static_cast<int8_t>(-s);
        c->balance = 0;
    } else if (g->balance == -s) {
        p->balance = 0;
        c->balance = static_cast<int8_t>(s);
    } else {
        p->balance = 0;
        c->balance = 0;
    }
    g->balance = 0;
    *shorter = true;
    return g;
}

dkim_tree_node* find_node(dkim_tree_node* n, const char* domain) {
    while (n) {
        int c = dkim_domain_cmp_text(domain, n);
        if (c == 0) return n;
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

}  // namespace

int dkim_pass_phrase_cb(char* buf, int size, int, void*) {
    if (!buf || size <= 0) return -1;
    // Without a controlling terminal this fails: standard input may carry
    // the message body and must never be read for a pass phrase.
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    // Echo goes off before the prompt shows: an answer typed as soon as it
    // appears is neither echoed nor flushed away with what came before it.
    termios old{};
    bool quiet = tcgetattr(fd, &old) == 0;
    if (quiet) {
        termios silent = old;
        silent.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet = tcsetattr(fd, TCSAFLUSH, &silent) == 0;
    }
    static const char prompt[] = "Enter PEM pass phrase:";
    ssize_t ignored = write(fd, prompt, sizeof prompt - 1);
    int len = 0;
    bool ok = false;
    for (;;) {
        char c;
        ssize_t r = read(fd, &c, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (c == '\n' || c == '\r') {
            ok = true;
            break;
        }
        if (len < size - 1) buf[len++] = c;
    }
    // What is typed after the answer (the next key's) is kept.
    if (quiet) tcsetattr(fd, TCSANOW, &old);
    ignored = write(fd, "\n", 1);
    (void)ignored;
    close(fd);
    buf[len] = '\0';
    return ok || len > 0 ? len : -1;
}

uint8_t dkim_key_type_of(const char* pem) {
    std::unique_ptr<BIO, bio_free> bio(BIO_new_mem_buf(pem, -1));
    if (!bio) return 0;
    std::unique_ptr<EVP_PKEY, pkey_free> key(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, dkim_pass_phrase_cb, nullptr));
    if (!key) return 0;
    switch (EVP_PKEY_base_id(key.get())) {
        case EVP_PKEY_RSA:
            return dkim_key_rsa;
        case EVP_PKEY_ED25519:
            return dkim_key_ed25519;
        default:
            return 0;
    }
}

int dkim_domain_cmp_text(const char* domain, const dkim_tree_node* n) {
    return str_casecmp(domain, dkim_domain_of(n)->domain);
}

int dkim_domain_cmp(const dkim_tree_node* a, const dkim_tree_node* b) {
    return str_casecmp(dkim_domain_of(a)->domain, dkim_domain_of(b)->domain);
}

dkim_domain* dkim_keys_add(dkim_domain** root, const char* domain, const char* selector,
                           const char* pem) {
    if (!root || !domain || !selector || !pem) return nullptr;
    uint8_t type = dkim_key_type_of(pem);
    if (!type) return nullptr;
    dkim_tree_node* top = *root ? &(*root)->node : nullptr;
    dkim_tree_node* hit = find_node(top, domain);
    dkim_domain* record;
    if (hit) {
        record = dkim_domain_of(hit);
    } else {
        auto* mem = static_cast<dkim_domain*>(std::malloc(sizeof(dkim_domain)));
        if (!mem) return nullptr;
        record = new (mem) dkim_domain();
        record->domain = copy_text(domain);
        if (!record->domain) {
            std::free(mem);
            return nullptr;
        }
        dkim_tree_node* parent = nullptr;
        dkim_tree_node** place = &top;
        while (*place) {
            parent = *place;
            place = dkim_domain_cmp_text(domain, parent) < 0 ? &parent->left : &parent->right;
        }
        *place = &record->node;
        record->node.parent = parent;
        dkim_tree_insert_rebalance(&top, &record->node);
        *root = dkim_domain_of(top);
    }
    auto* kmem = static_cast<dkim_key*>(std::malloc(sizeof(dkim_key)));
    if (!kmem) return nullptr;
    dkim_key* key = new (kmem) dkim_key();
    key->selector = copy_text(selector);
    key->pem = copy_text(pem);
    if (!key->selector || !key->pem) {
        std::free(key->selector);
        std::free(key->pem);
        std::free(kmem);
        return nullptr;
    }
    key->type = type;
    key->link.next = record->keys;
    if (record->keys) record->keys->prev = &key->link;
    record->keys = &key->link;
    return record;
}

const dkim_domain* dkim_keys_find(const dkim_domain* root, const char* domain) {
    if (!root || !domain) return nullptr;
    const dkim_tree_node* n = &root->node;
    while (n) {
        int c = dkim_domain_cmp_text(domain, n);
        if (c == 0) return dkim_domain_of(n);
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

void dkim_keys_free(dkim_domain** root) {
    if (!root) return;
    dkim_tree_node* n = *root ? dkim_tree_first_postorder(&(*root)->node) : nullptr;
    while (n) {
        // The walk reads only the parent's side, so the next node is known
        // before this one goes.
        dkim_tree_node* next = dkim_tree_next_postorder(n, n->parent);
        dkim_domain* record = dkim_domain_of(n);
        for (dkim_key_link* l = record->keys; l;) {
            dkim_key_link* next = l->next;
            dkim_key* key = dkim_key_of(l);
            std::free(key->selector);
            std::free(key->pem);
            std::free(key);
            l = next;
        }
        std::free(record->domain);
        std::free(record);
        n = next;
    }
    *root = nullptr;
}

void dkim_tree_insert_rebalance(dkim_tree_node** root, dkim_tree_node* n) {
    n->left = n->right = nullptr;
    n->balance = 0;
    for (dkim_tree_node *c = n, *p = n->parent; p; c = p, p = p->parent) {
        int s = c == p->left ? -1 : 1;
        if (p->balance == -s) {
            p->balance = 0;
            return;
        }
        if (p->balance == 0) {
            p->balance = static_cast<int8_t>(s);
            continue;
        }
        bool shorter;
        rebalance(root, p, s, &shorter);
        return;
    }
}

void dkim_tree_remove(dkim_tree_node** root, dkim_tree_node* n) {
    dkim_tree_node* parent;
    int side;  // the side of parent that lost height
    if (n->left && n->right) {
        dkim_tree_node* s = dkim_tree_first(n->right);
        if (s != n->right) {
            parent = s->parent;
            side = -1;
            parent->left = s->right;
            if (s->right) s->right->parent = parent;
            s->right = n->right;
            n->right->parent = s;
        } else {
            parent = s;
            side = 1;
        }
        s->left = n->left;
        n->left->parent = s;
        s->balance = n->balance;
        s->parent = n->parent;
        replace_child(root, n->parent, n, s);
    } else {
        dkim_tree_node* child = n->left ? n->left : n->right;
        parent = n->parent;
        side = parent && parent->left == n ? -1 : 1;
        replace_child(root, parent, n, child);
        if (child) child->parent = parent;
    }
    n->left = n->right = n->parent = nullptr;
    while (parent) {
        dkim_tree_node* up = parent->parent;
        int up_side = up && up->left == parent ? -1 : 1;
        if (parent->balance == side) {
            parent->balance = 0;  // lower now; the climb goes on
        } else if (parent->balance == 0) {
            parent->balance = static_cast<int8_t>(-side);
            return;
        } else {
            bool shorter;
            rebalance(root, parent, -side, &shorter);
            if (!shorter) return;
        }
        parent = up;
        side = up_side;
    }
}

dkim_tree_node* dkim_tree_first(dkim_tree_node* n) {
    while (n && n->left) n = n->left;
    return n;
}

dkim_tree_node* dkim_tree_last(dkim_tree_node* n) {
    while (n && n->right) n = n->right;
    return n;
}

dkim_tree_node* dkim_tree_next(dkim_tree_node* n) {
    if (n->right) return dkim_tree_first(n->right);
    while (n->parent && n == n->parent->right) n = n->parent;
    return n->parent;
}

dkim_tree_node* dkim_tree_prev(dkim_tree_node* n) {
    if (n->left) return dkim_tree_last(n->left);
    while (n->parent && n == n->parent->left) n = n->parent;
    return n->parent;
}

dkim_tree_node* dkim_tree_first_postorder(dkim_tree_node* n) {
    if (!n) return nullptr;
    for (;;) {
        if (n->left)
            n = n->left;
        else if (n->right)
            n = n->right;
        else
            return n;
    }
}

dkim_tree_node* dkim_tree_next_postorder(dkim_tree_node* n, dkim_tree_node* parent) {
    if (!parent) return nullptr;
    if (parent->left == n && parent->right) return dkim_tree_first_postorder(parent->right);
    return parent;
}

}  // namespace ostrel
