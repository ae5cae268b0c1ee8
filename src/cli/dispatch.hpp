// The option dispatcher: turns one option keyword (a command-line argument
// without its leading "-", or one line of a configuration file) into mail
// options or front-end state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

struct mail_handle;
struct dir_entry;

// How the dispatcher ends the program: an option that must stop the run
// prints its message on standard error and throws cli_exit with the exit
// status. main catches it and returns the status at once, without the end
// sequence (no results document, no clean-up), as an exit() there would.
// Tests catch it to read the status. Statuses: 1 (host, proxy, password),
// 2 (unknown keyword, DKIM algorithm or canonical form), 10 (attachments,
// recipient files, message and body files, DKIM keys, -awild:). main ends
// the same way when the body on standard input cannot be read.
struct cli_exit {
    int status;
};

// Prints the formatted message on standard error, after whatever standard
// output holds, and throws cli_exit.
[[noreturn]] void cli_fail(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// One option text without its leading "-". The address splitter writes
// terminators into text, so it must be writable. 1 for every option taken or
// ignored; throws cli_exit for the failures above.
int cli_apply_option(mail_handle* h, char* text);

// "name:value" as a custom header; 1 when it was passed on, else 0. A name
// too long for one line ends the program with status 1 (cli_exit).
int cli_opt_head(mail_handle* h, const char* value);
// to:, cc:, bcc:, from: and reply-to: with address, display name and DSN
// letters, split in place in the whole option text. 1; a value that is not
// one address, or whose quoted display name is not closed, throws cli_exit
// (status 1).
int cli_opt_address(mail_handle* h, char* text);
// A comma-separated list of AUTH mechanism names. 1.
int cli_opt_authtypes(mail_handle* h, const char* value);
// Decodes \t, \n (CR LF) and \\ in place; any other backslash stays as it
// is. Returns text.
char* cli_unescape_body(char* text);

// Working buffer sizes of the -dkim: fields (terminator included).
inline constexpr size_t cli_dkim_domain_size = 254;
inline constexpr size_t cli_dkim_selector_size = 64;
inline constexpr size_t cli_dkim_keyfile_size = 4096;
// Splits "domain:selector:keyfile" (the key file name ends at the first white
// space); 1 when all three fields are there, else 0.
int cli_scan_dkim(const char* text, char* domain, char* selector, char* keyfile);

// Bits of the -awild: attribute mask.
inline constexpr uint32_t cli_awild_hidden = 2;   // H: hidden files too
inline constexpr uint32_t cli_awild_system = 4;   // S: system files too
inline constexpr uint32_t cli_awild_archive = 8;  // A: only files marked for archiving

// Letters of an -awild: value up to its first ":"; returns the pattern text
// after it, or NULL after printing why the value is malformed. The encoding
// is a mail_opt_attachment variant, the inline flag its inline bit.
const char* cli_awild_parse_flags(const char* value, int* recursive, int* case_sensitive,
                                  uint32_t* attributes, uint32_t* encoding, uint32_t* inline_flag);

// One -awild: walk: where it starts, the patterns a base name must satisfy
// (NULL-terminated, pointing into pattern_texts) and the letters' effects.
struct cli_awild_ctx {
    mail_handle* h = nullptr;
    std::string base;
    std::vector<std::string> pattern_texts;
    std::vector<const char*> patterns;
    uint32_t case_sensitive = 0;
    uint32_t attributes = 0;
    uint32_t encoding = 0;
    uint32_t inline_flag = 0;
};

// Attaches every regular file that the pattern text selects; returns the
// number of files the walk kept in the base directory.
uint32_t cli_awild_walk(mail_handle* h, const char* pattern_text, int case_sensitive, int recursive,
                        uint32_t attributes, uint32_t encoding, uint32_t inline_flag);
// The walk's callback: attaches the entry when the letters and patterns keep it.
int cli_awild_file_cb(void* ctx, dir_entry* entry);

}  // namespace ostrel
