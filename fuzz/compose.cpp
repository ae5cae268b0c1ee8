// A handle configured by a few hostile option lines, then rendered as a
// message: memory safety through the header writer and the composer, and a
// header block whose lines all end in CR LF.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/dispatch.hpp"
#include "fuzz_util.hpp"
#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "message/address.hpp"
#include "message/compose.hpp"
#include "model/handle.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/ostrel-fuzz-XXXXXX";
    if (!fuzz::enter_scratch_dir(dir)) return 1;
    mail_global_init(1, 1);
    return 0;
}

namespace {

// The field of block that begins with name (after a CR LF), its folds
// removed; "" when there is none.
std::string field(const std::string& block, const std::string& name) {
    size_t at = block.find("\r\n" + name);
    if (at == std::string::npos) return "";
    std::string text;
    for (size_t i = at + 2;; i += 2) {
        size_t end = block.find("\r\n", i);
        text += block.substr(i, end == std::string::npos ? std::string::npos : end - i);
        if (end == std::string::npos || end + 2 >= block.size() ||
            (block[end + 2] != ' ' && block[end + 2] != '\t'))
            return text;
        i = end;
    }
}

void check_header_block(const mail_handle* h, const std::string& out) {
    size_t end = out.find("\r\n\r\n");
    if (end == std::string::npos) end = out.size();
    for (size_t i = 0; i < end; ++i) {
        if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r')) __builtin_trap();
        if (out[i] == '\r' && (i + 1 >= out.size() || out[i + 1] != '\n')) __builtin_trap();
    }
    // The fields that carry the From address write it in From's form: the
    // envelope form, IDN domains in ASCII, whenever there is one.
    char buf[256];
    const char* a = addr_normalise(h->from_addr.value_or("").c_str(), buf, nullptr,
                                   (h->flags2 & mail_f2_smtputf8) ? 1 : 0);
    if (!a || !*a) return;
    const std::string addr(a);
    const std::string block = "\r\n" + out.substr(0, end);
    const std::string undisclosed = field(block, "To: \"Undisclosed recipients\"");
    if (!undisclosed.empty() && undisclosed != "To: \"Undisclosed recipients\" <" + addr + ">")
        __builtin_trap();
    const std::string dnt = field(block, "Disposition-Notification-To: ");
    if (!dnt.empty() && dnt.find(addr) == std::string::npos) __builtin_trap();
    const std::string id = field(block, "Message-ID: ");
    const std::string domain = addr.substr(addr.find('@') + 1);
    if (id.size() < domain.size() + 2 ||
        id.compare(id.size() - domain.size() - 2, std::string::npos, "@" + domain + ">") != 0)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    mail_handle* h = mail_create();
    try {
        fuzz::apply_option_lines(h, text, 8);
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
    check_header_block(h, out);
    mail_destroy(h);
    return 0;
}
