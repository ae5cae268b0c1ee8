#include "message/header_writer.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "message/address.hpp"
#include "message/attach_list.hpp"
#include "message/token.hpp"
#include "model/handle.hpp"
#include "support/date.hpp"
#include "support/encode.hpp"
#include "support/str.hpp"
#include "support/utf8.hpp"

namespace ostrel {

namespace {

constexpr size_t addr_buf_size = 256;
constexpr size_t date_buf_size = 1024;

bool is_wsp(char c) {
    return c == ' ' || c == '\t';
}

// Folds one physical line at blanks so that no line passes mail_line_length_max;
// false when a run without blanks is too long for any line.
bool fold_physical(std::string_view line, std::string& out) {
    while (line.size() > mail_line_length_max) {
        size_t cut = 0;
        for (size_t i = mail_line_length_max; i > 0; --i) {
            if (is_wsp(line[i])) {
                cut = i;
                break;
            }
        }
        if (cut == 0) return false;
        out.append(line.substr(0, cut));
        out += "\r\n";
        line.remove_prefix(cut);
    }
    out.append(line);
    return true;
}

// Folds text that may already hold CR LF line breaks.
bool fold_text(std::string_view text, std::string& out) {
    for (;;) {
        size_t end = text.find("\r\n");
        if (!fold_physical(text.substr(0, end), out)) return false;
        if (end == std::string_view::npos) return true;
        out += "\r\n";
        text.remove_prefix(end + 2);
    }
}

// Replaces every run without blanks that cannot fit a line by encoded words.
std::string encode_long_runs(std::string_view value) {
    std::string out;
    size_t i = 0;
    while (i < value.size()) {
        size_t j = i;
        while (j < value.size() && !is_wsp(value[j]) && value[j] != '\r' && value[j] != '\n') ++j;
        if (j == i) {
            out += value[i++];
            continue;
        }
        std::string_view run = value.substr(i, j - i);
        if (run.size() > mail_line_length_max / 2)
            out += mime_encoded_words(run, " ");
        else
            out.append(run);
        i = j;
    }
    return out;
}

// A line that holds an encoded word is at most this long, field name included.
constexpr size_t word_line_max = 76;
constexpr std::string_view word_open = "=?utf-8?B?";
constexpr std::string_view word_close = "?=";

// One blank-separated piece of a field: its leading blanks and its text,
// and where the text holds an encoded word, what is glued around it (a
// quote, a comma) and the word's decoded bytes.
struct field_piece {
    std::string_view blanks;
    std::string_view text;
    bool encoded = false;
    std::string_view before, after;
    std::string bytes;
};

std::vector<field_piece> split_pieces(std::string_view line) {
    std::vector<field_piece> pieces;
    size_t i = 0;
    while (i < line.size()) {
        field_piece p;
        size_t b = i;
        while (i < line.size() && is_wsp(line[i])) ++i;
        p.blanks = line.substr(b, i - b);
        size_t t = i;
        while (i < line.size() && !is_wsp(line[i])) ++i;
        p.text = line.substr(t, i - t);
        const size_t open = p.text.find(word_open);
        const size_t close = open == std::string_view::npos
                                 ? open
                                 : p.text.find(word_close, open + word_open.size());
        if (close != std::string_view::npos) {
            std::string_view b64 =
                p.text.substr(open + word_open.size(), close - open - word_open.size());
            std::vector<uint8_t> raw(
                static_cast<size_t>(b64_decode_room(static_cast<int>(b64.size()))));
            int n = b64_decode(b64.data(), static_cast<int>(b64.size()), raw.data());
            p.encoded = true;
            p.before = p.text.substr(0, open);
            p.after = p.text.substr(close + word_close.size());
            p.bytes.assign(reinterpret_cast<const char*>(raw.data()), static_cast<size_t>(n));
            // Blanks between two encoded words are no part of the text: the
            // words join into one run, laid out again as a whole.
            if (!pieces.empty() && pieces.back().encoded && pieces.back().after.empty() &&
                p.before.empty()) {
                pieces.back().bytes += p.bytes;
                pieces.back().after = p.after;
                continue;
            }
        }
        pieces.push_back(std::move(p));
    }
    return pieces;
}

// Most bytes of text whose encoded word takes at most room characters,
// ending before a UTF-8 sequence that would be split (a broken one is cut
// as bytes).
size_t word_bytes_for(std::string_view text, size_t room) {
    const size_t frame = word_open.size() + word_close.size();
    if (room < frame + 4) return 0;
    size_t n = std::min(text.size(), (room - frame) / 4 * 3);
    if (n == text.size()) return n;
    size_t j = utf8_sequence_start(text.data(), n);
    return j > 0 && j != n && utf8_is_lead(static_cast<unsigned char>(text[j])) ? j : n;
}

std::string encoded_word(std::string_view bytes) {
    std::string w(word_open);
    std::vector<char> b64(4 * ((bytes.size() + 2) / 3) + 1);
    int n = b64_encode(reinterpret_cast<const uint8_t*>(bytes.data()),
                       static_cast<int>(bytes.size()), b64.data());
    w.append(b64.data(), static_cast<size_t>(n));
    w += word_close;
    return w;
}

// Lays a folded field out again when it holds encoded words: every line
// with an encoded word keeps within 76 characters, field name included,
// by folding before the word or splitting it into shorter words, each on
// its own line where needed. Other lines keep the 998-octet bound. Folds go
// only where blanks stand, so the unfolded field reads as before; blanks
// between two encoded words are not part of the text.
}  // namespace

std::string msg_fit_encoded_words(const std::string& folded) {
    if (folded.find(word_open) == std::string::npos) return folded;
    std::string line;
    for (size_t i = 0; i < folded.size(); ++i) {
        if (folded[i] == '\r' && i + 1 < folded.size() && folded[i + 1] == '\n')
            ++i;
        else
            line += folded[i];
    }
    std::string out;
    std::string cur;
    bool cur_has_word = false;
    size_t on_line = 0;  // pieces on the current line, this one included
    auto fold = [&] {
        out += cur;
        out += "\r\n";
        cur.clear();
        cur_has_word = false;
        on_line = 0;
    };
    for (field_piece& p : split_pieces(line)) {
        ++on_line;
        if (!p.encoded) {
            const size_t limit = cur_has_word ? word_line_max : mail_line_length_max;
            if (!cur.empty() && !p.blanks.empty() &&
                cur.size() + p.blanks.size() + p.text.size() > limit)
                fold();
            cur.append(p.blanks).append(p.text);
            continue;
        }
        std::string_view rest = p.bytes;
        std::string_view blanks = p.blanks;
        std::string_view before = p.before;
        auto append = [&](std::string_view bytes, std::string_view after) {
            cur.append(blanks).append(before).append(encoded_word(bytes)).append(after);
            cur_has_word = true;
        };
        for (;;) {
            const size_t lead = blanks.size() + before.size();
            const size_t whole = lead + encoded_word(rest).size() + p.after.size();
            if (cur.size() + whole <= word_line_max) {
                append(rest, p.after);
                break;
            }
            const bool can_fold = !cur.empty() && !blanks.empty();
            // A word that fits a line of its own goes there, unless only the
            // field name stands before it: that line is filled instead.
            if (can_fold && on_line > 2 && whole <= word_line_max) {
                fold();
                continue;
            }
            // As much as the line takes; the last piece also needs room for
            // what is glued after it.
            const size_t room = word_line_max - std::min(word_line_max, cur.size() + lead);
            size_t n = word_bytes_for(rest, room);
            if (n == rest.size()) n = word_bytes_for(rest, room - std::min(room, p.after.size()));
            if (n == 0 && can_fold) {
                fold();
                continue;
            }
            if (n == 0 || n == rest.size()) {
                append(rest, p.after);  // nowhere to fold: the line runs over
                break;
            }
            append(rest.substr(0, n), {});
            rest.remove_prefix(n);
            before = {};
            blanks = " ";
            fold();
        }
    }
    out += cur;
    return out;
}

namespace {

// lead + value folded; falls back on encoded words for overlong runs. A
// lead that no line can hold (the options refuse such names) goes out
// whole rather than as an empty line, which would end the header block.
std::string folded_field(std::string_view lead, std::string_view value) {
    std::string line(lead);
    line.append(value);
    std::string out;
    if (fold_text(line, out)) return msg_fit_encoded_words(out);
    out.clear();
    line.assign(lead);
    line += encode_long_runs(value);
    if (!fold_text(line, out)) return line;
    return msg_fit_encoded_words(out);
}

void emit(msg_out_cb out, void* ctx, const std::string& text) {
    msg_out(out, ctx, "%s", text);
}

// The address as it goes into a header field: IDN domains in ASCII unless
// the server takes UTF-8. An address that cannot be converted stays as it is.
std::string header_address(const mail_handle* h, const std::string& address) {
    char buf[addr_buf_size] = {};
    const char* r =
        addr_normalise(address.c_str(), buf, nullptr, (h->flags2 & mail_f2_smtputf8) ? 1 : 0);
    if (!r || !*r) return address;
    return std::string(r);
}

// The From address as every field that carries it writes it: From itself,
// Disposition-Notification-To, the undisclosed-recipients line and the
// domain of a new Message-ID.
std::string from_header_address(const mail_handle* h) {
    return header_address(h, h->from_addr.value_or(""));
}

// "name" <address>, or the bare address when the name is NULL or empty; a
// name that cannot be folded into lines becomes an unquoted phrase of
// encoded words. Built by appending: g++ 12 at -O2 misreads a chain of
// operator+ here as overlapping copies.
std::string name_and_address(std::string_view lead, const char* name, const std::string& addr,
                             std::string_view tail, bool quote_empty = false) {
    if (!name || (!*name && !quote_empty)) {
        std::string value(addr);
        value.append(tail);
        return folded_field(lead, value);
    }
    std::string line(lead);
    line.append("\"").append(addr_quote_display_name(name)).append("\" <");
    line.append(addr).append(">").append(tail);
    std::string out;
    if (fold_text(line, out)) return msg_fit_encoded_words(out);
    // The address may be what cannot be folded: the phrase form goes through
    // the same fallback as any field, so nothing of it is lost.
    std::string value = mime_encoded_words(name, " ");
    value.append(" <").append(addr).append(">").append(tail);
    return folded_field(lead, value);
}

void note_removed(mail_handle* h, const char* name) {
    if (h->mode == mail_mode_email_file) msg_header_list_add(&h->removed_headers, name, "");
}

int write_callback_recipients(uint32_t kind, mail_handle* h, msg_out_cb out, void* ctx) {
    const char* lead = kind == msg_rcpt_cc ? "Cc: " : "To: ";
    bool first = true;
    for (;;) {
        char* address = nullptr;
        char* name = nullptr;
        char* param = nullptr;
        if (!h->recipient_cb(h->recipient_user, static_cast<int>(kind), &address, &name, &param))
            break;
        std::optional<std::string> word = mime_encode_word(name);
        std::string addr = header_address(h, address ? address : "");
        std::string text = name_and_address(first ? lead : "\t", str_or_null(word), addr, "");
        if (first) {
            emit(out, ctx, text);
        } else {
            // The entry's lead-in is ",\r\n\t": the blank of the new line is
            // already in the folded text.
            emit(out, ctx, ",\r\n" + text);
        }
        first = false;
    }
    if (!first) msg_out(out, ctx, "\r\n");
    return 1;
}

void write_list_recipients(uint32_t kind, mail_handle* h, msg_out_cb out, void* ctx) {
    const addr_list& list = kind == msg_rcpt_cc ? h->cc : h->to;
    const char* lead = kind == msg_rcpt_cc ? "Cc: " : "To: ";
    if (list.empty()) {
        if (kind == msg_rcpt_to) {
            std::string value = "\"Undisclosed recipients\" <";
            value.append(from_header_address(h)).append(">");
            msg_write_field(out, ctx, "To: ", value);
        }
        return;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        const addr_node& n = list[i];
        std::string addr = header_address(h, n.address);
        std::string text = name_and_address(i == 0 ? lead : "\t", str_or_null(n.name), addr,
                                            i + 1 < list.size() ? "," : "");
        emit(out, ctx, text + "\r\n");
    }
}

// The From or Reply-To line.
void write_named(msg_out_cb out, void* ctx, const char* lead, const mail_handle* h,
                 const std::optional<std::string>& addr, const std::optional<std::string>& name) {
    std::string a = header_address(h, addr.value_or(""));
    emit(out, ctx, name_and_address(lead, str_or_null(name), a, "") + "\r\n");
}

}  // namespace

void msg_write_field(msg_out_cb out, void* ctx, std::string_view lead, std::string_view value) {
    emit(out, ctx, folded_field(lead, value) + "\r\n");
}

int msg_write_date(mail_handle* h, msg_out_cb out, void* ctx) {
    int64_t t = h->msg_time ? h->msg_time : static_cast<int64_t>(std::time(nullptr));
    struct tm tm {};
    char line[date_buf_size];
    if (!date_gmtime_copy(&t, &tm)) {
        // Beyond the calendar: the epoch rather than a line of garbage.
        t = 0;
        date_gmtime_copy(&t, &tm);
    }
    std::snprintf(line, sizeof line, "Date: %s, %.2d %s %.4d %.2d:%.2d:%.2d GMT\r\n",
                  date_weekday_abbr(tm.tm_wday), tm.tm_mday, date_month_abbr(tm.tm_mon + 1),
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec > 59 ? 59 : tm.tm_sec);
    msg_out(out, ctx, "%s", line);
    return 1;
}

int msg_write_subject(mail_handle* h, msg_out_cb out, void* ctx) {
    if (!h->subject) return 0;
    msg_write_field(out, ctx, "Subject: ", *h->subject);
    return 1;
}

int msg_write_from(mail_handle* h, msg_out_cb out, void* ctx) {
    if (h->flags2 & mail_f2_take_from) return 0;
    write_named(out, ctx, "From: ", h, h->from_addr, h->from_name);
    return 1;
}

int msg_write_reply_to(mail_handle* h, msg_out_cb out, void* ctx) {
    if (!h->reply_to_addr) return 0;
    write_named(out, ctx, "Reply-To: ", h, h->reply_to_addr, h->reply_to_name);
    return 1;
}

int msg_write_recipients(uint32_t kind, mail_handle* h, msg_out_cb out, void* ctx) {
    if (h->flags2 & mail_f2_take_rcpts) return 0;
    if (h->recipient_cb) return write_callback_recipients(kind, h, out, ctx);
    if (kind == msg_rcpt_to || kind == msg_rcpt_cc) write_list_recipients(kind, h, out, ctx);
    return 1;
}

int msg_write_to(mail_handle* h, msg_out_cb out, void* ctx) {
    return msg_write_recipients(msg_rcpt_to, h, out, ctx);
}

int msg_write_cc(mail_handle* h, msg_out_cb out, void* ctx) {
    return msg_write_recipients(msg_rcpt_cc, h, out, ctx);
}

int msg_write_message_id(mail_handle* h, msg_out_cb out, void* ctx) {
    if (h->message_id.empty()) {
        char id[mail_message_id_size] = {};
        msg_make_message_id(id, sizeof id, from_header_address(h).c_str());
        h->message_id = id;
    }
    msg_out(out, ctx, "Message-ID: %s\r\n", h->message_id);
    return 1;
}

int msg_write_dnt(mail_handle* h, msg_out_cb out, void* ctx) {
    if (!(h->flags & mail_f_mdn)) return 0;
    // The quoted form even for an empty name.
    std::string line = name_and_address("Disposition-Notification-To: ", str_or_null(h->from_name),
                                        from_header_address(h), "", true);
    emit(out, ctx, line + "\r\n");
    return 1;
}

int msg_write_priority(mail_handle* h, msg_out_cb out, void* ctx) {
    static const char* const names[] = {nullptr, "1 (Highest)", "2 (High)",
                                        nullptr, "4 (Low)",     "5 (Lowest)"};
    if (h->priority == 0) return 0;
    if (h->priority <= 5 && names[h->priority])
        msg_out(out, ctx, "X-Priority: %s\r\n", names[h->priority]);
    return 1;
}

int msg_write_mailer(mail_handle* h, msg_out_cb out, void* ctx) {
    if (h->mailer && (h->mode == mail_mode_smtp || h->mode == mail_mode_file))
        msg_write_field(out, ctx, "X-Mailer: ", *h->mailer);
    return 1;
}

void msg_write_headers(mail_handle* h, msg_out_cb out, void* ctx) {
    msg_write_date(h, out, ctx);
    note_removed(h, "Date");
    if (msg_write_subject(h, out, ctx)) note_removed(h, "Subject");
    if (msg_write_from(h, out, ctx)) note_removed(h, "From");
    if (msg_write_reply_to(h, out, ctx)) note_removed(h, "Reply-To");
    if (msg_write_recipients(msg_rcpt_to, h, out, ctx)) note_removed(h, "To");
    if (msg_write_recipients(msg_rcpt_cc, h, out, ctx)) note_removed(h, "Cc");
    msg_write_message_id(h, out, ctx);
    note_removed(h, "Message-ID");
    if (msg_write_dnt(h, out, ctx)) note_removed(h, "Disposition-Notification-To");
    if (msg_write_priority(h, out, ctx)) note_removed(h, "X-Priority");
    msg_write_mailer(h, out, ctx);
}

}  // namespace ostrel
