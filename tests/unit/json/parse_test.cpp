#include "json/parse.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "json_reader.hpp"
#include "python_check.hpp"

namespace ostrel {
namespace {

using test::json_reader;
using test::json_reader_ctx;

constexpr size_t capacity = json_stack_size / sizeof(json_node);

char* dup(const char* s) {
    return strdup(s);
}

std::string print(json_node* n, int pretty) {
    char* t = json_print(n, pretty);
    std::string s = t ? t : "(NULL)";
    std::free(t);
    return s;
}

struct read_result {
    bool ok;
    std::string error, compact, pretty;
};
read_result read(const std::string& doc) {
    json_reader_ctx r;
    bool ok = json_reader::read(doc, &r.ctx);
    read_result out{ok, r.ctx.error ? r.ctx.error : "", "", ""};
    if (ok) {
        out.compact = print(r.ctx.root, 0);
        out.pretty = print(r.ctx.root, 1);
    } else {
        EXPECT_EQ(r.ctx.root, nullptr) << doc;
    }
    return out;
}

TEST(JsonParse, DocumentsReadBackAsPythonReadsThem) {
    std::string deep = std::string(500, '[') + "7" + std::string(500, ']');
    std::string wide = "[";
    for (int i = 0; i < 3000; ++i) wide += std::to_string(i * 7919 - 5000) + ",";
    wide += "0]";
    const std::string docs[] = {
        "{}",
        "[]",
        " \t\r\n{ } ",
        "{\"a\":1,\"b\":[1,2,{\"c\":null}],\"d\":{\"e\":true,\"f\":false}}",
        " [ 1 , -2 , 0 , -0 ] ",
        "\"root\"",
        "42",
        "null",
        "[-9223372036854775808,9223372036854775807]",
        "{\"esc\":\"\\\" \\\\ \\/ \\b \\f \\n \\r \\t \\u00e9 \\u20AC \\ud83d\\ude00 \\u2028 "
        "\\u001f "
        "\\u007f\"}",
        "{\"k\\\"ey\\n\":1,\"\\u00e9\":2,\"caf\xc3\xa9\":3}",
        "[[[]],[[1]],{\"a\":{}}]",
        "{\"x\":{\"a\":1,\"b\":2},\"y\":[{\"a\":1},{\"a\":1}],\"a\":[]}",
        "[\"\xf0\x9f\x98\x80 \xe2\x80\xa8\"]",
        deep,
        wide,
    };
    test::python_json_check check;
    for (const auto& d : docs) {
        read_result r = read(d);
        ASSERT_TRUE(r.ok) << d.substr(0, 80) << ": " << r.error;
        check.add("doc", d, r.pretty, r.compact);
    }
    EXPECT_EQ(check.run(), "");
}

TEST(JsonParse, NumbersAndWords) {
    const struct {
        const char* doc;
        const char* written;
        double number;
    } cases[] = {
        {"1e3", "1000", 1000},
        {"1E2", "100", 100},
        {"-2.5", "-2", -2.5},
        {"2.5e-1", "0", 0.25},
        {"-0.5", "0", -0.5},
        {"1e400", "9223372036854775807", std::numeric_limits<double>::infinity()},
        {"12345678901234567890", "9223372036854775807", 12345678901234567890.0},
        {"-12345678901234567890", "-9223372036854775808", -12345678901234567890.0},
        {"9007199254740993", "9007199254740993", 9007199254740992.0},
        {"true", "true", 0},
        {"false", "false", 0},
    };
    for (const auto& c : cases) {
        json_reader_ctx r;
        ASSERT_TRUE(json_reader::read(c.doc, &r.ctx)) << c.doc;
        EXPECT_EQ(print(r.ctx.root, 0), c.written) << c.doc;
        if (r.ctx.root->type == json_number) {
            EXPECT_EQ(r.ctx.root->number, c.number) << c.doc;
        }
    }
    // The action itself: only exactly "true" is true, and numbers ignore the
    // locale's decimal separator.
    json_reader_ctx r;
    for (const char* word : {"True", "TRUE", "1", "", "true "}) {
        json_stack_push_value(&r.ctx, json_boolean, dup(word));
        EXPECT_EQ(json_stack_top(&r.ctx)->value.integer, 0) << word;
    }
    json_stack_push_value(&r.ctx, json_boolean, dup("true"));
    EXPECT_EQ(json_stack_top(&r.ctx)->value.integer, 1);
    json_stack_push_value(&r.ctx, json_number, dup("2.75"));
    EXPECT_EQ(json_stack_top(&r.ctx)->number, 2.75);
    EXPECT_EQ(json_stack_top(&r.ctx)->value.integer, 2);
    EXPECT_EQ(r.ctx.error, nullptr);
}

TEST(JsonParse, Unescape) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"plain", "plain"},
        {"\\\"\\\\\\/\\b\\f\\n\\r\\t", "\"\\/\b\f\n\r\t"},
        {"\\u00e9\\u20ac\\uFFFD", "\xc3\xa9\xe2\x82\xac\xef\xbf\xbd"},
        {"\\u0041\\u007f", "A\x7f"},
        {"\\ud83d\\ude00", "\xf0\x9f\x98\x80"},
        {"\\ud83d", "\xef\xbf\xbd"},    // lone high surrogate
        {"\\ude00x", "\xef\xbf\xbdx"},  // lone low surrogate
        {"\\ud83d\\u0041",
         "\xef\xbf\xbd"
         "A"},  // high surrogate, then no low one
        {"\\ud83d\\n", "\xef\xbf\xbd\n"},
        {"\\u12", "\xef\xbf\xbd"},  // malformed: too few digits
        {"\\u", "\xef\xbf\xbd"},
        {"\\uzz", "\xef\xbf\xbdzz"},
        {"\\u0000", "\xef\xbf\xbd"},  // NUL would cut the text short
        {"\\q\\'", "q'"},             // other escapes stand for themselves
        {"end\\", "end"},             // nothing past the token is read
    };
    for (const auto& c : cases) {
        std::vector<char> out(2 * std::strlen(c.in) + 1);
        EXPECT_STREQ(json_unescape(c.in, out.data()), c.out) << c.in;
    }
}

