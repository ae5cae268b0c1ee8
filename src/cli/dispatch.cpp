#include "cli/dispatch.hpp"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console.hpp"
#include "cli/password.hpp"
#include "cli/state.hpp"
#include "dkim/keys.hpp"
#include "mail/mail.hpp"
#include "message/address.hpp"
#include "message/attach_list.hpp"
#include "message/token.hpp"
#include "net/proxy.hpp"
#include "platform/number.hpp"
#include "support/file.hpp"
#include "support/str.hpp"
#include "support/wild.hpp"

namespace ostrel {

void cli_fail(int status, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    cli_vfprintf(stderr, format, ap);
    va_end(ap);
    std::fflush(stderr);
    throw cli_exit{status};
}

namespace {

struct cli_keyword;
using cli_handler = int (*)(mail_handle* h, char* text, char* value, const cli_keyword& k);

// One row of the keyword table. A name ending in ":" matches any text that
// begins with it; prefix makes a name without a colon match so as well.
struct cli_keyword {
    const char* name;
    cli_handler fn;
    uint32_t code = 0;
    const char* fixed = nullptr;  // the first value, when the keyword has one built in
    bool prefix = false;
};

// Owner of the texts that ip_parse_hostport hands back.
struct hostport {
    char* host = nullptr;
    char* user = nullptr;
    char* pass = nullptr;
    unsigned port = 0;
    hostport() = default;
    hostport(const hostport&) = delete;
    hostport& operator=(const hostport&) = delete;
    ~hostport() {
        std::free(host);
        std::free(user);
        std::free(pass);
    }
};

int opt_value(mail_handle* h, char*, char* value, const cli_keyword& k) {
    mail_setopt(h, k.code, k.fixed ? k.fixed : value);
    return 1;
}

int opt_none(mail_handle* h, char*, char*, const cli_keyword& k) {
    mail_setopt(h, k.code, k.fixed);
    return 1;
}

int opt_ignore(mail_handle*, char*, char*, const cli_keyword&) {
    return 1;
}

int opt_flag(int* flag) {
    *flag = 1;
    return 1;
}

int opt_attach(mail_handle* h, char*, char* value, const cli_keyword& k) {
    if (!mail_setopt(h, k.code, value) && !cli.skip_no_file)
        cli_fail(10, "Failed to attach file (%s)\n", str_escape_controls(value).c_str());
    return 1;
}

int opt_attach_inline(mail_handle* h, char*, char* value, const cli_keyword& k) {
    char cid[2048];
    mime_url_encode(path_basename(static_cast<const char*>(value)), cid, sizeof cid);
    if (!mail_setopt(h, k.code, value, cid) && !cli.skip_no_file)
        cli_fail(10, "Failed to attach file (%s)\n", str_escape_controls(value).c_str());
    return 1;
}

int opt_awild(mail_handle* h, char*, char* value, const cli_keyword&) {
    int recursive = 0, case_sensitive = 0;
    uint32_t attributes = 0, encoding = 0, inline_flag = 0;
    const char* patterns = cli_awild_parse_flags(value, &recursive, &case_sensitive, &attributes,
                                                 &encoding, &inline_flag);
    if (!patterns) throw cli_exit{10};
    // Only "/" characters leave neither a directory nor a pattern.
    if (patterns[std::strspn(patterns, "/")] == '\0')
        cli_fail(10, "No file pattern specified for awild setting\n");
    cli_awild_walk(h, patterns, case_sensitive, recursive, attributes, encoding, inline_flag);
    return 1;
}

// A file read by the library that did not fit in memory ends the run as out
// of memory, as every other allocation failure does, not as unreadable.
void check_file_memory(const mail_handle* h) {
    constexpr int32_t status_out_of_memory = 666;
    if (h->send_status == status_out_of_memory) throw std::bad_alloc();
}

// Ends the run for a refused address; text is the option, keyword first.
[[noreturn]] void refuse_address(const char* text, const char* address) {
    cli_fail(1, "Invalid address for -%.*s (%s)\n", static_cast<int>(std::strcspn(text, ":")), text,
             str_escape_controls(address).c_str());
}

// to:, cc: and bcc: take a recipient list file after "@".
int opt_recipient(mail_handle* h, char* text, char* value, const cli_keyword& k) {
    if (value[0] != '@') {
        cli_opt_address(h, text);
        return 1;
    }
    if (mail_setopt(h, k.code, value + 1)) return 1;
    check_file_memory(h);
    const char* which = (k.code & mail_v_to) ? "To" : (k.code & mail_v_cc) ? "Cc" : "Bcc";
    cli_fail(10, "Failed to set %s from file (%s)\n", which,
             str_escape_controls(value + 1).c_str());
}

int opt_address(mail_handle* h, char* text, char*, const cli_keyword&) {
    cli_opt_address(h, text);
    return 1;
}

// An empty value sets nothing, as it always did; any other must be an address.
int opt_return_path(mail_handle* h, char* text, char* value, const cli_keyword& k) {
    if (!mail_setopt(h, k.code, value) && *value) refuse_address(text, value);
    return 1;
}

int opt_body(mail_handle* h, char*, char* value, const cli_keyword&) {
    std::string copy(value);
    cli_unescape_body(copy.data());
    mail_setopt(h, mail_opt_body, copy.c_str());
    return 1;
}

// "file[:charset]": the last ":" starts a charset unless a path separator
// follows it, so "c:\dir\body.txt" keeps its drive letter.
int opt_body_file(mail_handle* h, char*, char* value, const cli_keyword&) {
    char name[4096];
    // A longer path would be cut, and the cut name could open another file.
    if (std::strlen(value) >= sizeof name)
        cli_fail(10, "Failed to read body file (%s)\n", str_escape_controls(value).c_str());
    str_copy(name, value, sizeof name);
    const char* charset = nullptr;
    if (char* colon = std::strrchr(name, ':'); colon && colon[1] != '/' && colon[1] != '\\') {
        *colon = '\0';
        charset = colon + 1;
    }
    uint32_t code = mail_opt_body | mail_opt_from_file | (cli.body_literal ? mail_opt_raw_read : 0);
    if (!mail_setopt(h, code, name)) {
        check_file_memory(h);
        cli_fail(10, "Failed to read body file (%s)\n", str_escape_controls(name).c_str());
    }
    if (charset) mail_setopt(h, mail_opt_charset, charset);
    return 1;
}

int opt_body_html(mail_handle* h, char*, char* value, const cli_keyword& k) {
    if (!mail_setopt(h, k.code, value))
        cli_fail(10, "Failed to find HTML body file (%s)\n", str_escape_controls(value).c_str());
    return 1;
}

int opt_mime(mail_handle* h, char*, char*, const cli_keyword&) {
    h->flags |= mail_f_force_mime;
    return 1;
}

int opt_head(mail_handle* h, char*, char* value, const cli_keyword&) {
    cli_opt_head(h, value);
    return 1;
}

// The part of a host text after its user information: what an error may
// show without giving the credentials away.
const char* host_part(const char* value) {
    const char* at = std::strrchr(value, '@');
    return at ? at + 1 : value;
}

// Hands a parsed host and port to option `code`; a text that did not parse,
// a port above 65535 or a refusal ends the program with the setting's message.
void set_host_and_port(mail_handle* h, uint32_t code, int parse_rc, const hostport& hp,
                       const char* message, const char* value) {
    char port[16];
    std::snprintf(port, sizeof port, "%d", static_cast<int>(hp.port));
    if (parse_rc != 0 || hp.port > 65535 || !mail_setopt(h, code, hp.host, port))
        cli_fail(1, message, str_escape_controls(host_part(value)).c_str());
}

// A HELO name with a line break in it would end the EHLO command early.
int opt_helo(mail_handle* h, char*, char* value, const cli_keyword&) {
    if (!mail_setopt(h, mail_opt_helo, value))
        cli_fail(1, "Invalid HELO setting (%s)\n", str_escape_controls(value).c_str());
    return 1;
}

int opt_host(mail_handle* h, char* text, char* value, const cli_keyword&) {
    hostport hp;
    int rc = ip_parse_hostport(value, &hp.host, &hp.port, &hp.user, &hp.pass, cli.pass_delim);
    // The password is copied now: no other copy of it stays in the text.
    cli_pw_scrub_hostport(value, cli.pass_delim);
    // An obfuscated password is turned back; any other is used as it is. The
    // password is part of the text, so a buffer of the text's size holds it.
    std::string password(std::strlen(text) + 1, '\0');
    if (rc == 0 && hp.port <= 65535 &&
        cli_pw_decrypt(hp.pass, password.data(), password.size()) < 0)
        cli_fail(1, "Failed to decrypt password\n");
    set_host_and_port(h, mail_opt_host, rc, hp, "Invalid host setting (%s)\n", value);
    mail_setopt(h, mail_opt_unset | mail_opt_credentials);  // every host replaces them
    mail_setopt(h, mail_opt_credentials, hp.user, password.c_str());
    return 1;
}

int opt_proxy(mail_handle* h, char*, char* value, const cli_keyword&) {
    hostport hp;
    int rc = ip_parse_hostport_colon(value, &hp.host, &hp.port, &hp.user, &hp.pass);
    cli_pw_scrub_hostport(value, ':');
    set_host_and_port(h, mail_opt_proxy, rc, hp, "Invalid proxy setting (%s)\n", value);
    // Each proxy replaces the credentials. Without user information there
    // are none: an empty user would still send an authorisation line.
    mail_setopt(h, mail_opt_unset | mail_opt_proxy_credentials);
    if (hp.user[0]) mail_setopt(h, mail_opt_proxy_credentials, hp.user, hp.pass);
    return 1;
}

int opt_passdelim(mail_handle*, char*, char* value, const cli_keyword&) {
    if (value[0]) cli.pass_delim = value[0];  // an empty value keeps the delimiter
    return 1;
}

int opt_authtypes(mail_handle* h, char*, char* value, const cli_keyword&) {
    cli_opt_authtypes(h, value);
    return 1;
}

int opt_emailfile(mail_handle* h, char*, char* value, const cli_keyword& k) {
    if (!mail_setopt(h, k.code, value))
        cli_fail(10, "Failed to find emailfile (%s)\n", str_escape_controls(value).c_str());
    return 1;
}

// The trace callback goes in before the level: the level needs it.
int opt_trace(mail_handle* h, char*, char*, const cli_keyword& k) {
    mail_set_callback(h, mail_cb_trace, reinterpret_cast<mail_any_cb>(&cli_debug_trace),
                      &cli.cb_ctx);
    mail_setopt(h, k.code, k.fixed);
    if (k.fixed[0] == '2') cli.trace_timestamps = 1;
    return 1;
}

int opt_stdin_body(mail_handle*, char*, char*, const cli_keyword&) {
    return opt_flag(&cli.body_from_stdin);
}

int opt_verify(mail_handle* h, char*, char*, const cli_keyword& k) {
    cli.verify = 1;
    mail_setopt(h, k.code);
    return 1;
}

int opt_verify_ca_path(mail_handle* h, char*, char* value, const cli_keyword& k) {
    cli.verify_ca_path = 1;
    mail_setopt(h, k.code, value);
    return 1;
}

// The domain and selector are written into the DKIM-Signature field as
// they are: anything beyond letters, digits, "-", "_" and "." could add
// tags or lines of its own.
bool dkim_safe_name(const char* text) {
    if (!*text) return false;
    for (const char* p = text; *p; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)) && !std::strchr("-_.", *p)) return false;
    return true;
}

