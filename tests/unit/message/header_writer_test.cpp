#include "message/header_writer.hpp"

#include <gtest/gtest.h>

#include "message/compose.hpp"
#include "message/compose_fixture.hpp"
#include "support/encode.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

using compose_test::capture;
using compose_test::split_lines;

constexpr int64_t dec_9_2026 = 1796784479;  // Wed, 09 Dec 2026 02:47:59 GMT

mail_handle base_handle() {
    mail_handle h;
    h.msg_time = dec_9_2026;
    h.from_addr = "me@example.org";
    return h;
}

std::string headers_of(mail_handle& h) {
    return capture([&](msg_out_cb out, void* ctx) { msg_write_headers(&h, out, ctx); });
}

std::vector<std::string> names_of(const std::string& block) {
    std::vector<std::string> names;
    for (const std::string& line : split_lines(block)) {
        if (line.empty() || line[0] == '\t' || line[0] == ' ') continue;
        names.push_back(line.substr(0, line.find(':')));
    }
    return names;
}

TEST(HeaderBlock, EveryFieldInItsOrder) {
    mail_handle h = base_handle();
    h.subject = "Hello";
    h.from_name = "Me";
    h.reply_to_addr = "reply@example.org";
    h.to.push_back({"to@example.org", std::nullopt, 0});
    h.cc.push_back({"cc@example.org", std::nullopt, 0});
    h.flags |= mail_f_mdn;
    h.priority = 1;
    h.mailer = "Mailer 1";
    h.mode = mail_mode_file;
    std::string block = headers_of(h);
    EXPECT_EQ(names_of(block), (std::vector<std::string>{
                                   "Date", "Subject", "From", "Reply-To", "To", "Cc", "Message-ID",
                                   "Disposition-Notification-To", "X-Priority", "X-Mailer"}));
    EXPECT_EQ(block.substr(0, 37), "Date: Wed, 09 Dec 2026 02:47:59 GMT\r\n");
    EXPECT_TRUE(compose_test::contains(block, "From: \"Me\" <me@example.org>\r\n"));
    EXPECT_TRUE(
        compose_test::contains(block, "Disposition-Notification-To: \"Me\" <me@example.org>\r\n"));
    EXPECT_TRUE(compose_test::contains(block, "X-Priority: 1 (Highest)\r\n"));
    EXPECT_EQ(block.substr(block.size() - 2), "\r\n");
}

TEST(HeaderBlock, RecipientsRunFromTheNewestEntry) {
    mail_handle h = base_handle();
    // Added Z, Y, X: the newest entry stands first.
    h.to.insert(h.to.begin(), {"z@example.org", std::nullopt, 0});
    h.to.insert(h.to.begin(), {"y@example.org", std::nullopt, 0});
    h.to.insert(h.to.begin(), {"x@example.org", std::string("N"), 0});
    std::string to = capture([&](msg_out_cb out, void* ctx) { msg_write_to(&h, out, ctx); });
    EXPECT_EQ(to, "To: \"N\" <x@example.org>,\r\n\ty@example.org,\r\n\tz@example.org\r\n");
}

TEST(HeaderBlock, EmptyListsGiveOnlyTheUndisclosedLine) {
    mail_handle h = base_handle();
    std::string block = headers_of(h);
    EXPECT_TRUE(compose_test::contains(
        block, "To: \"Undisclosed recipients\" <me@example.org>\r\nMessage-ID: "));
    EXPECT_FALSE(compose_test::contains(block, "Cc:"));
}

// Every field that carries the From address writes it as From does: IDN
// domains in their ASCII form, unless the server takes UTF-8; an address
// that cannot be made ASCII stays as it is everywhere.
TEST(HeaderBlock, FromAddressFieldsShareOneForm) {
    struct row {
        const char* from;
        bool smtputf8;
        const char* name;
        const char* written;  // the address in every field
    };
    const row rows[] = {
        {"s@m\xc3\xbcnchen.de", false, nullptr, "s@xn--mnchen-3ya.de"},
        {"s@m\xc3\xbcnchen.de", false, "Me", "s@xn--mnchen-3ya.de"},
        {"s@m\xc3\xbcnchen.de", true, nullptr, "s@m\xc3\xbcnchen.de"},
        {"me@b\xc3\xbc"
         "cher.example",
         false, "", "me@xn--bcher-kva.example"},
        {"me@example.org", false, nullptr, "me@example.org"},
        {"j\xc3\xb6rg@m\xc3\xbcnchen.de", false, nullptr, "j\xc3\xb6rg@m\xc3\xbcnchen.de"},
        {"j\xc3\xb6rg@m\xc3\xbcnchen.de", true, nullptr, "j\xc3\xb6rg@m\xc3\xbcnchen.de"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.from + std::string(r.smtputf8 ? " smtputf8" : ""));
        mail_handle h = base_handle();
        h.from_addr = r.from;
        if (r.name) h.from_name = r.name;
        if (r.smtputf8) h.flags2 |= mail_f2_smtputf8;
        h.flags |= mail_f_mdn;
        const std::string a = r.written;
        const std::string named = r.name && *r.name ? "\"Me\" <" + a + ">" : a;
        const std::string dnt = r.name ? "\"" + std::string(r.name) + "\" <" + a + ">" : a;
        std::string block = headers_of(h);
        EXPECT_TRUE(compose_test::contains(block, "\r\nFrom: " + named + "\r\n")) << block;
        EXPECT_TRUE(
            compose_test::contains(block, "\r\nTo: \"Undisclosed recipients\" <" + a + ">\r\n"))
            << block;
        EXPECT_TRUE(
            compose_test::contains(block, "\r\nDisposition-Notification-To: " + dnt + "\r\n"))
            << block;
        const std::string domain = a.substr(a.find('@'));
        EXPECT_EQ(h.message_id.substr(17), domain + ">");
    }
}

