#include "support/encode.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace ostrel {

// constexpr so that the tables below can be built from it at compile time.
constexpr char b64_alphabets[3 * 64 + 1] =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

namespace {

constexpr const char* uu_alphabet = b64_alphabets;
constexpr const char* std_alphabet = b64_alphabets + 64;
constexpr const char* url_alphabet = b64_alphabets + 128;
constexpr char hex_upper[] = "0123456789ABCDEF";

constexpr std::array<uint8_t, 256> make_decode_table() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 64; ++i) {
        t[static_cast<uint8_t>(b64_alphabets[64 + i])] = static_cast<uint8_t>(i);
        t[static_cast<uint8_t>(b64_alphabets[128 + i])] = static_cast<uint8_t>(i);
    }
    return t;
}

// Two output characters per 12 input bits: one look-up per half group.
using pair_table = std::array<std::array<char, 2>, 4096>;
constexpr pair_table make_pairs(const char* alphabet) {
    pair_table t{};
    for (int i = 0; i < 4096; ++i) t[i] = {alphabet[i >> 6], alphabet[i & 63]};
    return t;
}
constexpr pair_table std_pairs = make_pairs(b64_alphabets + 64);
constexpr pair_table url_pairs = make_pairs(b64_alphabets + 128);

int text_length(const char* in, int len) {
    return len < 0 ? static_cast<int>(std::strlen(in)) : len;
}

// Whole groups through the pair table; returns the characters written.
size_t encode_groups(const uint8_t* in, size_t groups, char* out, const pair_table& pairs) {
    char* o = out;
    for (size_t g = 0; g < groups; ++g, in += 3, o += 4) {
        uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
        std::memcpy(o, pairs[v >> 12].data(), 2);
        std::memcpy(o + 2, pairs[v & 0xFFF].data(), 2);
    }
    return static_cast<size_t>(o - out);
}

// The 1 or 2 bytes of a short last group; pad adds "=" for the missing ones.
int encode_tail(const uint8_t* in, int rest, char* out, const char* alphabet, bool pad) {
    uint32_t v = uint32_t{in[0]} << 16;
    if (rest == 2) v |= uint32_t{in[1]} << 8;
    out[0] = alphabet[v >> 18];
    out[1] = alphabet[(v >> 12) & 63];
    int n = 2;
    if (rest == 2) out[n++] = alphabet[(v >> 6) & 63];
    if (pad)
        while (n < 4) out[n++] = '=';
    return n;
}

int encode_any(const uint8_t* in, int len, char* out, const pair_table& pairs, const char* alphabet,
               bool pad) {
    if (len <= 0) return 0;
    size_t groups = static_cast<size_t>(len) / 3;
    size_t n = encode_groups(in, groups, out, pairs);
    int rest = len % 3;
    if (rest) n += encode_tail(in + groups * 3, rest, out + n, alphabet, pad);
    return static_cast<int>(n);
}

}  // namespace

const std::array<uint8_t, 256> b64_decode_table = make_decode_table();

namespace {

constexpr std::array<std::array<char, 3>, 256> make_hex_table() {
    std::array<std::array<char, 3>, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = {hex_upper[i >> 4], hex_upper[i & 15], '\0'};
    return t;
}

}  // namespace

const std::array<std::array<char, 3>, 256> mime_qp_hex_table = make_hex_table();
const std::array<str_url_escape, 256> str_url_escape_table = str_url_make_table("!$'()*,-.;_ ");

int b64_encode(const uint8_t* in, int len, char* out) {
    return encode_any(in, len, out, std_pairs, std_alphabet, true);
}

void b64_encode_lines(const uint8_t* in, size_t len, std::string* out) {
    constexpr size_t line_in = 57;
    constexpr size_t line_out = 76 + 2;
    size_t at = out->size();
    out->resize(at + (len + line_in - 1) / line_in * line_out);
    for (size_t i = 0; i < len; i += line_in) {
        int k = static_cast<int>(std::min(line_in, len - i));
        at += static_cast<size_t>(b64_encode(in + i, k, out->data() + at));
        (*out)[at++] = '\r';
        (*out)[at++] = '\n';
    }
    out->resize(at);
}

