#include "net/tls.hpp"

#include <openssl/crypto.h>
#include <poll.h>
#include <tls.h>

#include <cstdlib>
#include <memory>

#include "net/io.hpp"
#include "net/trace.hpp"
#include "platform/socket.hpp"
#include "support/file.hpp"
#include "support/fmt.hpp"
#include "support/lock.hpp"
#include "support/str.hpp"

namespace ostrel {

lock_rw* ip_tls_lock = nullptr;
struct tls_config* ip_tls_client_config = nullptr;
struct tls* ip_tls_server_ctx = nullptr;
char ip_ca_dir[ip_ca_dir_size] = "";

namespace {

// Holds the TLS lock while it lives (mode 0 shared, else exclusive).
class tls_guard {
  public:
    explicit tls_guard(int mode) {
        if (ip_tls_lock) lock_rw_acquire(ip_tls_lock, mode);
    }
    ~tls_guard() {
        if (ip_tls_lock) lock_rw_release(ip_tls_lock);
    }
    tls_guard(const tls_guard&) = delete;
    tls_guard& operator=(const tls_guard&) = delete;
};

struct config_deleter {
    void operator()(struct tls_config* c) const { tls_config_free(c); }
};
using config_ptr = std::unique_ptr<struct tls_config, config_deleter>;

bool path_exists(const char* path) {
    return file_exists(path) != 0;
}

// Fails a start with a constant text.
int fail(const char** err, const char* text) {
    if (err) *err = text;
    return 0;
}

// Lowers the connection's time-out for the handshake and always restores it.
class handshake_cap {
  public:
    explicit handshake_cap(ip_conn* c) : c_(c), saved_(c->timeout_ms) {
        if (c->timeout_ms > ip_tls_handshake_wait_ms) c->timeout_ms = ip_tls_handshake_wait_ms;
    }
    ~handshake_cap() { c_->timeout_ms = saved_; }
    handshake_cap(const handshake_cap&) = delete;
    handshake_cap& operator=(const handshake_cap&) = delete;

