// A prepared message file of any bytes sent through the prepared-file
// writer: memory safety, and a stream that can only end where the writer
// ends it (CR LF line ends only, no lone "." line, removed fields and the
// Bcc and Resent-Bcc fields gone).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_util.hpp"
#include "message/email_file.hpp"
#include "model/handle.hpp"
#include "support/fmt.hpp"

using namespace ostrel;

namespace {

std::string file_path;

bool starts_with_nocase(const std::string& line, const std::string& prefix) {
    if (line.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// A Bcc or Resent-Bcc field, blanks before its colon or not.
bool bcc_field(const std::string& line) {
    for (const std::string name : {"bcc", "resent-bcc"}) {
        if (!starts_with_nocase(line, name)) continue;
        const size_t colon = line.find_first_not_of(" \t", name.size());
        if (colon != std::string::npos && line[colon] == ':') return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/ostrel-fuzz-XXXXXX";
    if (!fuzz::enter_scratch_dir(dir)) return 1;
    file_path = "m.eml";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t setup = data[0];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    FILE* f = std::fopen(file_path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);

    mail_handle h;
    h.mode = mail_mode_email_file;
    h.msg_time = 1796784479;
    h.message_id = "<id@example.org>";
    h.from_addr = "me@example.org";
    h.email_file = file_path;
    if (setup & 1) h.flags |= mail_f_raw_headers;
    if (setup & 2) h.subject = "Configured";
    if (setup & 4) h.headers.push_back({"X-Custom", ".v"});
    if (setup & 8) h.bcc.push_back({"blind@example.org", std::nullopt, 0});
    h.removed_headers.push_back({"X-Drop", ""});

    str_buf b;
    const int r = msg_write_email_file(&h, fmt_sink_str_buf, &b);
    const std::string out(b.data ? b.data : "", b.length);
    str_buf_release(&b);

    const bool sendable = !text.empty() && text.find('\0') == std::string::npos;
    if (r != (sendable ? 1 : 0)) __builtin_trap();
    if (!sendable) {
        if (!out.empty()) __builtin_trap();
        return 0;
    }
    // At least the empty line after the body (every file line may be dropped).
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) __builtin_trap();
    bool in_header = true;
    for (size_t start = 0; start < out.size();) {
        const size_t end = out.find("\r\n", start);
        if (end == std::string::npos) __builtin_trap();
        const std::string line = out.substr(start, end - start);
        if (line.find_first_of("\r\n") != std::string::npos) __builtin_trap();
        if (!line.empty() && line[0] == '.' && (line.size() < 2 || line[1] != '.'))
            __builtin_trap();
        if (line.empty()) in_header = false;
        if (in_header && starts_with_nocase(line, "x-drop:")) __builtin_trap();
        if (in_header && bcc_field(line)) __builtin_trap();
        start = end + 2;
    }
    return 0;
}
