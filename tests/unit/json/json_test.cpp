#include "json/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "json/parse.hpp"
#include "python_check.hpp"

namespace ostrel {
namespace {

struct tree_deleter {
    void operator()(json_node* n) const { json_delete(n); }
};
using tree = std::unique_ptr<json_node, tree_deleter>;

struct text_deleter {
    void operator()(char* p) const { std::free(p); }
};
std::string print(json_node* n, int pretty) {
    std::unique_ptr<char, text_deleter> t(json_print(n, pretty));
    return t ? t.get() : "(NULL)";
}

// A tree as a table entry: built through the API here and handed to Python
// as a literal whose bytes are the raw keys and texts.
struct tv {
    enum kind_t { str, num, obj, arr } kind;
    std::string text;
    long long number = 0;
    std::vector<std::string> keys;  // of an Object's members
    std::vector<tv> kids;
};
tv S(std::string s) {
    return {tv::str, std::move(s), 0, {}, {}};
}
tv N(long long n) {
    return {tv::num, "", n, {}, {}};
}
tv O(std::vector<std::pair<std::string, tv>> m) {
    tv o{tv::obj, "", 0, {}, {}};
    for (auto& [k, v] : m) {
        o.keys.push_back(k);
        o.kids.push_back(std::move(v));
    }
    return o;
}
tv A(std::vector<tv> items) {
    return {tv::arr, "", 0, {}, std::move(items)};
}

std::string py_bytes(const std::string& s) {
    std::string out = "b'";
    char hex[8];
    for (unsigned char c : s) {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
    }
    return out + "'";
}

std::string py_literal(const tv& v) {
    switch (v.kind) {
        case tv::str:
            return py_bytes(v.text);
        case tv::num:
            return std::to_string(v.number);
        case tv::obj: {
            std::string s = "{";
            for (size_t i = 0; i < v.kids.size(); ++i)
                s += py_bytes(v.keys[i]) + ": " + py_literal(v.kids[i]) + ", ";
            return s + "}";
        }
        case tv::arr: {
            std::string s = "[";
            for (const tv& c : v.kids) s += py_literal(c) + ", ";
            return s + "]";
        }
    }
    return "";
}

json_node* build(const tv& v, json_node* parent, const char* key) {
    switch (v.kind) {
        case tv::str:
            return json_add_string(parent, key, v.text.c_str());
        case tv::num:
            return json_add_number(parent, key, static_cast<double>(v.number));
        case tv::obj:
        case tv::arr: {
            bool obj = v.kind == tv::obj;
            json_node* n = obj ? json_add_object(parent, key) : json_add_array(parent, key);
            for (size_t i = 0; i < v.kids.size(); ++i)
                if (!build(v.kids[i], n, obj ? v.keys[i].c_str() : nullptr)) return nullptr;
            return n;
        }
    }
    return nullptr;
}

std::string all_controls() {
    std::string s;
    for (int c = 1; c < 0x20; ++c) s += static_cast<char>(c);
    return s;
}

TEST(JsonWriter, MatchesPythonsJson) {
    const tv cases[] = {
        O({}),
        A({}),
        O({{"status", S("success")}}),
        O({{"a", A({N(1), S("x"), O({}), A({})})},
           {"b", O({{"c", A({})}, {"d", O({{"e", N(-5)}})}})},
           {"n", N(9007199254740992LL)}}),
        A({A({A({N(1)}), N(2)}), O({{"k", N(3)}})}),
        S("a root string"),
        O({{"controls", S(all_controls())}, {"signs", S("\"quote\" \\back/slash\x7f")}}),
        O({{all_controls() + "\"\\/\x7f", S("key escaped as a value")}}),
        O({{"utf8", S("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xe2\x80\xa8 \xe2\x80\xa9 end")}}),
        O({{"caf\xc3\xa9", S("\xef\xbf\xbd is a character too")}}),
        // Ill-formed UTF-8 of every kind, alone and between characters.
        O({{"lone continuation", S("a\x80z")},
           {"truncated", S("a\xe2\x82z")},
           {"truncated at end", S("a\xf0\x9f\x98")},
           {"overlong", S("\xc0\xaf")},
           {"overlong three", S("\xe0\x80\xaf")},
           {"surrogate", S("\xed\xa0\x80")},
           {"above U+10FFFF", S("\xf4\x90\x80\x80")},
           {"never a byte", S("\xfe\xff")},
           {"latin-1", S("caf\xe9@example.org")},
           {"key \xe9", S("x")}}),
        A({S("\xe2\x82"), S("\xf1\x80"), S("\xed\x9f\xbf\xee\x80\x80"), S("\xf4\x8f\xbf\xbf")}),
    };
    test::python_json_check check;
    for (const tv& c : cases) {
        tree t(build(c, nullptr, nullptr));
        ASSERT_TRUE(t) << py_literal(c);
        check.add("tree", py_literal(c), print(t.get(), 1), print(t.get(), 0));
    }
    EXPECT_EQ(check.run(), "");
}

TEST(JsonWriter, ExactLayout) {
    tree root(json_new(nullptr, json_object, nullptr));
    json_add_string(root.get(), "status", "success");
    EXPECT_EQ(print(root.get(), 1), "{\n  \"status\": \"success\"\n}");
    EXPECT_EQ(print(root.get(), 0), "{\"status\":\"success\"}");

    tree empty(json_new(nullptr, json_object, nullptr));
    EXPECT_EQ(print(empty.get(), 1), "{\n}");
    EXPECT_EQ(print(empty.get(), 0), "{}");

    json_node* list = json_add_array(root.get(), "recipients");
    for (int i = 1; i <= 3; ++i) json_add_number(list, nullptr, i);
    json_add_array(root.get(), "none");
    json_add_bool(root.get(), "yes", 7);
    json_add(root.get(), json_null, "nothing", 1);
    json_add(root.get(), json_string, "no text", 1);  // a String whose text is NULL
    EXPECT_EQ(
        print(root.get(), 1),
        "{\n  \"status\": \"success\",\n  \"recipients\": [\n    1,\n    2,\n    3\n  ],\n"
        "  \"none\": [\n  ],\n  \"yes\": true,\n  \"nothing\": null,\n  \"no text\": null\n}");
    EXPECT_EQ(print(root.get(), 0),
              "{\"status\":\"success\",\"recipients\":[1,2,3],\"none\":[],\"yes\":true,"
              "\"nothing\":null,\"no text\":null}");
}

TEST(JsonWriter, NumbersAreTheirIntegerPart) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {2.75, "2"},
        {-2.75, "-2"},
        {-0.5, "0"},
        {12.9, "12"},
        {0, "0"},
        {9223372036854775807.0, "9223372036854775807"},  // 2^63 after rounding
        {-9223372036854775808.0, "-9223372036854775808"},
        {1e300, "9223372036854775807"},
        {-1e300, "-9223372036854775808"},
        {inf, "9223372036854775807"},
        {-inf, "-9223372036854775808"},
        {std::nan(""), "0"},
    };
    for (const auto& c : cases) {
        tree n(json_add_number(nullptr, nullptr, c.value));
        EXPECT_EQ(print(n.get(), 0), c.text) << c.value;
    }
}

