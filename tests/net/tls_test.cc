#include "net/tls.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <thread>

#include "net/connection.h"
#include "net/net_error.h"
#include "net/net_test_support.h"
#include "test_servers.h"

namespace zb::net {
namespace {

using testservers::OpenFdCount;
using testservers::PythonServer;
using testservers::ScriptedServer;
using testservers::TestCerts;
using namespace std::chrono_literals;

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const auto& c = TestCerts();
    trusted_ = Start({"--implicit", "--cert", c.server_cert, "--key", c.server_key});
    self_signed_ = Start({"--implicit", "--cert", c.self_cert, "--key", c.self_key});
    starttls_ = Start({"--cert", c.server_cert, "--key", c.server_key});
  }
  static void TearDownTestSuite() {
    trusted_.reset();
    self_signed_.reset();
    starttls_.reset();
  }
  static std::unique_ptr<PythonServer> Start(std::vector<std::string> args) {
    return std::make_unique<PythonServer>("stream_server.py", args);
  }
  static TlsConfig TrustTestCa() {
    TlsConfig config;
    config.ca_file = TestCerts().ca;
    return config;
  }
  static Connection ConnectTls(uint16_t port, const TlsConfig& config,
                               const TlsSession& resume = {}, WaitControl w = {}) {
    Connection c(std::move(w));
    c.ConnectTls("127.0.0.1", port, TlsClient(config), resume);
    return c;
  }

  static std::unique_ptr<PythonServer> trusted_, self_signed_, starttls_;
};
std::unique_ptr<PythonServer> TlsTest::trusted_, TlsTest::self_signed_, TlsTest::starttls_;

TEST_F(TlsTest, MovesMegabytesBothWaysIntact) {
  constexpr size_t kSize = 4 << 20;
  Connection echo = ConnectTls(trusted_->port(), TrustTestCa());
  ASSERT_TRUE(echo.IsTls());
  testing::EchoRoundTrip(echo, kSize);
  Connection source = ConnectTls(trusted_->port(), TrustTestCa());
  testing::SourceRoundTrip(source, kSize);  // ends with the server's close alert
  Connection sink = ConnectTls(trusted_->port(), TrustTestCa());
  testing::SinkRoundTrip(sink, kSize);
  EXPECT_NO_THROW(sink.CloseOrderly());
  EXPECT_EQ(source.BytesRead(), kSize);
}

