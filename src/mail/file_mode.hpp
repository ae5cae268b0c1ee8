// File mode output (the composed message written to the output file), the
// checks run before any delivery, and the accessors behind the results.
#pragma once

#include <cstdint>
#include <cstdio>

#include "support/fmt.hpp"

namespace ostrel {

struct mail_handle;

// Exit statuses of File mode that mail_write_output_file reports in *status.
enum : int {
    mail_file_ok = 0,
    mail_file_output_failed = 3,    // the output file could not be made, written or closed
    mail_file_input_unusable = 10,  // an attachment or the HTML body file could not be read
};

// Composes the message into h->output_file. Returns 1 when the whole message
// was written and the file closed; otherwise 0 with last_error set, no output
// file left behind, and *status (when status is given) telling why:
//  - mail_file_output_failed: last_error "Failed to open output file" or
//    "Failed to write output file";
//  - mail_file_input_unusable: an attachment or the HTML body file could not
//    be opened or read; event 9 was raised with its path, and last_error
//    names it.
// *status is mail_file_ok after a result of 1.
int mail_write_output_file(mail_handle* h, int* status = nullptr);

// Any pointer may be NULL; host and ip hold 256 bytes. Returns the texts filled.
int mail_connection_info(mail_handle* h, char* host, char* ip, uint16_t* port, uint32_t* flags);

}  // namespace ostrel