int b64_encode(const char* in, int len, char* out) {
    return b64_encode(reinterpret_cast<const uint8_t*>(in), text_length(in, len), out);
}

int b64_url_encode(const uint8_t* in, int len, char* out) {
    return encode_any(in, len, out, url_pairs, url_alphabet, false);
}

int b64_url_encode(const char* in, int len, char* out) {
    return b64_url_encode(reinterpret_cast<const uint8_t*>(in), text_length(in, len), out);
}

int b64_decode(const char* in, int len, uint8_t* out) {
    if (len <= 0) return 0;
    const auto* s = reinterpret_cast<const uint8_t*>(in);
    int groups = (len + 3) / 4;
    for (int g = 0; g < groups; ++g) {
        uint32_t d[4] = {0, 0, 0, 0};
        for (int k = 0; k < 4 && 4 * g + k < len; ++k) d[k] = b64_decode_table[s[4 * g + k]];
        out[3 * g] = static_cast<uint8_t>((d[0] << 2) | (d[1] >> 4));
        out[3 * g + 1] = static_cast<uint8_t>((d[1] << 4) | (d[2] >> 2));
        out[3 * g + 2] = static_cast<uint8_t>((d[2] << 6) | d[3]);
    }
    int last = 4 * (groups - 1);
    int have = len - last;
    int less = 0;
    if (have >= 3 && in[last + 2] == '=')
        less = 2;
    else if (have == 4 && in[last + 3] == '=')
        less = 1;
    else if (have == 2)
        less = 2;
    else if (have == 3)
        less = 1;
    return 3 * groups - less;
}

int mime_uu_encode_line(const uint8_t* in, int len, char* out) {
    if (len > 45) return 0;
    if (len < 0) len = 0;
    out[0] = static_cast<char>(32 + len);
    int n = 1;
    for (int i = 0; i < len; i += 3) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (i + 1 < len) v |= uint32_t{in[i + 1]} << 8;
        if (i + 2 < len) v |= in[i + 2];
        for (int k = 3; k >= 0; --k) out[n++] = uu_alphabet[(v >> (6 * k)) & 63];
    }
    return n;
}

int mime_yenc_encode(const uint8_t* in, int len, char* out) {
    int n = 0;
    for (int i = 0; i < len; ++i) {
        auto e = static_cast<uint8_t>(in[i] + 42);
        if (e == 0 || e == '\n' || e == '\r' || e == '=') {
            out[n++] = '=';
            e = static_cast<uint8_t>(e + 64);
        }
        out[n++] = static_cast<char>(e);
    }
    return n;
}

namespace {

// Byte classes for quoted-printable: written as they are, always encoded,
// a blank (held until the next byte shows whether it ends a line), a CR.
enum qp_class : uint8_t { qp_plain = 0, qp_must = 1, qp_blank_byte = 2, qp_cr_byte = 4 };

constexpr std::array<uint8_t, 256> make_qp_classes() {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
        if (b == ' ' || b == '\t')
            t[b] = qp_blank_byte;
        else if (b == '\r')
            t[b] = qp_cr_byte;
        else if (b == '=' || b < 0x20 || b >= 0x7F)
            t[b] = qp_must;
        else
            t[b] = qp_plain;
    }
    return t;
}
constexpr std::array<uint8_t, 256> qp_classes = make_qp_classes();

// The longest literal line: a break comes before a byte at column 75.
constexpr uint32_t qp_line_chars = 75;

// The encoder's output position and line state during one call.
struct qp_writer {
    char* out;
    int n;
    uint32_t column;

