// Pieces shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/dispatch.hpp"
#include "dkim/keys.hpp"
#include "model/handle.hpp"

namespace fuzz {

// True when a text can name nothing outside the working folder: no slash
// and no backslash (-awild: patterns take either as the separator), and no
// ".." (the parent folder, also as a whole name such as "awild:R:..").
inline bool stays_in_folder(std::string_view text) {
    return text.find_first_of("/\\") == std::string_view::npos &&
           text.find("..") == std::string_view::npos;
}

namespace detail {

inline std::string scratch_dir;

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path);
}

inline void remove_scratch_dir() {
    if (!scratch_dir.empty()) nftw(scratch_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace detail

// Makes a fresh folder under /tmp and works inside it, with standard input
// at /dev/null, and removes it when the process ends normally. Every name an
// option takes is then looked up in that folder, as long as the option text
// stays_in_folder, so no option reaches a device, a large file or a walk of
// the whole file system. 1 on success.
inline int enter_scratch_dir(char* templ) {
    if (!std::freopen("/dev/null", "r", stdin)) return 0;
    if (!mkdtemp(templ) || chdir(templ) != 0) return 0;
    detail::scratch_dir = templ;
    std::atexit(detail::remove_scratch_dir);
    return 1;
}

// Standard base64 with padding, by the crypto library: a reference that is
// not the program's own encoder.
inline std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// A fresh Ed25519 key under selector "sel" for domain in the key table;
// the table's record, or NULL.
inline ostrel::dkim_domain* add_ed25519_key(ostrel::dkim_domain** table, const char* domain) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* pem = nullptr;
    const long n = BIO_get_mem_data(bio, &pem);
    const std::string text(pem, static_cast<size_t>(n));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return ostrel::dkim_keys_add(table, domain, "sel", text.c_str());
}

// A connected socket pair whose peer has already sent data and closed its
// side: fds[0] reads the bytes, then end of file. fds[1] stays open for the
// caller to close. 1 on success.
inline int socket_with(const uint8_t* data, size_t size, int fds[2]) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fds[1], data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);
    return 1;
}

// Applies up to max_lines lines of text as options, as a configuration file
// would; a line that does not stay_in_folder is passed over. May throw
// cli_exit, as the dispatcher does.
inline void apply_option_lines(ostrel::mail_handle* h, const std::string& text, int max_lines) {
    size_t start = 0;
    for (int lines = 0; start <= text.size() && lines < max_lines; ++lines) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(start, nl - start);
        start = nl + 1;
        if (!stays_in_folder(line)) continue;
        ostrel::cli_apply_option(h, line.data());
    }
}

}  // namespace fuzz
