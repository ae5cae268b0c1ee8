// A small JSON reader over the parse actions, for tests and fuzzing: it
// tokenizes and drives the actions, which the library leaves to its users.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "json/parse.hpp"
#include "support/fmt.hpp"

namespace ostrel::test {

// A parse context with its own stack area; frees what it still holds.
struct json_reader_ctx {
    std::unique_ptr<json_node[]> area{new json_node[json_stack_size / sizeof(json_node)]};
    json_parse_ctx ctx;
    json_reader_ctx() { ctx.stack = area.get(); }
    ~json_reader_ctx() {
        json_parse_reset(&ctx);
        json_delete(ctx.root);
    }
    json_reader_ctx(const json_reader_ctx&) = delete;
    json_reader_ctx& operator=(const json_reader_ctx&) = delete;
};

class json_reader {
  public:
    // Reads the whole text into ctx->root; false with ctx->error set when the
    // text is no JSON (or the actions failed), and then root stays NULL.
    static bool read(std::string_view text, json_parse_ctx* ctx) {
        json_reader r(text, ctx);
        bool ok = r.run();
        if (!ok || ctx->error) {
            if (!ctx->error) str_set_printf(&ctx->error, "%s", "Invalid JSON");
            json_delete(ctx->root);
            ctx->root = nullptr;
            return false;
        }
        return true;
    }

  private:
    struct open_list {
        bool object;
        bool has_elements = false;
        char* key = nullptr;  // an Object's pending member name
    };
    std::string_view t_;
    size_t pos_ = 0;
    json_parse_ctx* ctx_;
    std::vector<open_list> open_;

    json_reader(std::string_view text, json_parse_ctx* ctx) : t_(text), ctx_(ctx) {}
    ~json_reader() {
        for (auto& o : open_) std::free(o.key);
    }

    bool fail(const char* what) {
        str_set_printf(&ctx_->error, "%s at %zu", what, pos_);
        return false;
    }
    void skip_space() {
        while (pos_ < t_.size() &&
               (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r'))
            ++pos_;
    }
    bool at(char c) { return pos_ < t_.size() && t_[pos_] == c; }
    static char* copy(std::string_view s) {
        auto* p = static_cast<char*>(std::malloc(s.size() + 1));
        if (!p) return nullptr;
        std::memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
        return p;
    }

    // The raw text between the quotes, escapes still in it.
    bool string_token(char** out) {
        size_t start = ++pos_;
        while (pos_ < t_.size() && t_[pos_] != '"') {
            auto c = static_cast<unsigned char>(t_[pos_]);
            if (c < 0x20) return fail("Control character in string");
            pos_ += c == '\\' ? 2 : 1;
        }
        if (pos_ >= t_.size()) return fail("Unterminated string");
        std::string_view raw = t_.substr(start, pos_ - start);
        if (!valid_escapes(raw)) return fail("Invalid escape");
        *out = copy(raw);
        ++pos_;
        return *out ? true : fail("Out of memory");
    }

    static long hex4(std::string_view s, size_t i) {
        if (i + 4 > s.size()) return -1;
        long v = 0;
        for (size_t k = i; k < i + 4; ++k) {
            char c = s[k];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }
    // JSON's escapes only, and surrogates only in pairs.
    static bool valid_escapes(std::string_view s) {
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '\\') continue;
            if (++i >= s.size()) return false;
            if (std::strchr("\"\\/bfnrt", s[i]) && s[i]) continue;
            if (s[i] != 'u') return false;
            long cp = hex4(s, i + 1);
            if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
            i += 4;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (i + 2 >= s.size() || s[i + 1] != '\\' || s[i + 2] != 'u') return false;
                long low = hex4(s, i + 3);
                if (low < 0xDC00 || low > 0xDFFF) return false;
                i += 6;
            }
        }
        return true;
    }

