// DKIM signing of a large rendered message, beside plain digest passes over
// the same bytes, and the peak memory of a signed File mode run. Each run
// is a child process, so its peak resident size is its own.
//
// bench_dkim [size in MB, default 100] [scratch folder, default /tmp]
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_util.hpp"
#include "dkim/keys.hpp"
#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "message/sign.hpp"

namespace {

using ostrel::bench::clock_type;
using ostrel::bench::figures;
using ostrel::bench::make_input;
using ostrel::bench::run_child;
using ostrel::bench::seconds_since;
using ostrel::bench::xorshift32;

std::string pem_key(const char* kind, size_t bits) {
    EVP_PKEY* key = bits ? EVP_PKEY_Q_keygen(nullptr, nullptr, kind, bits)
                         : EVP_PKEY_Q_keygen(nullptr, nullptr, kind);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(n));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

// A rendered message: a header block, a text part with blanks and an
// attachment in base64 lines, as the composer writes them.
std::string rendered(size_t megabytes) {
    std::string m =
        "Date: Thu, 10 Dec 2026 12:00:00 GMT\r\nSubject: Large\r\nFrom: bench@example.org\r\n"
        "To: rcpt@example.org\r\nMessage-ID: <bench@example.org>\r\nContent-Type: text/plain\r\n"
        "MIME-Version: 1.0\r\n\r\n";
    const size_t target = megabytes << 20;
    m.reserve(target + 256);
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint32_t x = 2463534242u;
    size_t line = 0;
    while (m.size() < target) {
        if (line++ % 16 == 0) {
            m += "Some text  with\trelaxed  work in it, as a body has it. \r\n";
            continue;
        }
        for (int i = 0; i < 76; ++i) m += b64[xorshift32(x) & 63];
        m += "\r\n";
    }
    return m;
}

// Each figure is the best of a few runs: the machine may be shared.
constexpr int repeats = 3;

double digest_pass(const std::string& m, const EVP_MD* md) {
    double best = 1e9;
    for (int i = 0; i < repeats; ++i) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        auto start = clock_type::now();
        EVP_Digest(m.data(), m.size(), out, &n, md, nullptr);
        best = std::min(best, seconds_since(start));
    }
    return best;
}

double sign_pass(ostrel::mail_handle& h, const std::string& m, size_t* count) {
    std::string fields, error;
    double s = 1e9;
    for (int i = 0; i < repeats; ++i) {
        fields.clear();
        auto start = clock_type::now();
        if (!ostrel::msg_dkim_sign(&h, ostrel::msg_dkim_record(&h), m.data(), m.size(), &fields,
                                   &error)) {
            std::fprintf(stderr, "signing failed: %s\n", error.c_str());
            std::exit(1);
        }
        s = std::min(s, seconds_since(start));
    }
    *count = 0;
    for (size_t at = fields.find("DKIM-Signature:"); at != std::string::npos;
         at = fields.find("DKIM-Signature:", at + 1))
        ++*count;
    return s;
}

int signed_file_mode(ostrel::dkim_domain* keys, const std::string& input,
                     const std::string& output) {
    ostrel::mail_handle h;
    h.mode = ostrel::mail_mode_file;
    h.msg_time = 1796784479;
    h.from_addr = "bench@example.org";
    h.to.push_back({"rcpt@example.org", std::nullopt, 0});
    h.subject = "Large attachment";
    h.body = "The file is attached.";
    h.output_file = output;
    h.flags2 |= ostrel::mail_f2_dkim;
    h.dkim_keys = keys;
    ostrel::mime_attachment a;
    a.path = input;
    a.display_name = "big.bin";
    a.encoding = ostrel::mime_enc_base64;
    h.attachments.push_back(a);
    return ostrel::mail_write_output_file(&h) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    ostrel::dkim_domain* keys = nullptr;
    ostrel::dkim_keys_add(&keys, "example.org", "rsa", pem_key("RSA", 2048).c_str());
    ostrel::dkim_keys_add(&keys, "example.org", "ed", pem_key("ED25519", 0).c_str());

    {
        const std::string m = rendered(megabytes);
        const double mb = static_cast<double>(m.size()) / (1 << 20);
        ostrel::mail_handle h;
        h.from_addr = "bench@example.org";
        h.flags2 |= ostrel::mail_f2_dkim;
        h.dkim_keys = keys;
        const double sha256 = digest_pass(m, EVP_sha256());
        const double sha1 = digest_pass(m, EVP_sha1());
        size_t n_default = 0, n_all = 0;
        const double best = sign_pass(h, m, &n_default);
        h.dkim_algos = ostrel::mail_dkim_all;
        h.dkim_canon = ostrel::mail_canon_all;
        const double all = sign_pass(h, m, &n_all);
        std::printf("rendered message of %.1f MB\n", mb);
        std::printf("%-34s %8.3f s %8.1f MB/s\n", "one SHA-256 pass", sha256, mb / sha256);
        std::printf("%-34s %8.3f s %8.1f MB/s\n", "one SHA-1 pass", sha1, mb / sha1);
        std::printf("%-34s %8.3f s  %zu fields  %.2f x one SHA-256 pass (aim 1.2)\n",
                    "sign, default masks", best, n_default, best / sha256);
        std::printf(
            "%-34s %8.3f s  %zu fields  %.2f x SHA-1 + SHA-256 per canonical body (aim 1.2)\n",
            "sign, all twelve", all, n_all, all / (2 * (sha1 + sha256)));
    }

    const std::string input = dir + "/bench-dkim-input.bin";
    const std::string output = dir + "/bench-dkim-message.eml";
    if (!make_input(input, megabytes, 88172645u)) {
        std::fprintf(stderr, "cannot write %s\n", input.c_str());
        return 1;
    }
    figures f = run_child([&] { return signed_file_mode(keys, input, output); });
    struct stat st {};
    stat(output.c_str(), &st);
    const double message_mb = static_cast<double>(st.st_size) / (1 << 20);
    const double peak_mb = static_cast<double>(f.peak_kb) / 1024.0;
    std::printf(
        "%-34s %8.3f s  message %.1f MB  peak %.1f MB  %.2f x the message (aim 1.2)"
        "  status %d\n",
        "File mode, signed attachment", f.seconds, message_mb, peak_mb, peak_mb / message_mb,
        f.status);
    std::remove(input.c_str());
    std::remove(output.c_str());
    ostrel::dkim_keys_free(&keys);
    return f.status == 0 ? 0 : 1;
}
