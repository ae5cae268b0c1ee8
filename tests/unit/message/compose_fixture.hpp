// Helpers for the message writer tests: exact output capture through a sink,
// temporary input files and an event recorder.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/handle.hpp"

namespace ostrel::compose_test {

// Runs fn(sink, ctx) with a growable string as the sink and returns the
// exact bytes, NUL bytes included.
template <typename F>
std::string capture(F fn) {
    str_buf b;
    fn(fmt_sink_str_buf, static_cast<void*>(&b));
    EXPECT_EQ(b.flags, 0u) << "the sink lost text";
    std::string out(b.data ? b.data : "", b.length);
    str_buf_release(&b);
    return out;
}

// A scratch directory removed with its files at the end of the test.
class scratch_dir {
  public:
    scratch_dir() {
        char tmpl[] = "/tmp/ostrel-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    ~scratch_dir() {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
    std::string file(const std::string& name, const std::string& content) const {
        std::string path = dir_ + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return path;
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

// Adds an entry for a new file of that name and content; returns it.
inline mime_attachment& add_attachment(mail_handle& h, const scratch_dir& dir,
                                       const std::string& name, const std::string& content,
                                       uint32_t encoding, uint32_t is_inline) {
    mime_attachment a;
    a.path = dir.file(name, content);
    a.display_name = name;
    a.encoding = encoding;
    a.is_inline = is_inline;
    h.attachments.push_back(a);
    return h.attachments.back();
}

struct event_record {
    int event;
    int status;
    std::string text;
};

inline int record_event(void* user, int event, int status, const char* text) {
    static_cast<std::vector<event_record>*>(user)->push_back({event, status, text ? text : ""});
    return 0;
}

inline void watch_events(mail_handle& h, std::vector<event_record>& events) {
    h.event_cb = record_event;
    h.event_user = &events;
}

inline std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = s.find("\r\n", start);
        if (end == std::string::npos) {
            if (start < s.size()) lines.push_back(s.substr(start));
            return lines;
        }
        lines.push_back(s.substr(start, end - start));
        start = end + 2;
    }
}

inline bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// What a receiver does with a dot-stuffed stream: the first "." of each
// line removed.
inline std::string unstuffed(const std::string& in) {
    std::string out;
    bool line_start = true;
    for (char c : in) {
        if (!(line_start && c == '.')) out += c;
        line_start = c == '\n';
    }
    return out;
}

}  // namespace ostrel::compose_test
