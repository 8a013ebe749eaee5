#include "net/reply.h"

#include <utility>

#include "net/connection.h"
#include "net/net_error.h"

namespace zb::net {
namespace {

std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool HasCode(std::string_view line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

}  // namespace

std::string Reply::Text() const {
  std::string out;
  for (const std::string& line : lines) {
    if (!out.empty()) out += '\r';
    out += line;
  }
  return out;
}

bool ReplyParser::Add(std::string_view line) {
  const std::string_view text = WithoutLineEnd(line);
  if (reply_.lines.empty()) {
    if (!HasCode(text) || (text.size() > 3 && text[3] != ' ' && text[3] != '-')) {
      throw EProtocolError("Malformed reply \"" + std::string(text.substr(0, 80)) + "\"");
    }
    reply_.code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
    multi_ = text.size() > 3 && text[3] == '-';
  } else if (reply_.lines.size() >= kMaxReplyLines) {
    throw EProtocolError("A reply of more than " + std::to_string(kMaxReplyLines) + " lines");
  }
  reply_.lines.emplace_back(text);
  reply_.raw += line;
  if (!multi_ || reply_.lines.size() == 1) return !multi_;
  // The last line repeats the code followed by a blank (or nothing).
  return HasCode(text) && text.compare(0, 3, reply_.lines.front(), 0, 3) == 0 &&
         (text.size() == 3 || text[3] == ' ');
}

Reply ReplyParser::Take() {
  multi_ = false;
  return std::exchange(reply_, Reply{});
}

Reply ReadReply(Connection& conn) {
  ReplyParser parser;
  for (;;) {
    const std::string line = conn.ReadLine();
    if (line.empty() || line.back() != '\n') {
      // The stream ended inside the reply; the partial line is no reply.
      throw ENetClosed("Connection closed by " + conn.PeerName() + " inside a reply");
    }
    bool done = false;
    try {
      done = parser.Add(line);
    } catch (const EProtocolError& e) {
      const std::string peer = conn.PeerName();
      conn.Close();
      throw EProtocolError(std::string(e.what()) + " from " + peer);
    }
    if (done) return parser.Take();
  }
}

}  // namespace zb::net