TEST(JsonParse, DuplicateKeysAtEveryLevel) {
    const struct {
        const char* doc;
        const char* error;
    } cases[] = {
        {"{\"a\":1,\"a\":2}", "Duplicate value a"},
        {"{\"b\":0,\"a\":1,\"c\":2,\"a\":3}", "Duplicate value a"},
        {"{\"x\":{\"a\":1,\"a\":2}}", "Duplicate value x/a"},
        {"{\"x\":{\"y\":{\"z\":[],\"z\":1}}}", "Duplicate value x/y/z[0]"},
        {"{\"x\":[{\"k\":1,\"k\":2}]}", "Duplicate value x[0]/k"},
        {"[{\"k\":1},{\"k\":1,\"k\":2}]", "Duplicate value [0]/k"},
    };
    for (const auto& c : cases) {
        read_result r = read(c.doc);
        EXPECT_FALSE(r.ok) << c.doc;
        EXPECT_EQ(r.error, c.error) << c.doc;
    }
}

TEST(JsonParse, InvalidDocumentsLeaveAnErrorAndNoTree) {
    const std::string cases[] = {
        "",
        "   ",
        "{",
        "[",
        "{\"a\":1",
        "[1,2",
        "[1,]",
        "{\"a\":1,}",
        "[,1]",
        "{,}",
        "{\"a\"}",
        "{\"a\":}",
        "{\"a\" 1}",
        "{1:2}",
        "[1 2]",
        "{\"a\":1}}",
        "[]]",
        "]",
        "\"abc",
        "\"abc\\",
        "\"abc\\\"",
        "[01]",
        "[1.]",
        "[.5]",
        "[-]",
        "[1e]",
        "[+1]",
        "nul",
        "True",
        "[true false]",
        "\"bad \\x escape\"",
        "\"\\u12\"",
        "\"\\ud800\"",
        "\"\\udc00\\ud800\"",
        "\"\\ud800\\u0041\"",
        "\"tab\there\"",
        std::string("\"nul\0byte\"", 10),
        std::string(capacity + 1, '['),
        std::string(capacity + 1, '[') + std::string(capacity + 1, ']'),
    };
    for (const auto& c : cases) {
        read_result r = read(c);
        EXPECT_FALSE(r.ok) << c.substr(0, 40);
        EXPECT_NE(r.error, "") << c.substr(0, 40);
    }
}

