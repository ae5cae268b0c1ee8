// TLS client against openssl s_server on 127.0.0.1 with a test CA made at
// test time, TLS 1.2 and 1.3; and against peers that stall or inject bytes.
#include "net/tls.hpp"

#include <gtest/gtest.h>
#include <tls.h>

#include <chrono>
#include <future>
#include <regex>

#include "net/io.hpp"
#include "net_peers.hpp"

namespace ostrel {
namespace {

using namespace test;

// Each test builds the process-wide client configuration from its own start.
class TlsClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ip_init(1);
        reset_config();
    }
    void TearDown() override { reset_config(); }
    static void reset_config() {
        if (ip_tls_client_config) tls_config_free(ip_tls_client_config);
        ip_tls_client_config = nullptr;
        ip_ca_dir[0] = 0;
    }
    // Starts s_server with one of "-tls1_2", "-tls1_3"; returns its port.
    int start_server(peer_process& p, const std::string& proto, const std::string& cert,
                     const std::string& key) {
        std::string ossl = need_program("openssl");
        if (ossl.empty()) return 0;
        if (!p.start({ossl, "s_server", "-accept", "127.0.0.1:0", "-cert", cert, "-key", key, proto,
                      "-rev", "-naccept", "1"}))
            return 0;
        if (!p.wait_output("ACCEPT 127.0.0.1:", 10000) || !p.wait_output("\n", 2000)) {
            ADD_FAILURE() << "s_server did not start: " << p.output();
            return 0;
        }
        std::smatch m;
        std::regex_search(p.output(), m, std::regex("ACCEPT 127\\.0\\.0\\.1:(\\d+)"));
        return std::stoi(m[1]);
    }
};

struct server_case {
    const char* name;
    const char* proto;
    bool self_signed;
    int verify;
    int ca;  // 0 none, 1 cert.pem, 2 certs/
    bool ok;
    const char* version;
};

TEST_F(TlsClient, AgainstOpensslServer) {
    const server_case cases[] = {
        {"1.2, CA file, verified", "-tls1_2", false, 1, 1, true, "TLSv1.2"},
        {"1.3, CA path, verified", "-tls1_3", false, 1, 2, true, "TLSv1.3"},
        {"1.3, self-signed, verified", "-tls1_3", true, 1, 1, false, nullptr},
        {"1.2, self-signed, verified", "-tls1_2", true, 1, 1, false, nullptr},
        {"1.3, self-signed, not verified", "-tls1_3", true, 0, 0, true, "TLSv1.3"},
        {"1.2, self-signed, not verified", "-tls1_2", true, 0, 0, true, "TLSv1.2"},
    };
    const auto& k = pki();
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        reset_config();
        if (t.ca) {
            const std::string& dir = t.ca == 1 ? k.ca_dir : k.ca_hashed_dir;
            ASSERT_EQ(ip_set_ca_dir(dir.c_str()), 1);
        }
        peer_process p;
        int port = start_server(p, t.proto, t.self_signed ? k.self_cert : k.server_cert,
                                t.self_signed ? k.self_key : k.server_key);
        ASSERT_NE(port, 0);
        auto c = connect_local(port, 10000, 300);
        trace_log log;
        log.attach(c.get(), ip_f_trace);
        const char* err = nullptr;
        int rc = ip_tls_start(c.get(), 0, &err, "localhost", t.verify, nullptr, nullptr);
        ASSERT_EQ(rc, t.ok ? 1 : 0) << (err ? err : "");
        char info[256];
        if (!t.ok) {
            // The library's own text, kept by the connection.
            ASSERT_NE(err, nullptr);
            EXPECT_NE(std::string(err), "");
            ASSERT_TRUE(c->error_text.has_value());
            EXPECT_EQ(err, c->error_text->c_str());
            ip_disconnect(c.get());
            EXPECT_FALSE(c->error_text.has_value());
            continue;
        }
        ip_tls_info(c.get(), info, sizeof info);
        EXPECT_TRUE(std::regex_match(
            info, std::regex(std::string("version=") + t.version + ", cipher=[A-Z0-9_-]+")))
            << info;
        EXPECT_TRUE(log.has(-1, std::string("TLS negotiation complete (") + info + ")\n"));
        EXPECT_EQ(c->timeout_ms, 300000);  // the handshake's cap is lifted again
        // Data both ways through the context.
        ip_printf(c.get(), "hello tls\n");
        const char* back = ip_readline(c.get(), "\n", 1);
        ASSERT_NE(back, nullptr);
        EXPECT_STREQ(back, "slt olleh");
        ip_disconnect(c.get());
        EXPECT_EQ(c->tls, nullptr);
    }
}