TEST(JsonWriter, NeverWritesTextThatIsNotJson) {
    // A keyed root and an Array element with a key are written without it.
    tree keyed(json_new(nullptr, json_object, "outer"));
    json_node* list = json_add_array(keyed.get(), "list");
    json_node* elem = json_add_number(nullptr, "k", 1);
    json_move(elem, list);
    EXPECT_EQ(print(keyed.get(), 0), "{\"list\":[1]}");

    // An Object refuses a keyless member; one moved in makes no text at all.
    EXPECT_EQ(json_add_number(keyed.get(), nullptr, 2), nullptr);
    EXPECT_EQ(json_child_count(keyed.get()), 1u);
    json_move(json_add_number(nullptr, nullptr, 2), keyed.get());
    EXPECT_EQ(json_print(keyed.get(), 1), nullptr);
    EXPECT_EQ(json_print(keyed.get(), 0), nullptr);

    // Children of a scalar and codes that name no type.
    tree s(json_new(nullptr, json_object, nullptr));
    json_node* str = json_add_string(s.get(), "s", "v");
    json_move(json_add_number(nullptr, "x", 1), str);
    json_add(s.get(), 7, "reserved", 1);
    EXPECT_EQ(print(s.get(), 0), "{\"s\":\"v\",\"reserved\":null}");
}

TEST(JsonWriter, FailedGrowthGivesNoText) {
    tree root(json_new(nullptr, json_object, nullptr));
    json_add_string(root.get(), "k", "v");
    str_buf b;
    str_buf_append(&b, "x", 1);
    b.flags |= str_buf_failed;
    EXPECT_EQ(json_write(root.get(), &b, 0, 1), nullptr);
    str_buf_release(&b);
}