TEST(JsonParse, StackOverflowAtTheMark) {
    json_reader_ctx r;
    for (size_t i = 0; i < capacity; ++i) ASSERT_NE(json_stack_push(&r.ctx), nullptr) << i;
    EXPECT_EQ(r.ctx.error, nullptr);
    EXPECT_LE(static_cast<size_t>(r.ctx.top) + sizeof(json_node),
              json_stack_size + sizeof(json_node));
    int32_t top = r.ctx.top;
    EXPECT_EQ(json_stack_push(&r.ctx), nullptr);
    EXPECT_STREQ(r.ctx.error, "Stack overflow");
    EXPECT_EQ(r.ctx.top, top);
    json_stack_push_value(&r.ctx, json_string, dup("taken over and freed"));
    EXPECT_EQ(r.ctx.top, top);

    // The same through the reader: a list of as many elements as fit is
    // read, one more is not.
    std::string fits = "[" + std::string(2 * capacity - 1, '1') + "]";
    for (size_t i = 2; i < fits.size() - 1; i += 2) fits[i] = ',';
    EXPECT_TRUE(read(fits).ok);
    std::string over = fits;
    over.insert(1, "1,");
    read_result o = read(over);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, "Stack overflow");
}

TEST(JsonParse, ActionsOutOfOrderTouchNothing) {
    json_reader_ctx r;
    json_parse_ctx& c = r.ctx;
    auto underflow = [&](const char* what) {
        EXPECT_STREQ(c.error, "Stack underflow") << what;
        std::free(c.error);
        c.error = nullptr;
    };
    EXPECT_EQ(json_stack_pop(&c), nullptr);
    underflow("pop");
    EXPECT_EQ(json_stack_top(&c), nullptr);
    underflow("top");
    json_stack_set_key(&c, dup("key"));
    underflow("key");
    json_stack_mark_list(&c);
    underflow("mark");
    EXPECT_EQ(json_stack_reduce(&c, json_array, 1), nullptr);
    underflow("reduce on an empty stack");
    json_parse_finish(&c);
    EXPECT_EQ(c.root, nullptr);
    underflow("finish");
    EXPECT_EQ(c.top, 0);

    // Values but no open list: a reduce with elements leaves them as they are.
    json_stack_push_value(&c, json_number, dup("1"));
    json_stack_push_value(&c, json_string, dup("two"));
    EXPECT_EQ(json_stack_reduce(&c, json_object, 1), nullptr);
    underflow("reduce without a mark");
    EXPECT_EQ(c.top, static_cast<int32_t>(2 * sizeof(json_node)));
    EXPECT_STREQ(json_stack_top(&c)->value.text, "two");

    // An empty list needs no mark.
    json_node* e = json_stack_reduce(&c, json_array, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->type, static_cast<uint32_t>(json_array));
    EXPECT_EQ(e->first_child, nullptr);
    EXPECT_EQ(c.error, nullptr);
}

TEST(JsonParse, ReduceChainsInOrderAndFinishLinks) {
    json_reader_ctx r;
    json_parse_ctx& c = r.ctx;
    json_stack_push_value(&c, json_string, dup("before"));  // outside the list
    json_stack_push_value(&c, json_number, dup("1"));
    json_stack_set_key(&c, dup("a"));
    json_stack_mark_list(&c);
    json_stack_push_value(&c, json_string, dup("x\\ty"));
    json_stack_set_key(&c, dup("b"));
    json_node* o = json_stack_reduce(&c, json_object, 1);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(c.top, static_cast<int32_t>(2 * sizeof(json_node)));
    json_parse_finish(&c);
    ASSERT_NE(c.root, nullptr);
    EXPECT_EQ(print(c.root, 0), "{\"a\":1,\"b\":\"x\\ty\"}");
    EXPECT_EQ(c.root->first_child->parent, c.root);
    EXPECT_EQ(c.root->last_child->prev, c.root->first_child);
    EXPECT_EQ(c.root->first_child->list_start, 0u);
}

