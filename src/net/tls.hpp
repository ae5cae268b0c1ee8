// The TLS client over a connected ip_conn: one process-wide libtls client
// configuration built by the first start, a context per connection, the
// handshake under the library's wait rules; and a server context.
#pragma once

#include "net/conn.hpp"

struct tls;
struct tls_config;

namespace ostrel {

struct lock_rw;
// Guards the process-wide TLS configuration and server context.
extern lock_rw* ip_tls_lock;
extern struct tls_config* ip_tls_client_config;
extern struct tls* ip_tls_server_ctx;
inline constexpr int ip_ca_dir_size = 4096;
extern char ip_ca_dir[ip_ca_dir_size];

// The cap of each wait of the handshake.
inline constexpr int ip_tls_handshake_wait_ms = 5000;

// 1 when dir exists (it becomes the CA directory), else 0.
int ip_set_ca_dir(const char* dir);
// The number of CA sources set (1 or 2), 0 on failure.
int ip_tls_set_ca(struct tls_config* config);
// 1 when the handshake completed; on failure *err gets a text that the
// caller must not free.
int ip_tls_start(ip_conn* c, int is_server, const char** err, const char* server_name, int verify,
                 const char* protocols, const char* ciphers);
// "version=%s, cipher=%s", or "" without TLS.
char* ip_tls_info(ip_conn* c, char* buf, int size);

using ip_tls_keypair_cb = int (*)(void* ctx, const char** key_file, const char** cert_file);
int ip_tls_server_init(const char** err, const char* key_file, const char* cert_file, void* cb_ctx,
                       ip_tls_keypair_cb cb);

// The TLS library's version text, for the banner.
const char* ip_tls_library_version();

}  // namespace ostrel
