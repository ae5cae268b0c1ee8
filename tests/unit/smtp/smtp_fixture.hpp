// A handle talking to a scripted server over a socket pair: the server's
// replies are written before the client runs (there is no pipelining, so the
// client reads exactly one reply per command), and what the client sent is
// read afterwards. Events are recorded, and verdicts come from a table.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "model/handle.hpp"
#include "net/conn.hpp"

namespace ostrel::test {

struct event_record {
    int event;
    int status;
    std::string text;  // "(null)" for NULL
    bool operator==(const event_record&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const event_record& e) {
    return os << "{" << e.event << ", " << e.status << ", \"" << e.text << "\"}";
}

struct smtp_fixture {
    mail_handle h;
    int server = -1;
    std::vector<event_record> events;
    // Verdict by (event, status); 0 when absent.
    std::map<std::pair<int, int>, int> verdicts;

    static int on_event(void* user, int event, int status, const char* text) {
        auto* f = static_cast<smtp_fixture*>(user);
        f->events.push_back({event, status, text ? text : "(null)"});
        auto it = f->verdicts.find({event, status});
        return it == f->verdicts.end() ? 0 : it->second;
    }

    // replies: what the server says, all of it, before the client runs.
    // close_after: the server end stops writing after them.
    explicit smtp_fixture(const std::string& replies, bool close_after = false, int timeout_s = 5) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        server = fds[1];
        ip_conn* c = ip_conn_new(ip_stream, 10000, ip_f_wait);
        c->sock = fds[0];
        fcntl(c->sock, F_SETFL, fcntl(c->sock, F_GETFL) | O_NONBLOCK);
        ip_set_timeout(c, timeout_s);
        h.conn = c;
        h.flags = mail_f_connected;
        h.event_cb = on_event;
        h.event_user = this;
        say(replies);
        if (close_after) shutdown(server, SHUT_WR);
    }
    ~smtp_fixture() {
        if (h.conn) {
            ip_disconnect(h.conn);
            ip_conn_free(h.conn);
        }
        if (server >= 0) close(server);
    }
    void say(const std::string& text) const {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(server, text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    // Everything the client sent so far.
    std::string sent() const {
        std::string out;
        char buf[65536];
        fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
        for (ssize_t n; (n = read(server, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    bool connected() const { return (h.flags & mail_f_connected) != 0; }
};

}  // namespace ostrel::test
