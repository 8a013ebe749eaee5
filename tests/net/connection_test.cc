#include "net/connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "net/listener.h"
#include "net/net_error.h"
#include "net/net_test_support.h"
#include "net/reply.h"
#include "test_servers.h"

namespace zb::net {
namespace {

using testing::StopProbe;
using testservers::OpenFdCount;
using testservers::PythonServer;
using testservers::ScriptedServer;
using namespace std::chrono_literals;

// A listener whose queue is full: a connect to it neither completes nor
// fails, as with a host that drops every packet.
class FullBacklog {
 public:
  FullBacklog() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(fd_, 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    for (int i = 0; i < 3; ++i) {
      fillers_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      (void)::connect(fillers_.back(), reinterpret_cast<sockaddr*>(&a), len);
    }
  }
  ~FullBacklog() {
    for (int f : fillers_) ::close(f);
    ::close(fd_);
  }
  [[nodiscard]] uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_;
  std::vector<int> fillers_;
};

class ConnectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plain_ = std::make_unique<PythonServer>("stream_server.py", std::vector<std::string>{});
  }
  static void TearDownTestSuite() { plain_.reset(); }

  static Connection ConnectTo(uint16_t port, WaitControl w = {}) {
    Connection c(std::move(w));
    c.Connect("127.0.0.1", port);
    return c;
  }

  static std::unique_ptr<PythonServer> plain_;
};
std::unique_ptr<PythonServer> ConnectionTest::plain_;

TEST_F(ConnectionTest, MovesMegabytesBothWaysIntact) {
  constexpr size_t kSize = 4 << 20;
  Connection echo = ConnectTo(plain_->port());
  testing::EchoRoundTrip(echo, kSize);
  EXPECT_EQ(echo.BytesWritten(), kSize + 6);
  EXPECT_EQ(echo.BytesRead(), kSize);
  Connection source = ConnectTo(plain_->port());
  testing::SourceRoundTrip(source, kSize);
  Connection sink = ConnectTo(plain_->port());
  testing::SinkRoundTrip(sink, kSize);
  sink.CloseOrderly();
  EXPECT_FALSE(sink.IsOpen());
}

TEST_F(ConnectionTest, ReachesNamesAndIpv6) {
  Connection by_name;
  by_name.Connect("localhost", plain_->port());  // through the lookup thread
  testing::EchoRoundTrip(by_name, 1000);

  PythonServer v6("stream_server.py", {"--host", "::1"});
  Connection c;
  c.Connect("::1", v6.port());
  EXPECT_TRUE(c.PeerEndpoint().ipv6);
  EXPECT_EQ(c.PeerEndpoint().ToString(), "[::1]:" + std::to_string(v6.port()));
  EXPECT_EQ(c.LocalEndpoint().address, "::1");
  testing::EchoRoundTrip(c, 100000);
}

// Each operation that waits, stopped from the caller's stop check 350 ms
// in; the stop must end it well within a second.
TEST_F(ConnectionTest, StopEndsEveryWaitPromptly) {
  // Shared, not borrowed: the lookup thread outlives the stopped wait.
  const auto release = std::make_shared<std::atomic<bool>>(false);
  const LookupFunction hanging = [release](const std::string&, uint16_t) {
    for (int i = 0; i < 500 && !*release; ++i) std::this_thread::sleep_for(10ms);
    return std::vector<Endpoint>{{"127.0.0.1", 1, false}};
  };
  FullBacklog full;
  ScriptedServer silent({ScriptedServer::Stall(10000)});
  ScriptedServer not_reading({ScriptedServer::Stall(10000)});
  Listener listener;
  listener.Open("127.0.0.1");

  const struct {
    const char* name;
    std::function<void(WaitControl)> op;
  } cases[] = {
      {"resolve",
       [&](WaitControl w) {
         Pacer p(std::move(w));
         (void)ResolveWith(hanging, "slow.test", 21, p);
       }},
      {"connect", [&](WaitControl w) { (void)ConnectTo(full.port(), std::move(w)); }},
      {"read", [&](WaitControl w) { (void)ConnectTo(silent.port(), std::move(w)).ReadLine(); }},
      {"write",
       [&](WaitControl w) {
         Connection c = ConnectTo(not_reading.port(), std::move(w));
         const std::string mb(1 << 20, 'x');
         for (int i = 0; i < 1000; ++i) c.Write(mb);
       }},
      {"accept",
       [&](WaitControl w) {
         Listener l(std::move(w));
         l.Open("127.0.0.1");
         (void)l.Accept("127.0.0.1");
       }},
  };
  for (const auto& c : cases) {
    StopProbe probe(350ms);
    EXPECT_THROW(c.op(probe.Control()), ENetStopped) << c.name;
    std::printf("stop during %-7s ended %.1f ms after the request; longest pump gap %.1f ms\n",
                c.name, probe.LatencyMs(), probe.MaxPumpGapMs());
    EXPECT_LT(probe.LatencyMs(), 1000) << c.name;
    EXPECT_LT(probe.MaxPumpGapMs(), 400) << c.name;
  }
  *release = true;
}