int opt_dkim(mail_handle* h, char* text, char* value, const cli_keyword&) {
    char domain[cli_dkim_domain_size], selector[cli_dkim_selector_size];
    char keyfile[cli_dkim_keyfile_size];
    // The domain signs in its A-label form, as the From domain is written.
    char ascii[256];
    if (std::strlen(text) >= 4096 || !cli_scan_dkim(value, domain, selector, keyfile) ||
        !addr_idn_to_ascii(domain, ascii) || std::strlen(ascii) >= cli_dkim_domain_size ||
        !dkim_safe_name(ascii) || !dkim_safe_name(selector))
        cli_fail(10, "Error applying DKIM setting: %s\n", str_escape_controls(value).c_str());
    file_ptr key_file(std::fopen(keyfile, "rb"));
    c_text pem(key_file ? file_read_lines_crlf(key_file.get()) : nullptr);
    if (!pem || !dkim_keys_add(&cli.dkim_keys, ascii, selector, pem.get()))
        cli_fail(10, "Error applying DKIM setting: %s\n", str_escape_controls(value).c_str());
    mail_setopt(h, mail_opt_dkim);
    return 1;
}

int opt_dkim_default(mail_handle*, char*, char* value, const cli_keyword&) {
    cli.dkim_default = std::string(value);
    return 1;
}