    static bool digits(std::string_view s, size_t* i) {
        size_t from = *i;
        while (*i < s.size() && s[*i] >= '0' && s[*i] <= '9') ++*i;
        return *i > from;
    }
    bool number_token(char** out) {
        size_t start = pos_, i = pos_;
        if (i < t_.size() && t_[i] == '-') ++i;
        if (i < t_.size() && t_[i] == '0')
            ++i;
        else if (!digits(t_, &i))
            return fail("Invalid number");
        if (i < t_.size() && t_[i] == '.' && (++i, !digits(t_, &i))) return fail("Invalid number");
        if (i < t_.size() && (t_[i] == 'e' || t_[i] == 'E')) {
            ++i;
            if (i < t_.size() && (t_[i] == '+' || t_[i] == '-')) ++i;
            if (!digits(t_, &i)) return fail("Invalid number");
        }
        pos_ = i;
        *out = copy(t_.substr(start, i - start));
        return *out ? true : fail("Out of memory");
    }

    // A scalar value pushed, or a list opened (then *opened is set).
    bool value(bool* opened) {
        *opened = false;
        skip_space();
        if (pos_ >= t_.size()) return fail("Unexpected end");
        char c = t_[pos_];
        char* tok = nullptr;
        if (c == '{' || c == '[') {
            // Lists nest no deeper than the stack could hold their elements.
            if (open_.size() >= json_stack_size / sizeof(json_node)) {
                str_set_printf(&ctx_->error, "%s", "Stack overflow");
                return false;
            }
            open_.push_back({c == '{'});
            ++pos_;
            *opened = true;
            return true;
        }
        if (c == '"') {
            if (!string_token(&tok)) return false;
            json_stack_push_value(ctx_, json_string, tok);
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            if (!number_token(&tok)) return false;
            json_stack_push_value(ctx_, json_number, tok);
        } else {
            size_t start = pos_;
            while (pos_ < t_.size() && t_[pos_] >= 'a' && t_[pos_] <= 'z') ++pos_;
            std::string_view word = t_.substr(start, pos_ - start);
            uint32_t type = word == "null" ? json_null : json_boolean;
            if (word != "true" && word != "false" && word != "null") {
                pos_ = start;
                return fail("Unexpected token");
            }
            if (!(tok = copy(word))) return fail("Out of memory");
            json_stack_push_value(ctx_, type, tok);
        }
        return !ctx_->error;
    }

    // Names the value just finished as an element of the innermost list.
    bool element_done() {
        open_list& o = open_.back();
        if (o.object) {
            json_stack_set_key(ctx_, o.key);
            o.key = nullptr;
        }
        if (!o.has_elements) json_stack_mark_list(ctx_);
        o.has_elements = true;
        return !ctx_->error;
    }

    bool member_name() {
        skip_space();
        if (!at('"')) return fail("Expected member name");
        char* raw = nullptr;
        if (!string_token(&raw)) return false;
        char* key = static_cast<char*>(std::malloc(2 * std::strlen(raw) + 1));
        if (!key) {
            std::free(raw);
            return fail("Out of memory");
        }
        json_unescape(raw, key);
        std::free(raw);
        open_.back().key = key;
        skip_space();
        if (!at(':')) return fail("Expected ':'");
        ++pos_;
        return true;
    }

    bool run() {
        bool need_value = true;
        for (;;) {
            if (need_value) {
                bool opened;
                if (!value(&opened)) return false;
                if (opened) {
                    skip_space();
                    char close = open_.back().object ? '}' : ']';
                    if (!at(close)) {
                        if (open_.back().object && !member_name()) return false;
                        continue;  // the first element
                    }
                    // An empty list closes at once, below.
                } else {
                    need_value = false;
                    if (!open_.empty() && !element_done()) return false;
                    if (open_.empty()) break;
                }
            }
            skip_space();
            open_list& o = open_.back();
            char close = o.object ? '}' : ']';
            if (at(',') && o.has_elements) {
                ++pos_;
                if (o.object && !member_name()) return false;
                need_value = true;
                continue;
            }
            if (!at(close))
                return fail(pos_ >= t_.size() ? "Unclosed list" : "Expected ',' or end of list");
            ++pos_;
            bool object = o.object, has = o.has_elements;
            open_.pop_back();
            if (!json_stack_reduce(ctx_, object ? json_object : json_array, has)) return false;
            need_value = false;
            if (open_.empty()) break;
            if (!element_done()) return false;
        }
        skip_space();
        if (pos_ != t_.size()) return fail("Text after the document");
        json_parse_finish(ctx_);
        return !ctx_->error && ctx_->root;
    }
};

}  // namespace ostrel::test
