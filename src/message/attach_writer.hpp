// Attachment parts of a composed message: boundary line, part fields and the
// file's content in its transfer encoding, streamed from the file; and the
// small structure and encoding tests of the same neighbourhood.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "message/out.hpp"

namespace ostrel {

struct mail_handle;

// What a composition met among its input files. Without one, a read error
// ends the process with status 12 (the message cannot be completed); with
// one, the failure is noted here and the writer goes on, so the caller can
// drop the half-made output.
struct mime_input_status {
    int unusable = 0;            // files that could not be opened or read
    std::string first_path;      // the first of them
    std::string signing_failed;  // a DKIM signature that could not be made: nothing was written
};

// Exit status of the process after a read error inside an input file.
inline constexpr int mime_read_error_status = 12;

// Reads a file descriptor in large blocks and hands out exact-sized pieces:
// a short piece only at the end of the file. Closes the descriptor.
class mime_file_reader {
  public:
    explicit mime_file_reader(int fd);
    ~mime_file_reader();
    mime_file_reader(const mime_file_reader&) = delete;
    mime_file_reader& operator=(const mime_file_reader&) = delete;
    // Up to n bytes into out; 0 at the end of the file, -1 on a read error.
    long read(uint8_t* out, size_t n);
    // The first bytes of the stream (up to n, at most one block) without
    // taking them, so that a pipe can be judged before it is read; only
    // before the first read. -1 on a read error.
    long peek(const uint8_t** data, size_t n);
    // Back to the start of the stream: by seeking, or in the buffer when the
    // whole stream fits one block. False when that cannot be done.
    bool rewind();

  private:
    bool fill();

    int fd_;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool eof_ = false;
    int fills_ = 0;
};

// Raises event 9 (status 2) with text; the verdict is ignored.
void mime_report_unusable(mail_handle* h, const char* text);
// Counts an unusable file in status (when given).
void mime_note_unusable(mime_input_status* status, const char* path);
// A read error: noted in status, or the end of the process without one.
void mime_read_failed(mail_handle* h, const char* path, mime_input_status* status);

int mime_write_attachments(mail_handle* h, uint32_t kind, const char* boundary, msg_out_cb out,
                           void* ctx, uint32_t lone);
int mime_write_attachments_ex(mail_handle* h, uint32_t kind, const char* boundary, msg_out_cb out,
                              void* ctx, uint32_t lone, mime_input_status* status);
uint32_t mime_guess_encoding(int fd);
int mime_write_raw_part(mail_handle* h, uint32_t is_inline, msg_out_cb out, void* ctx);
uint32_t mime_analyse(const mail_handle* h, uint32_t* multipart, uint32_t* related,
                      uint32_t* single, uint32_t* lone);

// Quoted-printable to a sink, one encoder state across every write; text
// mode makes CR LF hard line breaks. finish() ends the text.
class mime_qp_writer {
  public:
    mime_qp_writer(int text_mode, msg_out_cb out, void* ctx);
    void write(const uint8_t* in, size_t len);
    void finish();

  private:
    int text_mode_;
    msg_out_cb out_;
    void* ctx_;
    uint32_t column_ = 0;
    uint8_t pending_ = 0;
    std::vector<char> enc_;
};

// Base64 of a whole stream, 57 bytes to each line of 76 characters.
// 1, or 0 after a read error.
int mime_write_base64_stream(mime_file_reader& in, msg_out_cb out, void* ctx);
// Quoted-printable of a whole stream, one state across it; text mode makes
// CR LF hard line breaks. 1, or 0 after a read error.
int mime_write_qp_stream(mime_file_reader& in, int text_mode, msg_out_cb out, void* ctx);

}  // namespace ostrel