TEST(JsonEscape, SizesBuffersAndNull) {
    EXPECT_EQ(json_escape_string(nullptr, nullptr), nullptr);
    EXPECT_EQ(json_escape_dup(nullptr), nullptr);
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"\t\"\\\x01", "\\t\\\"\\\\\\u0001"},
        {"\x1b", "\\u001b"},
        {"caf\xc3\xa9/\x7f", "caf\xc3\xa9/\x7f"},
        {"\xe9", "\xef\xbf\xbd"},
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xe2\x82", "\xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        std::unique_ptr<char, text_deleter> dup(json_escape_dup(c.in));
        EXPECT_STREQ(dup.get(), c.out) << c.in;
        EXPECT_EQ(json_escaped_size(c.in), std::strlen(c.out) + 1) << c.in;
        std::vector<char> buf(json_escaped_size(c.in));
        EXPECT_EQ(json_escape_string(c.in, buf.data()), buf.data());
        EXPECT_STREQ(buf.data(), c.out);
    }
    char u[6];
    EXPECT_EQ(json_escape_u(u, 0x1f), 5);
    EXPECT_STREQ(u, "u001f");
}

TEST(JsonTree, ConstructionRefusals) {
    tree root(json_new(nullptr, json_object, nullptr));
    json_node* first = json_add_string(root.get(), "status", "success");
    EXPECT_EQ(json_add_string(root.get(), "status", "failure"), nullptr);
    EXPECT_STREQ(json_get_string(root.get(), "status"), "success");
    EXPECT_EQ(json_child_count(root.get()), 1u);

    EXPECT_NE(json_add_number(root.get(), "Status", 1), nullptr);  // case counts
    EXPECT_EQ(json_add_string(first, "x", "y"), nullptr);          // under a String
    EXPECT_EQ(json_first_child(first), nullptr);
    EXPECT_EQ(json_add_string(root.get(), "t", nullptr), nullptr);  // no text
    EXPECT_EQ(json_find(root.get(), "t"), nullptr);
    EXPECT_EQ(json_add_object(root.get(), nullptr), nullptr);  // keyless Object member
    EXPECT_EQ(json_child_count(root.get()), 2u);
    EXPECT_EQ(root->flags & json_f_failed, 0u);

    // Array elements have no keys, and a keyed one is accepted there.
    json_node* list = json_add_array(root.get(), "list");
    EXPECT_NE(json_add_number(list, nullptr, 1), nullptr);
    EXPECT_NE(json_add_number(list, nullptr, 1), nullptr);
    EXPECT_EQ(json_child_count(list), 2u);
}

TEST(JsonTree, OwnershipOfKeysAndTexts) {
    std::string key = "borrowed", text = "lent";
    tree root(json_new(nullptr, json_object, nullptr));
    json_node* n = json_add_string_ex(root.get(), key.c_str(), text.c_str(), 0, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->key, key.c_str());
    EXPECT_EQ(n->value.text, text.c_str());
    EXPECT_EQ(n->flags & (json_f_key_owned | json_f_text_owned), 0u);

    json_node* o = json_add_string(root.get(), "owned", text.c_str());
    EXPECT_NE(o->value.text, text.c_str());
    EXPECT_EQ(o->flags & (json_f_key_owned | json_f_text_owned),
              json_f_key_owned | json_f_text_owned);

    EXPECT_EQ(json_set_string(o, "new", 1), 1);
    EXPECT_STREQ(json_get_string(root.get(), "owned"), "new");
    EXPECT_EQ(json_set_string(o, nullptr, 1), 0);  // refused; the text stays
    EXPECT_STREQ(json_get_string(root.get(), "owned"), "new");
    EXPECT_NE(root->flags & json_f_failed, 0u);
    EXPECT_EQ(json_set_string(n, text.c_str(), 0), 1);
    EXPECT_EQ(n->value.text, text.c_str());

    json_node* num = json_add_number(root.get(), "n", 1);
    EXPECT_EQ(json_set_string(num, "x", 1), 0);
    EXPECT_EQ(json_set_bool(num, 1), 0);
    EXPECT_EQ(json_set_number(o, 1), 0);
    EXPECT_EQ(json_set_number(num, -7.5), 1);
    EXPECT_EQ(json_get_int(root.get(), "n"), -7);
    EXPECT_EQ(json_get_double(root.get(), "n"), -7.5);

    json_set_string_owned(n, 1);
    EXPECT_NE(n->flags & json_f_text_owned, 0u);
    json_set_string_owned(n, 0);
    EXPECT_EQ(n->flags & json_f_text_owned, 0u);
}