// An upload's end must be told from a cut: CloseOrderly sends the close
// alert, Close (an abort) does not.
TEST_F(TlsTest, OrderlyCloseIsToldFromACut) {
  PythonServer own("stream_server.py", {"--implicit", "--cert", TestCerts().server_cert, "--key",
                                        TestCerts().server_key});
  for (const bool orderly : {true, false}) {
    Connection c = ConnectTls(own.port(), TrustTestCa());
    testing::EchoRoundTrip(c, 1000);
    orderly ? c.CloseOrderly() : c.Close();
  }
  const auto count = [&own](const std::string& what) {
    const std::string log = own.Log();
    size_t n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  };
  for (int i = 0; i < 100 && count("ended") < 2; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(count("echo ended cleanly"), 1u) << own.Log();
  EXPECT_EQ(count("unexpected eof"), 1u) << own.Log();
}

TEST_F(TlsTest, UpgradesAnOpenConnection) {
  Connection c;
  c.Connect("127.0.0.1", starttls_->port());
  c.Write("STARTTLS\r\n");
  ASSERT_EQ(c.ReadLine(), "GO\r\n");
  c.StartTls(TlsClient(TrustTestCa()));
  EXPECT_TRUE(c.IsTls());
  testing::EchoRoundTrip(c, 1 << 20);
}

TEST_F(TlsTest, ShowsTheCertificateAsOpensslDoes) {
  Connection c = ConnectTls(trusted_->port(), TrustTestCa());
  const TlsPeerInfo peer = c.PeerCertificate();
  EXPECT_EQ(peer.sha256_fingerprint, testservers::OpensslFingerprint(TestCerts().server_cert));
  EXPECT_EQ(peer.subject, "CN = localhost");
  EXPECT_EQ(peer.issuer, "CN = Quillomar Test CA");
}

TEST_F(TlsTest, ChecksChainNameAndPin) {
  const std::string self_pin = testservers::OpensslFingerprint(TestCerts().self_cert);
  const std::string other_pin = testservers::OpensslFingerprint(TestCerts().server_cert);
  const auto pinned = [](std::string pin) {
    TlsConfig config;
    config.pinned_sha256 = std::move(pin);
    return config;
  };
  TlsConfig wrong_name = TrustTestCa();
  wrong_name.server_name = "wrong.example";
  std::string lower_pin;
  for (char ch : self_pin) {
    if (ch != ':') lower_pin += static_cast<char>(std::tolower(ch));
  }
  const struct {
    const char* name;
    PythonServer* server;  // null: the one on ::1
    TlsConfig config;
    std::string host;
    bool env_ca;          // trust the test CA through SSL_CERT_FILE
    std::string refusal;  // empty: accepted
  } cases[] = {
      {"CA file", trusted_.get(), TrustTestCa(), "127.0.0.1", false, ""},
      {"CA from SSL_CERT_FILE", trusted_.get(), {}, "127.0.0.1", true, ""},
      {"host name", trusted_.get(), TrustTestCa(), "localhost", false, ""},
      {"IPv6 address", nullptr, TrustTestCa(), "::1", false, ""},
      {"system store",
       trusted_.get(),
       {},
       "127.0.0.1",
       false,
       "unable to get local issuer certificate"},
      {"self-signed", self_signed_.get(), TrustTestCa(), "127.0.0.1", false,
       "self-signed certificate"},
      {"wrong name", trusted_.get(), wrong_name, "127.0.0.1", false, "hostname mismatch"},
      {"matching pin", self_signed_.get(), pinned(self_pin), "127.0.0.1", false, ""},
      {"pin in lower case", self_signed_.get(), pinned(lower_pin), "127.0.0.1", false, ""},
      {"other pin", self_signed_.get(), pinned(other_pin), "127.0.0.1", false,
       "is not the pinned " + other_pin},
  };
  std::unique_ptr<PythonServer> v6 =
      Start({"--host", "::1", "--implicit", "--cert", TestCerts().server_cert, "--key",
             TestCerts().server_key});
  for (const auto& c : cases) {
    const uint16_t port = (c.server != nullptr ? c.server : v6.get())->port();
    if (c.env_ca) ::setenv("SSL_CERT_FILE", TestCerts().ca.c_str(), 1);
    const TlsClient client(c.config);
    ::unsetenv("SSL_CERT_FILE");
    const size_t fds = OpenFdCount();
    Connection conn;
    try {
      conn.ConnectTls(c.host, port, client);
      EXPECT_EQ(c.refusal, "") << c.name << ": accepted";
      testing::EchoRoundTrip(conn, 1000);
    } catch (const ETlsError& e) {
      ASSERT_NE(c.refusal, "") << c.name << ": " << e.what();
      EXPECT_TRUE(e.VerificationFailed()) << c.name;
      EXPECT_NE(e.Reason().find(c.refusal), std::string::npos) << c.name << ": " << e.Reason();
      EXPECT_NE(std::string(e.what()).find(PeerName(c.host, port)), std::string::npos) << e.what();
      EXPECT_EQ(e.Peer().subject, "CN = localhost") << c.name;
      EXPECT_FALSE(conn.IsOpen()) << c.name;
      EXPECT_EQ(OpenFdCount(), fds) << c.name;
    }
  }
}

// FTPS data connections resume the control connection's session; under
// TLS 1.3 the session arrives only after the handshake.
TEST_F(TlsTest, ResumesASessionOnASecondConnection) {
  for (const TlsVersion version : {TlsVersion::kTls12, TlsVersion::kTls13}) {
    const char* name = version == TlsVersion::kTls12 ? "TLS 1.2" : "TLS 1.3";
    TlsConfig config = TrustTestCa();
    config.max_version = version;
    const TlsClient client(config);
    Connection first;
    first.ConnectTls("127.0.0.1", trusted_->port(), client);
    testing::EchoRoundTrip(first, 100);
    const TlsSession session = first.Session();
    ASSERT_FALSE(session.empty()) << name;

    Connection resumed, fresh;
    resumed.ConnectTls("127.0.0.1", trusted_->port(), client, session);
    fresh.ConnectTls("127.0.0.1", trusted_->port(), client);
    EXPECT_TRUE(resumed.SessionReused()) << name;
    EXPECT_FALSE(fresh.SessionReused()) << name;
    testing::EchoRoundTrip(resumed, 1000);
    first.Close();  // an abort must not spoil the session for the next one
    Connection after_abort;
    after_abort.ConnectTls("127.0.0.1", trusted_->port(), client, session);
    EXPECT_TRUE(after_abort.SessionReused()) << name;
  }
}

TEST_F(TlsTest, FailuresEndCleanly) {
  using Script = std::vector<ScriptedServer::Step>;
  testing::StopProbe probe(350ms);
  const auto handshake = [&](Script script, WaitControl w = {}) {
    ScriptedServer server(std::move(script));
    (void)ConnectTls(server.port(), TrustTestCa(), {}, std::move(w));
  };
  const auto dropped = [&](TlsConfig config) {
    Connection c = ConnectTls(trusted_->port(), config);
    c.Write("DROP\r\n");
    return c;
  };
  const struct {
    const char* name;
    std::function<void()> op;
  } cases[] = {
      {"handshake with a plain server",
       [&] {
         try {
           handshake({ScriptedServer::Send("220 plain text here\r\n")});
         } catch (const ETlsError& e) {
           EXPECT_FALSE(e.VerificationFailed()) << e.what();
           throw;
         }
       }},
      {"stop during the handshake",
       [&] { handshake({ScriptedServer::Stall(5000)}, probe.Control()); }},
      {"clear text after STARTTLS",
       [&] {
         ScriptedServer server(
             {ScriptedServer::Expect("STARTTLS"), ScriptedServer::Send("GO\r\nX")});
         Connection c;
         c.Connect("127.0.0.1", server.port());
         c.Write("STARTTLS\r\n");
         ASSERT_EQ(c.ReadLine(), "GO\r\n");
         c.StartTls(TlsClient(TrustTestCa()));
       }},
      {"peer gone mid-write",
       [&] {
         Connection c = dropped(TrustTestCa());
         const std::string mb(1 << 20, 'x');
         for (int i = 0; i < 256; ++i) c.Write(mb);
       }},
      {"end without a close alert",
       [&] {
         Connection c = dropped(TrustTestCa());
         std::byte b[16];
         (void)c.ReadSome(b);
       }},
  };
  for (const auto& c : cases) {
    const size_t fds = OpenFdCount();
    EXPECT_THROW(c.op(), ENetError) << c.name;
    EXPECT_EQ(OpenFdCount(), fds) << c.name;
  }
  EXPECT_LT(probe.LatencyMs(), 1000);
  std::printf("stop during the TLS handshake ended %.1f ms after the request\n", probe.LatencyMs());

  TlsConfig lenient = TrustTestCa();
  lenient.allow_unclean_close = true;
  Connection c = dropped(lenient);
  std::byte b[16];
  EXPECT_EQ(c.ReadSome(b), 0u);
}

}  // namespace
}  // namespace zb::net
