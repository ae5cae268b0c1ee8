#include "support/encode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/tool_run.hpp"

namespace ostrel {
namespace {

using test::python_map;
using test::random_bytes;
using test::scratch_dir;

const uint8_t* bytes_of(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}
int len_of(const std::string& s) {
    return static_cast<int>(s.size());
}

std::string b64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3), '\0');
    out.resize(static_cast<size_t>(b64_encode(bytes_of(in), len_of(in), out.data())));
    return out;
}

std::string b64url(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3), '\0');
    out.resize(static_cast<size_t>(b64_url_encode(bytes_of(in), len_of(in), out.data())));
    return out;
}

// The input lives in a buffer of exactly its size and the output in one of
// exactly the documented room, so a sanitizer build sees any overrun.
std::string b64dec(const std::string& in) {
    std::vector<char> src(in.begin(), in.end());
    std::vector<uint8_t> out(static_cast<size_t>(b64_decode_room(len_of(in))));
    int n = b64_decode(src.data(), len_of(in), out.data());
    EXPECT_LE(n, static_cast<int>(out.size()));
    return {reinterpret_cast<const char*>(out.data()), static_cast<size_t>(std::max(n, 0))};
}

std::string uu(const std::string& in) {
    std::string out(1 + 4 * ((in.size() + 2) / 3), '\0');
    out.resize(static_cast<size_t>(mime_uu_encode_line(bytes_of(in), len_of(in), out.data())));
    return out;
}

std::string yenc(const std::string& in) {
    std::string out(2 * in.size(), '\0');
    out.resize(static_cast<size_t>(mime_yenc_encode(bytes_of(in), len_of(in), out.data())));
    return out;
}

// Encodes a whole stream in slices of the given sizes (cycled), then ends it.
std::string qp_stream(const std::string& in, bool text, const std::vector<size_t>& slices = {256}) {
    uint32_t column = 0;
    uint8_t pending = 0;
    std::string out;
    size_t pos = 0;
    for (size_t k = 0; pos < in.size(); ++k) {
        size_t n = std::min(slices[k % slices.size()], in.size() - pos);
        std::vector<char> buf(9 * n);
        int w = mime_qp_encode(&column, &pending, bytes_of(in) + pos, static_cast<int>(n),
                               buf.data(), text);
        EXPECT_LE(w, static_cast<int>(buf.size()));
        out.append(buf.data(), static_cast<size_t>(w));
        pos += n;
    }
    char end[6];
    out.append(end, static_cast<size_t>(mime_qp_encode(&column, &pending, nullptr, 0, end, text)));
    return out;
}

std::string qpdec(const std::string& in, bool text) {
    std::vector<char> src(in.begin(), in.end());
    std::vector<uint8_t> out(in.size() + 2);
    int n = mime_qp_decode(src.data(), len_of(in), out.data(), text);
    EXPECT_LE(n, static_cast<int>(out.size()));
    return {reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n)};
}

std::string url(const std::string& in, int size) {
    std::vector<char> out(static_cast<size_t>(size));
    return str_url_encode(in.c_str(), out.data(), size);
}

// Longest line between CR LF breaks, whether any line ends in blank, starts
// with a literal "." or holds a byte that must travel encoded.
struct qp_lines {
    size_t longest = 0;
    bool blank_at_end = false;
    bool dot_at_start = false;
    bool raw_byte = false;
};
qp_lines scan_lines(const std::string& enc) {
    qp_lines r;
    size_t start = 0;
    while (start <= enc.size()) {
        size_t e = enc.find("\r\n", start);
        size_t end = e == std::string::npos ? enc.size() : e;
        r.longest = std::max(r.longest, end - start);
        if (end > start && (enc[end - 1] == ' ' || enc[end - 1] == '\t')) r.blank_at_end = true;
        if (end > start && enc[start] == '.') r.dot_at_start = true;
        for (size_t i = start; i < end; ++i) {
            auto b = static_cast<uint8_t>(enc[i]);
            if ((b < 0x20 && b != '\t') || b >= 0x7F) r.raw_byte = true;
        }
        if (e == std::string::npos) break;
        start = e + 2;
    }
    return r;
}