TEST(JsonTree, GettersAndPaths) {
    tree root(json_new(nullptr, json_object, nullptr));
    json_node* host = json_add_object(root.get(), "host");
    json_add_number(host, "port", 2.75);
    json_add_number(host, "neg", -2.75);
    json_add_number(host, "big", 4294967297.0);  // 2^32 + 1: the low 32 bits
    json_add_bool(host, "tls", 5);
    json_add_string(host, "name", "mx");
    json_add_array(root.get(), "list");

    const struct {
        const char* path;
        json_node* want;
    } finds[] = {
        {"host/port", json_find_child(host, "port")},
        {"/host/port", json_find_child(host, "port")},
        {"host//port/", json_find_child(host, "port")},
        {"host", host},
        {"", nullptr},
        {"/", nullptr},
        {"//", nullptr},
        {"host/none", nullptr},
        {"port", nullptr},
        {"Host", nullptr},
    };
    for (const auto& f : finds) EXPECT_EQ(json_find(root.get(), f.path), f.want) << f.path;
    EXPECT_EQ(json_find(nullptr, "host"), nullptr);
    std::string long_key(1024, 'k');
    json_add_number(root.get(), long_key.c_str(), 1);
    EXPECT_EQ(json_find(root.get(), long_key.c_str()), nullptr);
    EXPECT_EQ(json_find_child(root.get(), long_key.c_str()), root->last_child);

    EXPECT_EQ(json_get_int(root.get(), "host/port"), 2);
    EXPECT_EQ(json_get_double(root.get(), "host/port"), 2.75);
    EXPECT_EQ(json_get_int(root.get(), "host/neg"), -2);
    EXPECT_EQ(json_get_int(root.get(), "host/big"), 1);
    EXPECT_EQ(json_get_bool(root.get(), "host/tls"), 1);
    EXPECT_STREQ(json_get_string(root.get(), "host/name"), "mx");
    // Wrong types and missing paths.
    EXPECT_STREQ(json_get_string(root.get(), "host/port"), "");
    EXPECT_STREQ(json_get_string(root.get(), "nowhere"), "");
    EXPECT_EQ(json_get_int(root.get(), "host/name"), 0);
    EXPECT_EQ(json_get_double(root.get(), "host"), 0.0);
    EXPECT_EQ(json_get_bool(root.get(), "host/port"), 0);

    json_node* list = json_find(root.get(), "list");
    EXPECT_EQ(json_array_item(list, 0), nullptr);
    json_node* a = json_add_number(list, nullptr, 10);
    json_node* b = json_add_number(list, nullptr, 20);
    EXPECT_EQ(json_array_item(list, 0), a);
    EXPECT_EQ(json_array_item(list, 1), b);
    EXPECT_EQ(json_array_item(list, 2), nullptr);
    EXPECT_EQ(json_array_item(host, 0), nullptr);  // not an Array
    EXPECT_EQ(json_child_count(nullptr), 0u);
    EXPECT_EQ(json_first_child(nullptr), nullptr);
    EXPECT_EQ(json_next(nullptr), nullptr);
    EXPECT_EQ(json_next(a), b);
}

// Every link of a node's children agrees with its neighbours.
void expect_linked(json_node* parent) {
    json_node* prev = nullptr;
    for (json_node* c = parent->first_child; c; c = c->next) {
        EXPECT_EQ(c->parent, parent);
        EXPECT_EQ(c->prev, prev);
        prev = c;
        expect_linked(c);
    }
    EXPECT_EQ(parent->last_child, prev);
}

TEST(JsonTree, DeleteDetachMoveRename) {
    tree root(json_new(nullptr, json_object, nullptr));
    json_node* a = json_add_number(root.get(), "a", 1);
    json_node* b = json_add_object(root.get(), "b");
    json_add_string(b, "inner", "x");
    json_node* c = json_add_number(root.get(), "c", 3);

    json_delete(b);  // the middle one, with its subtree
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->prev, a);
    expect_linked(root.get());
    json_delete(nullptr);

    json_detach(a);
    EXPECT_EQ(a->parent, nullptr);
    EXPECT_EQ(root->first_child, c);
    EXPECT_EQ(root->last_child, c);
    tree detached(a);

    json_node* sub = json_add_object(root.get(), "sub");
    json_move(c, sub);
    EXPECT_EQ(root->first_child, sub);
    EXPECT_EQ(json_find(root.get(), "sub/c"), c);
    expect_linked(root.get());
    json_delete(c);
    EXPECT_EQ(sub->first_child, nullptr);
    EXPECT_EQ(sub->last_child, nullptr);

    EXPECT_EQ(json_rename(sub, "renamed"), 1);
    EXPECT_EQ(json_find(root.get(), "renamed"), sub);
    json_node* borrowed = json_add(root.get(), json_null, "lit", 0);
    EXPECT_EQ(json_rename(borrowed, "own"), 1);
    EXPECT_NE(borrowed->flags & json_f_key_owned, 0u);
    EXPECT_EQ(print(root.get(), 0), "{\"renamed\":{},\"own\":null}");
}

