// The results document of -results: (one JSON object written at the end of
// the run) and the event callback that fills it, prints delivery failures on
// the console and steers the SMTP conversation through its verdicts.
#pragma once

#include <cstdio>

#include "cli/state.hpp"

namespace ostrel {

struct mail_handle;
struct json_node;

// The event callback (kind 2); user is the front end's cli_callback_ctx.
// Returns the verdict; sets cli.send_ok from the message event.
int cli_results_event(void* user, int event, int status, const char* text);

// Members known before sending: subject, date, from, reply-to,
// return-path, helo. The message time must be fixed already.
void cli_results_begin(mail_handle* h, json_node* root);
// Members known at the end: status (success exactly when the exit status is
// 0), error, smtp response.
void cli_results_end(mail_handle* h, json_node* root, int exit_status);
// Writes the pretty text of the document to f in one piece and flushes it.
// 1 when all of it was written; 0 when it was not, or when no whole text
// could be made (a member lost to exhausted memory, or the text itself):
// then nothing is written.
int cli_results_write(FILE* f, json_node* root);

// The stream of a -results: value: standard output for "-"; for a regular
// file, or a name that names nothing yet, a file that the document replaces
// whole at the end, or, where its folder takes no temporary file or a link
// leads to it, rewrites in place (either way the file is not truncated now:
// a document there stays until the new one is whole); for anything else (a
// device, a FIFO, standard output's own file) the file opened to be written
// directly. Holds no stream when the value cannot be opened.
cli_results_stream cli_results_open(const char* value);
// Writes the document where out leads and lets out go (standard output is
// flushed, not closed). A regular file is replaced or rewritten whole, so on
// a failure it keeps what it held. 1 when the whole document is there, else 0.
int cli_results_save(cli_results_stream out, const char* name, json_node* root);
// 1 when the document goes to where standard output writes.
int cli_results_on_stdout(const cli_results_stream& out);

}  // namespace ostrel
