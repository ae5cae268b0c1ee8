#include "message/sign.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dkim/canon.hpp"
#include "dkim/keys.hpp"
#include "dkim/sign.hpp"
#include "message/address.hpp"
#include "model/handle.hpp"

namespace ostrel {

namespace {

// The table holds A-labels; a domain given in UTF-8 is looked up as one.
const dkim_domain* find_domain(const dkim_domain* table, const char* domain) {
    char ascii[256];
    const char* name = addr_idn_to_ascii(domain, ascii) ? ascii : domain;
    return dkim_keys_find(table, name);
}

struct c_free {
    void operator()(char* p) const { std::free(p); }
};

struct slot {
    char* text = nullptr;
    ~slot() { std::free(text); }
    void clear() {
        std::free(text);
        text = nullptr;
    }
};

std::string failure_text(const dkim_domain* record, const std::string& why) {
    return std::string("DKIM signing failed (d=") + record->domain + ")" + why;
}

// The a= names of the algorithm bits, as "a, b or c".
std::string algorithm_names(unsigned algos) {
    std::vector<const char*> names;
    for (int32_t algo : {1, 2, 4})
        if (algos & static_cast<unsigned>(algo)) names.push_back(dkim_algorithm_name(algo));
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += i + 1 == names.size() ? " or " : ", ";
        out += names[i];
    }
    return out;
}

}  // namespace

const dkim_domain* msg_dkim_record(const mail_handle* h) {
    if (!(h->flags2 & mail_f2_dkim) || !h->dkim_keys) return nullptr;
    const dkim_domain* record = nullptr;
    if (h->from_addr) {
        const char* at = std::strchr(h->from_addr->c_str(), '@');
        if (at) record = find_domain(h->dkim_keys, at + 1);
    }
    if (!record && h->dkim_default) record = find_domain(h->dkim_keys, h->dkim_default->c_str());
    return record;
}

int msg_dkim_sign(mail_handle* h, const dkim_domain* record, const char* bytes, size_t len,
                  std::string* fields, std::string* error, int64_t sign_time) {
    if (!h->dkim_algos) h->dkim_algos = mail_dkim_best;
    if (!h->dkim_canon) h->dkim_canon = mail_canon_simple_simple;
    const unsigned algos = h->dkim_algos >> 8;
    const unsigned canons = h->dkim_canon >> 8;
    // Each canonical body is made once and hashed by every digest needed.
    bool rsa = false, ed25519 = false;
    for (const dkim_key_link* l = record->keys; l; l = l->next) {
        rsa = rsa || dkim_key_of(l)->type == dkim_key_rsa;
        ed25519 = ed25519 || dkim_key_of(l)->type == dkim_key_ed25519;
    }
    dkim_body_cache bodies;
    bodies.want_sha1 = rsa && (algos & dkim_algo_rsa_sha1);
    bodies.want_sha256 =
        (rsa && (algos & dkim_algo_rsa_sha256)) || (ed25519 && (algos & dkim_algo_ed25519_sha256));
    // An algorithm without a key of its type is passed over while another
    // signs; once a key is there, its signature is made or nothing is sent.
    bool signed_any = false;
    for (int32_t canon : {1, 2, 4, 8}) {
        if (!(canons & static_cast<unsigned>(canon))) continue;
        for (int32_t algo : {1, 2, 4}) {
            if (!(algos & static_cast<unsigned>(algo))) continue;
            if (!(algo == dkim_algo_ed25519_sha256 ? ed25519 : rsa)) continue;
            dkim_ctx ctx;
            ctx.bodies = &bodies;
            ctx.sign_time = sign_time;
            slot err;
            std::unique_ptr<char, c_free> field;
            const bool split = dkim_ctx_init(&ctx, bytes, len) != nullptr;
            if (split) field.reset(dkim_sign(&ctx, canon, algo, record, nullptr, &err.text));
            dkim_ctx_cleanup(&ctx);
            if (!field) {
                const char* why = split ? "" : ": no empty line ends the header";
                if (error) *error = err.text ? std::string(err.text) : failure_text(record, why);
                return 0;
            }
            fields->append(field.get());
            signed_any = true;
        }
    }
    if (!signed_any) {
        if (error) *error = failure_text(record, ": no key for " + algorithm_names(algos));
        return 0;
    }
    return 1;
}

int msg_dkim_write_signed(mail_handle* h, const dkim_domain* record, str_buf* buf, msg_out_cb out,
                          void* ctx, std::string* error) {
    struct releaser {
        str_buf* b;
        ~releaser() { str_buf_release(b); }
    } release{buf};
    if (buf->flags & str_buf_failed) throw std::bad_alloc();
    std::string fields;
    if (!msg_dkim_sign(h, record, buf->data, buf->length, &fields, error)) {
        mail_set_error_text(h, *error);
        return 0;
    }
    msg_write(out, ctx, fields.data(), fields.size());
    msg_write(out, ctx, buf->data, buf->length);
    return 1;
}

}  // namespace ostrel