TEST(JsonParse, NodePathsAndTypeNames) {
    json_node* root = json_new(nullptr, json_object, nullptr);
    json_node* host = json_add_object(root, "host");
    json_node* port = json_add_number(host, "port", 25);
    json_node* list = json_add_array(host, "list");
    char buf[json_path_size];
    EXPECT_STREQ(json_node_path(root, buf, sizeof buf), "");
    EXPECT_STREQ(json_node_path(host, buf, sizeof buf), "host");
    EXPECT_STREQ(json_node_path(port, buf, sizeof buf), "host/port");
    EXPECT_STREQ(json_node_path(list, buf, sizeof buf), "host/list[1]");
    char tiny[6];
    EXPECT_STREQ(json_node_path(port, tiny, sizeof tiny), "host/");
    json_delete(root);

    const std::pair<uint32_t, const char*> names[] = {
        {json_string, "String"}, {json_number, "Number"}, {json_boolean, "Boolean"},
        {json_null, "Null"},     {json_array, "Array"},   {json_object, "Object"},
        {6, "Unknown"},          {7, "Unknown"},          {8, "Unknown"},
        {0, "Unknown"},
    };
    for (auto [type, name] : names) EXPECT_STREQ(json_type_name(type), name);
}

// A settings tree read from text, and the slot its checks write into.
struct settings {
    json_reader_ctx r;
    char* error = nullptr;
    explicit settings(const char* doc) { EXPECT_TRUE(json_reader::read(doc, &r.ctx)) << doc; }
    ~settings() { std::free(error); }
    json_node* at(const char* path) { return *path ? json_find(r.ctx.root, path) : r.ctx.root; }
    std::string text() const { return error ? error : ""; }
};

TEST(JsonSettings, Range) {
    settings s("{\"host\":{\"port\":0,\"big\":65536,\"ok\":25,\"neg\":-3,\"name\":\"x\"}}");
    const struct {
        const char* path;
        int32_t min, max;
        int pass;
        const char* text;
    } cases[] = {
        {"host/port", 1, 65535, 0, "host/port out of range (1-65535)"},
        {"host/big", 1, 65535, 0, "host/big out of range (1-65535)"},
        {"host/ok", 1, 65535, 1, ""},
        {"host/ok", 25, 25, 1, ""},
        {"host/big", 1, -1, 1, ""},
        {"host/neg", 0, -1, 0, "host/neg must be 0 or higher"},
        {"host/name", 0, -1, 0, ""},  // not a Number: no text
        {"host", 0, -1, 0, ""},
    };
    for (const auto& c : cases) {
        std::free(s.error);
        s.error = nullptr;
        EXPECT_EQ(settings_check_range(c.min, c.max, s.at(c.path), &s.error), c.pass) << c.path;
        EXPECT_EQ(s.text(), c.text) << c.path;
    }
    EXPECT_EQ(settings_check_range(1, 2, s.at("host/port"), nullptr), 0);
    EXPECT_EQ(settings_check_range(1, 2, nullptr, &s.error), 0);
}

