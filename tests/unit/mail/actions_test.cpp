// The actions that open, use and close a conversation, against a scripted
// server on a local port, and the settings that go into commands.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/mail.hpp"
#include "message/address.hpp"

namespace ostrel {
namespace {

struct handle_deleter {
    void operator()(mail_handle* h) const { mail_destroy(h); }
};
using handle_ptr = std::unique_ptr<mail_handle, handle_deleter>;

std::vector<std::pair<int, int>> g_events;
int record(void*, int event, int status, const char*) {
    g_events.emplace_back(event, status);
    return 0;
}

// One connection on a local port: greets, answers every command line with
// the next reply, records what came.
class scripted_server {
  public:
    explicit scripted_server(std::vector<std::string> replies) : replies_(std::move(replies)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 1);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~scripted_server() {
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }
    std::string got() const { return got_; }

  private:
    void serve() {
        timeval tv{5, 0};
        setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int c = accept(listener_, nullptr, nullptr);
        if (c < 0) return;
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        size_t next = 0;
        std::string pending;
        auto send_next = [&] {
            if (next < replies_.size()) {
                const std::string& r = replies_[next++];
                if (write(c, r.data(), r.size()) < 0) return;
            }
        };
        send_next();
        char buf[4096];
        bool in_data = false;
        while (next < replies_.size()) {
            ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0) break;
            got_.append(buf, static_cast<size_t>(n));
            pending.append(buf, static_cast<size_t>(n));
            for (size_t eol; (eol = pending.find("\r\n")) != std::string::npos;) {
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                if (in_data) {
                    if (line != ".") continue;  // the message itself
                    in_data = false;
                } else if (line == "data") {
                    in_data = true;
                }
                send_next();
            }
        }
        for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;)
            got_.append(buf, static_cast<size_t>(n));
        close(c);
    }
    std::vector<std::string> replies_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string got_;
};

handle_ptr message_handle(int port) {
    handle_ptr h(mail_create());
    mail_setopt(h.get(), mail_opt_host, "127.0.0.1", std::to_string(port).c_str());
    mail_setopt(h.get(), mail_opt_from, "me@example.org");
    mail_setopt(h.get(), mail_opt_recipient | mail_v_to, "you@example.org");
    mail_setopt(h.get(), mail_opt_body, "Hello");
    mail_set_callback(h.get(), mail_cb_event, reinterpret_cast<mail_any_cb>(record), nullptr);
    g_events.clear();
    return h;
}

TEST(MailActions, DeliverRunsTheWholeConversation) {
    scripted_server s({"220 mx\r\n", "250 mx\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
                       "250 queued\r\n", "221 bye\r\n"});
    handle_ptr h = message_handle(s.port());
    EXPECT_EQ(mail_setopt(h.get(), mail_act_deliver), 1);
    EXPECT_EQ(h->conn, nullptr);
    EXPECT_EQ(h->kept_reply, std::string("250 queued"));
    EXPECT_EQ(g_events.back(), (std::pair<int, int>{11, 1}));
    h.reset();
    EXPECT_NE(s.got().find("ehlo [127.0.0.1]\r\nmail from:<me@example.org>\r\n"),
              std::string::npos);
    EXPECT_NE(s.got().find("\r\n.\r\nquit\r\n"), std::string::npos);
}

TEST(MailActions, ConnectSendQuit) {
    scripted_server s({"220 mx\r\n", "250 mx\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n",
                       "250 queued\r\n", "221 bye\r\n"});
    handle_ptr h = message_handle(s.port());
    EXPECT_EQ(mail_setopt(h.get(), mail_act_connect), 1);
    EXPECT_TRUE(h->flags & mail_f_connected);
    EXPECT_EQ(mail_setopt(h.get(), mail_act_send), 1);
    EXPECT_EQ(mail_setopt(h.get(), mail_act_quit), 1);
    EXPECT_EQ(h->conn, nullptr);
    EXPECT_EQ(mail_setopt(h.get(), mail_act_quit), 0);
}

TEST(MailActions, WithoutAConversation) {
    handle_ptr h(mail_create());
    g_events.clear();
    mail_set_callback(h.get(), mail_cb_event, reinterpret_cast<mail_any_cb>(record), nullptr);
    EXPECT_EQ(mail_setopt(h.get(), mail_act_quit), 0);
    EXPECT_EQ(mail_setopt(h.get(), mail_act_deliver), 0);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(mail_setopt(h.get(), mail_act_send), 0);
    EXPECT_EQ(g_events, (std::vector<std::pair<int, int>>{{11, 4}}));
}

TEST(MailActions, RefusedConnectionIsEventOne) {
    // A bound port that does not listen refuses the connection.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    handle_ptr h = message_handle(port);
    EXPECT_EQ(mail_setopt(h.get(), mail_act_deliver), 0);
    close(s);
    EXPECT_EQ(g_events, (std::vector<std::pair<int, int>>{{1, 4}}));
    EXPECT_EQ(h->last_error, "Could not connect to [127.0.0.1]:" + std::to_string(port));
    EXPECT_EQ(h->conn, nullptr);
}

TEST(MailOptions, HostAndHeloRefuseControlBytes) {
    handle_ptr h(mail_create());
    EXPECT_EQ(mail_setopt(h.get(), mail_opt_host, "mx.example", "25"), 1);
    EXPECT_EQ(mail_setopt(h.get(), mail_opt_host, "mx.example\r\nrset", "25"), 0);
    EXPECT_EQ(h->host, std::string("mx.example"));
    EXPECT_EQ(mail_setopt(h.get(), mail_opt_helo, "client"), 1);
    EXPECT_EQ(mail_setopt(h.get(), mail_opt_helo, "client\nrset"), 0);
    EXPECT_EQ(mail_setopt(h.get(), mail_opt_helo, "a\tb"), 0);
    EXPECT_EQ(h->helo, std::string("client"));
}

}  // namespace
}  // namespace ostrel