    void raw(const char* s, int len) {
        std::memcpy(out + n, s, static_cast<size_t>(len));
        n += len;
    }
    void soft_break() {
        raw("=\r\n", 3);
        column = 0;
    }
    void encoded(uint8_t b) {
        if (column >= 73) soft_break();
        out[n] = '=';
        std::memcpy(out + n + 1, mime_qp_hex_table[b].data(), 2);
        n += 3;
        column += 3;
    }
    // Step c-e of the byte rules: soft break, leading dot, escape or literal.
    void byte(uint8_t b) {
        bool must = qp_classes[b] == qp_must || (b == '\r');
        if (column > 74 && !must) soft_break();
        if (must || (b == '.' && column == 0)) {
            encoded(b);
            return;
        }
        out[n++] = static_cast<char>(b);
        ++column;
    }
};

constexpr uint8_t qp_cr = '\r';

bool qp_blank(uint8_t b) {
    return b == ' ' || b == '\t';
}

// A space or tab is held back until the next byte shows whether it ends a
// line: decoders may drop whitespace there, so it is then written encoded.
void qp_take(qp_writer& w, uint8_t& pending, uint8_t b, bool text) {
    if (qp_blank(pending)) {
        bool ends_line = text && b == '\r';
        if (ends_line)
            w.encoded(pending);
        else
            w.byte(pending);
        pending = 0;
    }
    if (text && pending == qp_cr) {
        pending = 0;
        if (b == '\n') {
            w.raw("\r\n", 2);
            w.column = 0;
            return;
        }
        w.encoded(qp_cr);  // a lone CR
    }
    if ((text && b == '\r') || qp_blank(b)) {
        pending = b;
        return;
    }
    w.byte(b);
    pending = b;
}

// What a byte becomes: itself, or "=XX" padded to four so that one store
// writes it; and its length.
struct qp_form {
    char text[4];
    uint32_t len;
};
constexpr std::array<qp_form, 256> make_qp_forms(bool all_escaped) {
    std::array<qp_form, 256> t{};
    const char* hex = "0123456789ABCDEF";
    for (int b = 0; b < 256; ++b) {
        const bool literal = qp_classes[b] == qp_plain || qp_classes[b] == qp_blank_byte;
        if (literal && !all_escaped)
            t[b] = {{static_cast<char>(b), 0, 0, 0}, 1};
        else
            t[b] = {{'=', hex[b >> 4], hex[b & 15], 0}, 3};
    }
    return t;
}
// Where nothing about its place matters, and escaped whatever the byte.
constexpr std::array<qp_form, 256> qp_forms = make_qp_forms(false);
constexpr std::array<qp_form, 256> qp_escapes = make_qp_forms(true);

// The bytes of a call once nothing is held: the next byte is looked at
// directly instead of being held, so only a blank or CR at the very end is
// left pending. Each byte is a table load and one store; a soft break comes
// where the form would pass column 75, the place the byte rules give (a
// literal at column 75, an escape from column 73 on). Position and column
// live in locals, where stores into the output cannot make the compiler
// reload them.
void qp_run(qp_writer& w, uint8_t& pending, const uint8_t* in, size_t len, bool text) {
    char* o = w.out + w.n;
    uint32_t col = w.column;
    const uint8_t* p = in;
    const uint8_t* const end = in + len;
    uint8_t last = pending;
    auto put = [&](uint8_t b, const qp_form* f) {
        if (col + f->len > qp_line_chars) {
            std::memcpy(o, "=\r\n", 3);
            o += 3;
            col = 0;
        }
        if (col == 0 && b == '.') f = &qp_escapes['.'];  // a "." opening a line
        std::memcpy(o, f->text, 4);
        o += f->len;
        col += f->len;
    };
    // The next CR in text mode (a line end, and a blank before it goes
    // escaped); binary mode gives CR no meaning.
    const uint8_t* cr = p;
    auto find_cr = [&] {
        const void* at = text ? std::memchr(p, '\r', static_cast<size_t>(end - p)) : nullptr;
        cr = at ? static_cast<const uint8_t*>(at) : end;
    };
    find_cr();
    while (p < end) {
        // Bytes on a begun line below column 73, each with a next byte that
        // is no CR: the table form is right, and no break can fall before
        // it. The only branch left is the loop's own, taken once a line.
        if (col != 0 && col < 73) {
            if (cr < p) find_cr();
            const uint8_t* safe = cr - 1;
            if (p < safe) {
                while (p < safe && col < 73) {
                    const qp_form& f = qp_forms[*p++];
                    std::memcpy(o, f.text, 4);
                    o += f.len;
                    col += f.len;
                }
                last = p[-1];
            }
        }
        if (p == end) break;
        const uint8_t b = *p;
        const uint8_t cls = qp_classes[b];
        if (cls <= qp_must) [[likely]] {
            put(b, &qp_forms[b]);
            last = b;
            ++p;
            continue;
        }
        const bool held = cls == qp_blank_byte || text;
        if (held && p + 1 == end) {
            // Settled by the next call's first byte, or by the end call.
            w.n = static_cast<int>(o - w.out);
            w.column = col;
            pending = b;
            return;
        }
        if (cls == qp_blank_byte) {
            // Decoders may drop a blank before a line end: it goes escaped.
            put(b, text && p[1] == '\r' ? &qp_escapes[b] : &qp_forms[b]);
        } else if (text && p[1] == '\n') {
            std::memcpy(o, "\r\n", 2);
            o += 2;
            col = 0;
            last = 0;
            p += 2;
            continue;
        } else {
            put(b, &qp_escapes[b]);  // a CR in binary mode, or a lone CR
        }
        last = b;
        ++p;
    }
    w.n = static_cast<int>(o - w.out);
    w.column = col;
    pending = last;
}

}  // namespace