// Random lengths with the boundaries of 3-byte groups and of 57-byte lines.
std::vector<std::string> random_inputs(std::mt19937& rng, int count, const std::string& pool = {}) {
    std::vector<std::string> v;
    for (size_t n : {0, 1, 2, 3, 4, 5, 6, 56, 57, 58, 255, 256, 257})
        v.push_back(random_bytes(rng, n, pool));
    for (int i = 0; i < count; ++i) v.push_back(random_bytes(rng, rng() % 700, pool));
    return v;
}

TEST(Base64, KnownValues) {
    struct row {
        std::string in, std, url;
    } rows[] = {
        {"Man", "TWFu", "TWFu"},     {"Ma", "TWE=", "TWE"}, {"M", "TQ==", "TQ"}, {"", "", ""},
        {"\xFB\xFF", "+/8=", "-_8"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(b64(r.in), r.std) << r.in;
        EXPECT_EQ(b64url(r.in), r.url) << r.in;
    }
    char out[8];
    EXPECT_EQ(b64_encode("Man", -1, out), 4);  // a negative length takes the text's own
    EXPECT_EQ(std::string(out, 4), "TWFu");
    EXPECT_EQ(b64_url_encode("Ma", -1, out), 3);
}

TEST(Base64, MatchesPythonOnRandomInputs) {
    scratch_dir dir;
    std::mt19937 rng(20240315);
    auto inputs = random_inputs(rng, 300);
    auto std_ref = python_map(dir, "    import base64; out(base64.b64encode(data))\n", inputs);
    auto url_ref = python_map(
        dir, "    import base64; out(base64.urlsafe_b64encode(data).rstrip(b'='))\n", inputs);
    ASSERT_EQ(std_ref.size(), inputs.size());
    ASSERT_EQ(url_ref.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        ASSERT_EQ(b64(inputs[i]), std_ref[i]) << "length " << inputs[i].size();
        ASSERT_EQ(b64url(inputs[i]), url_ref[i]) << "length " << inputs[i].size();
        ASSERT_EQ(b64dec(std_ref[i]), inputs[i]);
        ASSERT_EQ(b64dec(url_ref[i]), inputs[i]);  // unpadded, other alphabet
    }
}

TEST(Base64, MatchesCoreutilsBase64AndBasenc) {
    scratch_dir dir;
    std::mt19937 rng(7);
    for (size_t n : {1, 2, 3, 4, 5, 57, 1000, 65537}) {
        std::string data = random_bytes(rng, n), file = dir.file("in.bin");
        test::write_file(file, data);
        int s1 = 0, s2 = 0;
        std::string ref = test::run_command("base64 -w0 " + test::shell_quote(file), &s1);
        std::string ref_url =
            test::run_command("basenc --base64url -w0 " + test::shell_quote(file), &s2);
        ASSERT_EQ(s1, 0);
        ASSERT_EQ(s2, 0);
        ref_url.erase(ref_url.find_last_not_of('=') + 1);
        EXPECT_EQ(b64(data), ref) << n;
        EXPECT_EQ(b64url(data), ref_url) << n;
    }
}

TEST(Base64, LinesMatchCoreutilsWrapping) {
    scratch_dir dir;
    std::mt19937 rng(11);
    for (size_t n : {0, 1, 56, 57, 58, 114, 1000}) {
        std::string data = random_bytes(rng, n), file = dir.file("in.bin");
        test::write_file(file, data);
        int status = 0;
        std::string ref = test::run_command("base64 -w76 " + test::shell_quote(file), &status);
        ASSERT_EQ(status, 0);
        std::string want;
        for (char c : ref) want += c == '\n' ? std::string("\r\n") : std::string(1, c);
        std::string got = "kept";
        b64_encode_lines(reinterpret_cast<const uint8_t*>(data.data()), n, &got);
        EXPECT_EQ(got, "kept" + want) << n;
    }
}

TEST(Base64, DecodeResultsAndPadding) {
    struct row {
        std::string in;
        int result;
        std::string bytes;  // the first result bytes
    } rows[] = {
        {"TWFu", 3, "Man"},
        {"TWE=", 2, "Ma"},
        {"TQ==", 1, "M"},
        {"TWE", 2, "Ma"},
        {"TQ", 1, "M"},
        {"-_8", 2, "\xFB\xFF"},
        {"TQ=", 1, "M"},
        {"TWFuTQ==", 4, "ManM"},
        {"T", 3, std::string("\x4c\0\0", 3)},
        // Characters outside both alphabets count as value 0.
        {"T!Fu", 3, std::string("\x4c\x01\x6e", 3)},
        {"====", 1, std::string("\0", 1)},
    };
    for (const auto& r : rows) {
        std::string got = b64dec(r.in);
        EXPECT_EQ(static_cast<int>(got.size()), r.result) << r.in;
        EXPECT_EQ(got, r.bytes) << r.in;
    }
    uint8_t out[3] = {9, 9, 9};
    EXPECT_EQ(b64_decode("TWFu", 0, out), 0);
    EXPECT_EQ(b64_decode("TWFu", -1, out), 0);
    EXPECT_EQ(out[0], 9);
}

TEST(Base64, DecodeTables) {
    EXPECT_EQ(b64_decode_table['A'], 0);
    EXPECT_EQ(b64_decode_table['z'], 51);
    EXPECT_EQ(b64_decode_table['+'], 62);
    EXPECT_EQ(b64_decode_table['-'], 62);
    EXPECT_EQ(b64_decode_table['/'], 63);
    EXPECT_EQ(b64_decode_table['_'], 63);
    EXPECT_EQ(b64_decode_table['='], 0);
    EXPECT_EQ(std::string(b64_alphabets, 2), "`!");
    EXPECT_EQ(b64_alphabets[63], '_');
    EXPECT_EQ(std::string(b64_alphabets + 64, 4), "ABCD");
    EXPECT_EQ(std::string(b64_alphabets + 190, 2), "-_");
}

TEST(Uuencode, MatchesPythonB2aUu) {
    scratch_dir dir;
    std::mt19937 rng(11);
    std::vector<std::string> inputs;
    for (size_t n = 1; n <= 45; ++n) inputs.push_back(random_bytes(rng, n));
    inputs.push_back("Cat");
    inputs.push_back(std::string(45, '\0'));
    auto ref = python_map(
        dir, "    import binascii; out(binascii.b2a_uu(data, backtick=True)[:-1])\n", inputs);
    ASSERT_EQ(ref.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(uu(inputs[i]), ref[i]) << i;
    EXPECT_EQ(uu("Cat"), "#0V%T");
    EXPECT_EQ(uu(""), " ");
    EXPECT_EQ(uu(std::string(45, 'x')).front(), 'M');
    char out[80] = {};
    EXPECT_EQ(mime_uu_encode_line(bytes_of(std::string(46, 'x')), 46, out), 0);
    EXPECT_EQ(out[0], '\0');
}

TEST(Yenc, EscapesOnlyCriticalBytes) {
    EXPECT_EQ(yenc("\xD6"), "=\x40");
    EXPECT_EQ(yenc("\x13"), "=\x7D");
    EXPECT_EQ(yenc("\xE0"), "=\x4A");  // LF
    EXPECT_EQ(yenc("\xE3"), "=\x4D");  // CR
    EXPECT_EQ(yenc("A"), "k");
    EXPECT_EQ(yenc(std::string("\xF6\xDF.", 3)), std::string(" \x09X", 3));  // SP, TAB kept
    EXPECT_EQ(mime_yenc_encode(bytes_of("A"), 0, nullptr), 0);
    // Every byte value decodes back by the yEnc rule.
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    std::string enc = yenc(all), back;
    for (size_t i = 0; i < enc.size(); ++i) {
        int c = static_cast<uint8_t>(enc[i]);
        if (c == '=') c = static_cast<uint8_t>(enc[++i]) - 64;
        back += static_cast<char>(c - 42);
    }
    EXPECT_EQ(back, all);
}

TEST(QuotedPrintableEncode, KnownStreams) {
    struct row {
        std::string in, out;
        bool text;
    } rows[] = {
        {"a=b\r\n.c", "a=3Db\r\n=2Ec", true},
        {std::string(80, 'x'), std::string(75, 'x') + "=\r\n" + std::string(5, 'x'), true},
        {"x\ry", "x=0Dy", true},
        {"x\ny", "x=0Ay", true},
        // Blanks before a hard break or at the end of the stream are encoded.
        {"a \r\n", "a=20\r\n", true},
        {"a\t\r\nb", "a=09\r\nb", true},
        {"a \r\nb c\t", "a=20\r\nb c=09", true},
        {"a  b", "a  b", true},
        {"a \rb", "a=20=0Db", true},
        {"a\r", "a=0D", true},
        {"\r\n", "=0D=0A", false},
        {"a \r\n", "a =0D=0A", false},
        {"a ", "a=20", false},
        {".", "=2E", false},
        {"", "", true},
    };
    for (const auto& r : rows) EXPECT_EQ(qp_stream(r.in, r.text), r.out) << test::to_hex(r.in);
}

TEST(QuotedPrintableEncode, SoftBreaksAndColumns) {
    // Column 73 with a byte that must be encoded breaks first.
    uint32_t column = 73;
    uint8_t pending = 0;
    char out[16];
    const uint8_t e9 = 0xE9;
    int n = mime_qp_encode(&column, &pending, &e9, 1, out, 1);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "=\r\n=E9");
    EXPECT_EQ(column, 3u);

    // A lone CR held at the end of a long line still respects the limit.
    std::string line = std::string(74, 'x') + "\r";
    EXPECT_EQ(qp_stream(line, true), std::string(74, 'x') + "=\r\n=0D");
    EXPECT_EQ(qp_stream(std::string(75, 'x') + " ", true), std::string(75, 'x') + "=\r\n=20");

    // A length of zero changes nothing.
    column = 5;
    pending = '\r';
    EXPECT_EQ(mime_qp_encode(&column, &pending, &e9, 0, out, 1), 0);
    EXPECT_EQ(column, 5u);
    EXPECT_EQ(pending, '\r');
}

TEST(QuotedPrintableEncode, CrLfSplitAcrossSlicesIsOneHardBreak) {
    std::string in = "ab \r\n.cd\r\nef";
    std::string whole = qp_stream(in, true, {1000});
    for (size_t s : {1, 2, 3, 4, 5}) EXPECT_EQ(qp_stream(in, true, {s}), whole) << s;
    EXPECT_EQ(whole, "ab=20\r\n=2Ecd\r\nef");
}

// The encoder one byte at a time, rule by rule: the runs the encoder copies
// whole must give the same text for any input and any slicing.
std::string qp_bytewise(const std::string& in, bool text) {
    std::string out;
    uint32_t column = 0;
    auto soft = [&] {
        out += "=\r\n";
        column = 0;
    };
    auto encoded = [&](uint8_t b) {
        if (column >= 73) soft();
        out += '=';
        out += mime_qp_hex_table[b].data();
        column += 3;
    };
    auto byte = [&](uint8_t b) {
        bool must = b == '=' || (b < 0x20 && b != '\t') || b >= 0x7F;
        if (column > 74 && !must) soft();
        if (must || (b == '.' && column == 0)) return encoded(b);
        out += static_cast<char>(b);
        ++column;
    };
    for (size_t i = 0; i < in.size(); ++i) {
        const auto b = static_cast<uint8_t>(in[i]);
        const bool last = i + 1 == in.size();
        const auto next = last ? 0 : static_cast<uint8_t>(in[i + 1]);
        if (text && b == '\r' && next == '\n' && !last) {
            out += "\r\n";
            column = 0;
            ++i;
        } else if (b == ' ' || b == '\t') {
            // Encoded before a line end and at the end of the stream.
            if (last || (text && next == '\r'))
                encoded(b);
            else
                byte(b);
        } else {
            byte(b);
        }
    }
    return out;
}

TEST(QuotedPrintableEncode, SameAsTheByteRulesForAnySlicing) {
    std::mt19937 rng(7);
    const std::string alphabet[] = {std::string("ab. =\t\r\n\xE9\x00", 11), "x .", "\r\n "};
    for (int round = 0; round < 400; ++round) {
        std::string in;
        if (round % 4 == 3) {
            in = random_bytes(rng, rng() % 600);
        } else {
            const std::string& a = alphabet[round % 3];
            for (size_t n = rng() % 400; n > 0; --n) in += a[rng() % a.size()];
            if (round % 5 == 0) in = std::string(rng() % 200, 'w') + in;
        }
        for (bool text : {false, true}) {
            const std::string want = qp_bytewise(in, text);
            EXPECT_EQ(qp_stream(in, text, {1000}), want) << test::to_hex(in);
            EXPECT_EQ(qp_stream(in, text, {1 + rng() % 7, 1 + rng() % 90}), want)
                << test::to_hex(in);
        }
    }
}

// Python's binascii.a2b_qp decodes our output back to the input, in both
// modes and for any slicing; no line is longer than 76 and none ends blank.
TEST(QuotedPrintableEncode, RoundTripsThroughPythonWithShortLines) {
    scratch_dir dir;
    std::mt19937 rng(424242);
    const std::string pool = std::string("aZ.= \t\r\n\r\n\x00\xE9\x7F~", 15) + "xyzxyz";
    for (bool text : {true, false}) {
        std::vector<std::string> inputs = random_inputs(rng, 200, pool);
        for (int i = 0; i < 50; ++i) inputs.push_back(random_bytes(rng, rng() % 500));
        inputs.push_back(std::string(300, ' '));
        inputs.push_back(std::string(300, '.'));
        inputs.push_back(std::string(100, '\r'));
        std::vector<std::string> encoded;
        for (const auto& in : inputs) {
            std::vector<size_t> slices = {1 + rng() % 7, 1 + rng() % 300, 256};
            encoded.push_back(qp_stream(in, text, slices));
            EXPECT_EQ(qp_stream(in, text), encoded.back());
            qp_lines l = scan_lines(encoded.back());
            EXPECT_LE(l.longest, 76u) << test::to_hex(in);
            EXPECT_FALSE(l.blank_at_end) << test::to_hex(in);
            EXPECT_FALSE(l.dot_at_start) << test::to_hex(in);
            EXPECT_FALSE(l.raw_byte) << test::to_hex(in);
        }
        auto ref = python_map(dir, "    import binascii; out(binascii.a2b_qp(data))\n", encoded);
        ASSERT_EQ(ref.size(), inputs.size());
        for (size_t i = 0; i < inputs.size(); ++i)
            ASSERT_EQ(ref[i], inputs[i]) << (text ? "text " : "binary ") << test::to_hex(inputs[i]);
    }
}

// Python's own quoted-printable decoder strips blanks at the end of lines:
// the blanks of the text survive only because they are encoded there.
TEST(QuotedPrintableEncode, TrailingBlanksSurviveAStrippingDecoder) {
    scratch_dir dir;
    std::vector<std::string> inputs = {"a \r\nb", "tab\t\r\nx\t \r\n", "end  ", "  \r\n  \r\n"};
    // The writer that ends the stream also ends its last line.
    auto line_end = [](const std::string& s) {
        return s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0 ? "" : "\r\n";
    };
    std::vector<std::string> encoded;
    for (const auto& in : inputs) encoded.push_back(qp_stream(in, true) + line_end(in));
    auto ref = python_map(dir,
                          "    import quopri, io\n"
                          "    quopri.a2b_qp = None\n"
                          "    o = io.BytesIO(); quopri.decode(io.BytesIO(data), o)\n"
                          "    out(o.getvalue().replace(b'\\n', b'\\r\\n'))\n",
                          encoded);
    ASSERT_EQ(ref.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(ref[i], inputs[i] + line_end(inputs[i])) << encoded[i];
    }
}

TEST(QuotedPrintableDecode, KnownLines) {
    struct row {
        std::string in, out;
        bool text;
    } rows[] = {
        {"caf=C3=A9", "caf\xC3\xA9\r\n", true},
        {"caf=c3=a9", "caf\xC3\xA9\r\n", true},
        {"abc=", "abc", true},
        {"a=zzb", "ab\r\n", true},
        {"a=\r\nb", "ab", false},
        {"a=4", "a\r\n", true},  // a cut escape is dropped
        {"a=4", "a", false},
        {"=", "", true},
        {"", "\r\n", true},
        {"x=41=42", "xAB", false},
        {std::string("a=\0b", 4), "a", true},  // "=" before a zero byte
    };
    for (const auto& r : rows) EXPECT_EQ(qpdec(r.in, r.text), r.out) << r.in;
    EXPECT_EQ(qpdec("abc=", false), "");  // binary mode refuses a final "="
    EXPECT_EQ(qpdec("=", false), "");
}

TEST(QuotedPrintableDecode, DecodesPythonB2aQpOutput) {
    scratch_dir dir;
    std::mt19937 rng(99);
    std::vector<std::string> inputs = random_inputs(rng, 200);
    auto enc = python_map(dir,
                          "    import binascii; out(binascii.b2a_qp(data, "
                          "istext=False).replace(b'\\n', b'\\r\\n'))\n",
                          inputs);
    ASSERT_EQ(enc.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(qpdec(enc[i], false), inputs[i]) << enc[i];
}

// Garbage of every length through the decoders and encoders, in buffers of
// exactly the documented room: the results stay in range and nothing hangs.
TEST(EncodingsBadInput, NoOverrunOnGarbage) {
    std::mt19937 rng(5);
    const char pool_bytes[] = "=\r\n\0 AZaz09+/-_!~\xFF";
    const std::string pool(pool_bytes, sizeof pool_bytes - 1);  // the NUL is part of it
    for (int i = 0; i < 3000; ++i) {
        std::string in = random_bytes(rng, rng() % 40, i % 2 ? pool : std::string());
        int n = len_of(in);
        EXPECT_LE(static_cast<int>(b64dec(in).size()), b64_decode_room(n));
        EXPECT_LE(static_cast<int>(qpdec(in, i % 3 == 0).size()), n + 2);
        EXPECT_LE(qp_stream(in, i % 3 != 0, {1 + rng() % 5}).size(), 9 * in.size() + 6);
    }
}

TEST(UrlEncode, MatchesPythonQuote) {
    EXPECT_EQ(url("a b+c/d", 64), "a b%2bc%2fd");
    EXPECT_EQ(url("a b+c/d", 4), "a b");
    EXPECT_EQ(url("~", 64), "%7e");
    EXPECT_EQ(url("abc", 1), "");
    char keep[2] = {'k', 'k'};
    EXPECT_EQ(str_url_encode("abc", keep, 0), keep);
    EXPECT_EQ(keep[0], 'k');

    scratch_dir dir;
    std::mt19937 rng(3);
    std::vector<std::string> inputs;
    for (int i = 0; i < 300; ++i) {
        std::string s = random_bytes(rng, rng() % 60);
        s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
        inputs.push_back(s);
    }
    // quote keeps "~" and writes upper-case hex: bring it to this table's form.
    auto ref = python_map(dir,
                          "    import urllib.parse, re\n"
                          "    q = urllib.parse.quote(data, safe=\"!$'()*,; \")\n"
                          "    q = re.sub('%[0-9A-F]{2}', lambda m: m.group(0).lower(), q)\n"
                          "    out(q.replace('~', '%7e').encode())\n",
                          inputs);
    auto back =
        python_map(dir, "    import urllib.parse; out(urllib.parse.unquote_to_bytes(data))\n", [&] {
            std::vector<std::string> v;
            for (const auto& s : inputs) v.push_back(url(s, 4096));
            return v;
        }());
    ASSERT_EQ(ref.size(), inputs.size());
    ASSERT_EQ(back.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(url(inputs[i], 4096), ref[i]);
        EXPECT_EQ(back[i], inputs[i]);
        std::string cut = url(inputs[i], 10);
        EXPECT_LT(cut.size(), 10u);
        EXPECT_EQ(ref[i].compare(0, cut.size(), cut), 0);
    }
}

TEST(QuotedPrintableTables, HexTable) {
    EXPECT_STREQ(mime_qp_hex_table[0].data(), "00");
    EXPECT_STREQ(mime_qp_hex_table[0xE9].data(), "E9");
    EXPECT_STREQ(mime_qp_hex_table[255].data(), "FF");
    EXPECT_EQ(str_url_escape_table[' '].length, 1);
    EXPECT_EQ(str_url_escape_table['+'].length, 3);
    EXPECT_STREQ(str_url_escape_table['/'].text, "%2f");
}

}  // namespace
}  // namespace ostrel
