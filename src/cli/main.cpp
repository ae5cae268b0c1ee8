// Program entry of the ostrel command: start-up, the early pass over the
// arguments, configuration, the checks, delivery and the exit status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "cli/config.hpp"
#include "cli/console.hpp"
#include "cli/dispatch.hpp"
#include "cli/help.hpp"
#include "cli/password.hpp"
#include "cli/results.hpp"
#include "cli/state.hpp"
#include "dkim/keys.hpp"
#include "json/json.hpp"
#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "message/email_file.hpp"
#include "model/checks.hpp"
#include "platform/console.hpp"
#include "support/str.hpp"
#include "support/timer.hpp"

namespace ostrel {

namespace {

constexpr int status_out_of_memory = 666;

// What the early pass found that acts after it.
struct early_pass {
    std::optional<std::string> encrypt_password;
    int bind_password = 0;
    cli_private_args args;  // what everything after the early pass reads
};

uint32_t time_seed() {
    return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)) ^ timer_now_ns());
}

// Opens the results stream; the document itself is written at the end.
int open_results(const char* value) {
    cli_results_stream f = cli_results_open(value);
    if (!f) {
        cli_fprintf(stderr, "Unable to open results file %s\n", str_escape_controls(value).c_str());
        return 0;
    }
    // Only the last -results: is written; earlier ones stay created and empty.
    cli.results_file = std::move(f);
    cli.results_name = value;
    cli.results_root.reset(json_new(nullptr, json_object, nullptr));
    if (!cli.results_root) throw std::bad_alloc();
    cli.cb_ctx.results = cli.results_root.get();
    return 1;
}

// Returns -1 to go on, else the status to end with.
int run_early_pass(int argc, char** visible_argv, early_pass* out) {
    // Off the process list before anything can wait (a pass phrase prompt,
    // a slow server): the passwords stay only in the private copies.
    cli_pw_scrub_args(argc, visible_argv, &out->args);
    char** argv = out->args.argv.data();
    for (int i = 1; i < argc; ++i) {
        std::string_view a(argv[i]);
        if (a.starts_with("-asciidoc")) return cli_help_asciidoc();
        if (a == "-doc") return cli_help_console(120, 0);
        if (a.starts_with("-encryptpass:")) {
            if (!out->encrypt_password) out->encrypt_password = std::string(a.substr(13));
        } else if (a == "-bindpass") {
            out->bind_password = 1;
        } else if (a == "-nodefault") {
            cli.no_default_config = 1;
        } else if (a == "-skipnofile") {
            cli.skip_no_file = 1;
        } else if (a == "-clutf8") {
            cli.cmdline_utf8 = 1;
        } else if (a == "-body-literal") {
            cli.body_literal = 1;
        } else if (a.starts_with("-results:")) {
            if (!open_results(argv[i] + 9)) return 1;
        } else if (a == "/?") {
            return cli_help_console(0, 1);
        }
    }
    return -1;
}

// Returns 0 when the settings make a sendable message, else the status.
int check_settings(mail_handle* h) {
    if (cli.verify && !cli.verify_ca_path) {
        cli_fprintf(stderr, "No certificate verification path provided (-verify-ca-path)\n");
        return 1;
    }
    if (h->host && h->output_file) {
        cli_fprintf(stderr, "Concurrent e-mail delivery and output to file not supported\n");
        return 1;
    }
    // File mode composes a new message; a prepared file given with it would
    // be dropped while the written file looked complete.
    if (h->email_file && h->output_file) {
        cli_fprintf(stderr, "A prepared e-mail file cannot be written to an output file\n");
        return 1;
    }
    bool no_rcpt = h->to.empty() && h->cc.empty() && h->bcc.empty();
    // A prepared file that cannot be sent fails its delivery, which names
    // the file, whether or not its fields were to be read: nothing is missing
    // for want of them.
    bool unsendable = false;
    if (h->mode == mail_mode_email_file) {
        if (!mail_setopt(h, mail_opt_from_email_file, no_rcpt ? "" : nullptr,
                         h->from_addr ? nullptr : "")) {
            if (h->send_status == status_out_of_memory) return status_out_of_memory;
            unsendable = msg_check_email_file(h) != msg_email_file_ok;
            // A field that could not be read whole fails the run, as an input
            // file that cannot be used does, before anything is sent.
            if (!unsendable && *mail_last_error(h)) {
                cli_fprintf(stderr, "%s\n", str_escape_controls(mail_last_error(h)).c_str());
                return mail_file_input_unusable;
            }
            if (!unsendable)
                cli_fprintf(stderr,
                            "Incomplete configuration and unable to determine values from e-mail "
                            "file\n");
        }
        no_rcpt = h->to.empty() && h->cc.empty() && h->bcc.empty();
    }
    bool no_target = !h->host && !h->output_file;
    bool no_from = !h->from_addr && !unsendable;
    no_rcpt = no_rcpt && !unsendable;
    if (no_target || no_from || no_rcpt) {
        cli_print_usage_hint();
        if (no_target) cli_fprintf(stderr, "No host or output file specified\n");
        if (no_from) cli_fprintf(stderr, "No from address specified\n");
        if (no_rcpt) cli_fprintf(stderr, "No recipients specified\n");
        return 1;
    }
    if (!mail_check_credentials(h)) {
        cli_fprintf(stderr, "Incorrectly specified user credentials\n");
        return 1;
    }
    const char* error = nullptr;
    if (!mail_check_attachments(h, &error)) {
        cli_fprintf(stderr, "%s\n", str_escape_controls(error).c_str());
        return 1;
    }
    return 0;
}