// The same, read back by an independent parser from a whole composed
// message: with From in punycode, no header line holds an 8-bit byte.
TEST(HeaderBlock, IdnFromGivesAnAsciiHeaderBlock) {
    mail_handle h = base_handle();
    h.mode = mail_mode_file;
    h.from_addr = "s@m\xc3\xbcnchen.de";
    h.from_name = "S";
    h.flags |= mail_f_mdn;
    h.body = "x";
    std::string message = capture([&](msg_out_cb out, void* ctx) { mime_compose(&h, out, ctx); });
    test::scratch_dir dir;
    auto fields = test::python_map(
        dir,
        "    import email, email.utils\n"
        "    from email import policy\n"
        "    head = data.split(b'\\r\\n\\r\\n', 1)[0]\n"
        "    bad = [l for l in head.split(b'\\r\\n') if any(b >= 0x80 for b in l)]\n"
        "    m = email.message_from_bytes(data, policy=policy.default)\n"
        "    dnt = email.utils.parseaddr(str(m['Disposition-Notification-To']))[1]\n"
        "    out(repr((bad, m['From'].addresses[0].addr_spec, m['To'].addresses[0].addr_spec,\n"
        "              dnt, m['Message-ID'].split('@')[1])).encode())\n",
        {message});
    ASSERT_EQ(fields.size(), 1u) << "python3 did not run";
    EXPECT_EQ(fields[0],
              "([], 's@xn--mnchen-3ya.de', 's@xn--mnchen-3ya.de', 's@xn--mnchen-3ya.de', "
              "'xn--mnchen-3ya.de>')");
}

TEST(HeaderBlock, EmptyDisplayNamesGiveTheBareForm) {
    mail_handle h = base_handle();
    h.from_name = "";
    h.reply_to_addr = "r@example.org";
    h.reply_to_name = "";
    h.to.push_back({"t@example.org", std::string(""), 0});
    h.flags |= mail_f_mdn;
    std::string block = headers_of(h);
    EXPECT_TRUE(compose_test::contains(block, "From: me@example.org\r\n"));
    EXPECT_TRUE(compose_test::contains(block, "Reply-To: r@example.org\r\n"));
    EXPECT_TRUE(compose_test::contains(block, "To: t@example.org\r\n"));
    EXPECT_TRUE(
        compose_test::contains(block, "Disposition-Notification-To: \"\" <me@example.org>\r\n"));
}

TEST(HeaderBlock, QuotedNamesEscapeBackslashAndQuote) {
    mail_handle h = base_handle();
    h.from_name = "A \"B\" \\ C";
    std::string from = capture([&](msg_out_cb out, void* ctx) { msg_write_from(&h, out, ctx); });
    EXPECT_EQ(from, "From: \"A \\\"B\\\" \\\\ C\" <me@example.org>\r\n");
}

TEST(HeaderBlock, Priorities) {
    struct row {
        uint32_t priority;
        int result;
        const char* line;
    };
    const row rows[] = {
        {0, 0, ""}, {1, 1, "X-Priority: 1 (Highest)\r\n"}, {2, 1, "X-Priority: 2 (High)\r\n"},
        {3, 1, ""}, {4, 1, "X-Priority: 4 (Low)\r\n"},     {5, 1, "X-Priority: 5 (Lowest)\r\n"},
        {6, 1, ""}};
    for (const row& r : rows) {
        mail_handle h = base_handle();
        h.priority = r.priority;
        int result = -1;
        std::string text =
            capture([&](msg_out_cb out, void* ctx) { result = msg_write_priority(&h, out, ctx); });
        EXPECT_EQ(result, r.result) << r.priority;
        EXPECT_EQ(text, r.line) << r.priority;
    }
}