struct setting_case {
    const char* name;
    bool self_signed;
    int verify;
    const char* server_name;
    const char* protocols;
    const char* ciphers;
    bool ok;
    const char* info;  // the full text of ip_tls_info, or NULL: not checked
};

// The first start's verify, protocol and cipher arguments reach libtls.
TEST_F(TlsClient, SettingsReachTheLibrary) {
    const setting_case cases[] = {
        {"name unchecked without verification", true, 0, "other.example", nullptr, nullptr, true,
         nullptr},
        {"name checked with verification", false, 1, "other.example", nullptr, nullptr, false,
         nullptr},
        {"protocol text", false, 0, "localhost", "tlsv1.2", nullptr, true, nullptr},
        {"cipher text", false, 0, "localhost", "tlsv1.2", "ECDHE-ECDSA-AES128-GCM-SHA256", true,
         "version=TLSv1.2, cipher=ECDHE-ECDSA-AES128-GCM-SHA256"},
    };
    const auto& k = pki();
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        reset_config();
        ASSERT_EQ(ip_set_ca_dir(k.ca_dir.c_str()), 1);
        peer_process p;
        // The server offers TLS 1.2 and 1.3 with its default ciphers.
        int port = start_server(p, "-no_ssl3", t.self_signed ? k.self_cert : k.server_cert,
                                t.self_signed ? k.self_key : k.server_key);
        ASSERT_NE(port, 0);
        auto c = connect_local(port);
        const char* err = nullptr;
        ASSERT_EQ(ip_tls_start(c.get(), 0, &err, t.server_name, t.verify, t.protocols, t.ciphers),
                  t.ok ? 1 : 0)
            << (err ? err : "");
        if (!t.ok) continue;
        char info[256];
        ip_tls_info(c.get(), info, sizeof info);
        if (t.info) {
            EXPECT_STREQ(info, t.info);
        }
        if (t.protocols) {
            EXPECT_EQ(std::string(info).rfind("version=TLSv1.2, ", 0), 0u) << info;
        }
    }
}

TEST_F(TlsClient, InfoIsCutToTheBuffer) {
    const auto& k = pki();
    peer_process p;
    int port = start_server(p, "-tls1_2", k.self_cert, k.self_key);
    auto c = connect_local(port);
    ASSERT_EQ(ip_tls_start(c.get(), 0, nullptr, "localhost", 0, nullptr, nullptr), 1);
    char info[12];
    EXPECT_STREQ(ip_tls_info(c.get(), info, sizeof info), "version=TLS");
}

TEST_F(TlsClient, FirstStartSettingsHoldForTheProcess) {
    const auto& k = pki();
    {
        peer_process p;
        int port = start_server(p, "-tls1_3", k.self_cert, k.self_key);
        auto c = connect_local(port);
        ASSERT_EQ(ip_tls_start(c.get(), 0, nullptr, "localhost", 0, nullptr, nullptr), 1);
    }
    peer_process p;
    int port = start_server(p, "-tls1_3", k.self_cert, k.self_key);
    auto c = connect_local(port);
    // Verification asked now, but the configuration of the first start holds.
    const char* err = nullptr;
    EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 1, "tlsv1.2", "secure"), 1)
        << (err ? err : "");
}