TEST(JsonSettings, TypesAndMembers) {
    settings s("{\"host\":{\"port\":25,\"name\":\"mx\",\"tls\":true},\"user\":\"u\",\"pw\":\"p\"}");
    const char* const none[] = {nullptr};
    const char* const one[] = {"user", "token", nullptr};
    const char* const both[] = {"user", "pw", nullptr};
    const char* const neither[] = {"token", "cert", nullptr};
    const char* const required[] = {"host/port", "host/name", nullptr};
    const char* const missing[] = {"host/port", "host/bind", "host/also", nullptr};
    const char* const host_names[] = {"port", "name", nullptr};
    const json_setting_type host_types[] = {
        {"port", json_number}, {"name", json_string}, {"tls", json_boolean}, {nullptr, 0}};
    const json_setting_type bad_types[] = {
        {"port", json_string}, {"name", json_string}, {"tls", json_boolean}, {nullptr, 0}};
    const struct {
        const char* what;
        int (*check)(settings&, const void*);
        const void* arg;
        int pass;
        const char* text;
    } cases[] = {
        {"type ok",
         [](settings& s, const void*) {
             return settings_check_type(s.at("host/port"), json_number, &s.error);
         },
         nullptr, 1, ""},
        {"type wrong",
         [](settings& s, const void*) {
             return settings_check_type(s.at("host/port"), json_string, &s.error);
         },
         nullptr, 0, "Expected type String, found type Number (host/port)"},
        {"type of the root",
         [](settings& s, const void*) {
             return settings_check_type(s.at(""), json_array, &s.error);
         },
         nullptr, 0, "Expected type Array, found type Object ()"},
        {"one of: one",
         [](settings& s, const void* a) {
             return settings_check_one_of(s.at(""), &s.error, static_cast<const char* const*>(a));
         },
         one, 1, ""},
        {"one of: no list",
         [](settings& s, const void* a) {
             return settings_check_one_of(s.at("host"), &s.error,
                                          static_cast<const char* const*>(a));
         },
         nullptr, 0, "Required option host not specified"},
        {"one of: two present",
         [](settings& s, const void* a) {
             return settings_check_one_of(s.at(""), &s.error, static_cast<const char* const*>(a));
         },
         both, 0, "Mutually exclusive options specified for "},
        {"one of: none at the root",
         [](settings& s, const void* a) {
             return settings_check_one_of(s.at(""), &s.error, static_cast<const char* const*>(a));
         },
         neither, 0, "Required option token|cert not specified"},
        {"one of: none below",
         [](settings& s, const void* a) {
             return settings_check_one_of(s.at("host"), &s.error,
                                          static_cast<const char* const*>(a));
         },
         neither, 0, "Required option host/token|cert not specified"},
        {"one of: empty list",
         [](settings& s, const void* a) {
             return settings_check_one_of(s.at("host"), &s.error,
                                          static_cast<const char* const*>(a));
         },
         none, 0, "Required option host not specified"},
        {"required ok",
         [](settings& s, const void* a) {
             return settings_check_required(s.at(""), &s.error, static_cast<const char* const*>(a));
         },
         required, 1, ""},
        {"required missing",
         [](settings& s, const void* a) {
             return settings_check_required(s.at(""), &s.error, static_cast<const char* const*>(a));
         },
         missing, 0, "Required setting host/bind missing"},
        {"required below",
         [](settings& s, const void* a) {
             return settings_check_required(s.at("host"), &s.error,
                                            static_cast<const char* const*>(a));
         },
         missing, 0, "Required setting host/host/port missing"},
        {"required empty",
         [](settings& s, const void* a) {
             return settings_check_required(s.at("host"), &s.error,
                                            static_cast<const char* const*>(a));
         },
         none, 1, ""},
        {"known",
         [](settings& s, const void* a) {
             return settings_check_known(s.at("host"), &s.error,
                                         static_cast<const char* const*>(a));
         },
         host_names, 0, "Unknown setting host/tls"},
        {"known at the root",
         [](settings& s, const void* a) {
             return settings_check_known(s.at(""), &s.error, static_cast<const char* const*>(a));
         },
         host_names, 0, "Unknown setting host"},
        {"known, empty list",
         [](settings& s, const void* a) {
             return settings_check_known(s.at("host"), &s.error,
                                         static_cast<const char* const*>(a));
         },
         none, 0, "Unknown setting host/port"},
        {"known of a leaf",
         [](settings& s, const void* a) {
             return settings_check_known(s.at("user"), &s.error,
                                         static_cast<const char* const*>(a));
         },
         none, 1, ""},
        {"known typed ok",
         [](settings& s, const void* a) {
             return settings_check_known_typed(s.at("host"), &s.error,
                                               static_cast<const json_setting_type*>(a));
         },
         host_types, 1, ""},
        {"known typed, wrong type",
         [](settings& s, const void* a) {
             return settings_check_known_typed(s.at("host"), &s.error,
                                               static_cast<const json_setting_type*>(a));
         },
         bad_types, 0, "Expected type String, found type Number (host/port)"},
        {"known typed, unknown",
         [](settings& s, const void* a) {
             return settings_check_known_typed(s.at(""), &s.error,
                                               static_cast<const json_setting_type*>(a));
         },
         host_types, 0, "Unknown setting host"},
    };
    for (const auto& c : cases) {
        std::free(s.error);
        s.error = nullptr;
        EXPECT_EQ(c.check(s, c.arg), c.pass) << c.what;
        EXPECT_EQ(s.text(), c.text) << c.what;
    }
    // A NULL node passes the member checks and fails the type check.
    EXPECT_EQ(settings_check_known(nullptr, &s.error, none), 1);
    EXPECT_EQ(settings_check_known_typed(nullptr, &s.error, host_types), 1);
    EXPECT_EQ(settings_check_type(nullptr, json_string, nullptr), 0);
}

}  // namespace
}  // namespace ostrel