struct named_code {
    const char* name;
    uint32_t code;  // a variant, combined with the option's id
};

template <size_t N>
const named_code* find_named(const named_code (&table)[N], const char* value) {
    for (const auto& n : table)
        if (std::strcmp(n.name, value) == 0) return &n;
    return nullptr;
}

int opt_dkim_algo(mail_handle* h, char*, char* value, const cli_keyword&) {
    static const named_code algos[] = {{"ed25519-sha256", mail_dkim_ed25519_sha256},
                                       {"rsa-sha256", mail_dkim_rsa_sha256},
                                       {"rsa-sha1", mail_dkim_rsa_sha1},
                                       {"all", mail_dkim_all},
                                       {"best", mail_dkim_best}};
    const named_code* n = find_named(algos, value);
    if (!n)
        cli_fail(2, "Unknown DKIM signing/verification algorithm: %s\n",
                 str_escape_controls(value).c_str());
    mail_setopt(h, n->code | mail_opt_dkim_algorithm);
    return 1;
}

int opt_dkim_canon(mail_handle* h, char*, char* value, const cli_keyword&) {
    static const named_code forms[] = {{"s/s", mail_canon_simple_simple},
                                       {"s/r", mail_canon_simple_relaxed},
                                       {"r/r", mail_canon_relaxed_relaxed},
                                       {"r/s", mail_canon_relaxed_simple},
                                       {"all", mail_canon_all}};
    const named_code* n = find_named(forms, value);
    if (!n) cli_fail(2, "Unknown DKIM canonical form: %s\n", str_escape_controls(value).c_str());
    mail_setopt(h, n->code | mail_opt_dkim_canon);
    return 1;
}