TEST_F(ConnectionTest, SilentPeerTimesOut) {
  ScriptedServer silent({ScriptedServer::Stall(5000)});
  WaitControl w;
  w.timeout = 300ms;
  Connection c = ConnectTo(silent.port(), w);
  const auto start = testing::Clock::now();
  EXPECT_THROW((void)c.ReadLine(), ENetTimeout);
  const auto took = testing::Clock::now() - start;
  EXPECT_GE(took, 290ms);
  EXPECT_LT(took, 1000ms);
  EXPECT_TRUE(c.IsOpen()) << "a time-out leaves the connection to the caller";
}

// A window's Abort button closes, or drops, the connection the operation is
// waiting on, from inside the pump.
TEST_F(ConnectionTest, PumpMayCloseOrDestroyTheWaitingConnection) {
  ScriptedServer first({ScriptedServer::Stall(5000)});
  ScriptedServer second({ScriptedServer::Stall(5000)});
  Connection* target = nullptr;
  WaitControl closing;
  closing.pump = [&target] { target->Close(); };
  Connection c = ConnectTo(first.port(), closing);
  target = &c;
  EXPECT_THROW((void)c.ReadLine(), ENetStopped);
  EXPECT_FALSE(c.IsOpen());

  std::unique_ptr<Connection> owned;
  WaitControl dropping;
  dropping.pump = [&owned] { owned.reset(); };
  owned = std::make_unique<Connection>(dropping);
  owned->Connect("127.0.0.1", second.port());
  Connection* raw = owned.get();
  EXPECT_THROW((void)raw->ReadLine(), ENetStopped);
  EXPECT_EQ(owned, nullptr);

  // Stop, then connect again at once, as the FTP window does: the old wait
  // must not go on with the new socket.
  ScriptedServer old_peer({ScriptedServer::Stall(5000)});
  ScriptedServer new_peer({ScriptedServer::Send("220 new\r\n")});
  std::vector<Endpoint> attempts;
  WaitControl reconnecting;
  reconnecting.pump = [&] {
    if (attempts.empty())
      target->Connect("127.0.0.1", new_peer.port(),
                      [&](const Endpoint& e) { attempts.push_back(e); });
  };
  c = ConnectTo(old_peer.port(), reconnecting);
  EXPECT_THROW((void)c.ReadLine(), ENetStopped);
  EXPECT_EQ(attempts, (std::vector<Endpoint>{{"127.0.0.1", new_peer.port(), false}}));
  EXPECT_EQ(c.ReadLine(), "220 new\r\n");
}

TEST_F(ConnectionTest, PeerClosingMidWriteIsAnErrorNotASignal) {
  struct sigaction sa {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &sa), 0);
  ASSERT_EQ(sa.sa_handler, SIG_DFL) << "SIGPIPE would end this test program";
  const size_t fds = OpenFdCount();
  {
    ScriptedServer closing({ScriptedServer::Close()});
    Connection c = ConnectTo(closing.port());
    const std::string mb(1 << 20, 'x');
    try {
      for (int i = 0; i < 256; ++i) c.Write(mb);
      ADD_FAILURE() << "256 MB went to a closed peer";
    } catch (const ENetStopped&) {
      ADD_FAILURE() << "a closed peer is no stop";
    } catch (const ENetError& e) {
      EXPECT_NE(std::string(e.what()).find("Unable to send to 127.0.0.1:"), std::string::npos)
          << e.what();
    }
    EXPECT_FALSE(c.IsOpen());
  }
  EXPECT_EQ(OpenFdCount(), fds);
}

