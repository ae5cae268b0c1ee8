// The results document of -results: (one JSON object written at the end of
// the run) and the event callback that fills it, prints delivery failures on
// the console and steers the SMTP conversation through its verdicts.
#pragma once

namespace ostrel {

struct mail_handle;

// The event callback (kind 2); user is the front end's cli_callback_ctx.
// Returns the verdict; sets cli.send_ok from the message event.
int cli_results_event(void* user, int event, int status, const char* text);

}  // namespace ostrel