TEST_F(TlsClient, ConfigurationFailures) {
    peer_process p;
    int port = start_script_peer(p, R"([{"hold":3}])", "");
    auto c = connect_local(port);
    trace_log log;
    log.attach(c.get(), ip_f_trace);
    const char* err = nullptr;
    // Verification without any CA source.
    ASSERT_EQ(ip_set_ca_dir(pki().empty_dir.c_str()), 1);
    EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 1, nullptr, nullptr), 0);
    EXPECT_STREQ(err, "Unable to set CA path");
    EXPECT_TRUE(log.has(-1, "Unable to set CA path"));
    EXPECT_EQ(ip_tls_client_config, nullptr);

    EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 0, nullptr, "no-such-cipher"), 0);
    EXPECT_STREQ(err, "tls_config_set_ciphers() failed");
    EXPECT_EQ(ip_tls_client_config, nullptr);  // built anew next time
    EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 0, "tls9", nullptr), 0);
    EXPECT_STREQ(err, "tls_config_parse_protocols() failed");
    EXPECT_EQ(ip_tls_client_config, nullptr);
    EXPECT_EQ(ip_set_ca_dir("/no/such/dir"), 0);

    // Every failure released the TLS lock: another thread gets it at once.
    ASSERT_NE(ip_tls_lock, nullptr);
    auto other = std::async(std::launch::async, [&] {
        const char* e = nullptr;
        return ip_tls_start(c.get(), 0, &e, "localhost", 0, nullptr, "no-such-cipher");
    });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(other.get(), 0);
}

// A failed CA set-up keeps no configuration: later starts set it up again
// instead of verifying against the library's default store.
TEST_F(TlsClient, FailedCaSetUpIsNotKept) {
    const auto& k = pki();
    struct step {
        const std::string& ca_dir;
        int rc;
        const char* err;
    };
    const step steps[] = {
        {k.empty_dir, 0, "Unable to set CA path"},
        {k.empty_dir, 0, "Unable to set CA path"},
        {k.ca_dir, 1, nullptr},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.ca_dir);
        ASSERT_EQ(ip_set_ca_dir(s.ca_dir.c_str()), 1);
        peer_process p;
        int port = start_server(p, "-tls1_3", k.server_cert, k.server_key);
        ASSERT_NE(port, 0);
        auto c = connect_local(port);
        const char* err = nullptr;
        EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 1, nullptr, nullptr), s.rc)
            << (err ? err : "");
        if (s.err) {
            EXPECT_STREQ(err, s.err);
            EXPECT_EQ(ip_tls_client_config, nullptr);
        }
    }
}

// Each wait of the handshake lasts five seconds at most, even when the
// connection's time-out is 300 seconds; and a server that drips its records
// a byte at a time, each well within every wait, is held to the time-out for
// the whole handshake.
TEST_F(TlsClient, HandshakeIsBoundedPerWaitAndAsAWhole) {
    struct {
        const char* name;
        std::string script;
        int timeout_s;
        int min_ms, max_ms;
    } cases[] = {
        {"silent server, five seconds", R"([{"hold":10}])", 300, 4900, 8000},
        // A handshake record header that promises 16 KiB, then its bytes, slowly.
        {"trickled handshake, the time-out",
         R"([{"trickle":"1603034000)" + std::string(80, '0') + R"(","every":0.4}])", 2, 1900, 3500},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        peer_process p;
        int port = start_script_peer(p, k.script, "");
        auto c = connect_local(port, 1000, k.timeout_s);
        const char* err = nullptr;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 0, nullptr, nullptr), 0);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_STREQ(err, "tls_handskake() timeout");
        EXPECT_GE(took, std::chrono::milliseconds(k.min_ms));
        EXPECT_LT(took, std::chrono::milliseconds(k.max_ms));
        EXPECT_TRUE(ip_timed_out(c.get()));
        EXPECT_EQ(c->timeout_ms, k.timeout_s * 1000);  // restored on the failure path too
        EXPECT_EQ(c->deadline, 0);
    }
}

