#include "net/reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net_error.h"

namespace zb::net {
namespace {

// Feeds `lines` until the parser says the reply is complete; returns how
// many lines that took (0: never complete) and the reply.
std::pair<size_t, Reply> Parse(const std::vector<std::string>& lines) {
  ReplyParser parser;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (parser.Add(lines[i])) return {i + 1, parser.Take()};
  }
  return {0, Reply{}};
}

TEST(ReplyParserTest, FindsTheEndOfEachReplyForm) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    size_t complete_after;
    int code;
  } cases[] = {
      {"one line", {"220 Service ready\r\n"}, 1, 220},
      {"code alone", {"250\r\n"}, 1, 250},
      {"line feed only", {"331 Password\n"}, 1, 331},
      {"SMTP multi-line", {"250-host\r\n", "250-SIZE 1000\r\n", "250 AUTH LOGIN\r\n"}, 3, 250},
      {"FTP multi-line, free inner text",
       {"211-Features:\r\n", " MDTM\r\n", " SIZE\r\n", "211 End\r\n"},
       4,
       211},
      {"inner lines that only look like ends",
       {"230-Welcome\r\n", "200 not this code\r\n", "2301 nor this\r\n", "230-nor this\r\n",
        "230\r\n"},
       5,
       230},
      {"unfinished", {"220-first\r\n", "220-second\r\n"}, 0, 0},
  };
  for (const auto& c : cases) {
    const auto [taken, reply] = Parse(c.lines);
    EXPECT_EQ(taken, c.complete_after) << c.name;
    if (taken == 0) continue;
    EXPECT_EQ(reply.code, c.code) << c.name;
    std::string raw;
    for (size_t i = 0; i < taken; ++i) raw += c.lines[i];
    EXPECT_EQ(reply.raw, raw) << c.name;
    EXPECT_EQ(reply.lines.size(), taken) << c.name;
  }
}

TEST(ReplyParserTest, TextJoinsLinesWithoutLineEnds) {
  const Reply r = Parse({"550-No such\r\n", "550 file\r\n"}).second;
  EXPECT_EQ(r.lines, (std::vector<std::string>{"550-No such", "550 file"}));
  EXPECT_EQ(r.Text(), "550-No such\r550 file");
}

TEST(ReplyParserTest, StartsAfreshAfterTake) {
  ReplyParser parser;
  ASSERT_TRUE(parser.Add("150-a\r\n") == false && parser.Add("150 b\r\n"));
  EXPECT_EQ(parser.Take().lines.size(), 2u);
  ASSERT_TRUE(parser.Add("226 done\r\n"));
  EXPECT_EQ(parser.Take().code, 226);
}

// Malformed and endless replies
TEST(ReplyParserTest, RefusesWhatIsNoReply) {
  for (const std::string bad : {"", "\r\n", "hello\r\n", "22 short\r\n", "220x\r\n", "2a0 x\r\n"}) {
    ReplyParser parser;
    EXPECT_THROW((void)parser.Add(bad), EProtocolError) << bad;
  }
  ReplyParser parser;
  ASSERT_FALSE(parser.Add("250-start\r\n"));
  for (size_t i = 2; i < kMaxReplyLines; ++i) ASSERT_FALSE(parser.Add("250-more\r\n"));
  ReplyParser copy = parser;
  EXPECT_TRUE(copy.Add("250 last\r\n")) << "line " << kMaxReplyLines << " may end the reply";
  ASSERT_FALSE(parser.Add("250-more\r\n"));
  EXPECT_THROW((void)parser.Add("250 end\r\n"), EProtocolError);
}

}  // namespace
}  // namespace zb::net
