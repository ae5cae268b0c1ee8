// Composes a message with one large attachment into a file and compares its
// wall time and peak memory with coreutils base64 on the same file. Each run
// is a child process, so its peak resident size is its own.
//
// bench_compose [size in MB, default 100] [scratch folder, default /tmp]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_util.hpp"
#include "mail/file_mode.hpp"
#include "mail/mail.hpp"

namespace {

using ostrel::bench::figures;
using ostrel::bench::make_input;
using ostrel::bench::run_child;

int compose_into(const std::string& input, const std::string& output) {
    ostrel::mail_handle h;
    h.mode = ostrel::mail_mode_file;
    h.msg_time = 1796784479;
    h.from_addr = "bench@example.org";
    h.to.push_back({"rcpt@example.org", std::nullopt, 0});
    h.subject = "Large attachment";
    h.body = "The file is attached.";
    h.message_id = "<bench@example.org>";
    h.boundary_mixed = "BENCH-MIXED";
    h.output_file = output;
    ostrel::mime_attachment a;
    a.path = input;
    a.display_name = "big.bin";
    a.encoding = ostrel::mime_enc_base64;
    h.attachments.push_back(a);
    return ostrel::mail_write_output_file(&h) ? 0 : 1;
}

int coreutils_base64(const std::string& input, const std::string& output) {
    FILE* out = std::freopen(output.c_str(), "wb", stdout);
    if (!out) return 1;
    execlp("base64", "base64", input.c_str(), static_cast<char*>(nullptr));
    return 127;
}

void print(const char* what, const figures& f, double mb) {
    std::printf("%-22s %8.3f s %8.1f MB/s  peak %7.1f MB  status %d\n", what, f.seconds,
                mb / f.seconds, static_cast<double>(f.peak_kb) / 1024.0, f.status);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const std::string dir = argc > 2 ? argv[2] : "/tmp";
    const std::string input = dir + "/bench-compose-input.bin";
    const std::string message = dir + "/bench-compose-message.eml";
    const std::string plain = dir + "/bench-compose-base64.txt";
    if (!make_input(input, megabytes)) {
        std::fprintf(stderr, "cannot write %s\n", input.c_str());
        return 1;
    }
    const double mb = static_cast<double>(megabytes);
    figures ours = run_child([&] { return compose_into(input, message); });
    figures theirs = run_child([&] { return coreutils_base64(input, plain); });
    std::printf("attachment of %zu MB\n", megabytes);
    print("compose (File mode)", ours, mb);
    print("coreutils base64", theirs, mb);
    std::printf("time ratio %.2f\n", ours.seconds / theirs.seconds);
    std::remove(input.c_str());
    std::remove(message.c_str());
    std::remove(plain.c_str());
    return ours.status == 0 ? 0 : 1;
}