int opt_no_dkim(mail_handle*, char*, char*, const cli_keyword&) {
    return opt_flag(&cli.no_dkim);
}

int opt_dsnid(mail_handle* h, char*, char* value, const cli_keyword& k) {
    mail_setopt(h, k.code, nullptr, value);
    return 1;
}

// Only 1 to 5 are priorities: shifting any other number into the variant
// would alias it to one of them or to other option bits. The number
// saturates, so a huge text cannot wrap round into that range.
int opt_priority(mail_handle* h, char*, char* value, const cli_keyword&) {
    int32_t n = plat_atoi(value);
    if (n >= static_cast<int32_t>(mail_priority_highest) &&
        n <= static_cast<int32_t>(mail_priority_lowest))
        mail_setopt(h, (static_cast<uint32_t>(n) << mail_opt_variant_shift) | mail_opt_priority);
    return 1;
}

// The table, in matching order; the first match wins.
const cli_keyword cli_keywords[] = {
    {"a:", opt_attach, mail_opt_attachment | mail_v_attach_auto},
    {"ai:", opt_attach_inline, mail_opt_attachment | mail_opt_inline},
    {"a64:", opt_attach, mail_opt_attachment | mail_v_attach_base64},
    {"aqp:", opt_attach, mail_opt_attachment | mail_v_attach_qp},
    {"auu:", opt_attach, mail_opt_attachment | mail_v_attach_uuencode},
    {"awild:", opt_awild},
    {"to:", opt_recipient, mail_opt_recipient | mail_v_to | mail_opt_from_file},
    {"cc:", opt_recipient, mail_opt_recipient | mail_v_cc | mail_opt_from_file},
    {"bcc:", opt_recipient, mail_opt_recipient | mail_v_bcc | mail_opt_from_file},
    {"from:", opt_address},
    {"reply-to:", opt_address},
    {"return-path:", opt_return_path, mail_opt_return_path},
    {"subject:", opt_value, mail_opt_subject},
    {"body:", opt_body},
    {"body-file:", opt_body_file},
    {"body-html:", opt_body_html, mail_opt_html_body | mail_opt_from_file},
    {"body--html:", opt_value, mail_opt_html_body},
    {"linelen:", opt_value, mail_opt_line_length},
    {"body-64", opt_none, mail_opt_body | mail_v_body_base64},
    {"body-qp", opt_none, mail_opt_body | mail_v_body_qp},
    {"mime", opt_mime},
    {"head:", opt_head},
    {"delhead:", opt_value, mail_opt_delete_header},
    {"rawhead", opt_none, mail_opt_raw_headers, nullptr, true},
    {"host:", opt_host},
    {"passdelim:", opt_passdelim},
    {"4", opt_none, mail_opt_ip_version | mail_v_ipv4, "4"},
    {"6", opt_none, mail_opt_ip_version | mail_v_ipv6, "6"},
    {"timeout:", opt_value, mail_opt_timeout},
    {"authtypes:", opt_authtypes},
    {"proxy:", opt_proxy},
    {"proxytype:SOCKS", opt_none, mail_opt_proxy | mail_v_socks5, nullptr, true},
    {"proxytype:HTTPS", opt_none, mail_opt_proxy | mail_v_http_proxy, nullptr, true},
    {"file:", opt_value, mail_opt_output_file},
    {"emailfile:", opt_emailfile, mail_opt_email_file},
    {"helo:", opt_helo},
    {"d", opt_trace, mail_opt_trace_level, "1"},
    {"dd", opt_trace, mail_opt_trace_level, "2"},
    {"dotstuff", opt_none, mail_opt_dotstuff},
    {"-", opt_stdin_body},
    {"starttls", opt_none, mail_opt_tls_mode | mail_v_starttls, "1"},
    {"requiretls", opt_none, mail_opt_tls_mode | mail_v_tls_required, "1"},
    {"smtps", opt_none, mail_opt_tls_mode | mail_v_smtps, "1"},
    {"secureport", opt_none, mail_opt_tls_mode | mail_v_smtps, "1"},
    {"verify", opt_verify, mail_opt_verify},
    {"verify-ca-path:", opt_verify_ca_path, mail_opt_ca_path},
    {"tls-ciphers:", opt_value, mail_opt_tls_ciphers},
    {"tls-protocols:", opt_value, mail_opt_tls_protocols},
    {"dkim:", opt_dkim},
    {"dkim-default:", opt_dkim_default},
    {"dkim-algo:", opt_dkim_algo},
    {"dkim-canon:", opt_dkim_canon},
    {"no-dkim", opt_no_dkim},
    {"dsn:", opt_value, mail_opt_dsn},
    {"dsnid:", opt_dsnid, mail_opt_dsn},
    {"mdn", opt_none, mail_opt_mdn, "1"},
    {"priority:", opt_priority},
    {"oauth", opt_none, mail_opt_oauth},
    {"config:", opt_ignore},
    {"nodefault", opt_ignore},
    {"skipnofile", opt_ignore},
    {"clutf8", opt_ignore},
    {"body-literal", opt_ignore},
    {"ign:", opt_ignore},
    {"results:", opt_ignore},
};

