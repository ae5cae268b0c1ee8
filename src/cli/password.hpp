// Obfuscated passwords: "$" and the base64url of 4 random bytes followed by
// the AES-128-CTR of a marker and the password, optionally bound to the
// host's machine identity. Obfuscation, not protection: the outer key is a
// constant of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// The outer key. Part of the text format: every text already written turns
// back only with these bytes, so they never change.
extern const uint8_t pw_fixed_key[16];

// Prints "$" and the text of password with a line end on standard output and
// returns 1. When no random bytes can be had or the text does not turn back
// (a host-bound text without a usable machine identity), prints nothing and
// throws cli_exit with status 1.
int cli_pw_encrypt(const char* password, int host_bound);

// 1: an obfuscated text was turned back into out; 0: text was copied into out
// unchanged (cut to size), it being a plain password; -1: a host-bound text
// and no usable machine identity. A text longer than size gives 0 and "".
// out needs at least as many bytes as the text is long; callers give more.
int cli_pw_decrypt(const char* text, char* out, size_t size);

// The host-bound layer, in either direction: AES-128-CTR keyed by the machine
// identity from the given counter start. Returns 0 when the identity cannot
// be read or is not a UUID text, else 1 with length bytes in out.
int cli_pw_host_decrypt(const uint8_t* in, size_t length, uint8_t* out, const uint8_t* counter,
                        size_t counter_len);

// What stands in for a secret overwritten in place.
inline constexpr char cli_pw_scrub_char = '*';

// Overwrites every byte of text with cli_pw_scrub_char, so that a secret
// given as an argument cannot be read in the process list once it has been
// copied. The text keeps its length.
void cli_pw_scrub(char* text);
// The same for the password of a "[user<delim>password@]host[:port]" text,
// as ip_parse_hostport splits it: the bytes after the first delim before the
// last "@". The user, the host and the port stay. Returns the number of
// bytes overwritten.
size_t cli_pw_scrub_hostport(char* text, char delim);
// The same for the whole user information, user and password: the bytes
// before the last "@", for a text whose delimiter is not known yet.
size_t cli_pw_scrub_userinfo(char* text);

// The arguments as the dispatcher reads them: copies of the process's own,
// whose passwords are overwritten.
struct cli_private_args {
    std::vector<std::string> texts;
    std::vector<char*> argv;  // one pointer into texts for each argument, then NULL
};

// Copies argv into out, then overwrites every password in argv, which any
// local user reads in the process list: those of -host:, -proxy: and
// -encryptpass:. The delimiter of a -host: is the one a -passdelim: before
// it sets; without one, it is ":" when no configuration file can be read
// (-nodefault and no -config:), else unknown until the files are read, and
// then the whole user information is overwritten.
void cli_pw_scrub_args(int argc, char** argv, cli_private_args* out);

}  // namespace ostrel
