#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zb::net {

class Connection;

// The most lines one reply may have; a server that sends more is broken or
// hostile, and reading on would only fill memory.
inline constexpr size_t kMaxReplyLines = 1000;

// One reply of a "code, then text" protocol (FTP, RFC 959 section 4.2; SMTP,
// RFC 5321 section 4.2): a line "123 text", or lines from "123-text" to a
// line that begins "123 " (or is "123" alone).
struct Reply {
  int code = 0;
  std::vector<std::string> lines;  // as received, line ends removed
  std::string raw;                 // every byte as received, line ends included

  // The lines joined by a carriage return, as message texts break lines.
  [[nodiscard]] std::string Text() const;
};

// Assembles a reply from lines fed one by one, apart from any I/O.
class ReplyParser final {
 public:
  // Takes one line, with or without its line end. Returns true when the
  // reply is complete. Throws EProtocolError when the first line does not
  // begin with a three-digit code, or at line kMaxReplyLines + 1.
  [[nodiscard]] bool Add(std::string_view line);
  // The completed reply; the parser starts afresh.
  [[nodiscard]] Reply Take();

 private:
  Reply reply_;
  bool multi_ = false;
};

// Reads one reply from `conn`. Throws what ReadLine throws, ENetClosed when
// the connection ends inside a reply, and EProtocolError (after closing the
// connection) for a malformed or endless reply.
[[nodiscard]] Reply ReadReply(Connection& conn);

}  // namespace zb::net