int mime_qp_encode(uint32_t* column, uint8_t* pending, const uint8_t* in, int len, char* out,
                   int text_mode) {
    qp_writer w{out, 0, *column};
    if (!in) {
        // The end of the stream also ends its last line.
        if ((text_mode && *pending == qp_cr) || qp_blank(*pending)) w.encoded(*pending);
        *column = w.n ? w.column : 0;
        *pending = 0;
        return w.n;
    }
    if (len <= 0) return 0;
    const bool text = text_mode != 0;
    auto held = [&] { return qp_blank(*pending) || (text && *pending == qp_cr); };
    // A blank or CR held from the last call is settled byte by byte; the
    // rest runs ahead with the next byte in view.
    int i = 0;
    while (i < len && held()) qp_take(w, *pending, in[i++], text);
    if (i < len) qp_run(w, *pending, in + i, static_cast<size_t>(len - i), text);
    *column = w.column;
    return w.n;
}

namespace {

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

int mime_qp_decode(const char* in, int len, uint8_t* out, int text_mode) {
    const auto* s = reinterpret_cast<const uint8_t*>(in);
    // Positions past len read as the terminator, so nothing past it is read.
    auto at = [&](int k) -> uint8_t { return k < len ? s[k] : 0; };
    int n = 0;
    bool soft_end = false;
    for (int i = 0; i < len;) {
        if (s[i] != '=') {
            out[n++] = s[i++];
            continue;
        }
        if (!text_mode && i == len - 1) return 0;
        uint8_t a = at(i + 1), b = at(i + 2);
        int hi = hex_value(a), lo = hex_value(b);
        if (a == 0)
            soft_end = true;
        else if (hi >= 0 && lo >= 0)
            out[n++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 3;
    }
    if (text_mode && !soft_end) {
        out[n++] = '\r';
        out[n++] = '\n';
    }
    return n;
}

char* str_url_encode_with(const std::array<str_url_escape, 256>& table, const char* text, char* out,
                          int size) {
    if (size < 1) return out;
    int n = 0;
    for (const char* p = text ? text : ""; *p; ++p) {
        const str_url_escape& e = table[static_cast<uint8_t>(*p)];
        if (n + e.length >= size) break;
        std::memcpy(out + n, e.text, e.length);
        n += e.length;
    }
    out[n] = '\0';
    return out;
}

char* str_url_encode(const char* text, char* out, int size) {
    return str_url_encode_with(str_url_escape_table, text, out, size);
}

}  // namespace ostrel
