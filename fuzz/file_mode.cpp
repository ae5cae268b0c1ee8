// File mode end to end from real files: the input is split at lines "%%"
// into option lines and up to four files f1..f4 in a scratch folder, which
// the options can name as attachments, inline parts, HTML and text bodies,
// recipient lists and a prepared message file; f4 is also read as a
// configuration file when it stays in the folder. The message is then
// written to a file as the program does. Memory safety through the readers,
// the composer and the attachment writer, a written file only on success,
// and a header block of CRLF lines within 998 octets.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/config.hpp"
#include "cli/dispatch.hpp"
#include "fuzz_util.hpp"
#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "model/handle.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/ostrel-fuzz-file-XXXXXX";
    if (!fuzz::enter_scratch_dir(dir)) return 1;
    mail_global_init(1, 1);
    return 0;
}

namespace {

constexpr int max_files = 4;

std::vector<std::string> sections(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() < max_files + 1) {
        size_t at = text.find("\n%%\n", start);
        out.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 4;
    }
    return out;
}

bool write_file(const std::string& name, const std::string& data) {
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f) return false;
    std::fwrite(data.data(), 1, data.size(), f);
    return std::fclose(f) == 0;
}

std::string read_file(const char* name) {
    std::string out;
    FILE* f = std::fopen(name, "rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

void check_header_block(const std::string& out) {
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) end = out.size();
    size_t line_start = 0;
    for (size_t i = 0; i < end; ++i) {
        if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) __builtin_trap();
        if (out[i] == '\r' && (i + 1 >= out.size() || out[i + 1] != '\n')) __builtin_trap();
        if (out[i] == '\n')
            line_start = i + 1;
        else if (i - line_start >= 998 + 1)  // 998 octets and the CR
            __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts =
        sections(std::string(reinterpret_cast<const char*>(data), size));
    for (int i = 1; i <= max_files; ++i) {
        const std::string name = "f" + std::to_string(i);
        if (i < static_cast<int>(parts.size()))
            write_file(name, parts[static_cast<size_t>(i)]);
        else
            unlink(name.c_str());
    }
    unlink("out.eml");
    mail_handle* h = mail_create();
    try {
        if (parts.size() > max_files && fuzz::stays_in_folder(parts[max_files]))
            cli_read_config(h, "f4");
        const std::string& options = parts[0];
        fuzz::apply_option_lines(h, options, 12);
    } catch (const cli_exit&) {
        mail_destroy(h);
        return 0;
    }
    if (h->email_file) {
        // What the program does with a prepared file when settings are missing.
        mail_setopt(h, mail_opt_from_email_file, "", "");
        h->email_file.reset();
    }
    mail_setopt(h, mail_opt_output_file, "out.eml");
    int status = -1;
    const int ok = mail_write_output_file(h, &status);
    const std::string out = read_file("out.eml");
    if (ok) {
        if (status != mail_file_ok || access("out.eml", F_OK) != 0) __builtin_trap();
        check_header_block(out);
    } else if (access("out.eml", F_OK) == 0) {
        __builtin_trap();  // a failed run leaves no message behind
    }
    mail_destroy(h);
    return 0;
}
