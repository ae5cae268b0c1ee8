// The mail transaction: MAIL FROM with its DSN and SMTPUTF8 parameters, one
// RCPT TO per recipient, DATA, the message through the connection's sink and
// the final dot. A message that cannot go out whole never gets its dot.
#include <cstring>
#include <string>

#include "message/address.hpp"
#include "message/compose.hpp"
#include "message/email_file.hpp"
#include "message/out.hpp"
#include "message/token.hpp"
#include "model/checks.hpp"
#include "model/handle.hpp"
#include "net/conn.hpp"
#include "net/io.hpp"
#include "smtp/smtp.hpp"
#include "smtp/smtp_internal.hpp"

namespace ostrel {

using namespace smtp_detail;

namespace {

bool non_ascii(const std::string& s) {
    for (unsigned char ch : s)
        if (ch >= 0x80) return true;
    return false;
}
bool non_ascii(const std::optional<std::string>& s) {
    return s && non_ascii(*s);
}
bool list_non_ascii(const addr_list& list) {
    for (const addr_node& n : list)
        if (non_ascii(n.address)) return true;
    return false;
}

void quit_and_close(mail_handle* h) {
    if (!h->conn) return;
    if (h->flags & mail_f_connected) smtp_quit(h);
    close_conn(h);
}

// Refusals of DATA and of the final dot: event 10, then the verdict or RSET.
void message_refused(mail_handle* h, const char* line) {
    mail_set_error_text(h, line ? std::optional<std::string>(line) : std::nullopt);
    int verdict = smtp_event(h, mail_ev_data, mail_status_failed, line);
    if (!smtp_apply_verdict(h, verdict, smtp_allow_quit | smtp_allow_rset)) smtp_rset(h);
}

// A prepared message file is checked before MAIL FROM: one that cannot be
// read, that holds a NUL byte (which would cut it short), or that changed
// since its fields were read, is not sent.
bool email_file_usable(mail_handle* h) {
    if (!h->email_file) return true;
    int fault = msg_check_email_file(h);
    if (fault == msg_email_file_ok) return true;
    mail_set_error_text(
        h, std::string(msg_email_file_fault_text(fault)) + " (" + *h->email_file + ")");
    return false;
}

}  // namespace

std::string smtp_xtext(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char ch : text) {
        if (ch < '!' || ch > '~' || ch == '+' || ch == '=') {
            out += '+';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

bool smtp_dsn_asked(const mail_handle* h) {
    if (!(h->flags & mail_f_dsn)) return false;
    if (h->flags & mail_f_dsn_mask) return true;
    for (const addr_list* l : {&h->to, &h->cc, &h->bcc})
        for (const addr_node& n : *l)
            if (n.dsn_flags) return true;
    return false;
}

std::string smtp_mail_dsn_param(const mail_handle* h, const std::string& envid) {
    if (!smtp_dsn_asked(h)) return std::string();
    return " RET=HDRS ENVID=" + smtp_xtext(envid);
}

bool smtp_wants_smtputf8(const mail_handle* h) {
    if (!(h->flags2 & mail_f2_smtputf8)) return false;
    // Entries of a recipient callback are not known before they are sent.
    if (h->recipient_cb) return true;
    return non_ascii(h->return_path) || non_ascii(h->from_addr) || non_ascii(h->reply_to_addr) ||
           list_non_ascii(h->to) || list_non_ascii(h->cc) || list_non_ascii(h->bcc);
}

int smtp_send_rcpt_list(mail_handle* h, const addr_list* list, const char* default_param,
                        uint32_t* accepted, int* verdict) {
    *verdict = mail_verdict_continue;
    const bool utf8 = (h->flags2 & mail_f2_smtputf8) != 0;
    size_t index = 0;
    for (;;) {
        std::string stored;
        std::string param;
        const bool from_cb = h->recipient_cb != nullptr;
        if (from_cb) {
            char* address = nullptr;
            char* name = nullptr;
            char* cb_param = nullptr;
            if (!h->recipient_cb(h->recipient_user, 0x800, &address, &name, &cb_param)) return 1;
            stored = address ? address : "";
            param = cb_param && cb_param[0] ? cb_param : default_param;
        } else {
            if (!list || index >= list->size()) return 1;
            const addr_node& n = (*list)[index++];
            stored = n.address;
            char dsn[32] = "";
            if (n.dsn_flags && (h->flags & mail_f_dsn)) addr_dsn_notify_text(dsn, n.dsn_flags);
            param = dsn[0] ? dsn : default_param;
        }
        char norm[256];
        const char* address = addr_normalise(stored.c_str(), norm, nullptr, utf8 ? 1 : 0);
        // A callback's entry goes out as it is given, but never with bytes
        // outside ASCII to a server without SMTPUTF8: an address without an
        // ASCII form (a non-ASCII local part, a domain that does not
        // convert) is not sent there.
        const char* sent = from_cb && (utf8 || !non_ascii(stored)) ? stored.c_str() : address;
        if (!sent) {
            mail_set_error_text(h, std::string("SMTPUTF8 required"));
            int v = smtp_event(h, from_cb ? mail_ev_rcpt_utf8 : mail_ev_rcpt, mail_status_failed,
                               stored.c_str());
            if (v == mail_verdict_stop || v == mail_verdict_reset || v == mail_verdict_quit) {
                *verdict = v;
                return 1;
            }
            continue;
        }
        ip_printf(h->conn, "rcpt to:<%s>%s\r\n", sent, param.c_str());
        char* last = h->conn ? read_reply_lines(h, nullptr, nullptr, nullptr) : nullptr;
        if (!last) {
            h->flags &= ~mail_f_connected;
            smtp_event(h, mail_ev_disconnect, mail_status_fatal, error_or_disconnected(h));
            close_conn(h);
            return 0;
        }
        set_reply(h, last);
        int v;
        // Any 25x accepts, 251 ("will forward") included.
        if (h->reply_code / 10 == 25) {
            ++*accepted;
            v = smtp_event(h, mail_ev_rcpt, mail_status_ok, sent);
        } else {
            mail_set_error_text(h, h->reply_line);
            v = smtp_event(h, mail_ev_rcpt, mail_status_failed, sent);
        }
        if (v == mail_verdict_stop || v == mail_verdict_reset || v == mail_verdict_quit) {
            *verdict = v;
            return 1;
        }
    }
}

int smtp_send_message(mail_handle* h) {
    mail_set_error_text(h, std::nullopt);
    h->send_status = 0;
    uint32_t accepted = 0;

    const char* check = nullptr;
    if (!mail_check_attachments(h, &check)) {
        mail_set_error_text(h, std::string(check));
        int v = smtp_event(h, mail_ev_message_check, mail_status_failed, check);
        if (v == mail_verdict_reset) {
            smtp_rset(h);
        } else if (v == mail_verdict_quit && h->conn) {
            quit_and_close(h);
            smtp_event(h, mail_ev_disconnect, mail_status_ok, error_or_disconnected(h));
        }
        return 0;
    }
    if (!email_file_usable(h)) {
        h->send_status = smtp_status_input_unusable;
        return 0;
    }

    const char* sender = h->return_path ? h->return_path->c_str()
                         : h->from_addr ? h->from_addr->c_str()
                                        : nullptr;
    if (!sender || !sender[0]) {
        mail_set_error_text(h, std::string("No envelope sender (From or Return-Path) set"));
        return 0;
    }

    std::string envid;
    if (smtp_dsn_asked(h)) {
        if (h->dsn_envid) {
            envid = *h->dsn_envid;
        } else {
            char token[17];
            envid = mime_random_token(token);
        }
    }
    const std::string dsn_param = smtp_mail_dsn_param(h, envid);

    const bool utf8 = (h->flags2 & mail_f2_smtputf8) != 0;
    char norm[256];
    uint32_t cls = 0;
    const char* address = addr_normalise(sender, norm, &cls, utf8 ? 1 : 0);
    if ((cls == 3 && !utf8) || !address) {
        mail_set_error_text(
            h, std::string(cls == 3 && !utf8 ? "SMTPUTF8 required" : "Invalid envelope sender"));
        smtp_event(h, mail_ev_mail_from, mail_status_fatal, sender);
        quit_and_close(h);
        return 0;
    }
    char token[17];
    h->message_token = mime_random_token(token);

    ip_printf(h->conn, "mail from:<%s>%s%s\r\n", address, dsn_param.c_str(),
              smtp_wants_smtputf8(h) ? " SMTPUTF8" : "");
    char* line = nullptr;
    if (smtp_read_reply(h, 250, 1, &line, smtp_keep_refused)) {
        smtp_event(h, mail_ev_mail_from, mail_status_ok, nullptr);
    } else if (h->flags & mail_f_connected) {
        mail_set_error_text(h, line ? std::optional<std::string>(line) : std::nullopt);
        smtp_event(h, mail_ev_mail_from, mail_status_fatal, line);
        quit_and_close(h);
        return 0;
    } else {
        return smtp_drop_connection(h);
    }

    std::string default_param;
    if ((h->flags & mail_f_dsn) && (h->flags & mail_f_dsn_mask)) {
        char dsn[32];
        addr_dsn_notify_text(dsn, (h->flags & mail_f_dsn_mask) >> mail_f_dsn_shift);
        default_param = dsn;
    }
    int verdict = mail_verdict_continue;
    if (h->recipient_cb) {
        if (!smtp_send_rcpt_list(h, nullptr, default_param.c_str(), &accepted, &verdict)) return 0;
        if (verdict == mail_verdict_reset) verdict = mail_verdict_stop;
    } else {
        for (const addr_list* l : {&h->to, &h->cc, &h->bcc}) {
            if (!smtp_send_rcpt_list(h, l, default_param.c_str(), &accepted, &verdict)) return 0;
            if (verdict != mail_verdict_continue) break;
        }
    }
    if (verdict == mail_verdict_quit) {
        quit_and_close(h);
        return 0;
    }
    if (verdict == mail_verdict_reset) {
        smtp_rset(h);
        return 0;
    }

    if (accepted == 0) {
        mail_set_error_text(h, std::string("No recipients accepted"));
        int v = smtp_event(h, mail_ev_no_recipients, mail_status_failed, "No recipients accepted");
        if (v == mail_verdict_quit) {
            if (h->conn) {
                quit_and_close(h);
                smtp_event(h, mail_ev_disconnect, mail_status_ok, error_or_disconnected(h));
            }
        } else {
            smtp_rset(h);
        }
        return 0;
    }

    ip_printf(h->conn, "data\r\n");
    if (!smtp_read_reply(h, 354, 1, &line, smtp_keep_refused)) {
        if (!(h->flags & mail_f_connected)) return smtp_drop_connection(h);
        message_refused(h, line);
        return 0;
    }

    // The message goes through the connection's sink; stuffing is the
    // stream filter's job, for both writers.
    mime_input_status inputs;
    if (h->email_file) {
        int fault = msg_email_file_ok;
        if (!msg_write_email_file(h, ip_msg_out, h->conn, &fault)) {
            // Changed since the check, or while it was sent: what went out
            // of it is dropped with the connection, never ended by a dot.
            inputs.unusable = 1;
            // The signer left its reason in the error text: keep it, and
            // name the file after it.
            std::string why = fault == msg_email_file_unsigned && h->last_error
                                  ? *h->last_error
                                  : std::string(msg_email_file_fault_text(fault));
            mail_set_error_text(h, why + " (" + *h->email_file + ")");
        }
    } else {
        mime_compose_ex(h, ip_msg_out, h->conn, &inputs);
        if (!inputs.signing_failed.empty()) {
            // Nothing of the message was written: it is not sent unsigned.
            inputs.unusable = 1;
            mail_set_error_text(h, inputs.signing_failed);
        } else if (inputs.unusable) {
            mail_set_error_printf(h, "Could not open attachment (%s)", inputs.first_path.c_str());
        }
    }
    if (inputs.unusable) {
        // Without its dot the server keeps nothing of the half-sent message.
        h->send_status = smtp_status_input_unusable;
        return smtp_drop_connection(h);
    }
    if (!ip_flush(h->conn) || ip_write_failed(h->conn)) {
        // The message did not go out whole: no dot may end it.
        note_lost(h, nullptr);
        return smtp_drop_connection(h);
    }

    ip_printf(h->conn, ".\r\n");
    if (smtp_read_reply(h, 250, 10, &line, smtp_keep_always)) {
        smtp_event(h, mail_ev_data, mail_status_ok,
                   h->last_error ? h->last_error->c_str() : nullptr);
        return 1;
    }
    if (!(h->flags & mail_f_connected)) return smtp_drop_connection(h);
    message_refused(h, line);
    return 0;
}

}  // namespace ostrel