  private:
    ip_conn* c_;
    int saved_;
};

int build_client_config(ip_conn* c, const char** err, int verify, const char* protocols,
                        const char* ciphers) {
    // Kept only when complete: after any failure the next start builds it
    // anew, so a half-built one never verifies against the default store.
    config_ptr cfg(tls_config_new());
    if (!cfg) std::exit(666);
    if (!verify) {
        tls_config_insecure_noverifycert(cfg.get());
        tls_config_insecure_noverifyname(cfg.get());
        tls_config_insecure_noverifytime(cfg.get());
    } else if (!ip_tls_set_ca(cfg.get())) {
        if (ip_tracing(c)) ip_trace_text(c, -1, "Unable to set CA path");
        return fail(err, "Unable to set CA path");
    }
    uint32_t mask = 0;
    if (tls_config_set_ciphers(cfg.get(), ciphers ? ciphers : "all") < 0)
        return fail(err, "tls_config_set_ciphers() failed");
    if (tls_config_parse_protocols(&mask, protocols ? protocols : "all") < 0)
        return fail(err, "tls_config_parse_protocols() failed");
    if (tls_config_set_protocols(cfg.get(), mask) < 0)
        return fail(err, "tls_config_set_protocols() failed");
    ip_tls_client_config = cfg.release();
    return 1;
}

int bind_client(ip_conn* c, const char** err, const char* server_name) {
    struct tls* ctx = tls_client();
    if (!ctx) std::exit(667);
    c->tls.reset(ctx);
    if (tls_configure(ctx, ip_tls_client_config) < 0) return fail(err, "tls_configure() failed");
    if (tls_connect_socket(ctx, c->sock, server_name) < 0)
        return fail(err, "connect_socket() failed");
    return 1;
}

int handshake(ip_conn* c, const char** err) {
    // The whole handshake is bounded by the connection's time-out, each of
    // its waits by the cap as well: a server that drips its records a byte
    // at a time cannot hold the client.
    ip_deadline whole(c);
    handshake_cap cap(c);
    c->timed_out = 0;
    for (;;) {
        int r = tls_handshake(c->tls.get());
        if (r == 0) return 1;
        if (r == TLS_WANT_POLLIN || r == TLS_WANT_POLLOUT) {
            if (ip_wait(c, r == TLS_WANT_POLLIN ? POLLIN : POLLOUT) <= 0)
                return fail(err, "tls_handskake() timeout");
            continue;
        }
        if (err) {
            const char* why = tls_error(c->tls.get());
            str_set_printf(c->error_text, "%s", why ? why : "");
            c->error_owned |= 1;
            *err = c->error_text ? c->error_text->c_str() : "";
        }
        return 0;
    }
}

}  // namespace

// The TLS library itself is set up when the first TLS connection or server
// starts: a run that never speaks TLS (File mode) does not pay for it.
void ip_tls_global_init() {
    if (!ip_tls_lock) ip_tls_lock = lock_rw_create();
}

namespace {

// Safe to call from any thread and any number of times: the library runs
// its set-up once. A set-up that fails is the out-of-memory end it was when
// it ran at start-up.
void tls_library_setup() {
    if (tls_init() < 0) std::exit(666);
}

}  // namespace

// Closes the TLS session: each retry waits on the socket, and a peer that
// does not answer within the time-out is given up on. After a failed send
// there is no close: the peer has had its time-out already, and a clean
// close would make the cut stream look complete.
void ip_tls_close(ip_conn* c) {
    while (!c->write_failed) {
        int r = tls_close(c->tls.get());
        if (r != TLS_WANT_POLLIN && r != TLS_WANT_POLLOUT) break;
        if (plat_sock_poll(c->sock, r == TLS_WANT_POLLIN ? POLLIN : POLLOUT, c->timeout_ms) <= 0)
            break;
    }
    c->tls.reset();
}

int ip_set_ca_dir(const char* dir) {
    if (!dir || !path_exists(dir)) return 0;
    str_copy(ip_ca_dir, dir, sizeof ip_ca_dir);
    return 1;
}

int ip_tls_set_ca(struct tls_config* config) {
    char path[ip_ca_dir_size];
    int count = 0;
    str_copy(path, ip_ca_dir, sizeof path);
    str_append(path, "/certs", sizeof path);
    if (path_exists(path)) {
        if (tls_config_set_ca_path(config, path) < 0) return 0;
        count = 1;
    }
    str_copy(path, ip_ca_dir, sizeof path);
    str_append(path, "/cert.pem", sizeof path);
    if (!path_exists(path)) return count;
    if (tls_config_set_ca_file(config, path) < 0) return 0;
    return count + 1;
}

int ip_tls_start(ip_conn* c, int is_server, const char** err, const char* server_name, int verify,
                 const char* protocols, const char* ciphers) {
    if (!c || c->sock < 0) return fail(err, "connect_socket() failed");
    // Bytes that came in clear must never pass for protected ones.
    if (c->buf && c->read_ptr < c->buf + c->buf_fill) {
        if (ip_tracing(c)) ip_trace_text(c, -1, "Unread data before TLS negotiation");
        return fail(err, "Unread data before TLS negotiation");
    }
    ip_flush(c);
    tls_library_setup();
    tls_guard guard(0);
    if (is_server) {
        struct tls* ctx = nullptr;
        if (!ip_tls_server_ctx || tls_accept_socket(ip_tls_server_ctx, &ctx, c->sock) < 0) {
            if (ip_tracing(c)) ip_trace_text(c, -1, "tls_accept_socket() failed");
            return fail(err, "tls_accept_socket() failed");
        }
        c->tls.reset(ctx);
    } else {
        if (!ip_tls_client_config && !build_client_config(c, err, verify, protocols, ciphers))
            return 0;
        if (!bind_client(c, err, server_name)) return 0;
    }
    if (!handshake(c, err)) return 0;
    if (ip_tracing(c)) {
        char info[512];
        ip_tracef(c, -1, "TLS negotiation complete (%s)\n", ip_tls_info(c, info, sizeof info));
    }
    return 1;
}

char* ip_tls_info(ip_conn* c, char* buf, int size) {
    if (!buf || size < 1) return buf;
    buf[0] = 0;
    if (!c || !c->tls) return buf;
    const char* version = tls_conn_version(c->tls.get());
    const char* cipher = tls_conn_cipher(c->tls.get());
    str_sprintf(buf, static_cast<size_t>(size), "version=%s, cipher=%s", version ? version : "",
                cipher ? cipher : "");
    buf[size - 1] = 0;
    return buf;
}

int ip_tls_server_init(const char** err, const char* key_file, const char* cert_file, void* cb_ctx,
                       ip_tls_keypair_cb cb) {
    tls_library_setup();
    config_ptr cfg(tls_config_new());
    if (!cfg) return fail(err, "tls_config_new() failed");
    uint32_t mask = 0;
    if (tls_config_parse_protocols(&mask, "secure") < 0)
        return fail(err, "tls_config_parse_protocols() failed");
    tls_config_set_protocols(cfg.get(), mask);
    if (tls_config_set_ciphers(cfg.get(), "secure") < 0)
        return fail(err, "tls_config_set_ciphers() failed");
    if (tls_config_set_key_file(cfg.get(), key_file) < 0) return fail(err, "Key file error");
    if (tls_config_set_cert_file(cfg.get(), cert_file) < 0) return fail(err, "Cert file error");
    const char* key = nullptr;
    const char* cert = nullptr;
    while (cb && cb(cb_ctx, &key, &cert)) {
        if (key && cert) tls_config_add_keypair_file(cfg.get(), cert, key);
    }
    tls_guard guard(1);
    if (ip_tls_server_ctx) tls_free(ip_tls_server_ctx);
    ip_tls_server_ctx = tls_server();
    if (!ip_tls_server_ctx) return fail(err, "tls_server() failed");
    if (tls_configure(ip_tls_server_ctx, cfg.get()) < 0) return fail(err, "tls_configure() failed");
    return 1;
}

const char* ip_tls_library_version() {
    return OpenSSL_version(OPENSSL_VERSION);
}

}  // namespace ostrel
