// The DKIM key reader on any bytes as a key file: only RSA and Ed25519
// private keys enter the table, and the table stays whole. The seeds hold
// keys of every kind (RSA, Ed25519, encrypted, traditional, public, EC) and
// the dictionary the PEM frames and the starts of their DER texts.
#include <openssl/ui.h>

#include <cstdint>
#include <string>

#include "dkim/keys.hpp"
#include "support/str.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // An encrypted key asks for its pass phrase: every question gets no
    // answer, without a terminal, so such a key is refused at once.
    UI_set_default_method(UI_null());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string pem(reinterpret_cast<const char*>(data), size);
    pem = pem.c_str();  // the reader takes a NUL-terminated text
    dkim_domain* root = nullptr;
    const char* domains[] = {"b.example", "A.example", "a.EXAMPLE", "c.example"};
    int added = 0;
    for (const char* d : domains) {
        dkim_domain* r = dkim_keys_add(&root, d, "sel", pem.c_str());
        if (!r) continue;
        ++added;
        if (dkim_keys_find(root, d) != r) __builtin_trap();
        const dkim_key* k = dkim_key_of(r->keys);
        if (k->type != dkim_key_rsa && k->type != dkim_key_ed25519) __builtin_trap();
        if (k->type != dkim_key_type_of(pem.c_str())) __builtin_trap();
    }
    if (added && added != 4) __builtin_trap();  // the same text is taken every time or never
    if (added && str_casecmp(dkim_keys_find(root, "A.EXAMPLE")->domain, "A.example") != 0)
        __builtin_trap();
    dkim_keys_free(&root);
    if (root) __builtin_trap();
    return 0;
}
