// The Python servers the FTP and SMTP client tests stand on start, print
// their port and speak their protocol, TLS upgrade included.

#include "test_servers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <span>

#include "net/connection.h"
#include "net/reply.h"
#include "net/tls.h"
#include "temp_files.h"

namespace zb::net {
namespace {

using testservers::PythonServer;
using testservers::TestCerts;

// Sends one command and returns the reply's code.
int Command(Connection& c, const std::string& line) {
  c.Write(line + "\r\n");
  return ReadReply(c).code;
}

TlsClient TrustTestCa() {
  TlsConfig config;
  config.ca_file = TestCerts().ca;
  return TlsClient(config);
}

TEST(TestServers, FtpServerListsOverTlsWithAResumedDataSession) {
  testfiles::TempDir root;
  testfiles::WriteFile(root / "archive.zip", "PK");
  PythonServer ftp("ftp_server.py", {"--root", root.path(), "--cert", TestCerts().server_cert,
                                     "--key", TestCerts().server_key, "--require-tls"});
  Connection control;
  control.Connect("127.0.0.1", ftp.port());
  ASSERT_EQ(ReadReply(control).code, 220);
  ASSERT_EQ(Command(control, "AUTH TLS"), 234);
  const TlsClient tls = TrustTestCa();
  control.StartTls(tls);
  EXPECT_EQ(Command(control, "USER user"), 331);
  EXPECT_EQ(Command(control, "PASS secret"), 230);
  EXPECT_EQ(Command(control, "PBSZ 0"), 200);
  EXPECT_EQ(Command(control, "PROT P"), 200);

  control.Write("PASV\r\n");
  const Reply pasv = ReadReply(control);
  ASSERT_EQ(pasv.code, 227) << pasv.Text();
  unsigned h[4], p[2];
  ASSERT_EQ(std::sscanf(pasv.lines[0].c_str() + pasv.lines[0].find('(') + 1, "%u,%u,%u,%u,%u,%u",
                        &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]),
            6);
  Connection data;
  data.Connect("127.0.0.1", static_cast<uint16_t>(p[0] * 256 + p[1]));
  control.Write("LIST\r\n");
  data.StartTls(tls, control.Session());
  EXPECT_TRUE(data.SessionReused());
  std::string listing;
  for (;;) {
    char buf[4096];
    const size_t n = data.ReadSome(std::as_writable_bytes(std::span(buf)));
    if (n == 0) break;
    listing.append(buf, n);
  }
  data.Close();
  EXPECT_NE(listing.find("archive.zip"), std::string::npos) << listing;
  const int first = ReadReply(control).code;
  EXPECT_TRUE(first == 125 || first == 150) << first;
  EXPECT_EQ(ReadReply(control).code, 226);
  EXPECT_EQ(Command(control, "QUIT"), 221);
}

TEST(TestServers, SmtpServerUpgradesWithStarttls) {
  testfiles::TempDir spool;
  PythonServer smtp("smtp_server.py", {"--spool", spool.path(), "--cert", TestCerts().server_cert,
                                       "--key", TestCerts().server_key});
  Connection c;
  c.Connect("127.0.0.1", smtp.port());
  ASSERT_EQ(ReadReply(c).code, 220);
  c.Write("EHLO client.test\r\n");
  const Reply ehlo = ReadReply(c);
  EXPECT_EQ(ehlo.code, 250);
  EXPECT_NE(ehlo.raw.find("250-STARTTLS\r\n"), std::string::npos) << ehlo.raw;
  ASSERT_EQ(Command(c, "STARTTLS"), 220);
  c.StartTls(TrustTestCa());
  EXPECT_EQ(Command(c, "EHLO client.test"), 250);
  EXPECT_EQ(Command(c, "QUIT"), 221);
}

}  // namespace
}  // namespace zb::net