// A body cut short by a read error must not leave as if it were whole: it
// fails like an unreadable -body-file:, "-" naming standard input.
void read_body_from_stdin(mail_handle* h) {
    // The prompt is for a person at a terminal, and never in the way of a
    // results document that a program reads from standard output.
    FILE* prompt = !platform_is_terminal(stdin)              ? nullptr
                   : cli_results_on_stdout(cli.results_file) ? stderr
                                                             : stdout;
    if (prompt) cli_fprintf(prompt, "Reading body from stdin, enter message and end with ^D\n");
    // A NUL byte would cut the body where it stands: refused like a read error.
    std::string body;
    if (file_read_text(stdin, file_text_crlf | file_text_no_nul, &body) != file_text_ok)
        cli_fail(10, "Failed to read body file (%s)\n", "-");
    // Moved in, not copied: a large body is held once.
    h->body = std::move(body);
    if (prompt) cli_fprintf(prompt, "Finished reading body");
}

void prepare_message(mail_handle* h) {
    if (cli.body_from_stdin) read_body_from_stdin(h);
    char mailer[cli_xmailer_size];
    mail_setopt(h, mail_opt_mailer, cli_xmailer(mailer, sizeof mailer));
    // Applied last, so -no-dkim wins wherever it stood.
    if (cli.no_dkim) mail_setopt(h, mail_opt_unset | mail_opt_dkim);
    h->dkim_keys = cli.dkim_keys;
    if (cli.dkim_default) mail_setopt(h, mail_opt_dkim_default, cli.dkim_default->c_str());
    mail_set_callback(h, mail_cb_event, reinterpret_cast<mail_any_cb>(cli_results_event),
                      &cli.cb_ctx);
    h->msg_time = static_cast<int64_t>(std::time(nullptr));
    if (cli.results_file) cli_results_begin(h, cli.cb_ctx.results);
}

int send_message(mail_handle* h) {
    if (h->host) {
        // The message event decides, through the results callback.
        mail_setopt(h, mail_act_deliver);
        if (cli.send_ok) return 0;
        if (h->send_status == status_out_of_memory) return status_out_of_memory;
        if (cli.trace_timestamps) cli_print_stamp(stderr);
        cli_fprintf(stderr, "Message send failed (%s)\n",
                    str_escape_controls(mail_last_error(h)).c_str());
        // An input file that could not be used fails the run as in File mode.
        if (h->send_status) return h->send_status;
        return cli_send_failure_status(h->kept_reply);
    }
    int status = 0;
    if (mail_write_output_file(h, &status)) return 0;
    // An unreadable input was reported by its event already; a signature
    // that could not be made has no event.
    if (status != mail_file_input_unusable || !cli.cb_ctx.input_reported)
        cli_fprintf(stderr, "%s\n", str_escape_controls(mail_last_error(h)).c_str());
    return status ? status : mail_file_output_failed;
}

// The document goes out whole or not at all; a failure to write it leaves
// the exit status alone, since the message itself may be delivered.
void write_results(mail_handle* h, int status) {
    json_node* root = cli.cb_ctx.results;
    cli_results_end(h, root, status);
    if (!cli_results_save(std::move(cli.results_file), cli.results_name.c_str(), root))
        cli_fprintf(stderr, "Unable to write results file %s\n",
                    str_escape_controls(cli.results_name).c_str());
}

void finish(mail_handle* h, int status) {
    if (cli.results_file) write_results(h, status);
    cli.cb_ctx.results = nullptr;
    cli.results_root.reset();
    mail_setopt(h, mail_act_destroy);
    cli.cb_ctx.handle = nullptr;
    dkim_keys_free(&cli.dkim_keys);
    mail_global_init(0, 0);
}

// Everything after the early pass; failures before sending end at once.
int configure_and_send(mail_handle* h, int argc, char** argv) {
    try {
        cli_configure(h, argc, argv);
    } catch (const cli_exit& e) {
        return e.status;
    }
    if (int status = check_settings(h)) return status;
    prepare_message(h);
    int status = send_message(h);
    finish(h, status);
    return status;
}

int run(int argc, char** argv) {
    timer_frequency();
    cli.start_ns = timer_now_ns();
    if (!mail_global_init(1, time_seed())) return status_out_of_memory;
    mail_handle* h = mail_create();
    if (!h) return -1;
    cli.cb_ctx.handle = h;
    mail_setopt(h, mail_opt_dkim);
    std::srand(time_seed());
    if (argc < 2) {
        cli_print_usage_hint();
        return 1;
    }
    early_pass early;
    if (int status = run_early_pass(argc, argv, &early); status >= 0) return status;
    if (early.encrypt_password) {
        // No configuration is read on this road; a failed check throws.
        cli_pw_encrypt(early.encrypt_password->c_str(), early.bind_password);
        mail_setopt(h, mail_act_destroy);
        return 0;
    }
    // argv is UTF-8 already: -clutf8 changes nothing here.
    return configure_and_send(h, argc, early.args.argv.data());
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
    int status;
    try {
        status = ostrel::run(argc, argv);
    } catch (const ostrel::cli_exit& e) {
        status = e.status;
    } catch (const std::bad_alloc&) {
        status = ostrel::status_out_of_memory;
    }
    // Also on the paths that end before the end sequence.
    ostrel::dkim_keys_free(&ostrel::cli.dkim_keys);
    std::fflush(stdout);
    return ostrel::cli_exit_code(status);
}