TEST_F(TlsClient, ClosingPeerFailsHandshakeWithText) {
    peer_process p;
    int port =
        start_script_peer(p, R"([{"read":5},{"send":"garbage not tls\r\n"},{"close":true}])", "");
    auto c = connect_local(port, 1000, 300);
    const char* err = nullptr;
    EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 0, nullptr, nullptr), 0);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err), "");
    EXPECT_EQ(c->timeout_ms, 300000);
    EXPECT_FALSE(ip_timed_out(c.get()));
}

TEST_F(TlsClient, BytesInjectedBeforeStartAreRefused) {
    peer_process p;
    int port =
        start_script_peer(p, R"([{"send":"220 go ahead\r\n250 injected\r\n"},{"hold":3}])", "");
    auto c = connect_local(port);
    const char* line = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "220 go ahead");
    const char* err = nullptr;
    EXPECT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 0, nullptr, nullptr), 0);
    EXPECT_STREQ(err, "Unread data before TLS negotiation");
    EXPECT_EQ(c->tls, nullptr);
}

TEST_F(TlsClient, DisconnectFromSilentPeerIsBounded) {
    const auto& k = pki();
    peer_process p;
    std::string script = R"([{"tls":[")" + k.self_cert + R"(",")" + k.self_key +
                         R"("]},{"send":"220 over tls\r\n"},{"hold":15}])";
    int port = start_script_peer(p, script, "");
    auto c = connect_local(port, 1000, 300);
    const char* err = nullptr;
    ASSERT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 0, nullptr, nullptr), 1)
        << (err ? err : "");
    const char* line = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "220 over tls");
    ip_set_timeout(c.get(), 2);
    auto start = std::chrono::steady_clock::now();
    ip_disconnect(c.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(c->tls, nullptr);
    EXPECT_EQ(c->sock, -1);
}

TEST_F(TlsClient, DisconnectFromPeerThatStopsReadingIsBounded) {
    const auto& k = pki();
    peer_process p;
    std::string script =
        R"([{"tls":[")" + k.self_cert + R"(",")" + k.self_key + R"("]},{"hold":15}])";
    int port = start_script_peer(p, script, "");
    auto c = connect_local(port, 1000, 1);
    ASSERT_EQ(ip_tls_start(c.get(), 0, nullptr, "localhost", 0, nullptr, nullptr), 1);
    // Fill every buffer on the way until a write waits in vain.
    std::string block(16384, 'w');
    int result = 1;
    for (int i = 0; i < 2000 && result; ++i) result = ip_write(c.get(), block.data(), 16384);
    ASSERT_EQ(result, 0);
    auto start = std::chrono::steady_clock::now();
    ip_disconnect(c.get());  // tls_close wants the socket writable: one wait, then it gives up
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_EQ(c->sock, -1);
}

TEST_F(TlsClient, WritesToAClosedPeerFailWithoutEndingTheProcess) {
    const auto& k = pki();
    peer_process p;
    std::string script =
        R"([{"tls":[")" + k.self_cert + R"(",")" + k.self_key + R"("]},{"close":true}])";
    int port = start_script_peer(p, script, "");
    auto c = connect_local(port);
    ASSERT_EQ(ip_tls_start(c.get(), 0, nullptr, "localhost", 0, nullptr, nullptr), 1);
    ASSERT_TRUE(p.wait_exit(5000));
    std::string block(16384, 'w');
    int result = 1;
    for (int i = 0; i < 50 && result; ++i) result = ip_write(c.get(), block.data(), 16384);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
}

TEST_F(TlsClient, InfoWithoutTlsAndLibraryVersion) {
    ip_conn_ptr c(ip_conn_new(ip_stream, 100, ip_f_wait));
    char buf[64] = "junk";
    EXPECT_STREQ(ip_tls_info(c.get(), buf, sizeof buf), "");
    EXPECT_EQ(std::string(ip_tls_library_version()).rfind("OpenSSL ", 0), 0u);
}

}  // namespace
}  // namespace ostrel