// The value after the keyword when text matches it, else NULL.
char* match_keyword(const cli_keyword& k, char* text) {
    std::string_view name(k.name);
    bool prefix = k.prefix || name.back() == ':';
    std::string_view t(text);
    if (prefix ? !t.starts_with(name) : t != name) return nullptr;
    return text + name.size();
}

}  // namespace

int cli_apply_option(mail_handle* h, char* text) {
    for (const cli_keyword& k : cli_keywords)
        if (char* value = match_keyword(k, text)) return k.fn(h, text, value, k);
    cli_fail(2, "Unknown option: %s\n", str_escape_controls(text).c_str());
}

int cli_opt_head(mail_handle* h, const char* value) {
    // The whole value is kept: a copy into a fixed buffer would cut it unseen.
    std::string copy(value);
    char* buf = copy.data();
    char* colon = std::strchr(buf, ':');
    if (!colon) return 0;
    *colon = '\0';
    // A field name is printable ASCII without blanks; a control or 8-bit byte
    // would end the header block early, so such a name is refused like a blank.
    for (const char* p = buf; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x21 || static_cast<unsigned char>(*p) > 0x7E)
            return 0;
    // A name too long for one line could not be written at all.
    const size_t name_len = static_cast<size_t>(colon - buf);
    if (name_len > msg_header_name_max)
        cli_fail(1, "Header field name too long in -head: (%zu bytes, at most %zu)\n", name_len,
                 msg_header_name_max);
    return mail_setopt(h, mail_opt_header, buf, colon + 1) ? 1 : 0;
}

namespace {
// The three fields of an address value once split in place.
struct address_fields {
    char* address;
    char* name = nullptr;
    char* dsn = nullptr;
    bool seen_at = false;
    bool open_quote = false;
};

address_fields split_address(char* value) {
    address_fields f{value};
    bool in_name = false;
    for (char* c = value; *c; ++c) {
        if (f.open_quote) {
            // The closing quote ends the name; what follows it up to the
            // next ":" is dropped.
            if (*c == '"') {
                *c = '\0';
                f.open_quote = false;
            }
            continue;
        }
        if (*c == '@') {
            f.seen_at = true;
            // The colons of an address literal ("[IPv6:...]") are the address's.
            if (!in_name && c[1] == '[')
                while (c[1] && c[1] != ']') ++c;
            continue;
        }
        if (*c != ':' || !f.seen_at) continue;
        *c = '\0';
        if (in_name) {
            f.dsn = c + 1;
            break;
        }
        in_name = true;
        if (c[1] == '"') {
            f.open_quote = true;
            ++c;
        }
        f.name = c + 1;
    }
    return f;
}
}  // namespace