TEST(JsonTree, Copies) {
    tree root(json_new(nullptr, json_object, nullptr));
    json_node* h = json_add_object(root.get(), "host");
    json_add_string_ex(h, "name", "borrowed", 0, 0);
    json_add_number(h, "port", 25.5);
    json_node* list = json_add_array(root.get(), "list");
    json_add_bool(list, nullptr, 1);
    json_add_number(root.get(), "after", 1);

    tree one(json_copy_node(h));
    EXPECT_EQ(one->first_child, nullptr);
    EXPECT_STREQ(one->key, "host");
    EXPECT_NE(one->key, h->key);

    struct chain_deleter {
        void operator()(json_node* n) const { json_free_tree(n); }  // with its siblings
    };
    std::unique_ptr<json_node, chain_deleter> chain(json_copy_chain(h));  // host, list, after
    EXPECT_EQ(json_child_count(chain.get()), 2u);
    EXPECT_EQ(chain->next->next->next, nullptr);
    json_node* name = chain->first_child;
    EXPECT_NE(name->value.text, h->first_child->value.text);
    EXPECT_NE(name->flags & json_f_text_owned, 0u);
    EXPECT_EQ(json_copy_chain(nullptr), nullptr);

    tree copy(json_copy_tree(root.get()));
    expect_linked(copy.get());
    EXPECT_EQ(print(copy.get(), 0), print(root.get(), 0));
    EXPECT_EQ(json_get_double(copy.get(), "host/port"), 25.5);
}

int collect(json_node* node, char* path, void* user, int* result) {
    auto* seen = static_cast<std::vector<std::string>*>(user);
    seen->push_back(path);
    ++*result;
    if (node->key && std::strcmp(node->key, "skip") == 0) return 2;
    if (node->key && std::strcmp(node->key, "stop") == 0) return 0;
    return 1;
}

TEST(JsonTree, Walk) {
    tree root(json_new(nullptr, json_object, "root"));
    json_node* a = json_add_object(root.get(), "a");
    json_add_number(a, "x", 1);
    json_node* skip = json_add_object(root.get(), "skip");
    json_add_number(skip, "hidden", 1);
    json_node* list = json_add_array(root.get(), "list");
    json_add_object(list, nullptr);
    json_node* keyless = json_add_object(nullptr, nullptr);
    json_add_number(keyless, "y", 2);
    json_move(keyless, a);

    std::vector<std::string> seen;
    char path[json_path_size] = "garbage";
    int result = 99;
    EXPECT_EQ(json_walk(root.get(), path, 0, &result, &seen, collect), 1);
    const std::vector<std::string> want = {"root",     "root/a",    "root/a/x", "root/a",
                                           "root/a/y", "root/skip", "root/list"};
    EXPECT_EQ(seen, want);
    EXPECT_EQ(result, 7);

    json_add_number(a, "stop", 1);
    json_add_number(a, "never", 1);
    seen.clear();
    EXPECT_EQ(json_walk(root.get(), path, 0, &result, &seen, collect), 0);
    EXPECT_EQ(seen.back(), "root/a/stop");

    // A path longer than the buffer is cut, never overrun.
    std::string k(1500, 'k');
    tree big(json_new(nullptr, json_object, k.c_str()));
    json_add_number(big.get(), k.c_str(), 1);
    seen.clear();
    EXPECT_EQ(json_walk(big.get(), path, 0, &result, &seen, collect), 1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].size(), json_path_size - 1);
}

TEST(JsonTree, MarkFailedReachesEveryAncestor) {
    tree root(json_new(nullptr, json_object, nullptr));
    json_node* a = json_add_object(root.get(), "a");
    json_node* b = json_add_array(a, "b");
    json_node* other = json_add_object(root.get(), "other");
    json_mark_failed(b);
    EXPECT_NE(b->flags & json_f_failed, 0u);
    EXPECT_NE(a->flags & json_f_failed, 0u);
    EXPECT_NE(root->flags & json_f_failed, 0u);
    EXPECT_EQ(other->flags & json_f_failed, 0u);
}

}  // namespace
}  // namespace ostrel