TEST(HeaderBlock, MessageFileModeFillsTheRemovalList) {
    mail_handle h = base_handle();
    h.mode = mail_mode_email_file;
    h.subject = "S";
    h.priority = 3;
    h.mailer = "Mailer 1";
    std::string block = headers_of(h);
    EXPECT_FALSE(compose_test::contains(block, "X-Mailer"));
    std::vector<std::string> removed;
    for (const msg_header_node& n : h.removed_headers) removed.push_back(n.name);
    EXPECT_EQ(removed, (std::vector<std::string>{"Date", "Subject", "From", "To", "Cc",
                                                 "Message-ID", "X-Priority"}));
}

TEST(HeaderBlock, TakenFieldsAreLeftOut) {
    mail_handle h = base_handle();
    h.flags2 |= mail_f2_take_rcpts | mail_f2_take_from;
    h.to.push_back({"t@example.org", std::nullopt, 0});
    EXPECT_EQ(names_of(headers_of(h)), (std::vector<std::string>{"Date", "Message-ID"}));
}

TEST(HeaderBlock, OneMessageIdForEveryBlock) {
    mail_handle h = base_handle();
    std::string first = headers_of(h);
    ASSERT_FALSE(h.message_id.empty());
    EXPECT_EQ(h.message_id.back(), '>');
    EXPECT_NE(h.message_id.find("@example.org>"), std::string::npos);
    std::string second = headers_of(h);
    EXPECT_EQ(first, second);
}

struct callback_list {
    std::vector<std::pair<const char*, const char*>> entries;
    size_t next = 0;
};

int hand_out(void* user, int kind, char** address, char** name, char**) {
    auto* l = static_cast<callback_list*>(user);
    if (kind != static_cast<int>(msg_rcpt_to) || l->next >= l->entries.size()) return 0;
    *address = const_cast<char*>(l->entries[l->next].first);
    *name = const_cast<char*>(l->entries[l->next].second);
    ++l->next;
    return 1;
}

TEST(HeaderBlock, RecipientCallbackReplacesTheLists) {
    mail_handle h = base_handle();
    h.to.push_back({"stored@example.org", std::nullopt, 0});
    callback_list none;
    h.recipient_cb = hand_out;
    h.recipient_user = &none;
    std::string block = headers_of(h);
    EXPECT_FALSE(compose_test::contains(block, "To:"));  // not even the undisclosed line

    callback_list three{{{"a@x.org", "A"}, {"b@x.org", nullptr}, {"c@x.org", "\xc3\xa9"}}};
    h.recipient_user = &three;
    std::string to = capture([&](msg_out_cb out, void* ctx) { msg_write_to(&h, out, ctx); });
    EXPECT_EQ(to, "To: \"A\" <a@x.org>,\r\n\tb@x.org,\r\n\t\"=?utf-8?B?w6k=?=\" <c@x.org>\r\n");
}

// No line of the block passes 998 octets, whatever its values hold, and the
// unfolded value is the one given.
TEST(HeaderBlock, LongValuesAreFolded) {
    std::string words;
    for (int i = 0; i < 400; ++i) words += "word" + std::to_string(i) + " ";
    words.pop_back();
    const std::string run(3000, 'x');
    for (const std::string& subject : {words, run, "short " + run + " tail"}) {
        mail_handle h = base_handle();
        h.subject = subject;
        h.from_name = std::string(1500, 'n');
        std::string block = headers_of(h);
        for (const std::string& line : split_lines(block)) EXPECT_LE(line.size(), 998u);
        if (subject == words) {
            std::string s =
                capture([&](msg_out_cb out, void* ctx) { msg_write_subject(&h, out, ctx); });
            std::string unfolded;
            for (char c : s.substr(9, s.size() - 11)) {
                if (c != '\r' && c != '\n') unfolded += c;
            }
            EXPECT_EQ(unfolded, subject);
        } else {
            EXPECT_TRUE(compose_test::contains(block, "=?utf-8?B?eHh4"));
        }
    }
}

TEST(HeaderBlock, AFieldNameNoLineHoldsIsNeverAnEmptyLine) {
    // The options refuse such names; the writer still never ends the block.
    const std::string lead = "X-" + std::string(1100, 'n') + ": ";
    for (const std::string& value : {std::string("v"), std::string(3000, 'r')}) {
        std::string field =
            capture([&](msg_out_cb out, void* ctx) { msg_write_field(out, ctx, lead, value); });
        EXPECT_EQ(field.substr(0, lead.size()), lead);
        EXPECT_EQ(field.find("\r\n\r\n"), std::string::npos);
        EXPECT_EQ(field.substr(field.size() - 2), "\r\n");
    }
}

