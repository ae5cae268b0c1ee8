#include "cli/state.hpp"

namespace ostrel {

cli_callback_ctx cli_cb_ctx;
dkim_domain* cli_dkim_keys = nullptr;
FILE* cli_results_file = nullptr;
uint64_t cli_start_ns = 0;
int cli_send_ok = 0;
int cli_body_from_stdin = 0;
int cli_skip_no_file = 0;
int cli_no_default_config = 0;
int cli_cmdline_utf8 = 0;
int cli_body_literal = 0;
std::optional<std::string> cli_dkim_default;
int cli_no_dkim = 0;
int cli_trace_timestamps = 0;
int cli_verify = 0;
int cli_verify_ca_path = 0;
char cli_pass_delim = ':';

}  // namespace ostrel