TEST_F(ConnectionTest, LinesAndRepliesAreBounded) {
  const std::string full(kMaxLineBytes, 'a');
  const struct {
    const char* name;
    std::vector<ScriptedServer::Step> script;
    bool reply;            // read with ReadReply rather than ReadLine
    std::string expected;  // empty: EProtocolError
  } cases[] = {
      {"line at the limit", {ScriptedServer::Send(full + "\r\n")}, false, full + "\r\n"},
      {"LF only", {ScriptedServer::Send("220 x\n")}, false, "220 x\n"},
      {"line over the limit", {ScriptedServer::Send(full + "a\r\n")}, false, ""},
      {"endless line", {ScriptedServer::Flood(std::string(4096, 'x'))}, false, ""},
      {"endless reply", {ScriptedServer::Flood("250-more\r\n")}, true, ""},
      {"not a reply", {ScriptedServer::Send("hello\r\n")}, true, ""},
  };
  for (const auto& c : cases) {
    const size_t fds = OpenFdCount();
    {
      ScriptedServer server(c.script);
      Connection conn = ConnectTo(server.port());
      const auto read = [&] { return c.reply ? ReadReply(conn).raw : conn.ReadLine(); };
      if (c.expected.empty()) {
        EXPECT_THROW((void)read(), EProtocolError) << c.name;
        EXPECT_FALSE(conn.IsOpen()) << c.name;
        server.Finish();
        EXPECT_EQ(OpenFdCount(), fds) << c.name;
      } else {
        EXPECT_EQ(read(), c.expected) << c.name;
      }
    }
  }
}

TEST_F(ConnectionTest, EndOfStreamInsideALine) {
  ScriptedServer server({ScriptedServer::Send("220 partial"), ScriptedServer::Close()});
  Connection c = ConnectTo(server.port());
  EXPECT_EQ(c.ReadLine(), "220 partial");
  EXPECT_THROW((void)c.ReadLine(), ENetClosed);

  ScriptedServer cut({ScriptedServer::Send("250-first\r\n"), ScriptedServer::Close()});
  Connection r = ConnectTo(cut.port());
  EXPECT_THROW((void)ReadReply(r), ENetClosed);
}

TEST_F(ConnectionTest, RefusedConnectHoldsNoDescriptor) {
  Listener gone;
  gone.Open("127.0.0.1");
  const uint16_t port = gone.LocalEndpoint().port;
  gone.Close();
  const size_t fds = OpenFdCount();
  Connection c;
  try {
    c.Connect("127.0.0.1", port);
    ADD_FAILURE() << "connected to a closed port";
  } catch (const ENetError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  }
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(OpenFdCount(), fds);
}

// FTP's active mode: the server connects to the client. Only the expected
// peer may take the connection.
TEST_F(ConnectionTest, ListenerAcceptsOnlyTheExpectedPeer) {
  Listener listener;
  listener.Open("127.0.0.1");
  const Endpoint at = listener.LocalEndpoint();
  ASSERT_NE(at.port, 0);

  const int intruder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
  ASSERT_EQ(::bind(intruder, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(at.port);
  ASSERT_EQ(::connect(intruder, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

  Connection client = ConnectTo(at.port);
  Connection server = listener.Accept("127.0.0.1", "127.0.0.1");
  EXPECT_FALSE(listener.IsOpen());
  EXPECT_EQ(server.PeerEndpoint(), client.LocalEndpoint());
  client.Write("PING\r\n");
  EXPECT_EQ(server.ReadLine(), "PING\r\n");
  server.Write("PONG\n");
  EXPECT_EQ(client.ReadLine(), "PONG\n");
  ::close(intruder);
}

}  // namespace
}  // namespace zb::net