// The bytes the encoded words of a field carry, in order; other tokens
// (an angle-bracket address) are left out.
std::string decoded_words(const std::string& field) {
    std::string text, token;
    auto take = [&] {
        if (token.size() >= 12 && token.compare(0, 10, "=?utf-8?B?") == 0 &&
            token.compare(token.size() - 2, 2, "?=") == 0) {
            std::string b64 = token.substr(10, token.size() - 12);
            std::vector<uint8_t> raw(b64_decode_room(static_cast<int>(b64.size())));
            int n = b64_decode(b64.c_str(), static_cast<int>(b64.size()), raw.data());
            text.append(raw.begin(), raw.begin() + n);
        }
        token.clear();
    };
    for (char c : field.substr(field.find(": ") + 2)) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            take();
        else
            token += c;
    }
    take();
    return text;
}

std::string last_bytes(const std::string& s) {
    return s.substr(s.size() > 16 ? s.size() - 16 : 0);
}

// A run too long for any line becomes encoded words holding exactly its
// bytes: a character cut off at the end of the run (a lead byte without all
// of its continuation bytes) must not pull in what lies past the text.
TEST(HeaderBlock, EncodedRunsHoldExactlyTheirText) {
    const std::string run(1000, 'a');
    const std::string ends[] = {"\xf0", "\xf0\x9f",         "\xf0\x9f\x98", "\xe2",
                                "\xc3", "\xf0\x9f\x98\x80", "\x80"};
    for (const std::string& end : ends) {
        for (int at = 0; at < 3; ++at) {
            mail_handle h = base_handle();
            std::string address = run.substr(at) + "@x.example" + end;
            h.from_addr = address;
            h.reply_to_addr = address;
            std::string from =
                capture([&](msg_out_cb out, void* ctx) { msg_write_from(&h, out, ctx); });
            std::string reply =
                capture([&](msg_out_cb out, void* ctx) { msg_write_reply_to(&h, out, ctx); });
            for (const std::string& field : {from, reply}) {
                std::string got = decoded_words(field);
                EXPECT_EQ(got.size(), address.size()) << end.size() << " " << at;
                EXPECT_EQ(last_bytes(got), last_bytes(address)) << end.size() << " " << at;
                EXPECT_TRUE(got == address) << end.size() << " " << at;
            }
            for (const std::string& line : split_lines(from)) EXPECT_LE(line.size(), 998u);
        }
    }
    // A display name that cannot be folded is encoded whole.
    mail_handle h = base_handle();
    const std::string name = std::string(1500, 'n') + "\xf0";
    h.from_name = name;
    std::string from = capture([&](msg_out_cb out, void* ctx) { msg_write_from(&h, out, ctx); });
    EXPECT_TRUE(decoded_words(from) == name) << last_bytes(decoded_words(from));
    EXPECT_TRUE(compose_test::contains(from, " <me@example.org>\r\n"));
}

// A name with an address too long for any line: the field keeps both, and
// no line of it is empty (an empty line would end the header block).
TEST(HeaderBlock, NamedOverlongAddressStaysInItsField) {
    const std::string address = std::string(1000, 'a') + "@x.example";
    for (const char* name : {"N", "n n", "=?utf-8?B?w6k=?="}) {
        mail_handle h = base_handle();
        h.from_addr = address;
        h.from_name = name;
        h.reply_to_addr = address;
        h.reply_to_name = name;
        h.flags |= mail_f_mdn;
        std::string block = headers_of(h);
        const std::vector<std::string> lines = split_lines(block);
        for (const std::string& line : lines) {
            EXPECT_FALSE(line.empty()) << name;
            EXPECT_LE(line.size(), 998u) << name;
        }
        for (const char* lead : {"From: ", "Reply-To: ", "Disposition-Notification-To: "}) {
            std::string field;
            for (size_t i = 0; i < lines.size(); ++i) {
                if (lines[i].rfind(lead, 0) != 0) continue;
                field = lines[i];
                while (i + 1 < lines.size() && lines[i + 1][0] == ' ') field += lines[++i];
            }
            EXPECT_NE(decoded_words(field).find("<" + address + ">"), std::string::npos)
                << lead << name;
        }
    }
}

TEST(HeaderBlock, DateOfTheEpochAndOfNow) {
    mail_handle h = base_handle();
    h.msg_time = 86400 * 3 + 3661;  // Sun, 04 Jan 1970 01:01:01
    std::string d = capture([&](msg_out_cb out, void* ctx) { msg_write_date(&h, out, ctx); });
    EXPECT_EQ(d, "Date: Sun, 04 Jan 1970 01:01:01 GMT\r\n");
    h.msg_time = 0;
    d = capture([&](msg_out_cb out, void* ctx) { msg_write_date(&h, out, ctx); });
    EXPECT_EQ(d.size(), 37u);
}

}  // namespace
}  // namespace ostrel
