// Front-end state: one process, one thread, one mail handle. Set by the early
// pass, the option dispatcher and main.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace ostrel {

struct mail_handle;
struct json_node;
struct dkim_domain;

// User data of both mail callbacks.
struct cli_callback_ctx {
    mail_handle* handle = nullptr;
    json_node* results = nullptr;  // NULL unless -results: was given
    int input_reported = 0;        // an unreadable input's line was printed
};

// How the document reaches the file of -results: written to the stream as
// it is; replacing the file whole; rewriting the file in place.
inline constexpr int cli_results_direct = 0;
inline constexpr int cli_results_replaced = 1;
inline constexpr int cli_results_in_place = 2;

// Owns the stream of -results: (cli/results.hpp). A regular file that the
// document replaces or rewrites at the end, let go without a document, is
// emptied: a run that ends early leaves its file empty.
struct cli_results_closer {
    int how = cli_results_direct;
    void operator()(FILE* f) const;
};
using cli_results_stream = std::unique_ptr<FILE, cli_results_closer>;

// Owns a JSON tree (json_delete).
struct cli_json_deleter {
    void operator()(json_node* root) const;
};
using cli_json_tree = std::unique_ptr<json_node, cli_json_deleter>;

// All of it in one place, each member with its value at start, so that
// `cli = {}` begins afresh: a new member needs no reset of its own.
struct cli_state {
    cli_callback_ctx cb_ctx;
    dkim_domain* dkim_keys = nullptr;         // filled by -dkim:, freed at the end
    cli_results_stream results_file;          // -results:, standard output for "-"
    std::string results_name;                 // its value, for the write failure
    cli_json_tree results_root;               // the document; cb_ctx.results points to it
    uint64_t start_ns = 0;                    // base of the -dd time stamps
    int send_ok = 0;                          // set by the results callback only
    int body_from_stdin = 0;                  // "--", or a "-" line in a file
    int skip_no_file = 0;                     // -skipnofile
    int no_default_config = 0;                // -nodefault
    int cmdline_utf8 = 0;                     // -clutf8
    int body_literal = 0;                     // -body-literal
    std::optional<std::string> dkim_default;  // -dkim-default:
    int no_dkim = 0;                          // -no-dkim
    int trace_timestamps = 0;                 // -dd
    int verify = 0;                           // -verify
    int verify_ca_path = 0;                   // -verify-ca-path:
    char pass_delim = ':';                    // user/password delimiter of -host:
};

extern cli_state cli;

}  // namespace ostrel
