#include "cli/console.hpp"

#include <cstdarg>
#include <string>
#include <string_view>

#include "cli/build_info.hpp"
#include "cli/state.hpp"
#include "mail/mail.hpp"
#include "net/tls.hpp"
#include "platform/number.hpp"
#include "support/str.hpp"
#include "support/timer.hpp"

namespace ostrel {

namespace {

constexpr int generic_failure_status = 50;
constexpr uint64_t ns_per_ms = 1000000;
constexpr uint64_t ms_per_s = 1000;

// A protocol line, sent or received, may carry text the program did not make
// (a reply, a line of a prepared file): its controls are escaped, while each
// CRLF, which frames the trace lines, stays.
std::string escape_keeping_crlf(std::string_view text) {
    std::string out;
    for (;;) {
        size_t end = text.find("\r\n");
        out += str_escape_controls(text.substr(0, end));
        if (end == std::string_view::npos) return out;
        out += "\r\n";
        text.remove_prefix(end + 2);
    }
}

}  // namespace

char* cli_format_stamp(char* out, size_t size, uint64_t now_ns, uint64_t start_ns) {
    uint64_t ms = (now_ns - start_ns) / ns_per_ms;
    cli_sprintf(out, size, "[%d.%.3d] ", static_cast<int>(ms / ms_per_s),
                static_cast<int>(ms % ms_per_s));
    return out;
}

void cli_print_stamp(FILE* stream) {
    char stamp[48];
    cli_fprintf(stream, "%s", cli_format_stamp(stamp, sizeof stamp, timer_now_ns(), cli.start_ns));
}

int cli_debug_trace(void*, int direction, const char* text) {
    if (cli.trace_timestamps) cli_print_stamp(stdout);
    if (!text) text = "";
    if (direction < 0)
        cli_printf("%s", text);
    else
        cli_printf("%s %s", direction == 0 ? ">" : "<", escape_keeping_crlf(text).c_str());
    return 1;
}

int cli_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = std::vfprintf(stdout, format, ap);
    va_end(ap);
    return n;
}

int cli_vfprintf(FILE* stream, const char* format, va_list ap) {
    // What already went to standard output comes first when both streams
    // end up in one place (2>&1): the hint before the errors it explains.
    if (stream != stdout) std::fflush(stdout);
    return std::vfprintf(stream, format, ap);
}

int cli_fprintf(FILE* stream, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = cli_vfprintf(stream, format, ap);
    va_end(ap);
    return n;
}

int cli_sprintf(char* buffer, size_t size, const char* format, ...) {
    if (!buffer || !size) return 0;
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buffer, size, format, ap);
    va_end(ap);
    return n;
}

char* cli_format_banner(char* buffer, size_t size) {
    cli_sprintf(buffer, size, "%s %s %s (%s), %s", cli_program_name, cli_version_text,
                cli_architecture, ip_tls_library_version(), cli_build_date);
    return buffer;
}

void cli_print_usage_hint() {
    char banner[256];
    cli_printf("%s\n\nUse \"%s /?\" for help.\n\n", cli_format_banner(banner, sizeof banner),
               cli_command_name);
}

char* cli_xmailer(char* buffer, size_t size) {
    cli_sprintf(buffer, size, "%s %s %s (%s)", cli_program_name, cli_version_text, cli_architecture,
                cli_web_address);
    return buffer;
}

// A reply that is no SMTP failure (a "* OK" greeting of some other server,
// or a 2xx line kept by a later step) says nothing about why: 50 then.
int cli_send_failure_status(const std::optional<std::string>& kept_reply) {
    if (!kept_reply) return generic_failure_status;
    int code = plat_atoi(kept_reply->c_str());
    return code >= 400 && code <= 599 ? code : generic_failure_status;
}

int cli_exit_code(int status) {
    if (status == 0) return 0;
    int code = static_cast<int>(static_cast<uint32_t>(status) & 0xFF);
    return code ? code : generic_failure_status;
}

}  // namespace ostrel
