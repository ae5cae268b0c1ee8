// A handle configured by a few hostile option lines, then rendered as a
// message: memory safety through the header writer and the composer, and a
// header block whose lines all end in CR LF.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/dispatch.hpp"
#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "message/compose.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "r", stdin)) return 1;
    // File names are taken only inside an empty directory (no "/" below),
    // so no option reaches a device or a large file.
    char dir[] = "/tmp/ostrel-fuzz-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) return 1;
    mail_global_init(1, 1);
    return 0;
}

namespace {

// The field of block (which begins with CR LF) that begins with name, with
// its continuation lines.
std::string field(const std::string& block, const std::string& name) {
    size_t at = block.find("\r\n" + name);
    if (at == std::string::npos) return "";
    size_t end = at + 2;
    do {
        end = block.find("\r\n", end + 1);
    } while (end != std::string::npos && end + 2 < block.size() &&
             (block[end + 2] == ' ' || block[end + 2] == '\t'));
    return block.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool has_8bit(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return true;
    return false;
}

void check_header_block(const std::string& out) {
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) end = out.size();
    for (size_t i = 0; i < end; ++i) {
        if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) __builtin_trap();
        if (out[i] == '\r' && (i + 1 >= out.size() || out[i + 1] != '\n')) __builtin_trap();
    }
    // The fields that carry the From address write it as From does: when
    // From is ASCII, so are they.
    const std::string block = "\r\n" + out.substr(0, end);
    const std::string from = field(block, "From: ");
    if (from.empty() || has_8bit(from)) return;
    for (const char* name :
         {"Message-ID: ", "Disposition-Notification-To: ", "To: \"Undisclosed recipients\""})
        if (has_8bit(field(block, name))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    mail_handle* h = mail_create();
    try {
        size_t start = 0;
        for (int lines = 0; start <= text.size() && lines < 8; ++lines) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) nl = text.size();
            std::string line = text.substr(start, nl - start);
            start = nl + 1;
            if (line.find('/') != std::string::npos) continue;
            cli_apply_option(h, line.data());
        }
    } catch (const cli_exit&) {
        mail_destroy(h);
        return 0;
    }
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    mime_input_status status{};
    mime_compose_ex(h, fmt_sink_file, f, &status);
    std::fclose(f);
    std::string out(buf, len);
    std::free(buf);
    mail_destroy(h);
    check_header_block(out);
    return 0;
}