int cli_opt_address(mail_handle* h, char* text) {
    char kind = text[0];
    char* colon = std::strchr(text, ':');
    if (!colon) return 1;
    // An empty value sets nothing, as it always did.
    if (!colon[1]) return 1;
    // Split in place: the value as given is kept for the message.
    const std::string value(colon + 1);
    address_fields f = split_address(colon + 1);
    // A display name without its closing quote would drop the address unseen.
    if (f.open_quote) refuse_address(text, value.c_str());
    // A value without "@" is no address: left out, it would lose its
    // recipient or sender without a word.
    if (!f.seen_at) refuse_address(text, f.address);
    const char* name = f.name && *f.name ? f.name : nullptr;
    int ok = 1;
    switch (kind) {
        case 't':
            ok = mail_setopt(h, mail_opt_recipient | mail_v_to, f.address, name, f.dsn);
            break;
        case 'c':
            ok = mail_setopt(h, mail_opt_recipient | mail_v_cc, f.address, name, f.dsn);
            break;
        case 'b':
            ok = mail_setopt(h, mail_opt_recipient | mail_v_bcc, f.address, nullptr, f.dsn);
            break;
        case 'f':
            ok = mail_setopt(h, mail_opt_from, f.address, name);
            break;
        case 'r':
            ok = mail_setopt(h, mail_opt_reply_to, f.address, name);
            break;
        default:
            break;
    }
    // An address the library refuses (not one mailbox, too long) would be
    // left out while the message went to the others.
    if (!ok) refuse_address(text, f.address);
    return 1;
}

int cli_opt_authtypes(mail_handle* h, const char* value) {
    static const named_code mechanisms[] = {{"CRAM-MD5", mail_v_auth_cram_md5},
                                            {"PLAIN", mail_v_auth_plain},
                                            {"LOGIN", mail_v_auth_login},
                                            {"OAUTHBEARER", mail_v_auth_oauthbearer},
                                            {"XOAUTH2", mail_v_auth_xoauth2}};
    uint32_t mask = 0;
    std::string_view rest(value);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string item(rest.substr(0, comma));
        if (const named_code* n = find_named(mechanisms, item.c_str())) mask |= n->code;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    mail_setopt(h, mask | mail_opt_auth_types);
    return 1;
}

char* cli_unescape_body(char* text) {
    char* out = text;
    for (const char* in = text; *in;) {
        if (in[0] != '\\' || !in[1]) {
            *out++ = *in++;
            continue;
        }
        switch (in[1]) {
            case 't':
                *out++ = '\t';
                break;
            case 'n':
                *out++ = '\r';
                *out++ = '\n';
                break;
            case '\\':
                *out++ = '\\';
                break;
            default:
                *out++ = in[0];
                *out++ = in[1];
                break;
        }
        in += 2;
    }
    *out = '\0';
    return text;
}

int cli_scan_dkim(const char* text, char* domain, char* selector, char* keyfile) {
    return std::sscanf(text, "%253[^:]:%63[^:]:%4095s", domain, selector, keyfile) == 3 ? 1 : 0;
}

const char* cli_awild_parse_flags(const char* value, int* recursive, int* case_sensitive,
                                  uint32_t* attributes, uint32_t* encoding, uint32_t* inline_flag) {
    const char* p = value;
    for (; *p && *p != ':'; ++p) {
        switch (*p) {
            case '6':
                *encoding = mail_v_attach_base64;
                break;
            case 'Q':
                *encoding = mail_v_attach_qp;
                break;
            case 'U':
                *encoding = mail_v_attach_uuencode;
                break;
            case 'I':
                *inline_flag = mail_opt_inline;
                break;
            case 'H':
                *attributes |= cli_awild_hidden;
                break;
            case 'S':
                *attributes |= cli_awild_system;
                break;
            case 'A':
                *attributes |= cli_awild_archive;
                break;
            case 'R':
                *recursive = 1;
                break;
            case 'C':
                *case_sensitive = 1;
                break;
            default:
                std::fprintf(stderr, "Invalid awild option '%s'\n",
                             str_escape_controls(std::string_view(p, 1)).c_str());
                return nullptr;
        }
    }
    if (*p != ':' || !p[1]) {
        std::fprintf(stderr, "No file pattern specified for awild setting\n");
        return nullptr;
    }
    return p + 1;
}

