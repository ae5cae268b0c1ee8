// The authentication stage: one mechanism, chosen from those the server
// offered and the handle allows, with its exchange; secrets are masked in
// the trace, never on the wire. Buffers follow their inputs: credentials
// are never cut and a challenge of any length fits.
#include <cstdint>
#include <string>
#include <vector>

#include "model/handle.hpp"
#include "net/io.hpp"
#include "smtp/smtp.hpp"
#include "smtp/smtp_internal.hpp"
#include "support/encode.hpp"
#include "support/fmt.hpp"
#include "support/md5.hpp"

namespace ostrel {

using namespace smtp_detail;

namespace {

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = b64_encode(bytes.data(), static_cast<int>(bytes.size()), out.data());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

struct exchange {
    mail_handle* h;
    char* line = nullptr;
    bool want(int code) { return smtp_read_reply(h, code, 1, &line, smtp_keep_refused) != 0; }
};

// The trace shows the first argument of a masked command as stars.
const uint8_t* first_arg_mask() {
    static uint8_t mask[1] = {0};
    fmt_mask_set_bit(mask, 0, 1);
    return mask;
}

bool run_oauth(exchange& x, bool bearer) {
    mail_handle* h = x.h;
    const std::string& user = *h->user;
    const std::string token = h->password ? *h->password : std::string();
    std::string msg = bearer ? "n,a=" + user + ",\x01" : "user=" + user + "\x01";
    msg += "auth=Bearer " + token + "\x01\x01";
    const std::string b64 = base64(msg);
    if (bearer)
        ip_printf_masked(h->conn, first_arg_mask(), "auth OAUTHBEARER %s\r\n", b64.c_str());
    else
        ip_printf_masked(h->conn, first_arg_mask(), "auth XOAUTH2 %s\r\n", b64.c_str());
    if (x.want(235)) return true;
    if (x.line && h->reply_code == 334) {
        // The server's error challenge: end the exchange as RFC 7628 asks.
        ip_printf(h->conn, "AQ==\r\n");
        x.want(0);
    }
    return false;
}

bool run_cram_md5(exchange& x) {
    mail_handle* h = x.h;
    ip_printf(h->conn, "auth CRAM-MD5\r\n");
    if (!x.want(334) || !x.line || !x.line[0] || !x.line[1] || !x.line[2] || !x.line[3])
        return false;
    const std::string encoded(x.line[4] ? x.line + 4 : "");
    std::vector<uint8_t> decoded(
        static_cast<size_t>(b64_decode_room(static_cast<int>(encoded.size()))) + 1);
    int n = b64_decode(encoded.data(), static_cast<int>(encoded.size()), decoded.data());
    std::string challenge(reinterpret_cast<const char*>(decoded.data()),
                          n > 0 ? static_cast<size_t>(n) : 0);
    challenge = challenge.substr(0, challenge.find('\0'));
    const std::string reply =
        smtp_cram_md5_response(*h->user, h->password ? *h->password : std::string(), challenge);
    ip_printf(h->conn, "%s\r\n", base64(reply).c_str());
    return x.want(235);
}

bool run_plain(exchange& x) {
    mail_handle* h = x.h;
    std::string msg(1, '\0');
    msg += *h->user;
    msg += '\0';
    if (h->password) msg += *h->password;
    ip_printf_masked(h->conn, first_arg_mask(), "auth PLAIN %s\r\n", base64(msg).c_str());
    return x.want(235);
}

bool run_login(exchange& x) {
    mail_handle* h = x.h;
    ip_printf(h->conn, "auth LOGIN\r\n");
    if (!x.want(334)) return false;
    ip_printf(h->conn, "%s\r\n", base64(*h->user).c_str());
    if (!x.want(334)) return false;
    ip_printf_masked(h->conn, first_arg_mask(), "%s\r\n",
                     base64(h->password ? *h->password : std::string()).c_str());
    return x.want(235);
}

}  // namespace

int smtp_auth_choose(uint32_t flags) {
    if (flags & mail_f_oauth) {
        if (flags & mail_f_oauthbearer) return smtp_mech_oauthbearer;
        if (flags & mail_f_xoauth2) return smtp_mech_xoauth2;
        return smtp_mech_none;
    }
    if (flags & mail_f_cram_md5) return smtp_mech_cram_md5;
    if (flags & mail_f_plain) return smtp_mech_plain;
    if (flags & mail_f_login) return smtp_mech_login;
    return smtp_mech_none;
}

std::string smtp_cram_md5_response(const std::string& user, const std::string& password,
                                   std::string_view challenge) {
    uint8_t digest[16];
    hash_hmac_md5(reinterpret_cast<const uint8_t*>(challenge.data()),
                  static_cast<uint32_t>(challenge.size()), password.data(),
                  static_cast<int32_t>(password.size()), digest);
    char hex[33];
    hash_md5_hex(hex, digest);
    return user + " " + hex;
}

int smtp_authenticate(mail_handle* h) {
    if (!h->user) return 1;
    const int mech = smtp_auth_choose(h->flags);
    exchange x{h};
    std::optional<std::string> failure;
    static const char* const names[] = {"", "OAUTHBEARER", "XOAUTH2", "CRAM-MD5", "PLAIN", "LOGIN"};
    bool ok = false;
    switch (mech) {
        case smtp_mech_oauthbearer:
        case smtp_mech_xoauth2:
            ok = run_oauth(x, mech == smtp_mech_oauthbearer);
            break;
        case smtp_mech_cram_md5:
            ok = run_cram_md5(x);
            break;
        case smtp_mech_plain:
            ok = run_plain(x);
            break;
        case smtp_mech_login:
            ok = run_login(x);
            break;
        default:
            failure = (h->flags & mail_f_oauth)
                          ? "AUTH OAUTHBEARER/XOAUTH2 unavailable"
                          : "Server did not offer a supported authentication mechanism";
            break;
    }
    int verdict;
    if (ok) {
        h->flags |= mail_f_authenticated;
        verdict = smtp_event(h, mail_ev_auth, mail_status_ok,
                             h->last_error ? h->last_error->c_str() : nullptr);
    } else {
        // A connection lost in the exchange refused nothing: the failure
        // names the loss, which stays the reason of the run.
        const bool lost = !failure && !(h->flags & mail_f_connected);
        if (!failure) {
            const char* why = lost ? error_or_disconnected(h) : x.line ? x.line : "";
            failure = std::string("AUTH ") + names[mech] + " failed (" + why + ")";
        }
        if (!lost) mail_set_error_text(h, failure);
        verdict = smtp_event(h, mail_ev_auth, mail_status_failed, failure->c_str());
    }
    return verdict == mail_verdict_quit && smtp_apply_verdict(h, verdict, smtp_allow_quit) ? 0 : 1;
}

}  // namespace ostrel
