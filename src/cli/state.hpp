// Front-end state: one process, one thread, one mail handle. Set by the early
// pass, the option dispatcher and main.
#pragma once

#include <cstdint>
#include <cstdio>
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
};

extern cli_callback_ctx cli_cb_ctx;
extern dkim_domain* cli_dkim_keys;
extern FILE* cli_results_file;
extern uint64_t cli_start_ns;
extern int cli_send_ok;
extern int cli_body_from_stdin;
extern int cli_skip_no_file;
extern int cli_no_default_config;
extern int cli_cmdline_utf8;
extern int cli_body_literal;
extern std::optional<std::string> cli_dkim_default;
extern int cli_no_dkim;
extern int cli_trace_timestamps;
extern int cli_verify;
extern int cli_verify_ca_path;
extern char cli_pass_delim;

}  // namespace ostrel