namespace {

// Splits the pattern text at "/" (empty items vanish) and finds the base
// directory: the longest run of leading items that names a directory; else
// the first item read with "\\" as its separator; else the working folder.
// The patterns that the base names of the walk must satisfy go to ctx.
void awild_split(const char* text, cli_awild_ctx& ctx) {
    std::vector<std::string> items;
    for (std::string_view rest(text); !rest.empty();) {
        size_t slash = rest.find('/');
        if (slash != 0) items.emplace_back(rest.substr(0, slash));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    if (items.empty()) return;
    const bool absolute = text[0] == '/';
    size_t run = 0;
    std::string joined = absolute ? "/" : "";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) joined += '/';
        joined += items[i];
        // No longer path can name a directory once a shorter one does not.
        if (joined.size() >= 4096 || dir_is_directory(joined.c_str()) != 1) break;
        run = i + 1;
        ctx.base = joined;
    }
    size_t first_further = run;
    if (run == 0) {
        const std::string& first = items[0];
        size_t backslash = first.rfind('\\');
        if (backslash != std::string::npos) {
            std::string dir = first.substr(0, backslash);
            std::replace(dir.begin(), dir.end(), '\\', '/');
            ctx.base = absolute ? "/" : "";
            ctx.base += dir;
            ctx.pattern_texts.push_back(first.substr(backslash + 1));
        } else {
            ctx.base = absolute ? "/" : ".";
            ctx.pattern_texts.push_back(first);
        }
        first_further = 1;
    } else {
        ctx.pattern_texts.emplace_back("*");
    }
    for (size_t i = first_further; i < items.size(); ++i) ctx.pattern_texts.push_back(items[i]);
    for (const auto& p : ctx.pattern_texts) ctx.patterns.push_back(p.c_str());
    ctx.patterns.push_back(nullptr);
}

// True when the path lies in a hidden folder below the base directory, or
// is itself hidden.
bool awild_hidden(const cli_awild_ctx& ctx, const char* path) {
    size_t skip = ctx.base.size();
    if (skip && ctx.base.back() != '/') ++skip;
    if (std::strlen(path) < skip) return false;
    const char* rel = path + skip;
    return rel[0] == '.' || std::strstr(rel, "/.") != nullptr;
}

}  // namespace

int cli_awild_file_cb(void* context, dir_entry* entry) {
    auto& ctx = *static_cast<cli_awild_ctx*>(context);
    // Regular files only: no directory, link to one, FIFO or device.
    if (entry->flags & (dir_flag_directory | dir_flag_system)) return 0;
    if ((ctx.attributes & cli_awild_archive) && !(entry->flags & dir_flag_archive)) return 0;
    if (!(ctx.attributes & cli_awild_hidden) && awild_hidden(ctx, entry->path)) return 0;
    const char* slash = std::strrchr(entry->path, '/');
    const char* name = slash ? slash + 1 : entry->path;
    if (!str_wild_all(name, ctx.patterns.data(), ctx.case_sensitive)) return 0;
    char cid[2048];
    mime_url_encode(name, cid, sizeof cid);
    mail_setopt(ctx.h, mail_opt_attachment | ctx.encoding | ctx.inline_flag, entry->path, cid);
    return 1;
}

uint32_t cli_awild_walk(mail_handle* h, const char* pattern_text, int case_sensitive, int recursive,
                        uint32_t attributes, uint32_t encoding, uint32_t inline_flag) {
    cli_awild_ctx ctx;
    ctx.h = h;
    ctx.case_sensitive = case_sensitive ? 1 : 0;
    ctx.attributes = attributes;
    ctx.encoding = encoding;
    ctx.inline_flag = inline_flag;
    awild_split(pattern_text, ctx);
    if (ctx.patterns.empty()) return 0;
    return dir_walk(ctx.base.c_str(), "*", recursive ? 1 : 0, cli_awild_file_cb, &ctx);
}

}  // namespace ostrel
