// Console output of the front end: the trace callback of -d/-dd, the banner,
// the usage hint, the X-Mailer text and the exit status the process ends with.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace ostrel {

inline constexpr const char* cli_program_name = "Ostrel";
inline constexpr const char* cli_command_name = "ostrel";
inline constexpr const char* cli_architecture = "amd64";
inline constexpr size_t cli_xmailer_size = 256;

// The trace callback (kind 1): one trace text on standard output, after a
// time stamp with -dd. The text carries its own line end. Returns 1.
int cli_debug_trace(void* user, int direction, const char* text);

// "[seconds.milliseconds] " of the time since start, into out (bounded).
char* cli_format_stamp(char* out, size_t size, uint64_t now_ns, uint64_t start_ns);
// The stamp of the current time on a stream.
void cli_print_stamp(FILE* stream);

// The runtime's printf family; cli_sprintf is bounded by size.
int cli_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
int cli_fprintf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
int cli_vfprintf(FILE* stream, const char* format, va_list ap)
    __attribute__((format(printf, 2, 0)));
int cli_sprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// "Ostrel <version> amd64 (<TLS library>), <build date>" into buffer.
char* cli_format_banner(char* buffer, size_t size);
// The banner, a blank line, the hint to ask for help and a blank line.
void cli_print_usage_hint();
// The X-Mailer text, cut to fit size bytes.
char* cli_xmailer(char* buffer, size_t size);

// The exit status of a failed SMTP delivery from the reply kept for the
// result: its number when it is an SMTP failure code (400 to 599), else 50.
int cli_send_failure_status(const std::optional<std::string>& kept_reply);
// The status as the process can report it: modulo 256, but a failure never
// becomes 0 (it becomes 50 then).
int cli_exit_code(int status);

}  // namespace ostrel
