#include "platform/folder_walk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_files.h"

namespace zb {
namespace {

namespace fs = std::filesystem;

TEST(FolderWalkTest, MakesLevelsAndTellsALinkFromAnythingElseInTheWay) {
  testfiles::TempDir dir("zb_walk");
  const OpenFolder base = OpenFolder::Open(dir.path());
  ASSERT_TRUE(base.Valid());
  fs::create_directories(dir / "outside");
  fs::create_directory_symlink(dir / "outside", dir / "link");
  testfiles::WriteFile(dir / "file", "in the way");

  struct Case {
    std::vector<std::string> parts;
    WalkOptions options;
    WalkError error;
  } cases[] = {
      {{"a", "b"}, {.create = true}, WalkError::kNone},
      {{"x", "y"}, {.create = false}, WalkError::kFailed},
      {{"link", "sub"}, {.create = true}, WalkError::kThroughLink},
      {{"link", "sub"}, {.create = true, .follow_links = true}, WalkError::kNone},
      {{"file", "sub"}, {.create = true}, WalkError::kFailed},
  };
  for (const Case& c : cases) {
    const std::string where = c.parts[0] + "/" + c.parts[1];
    OpenFolder out;
    const WalkResult r = WalkFolders(base, c.parts, c.options, &out);
    EXPECT_EQ(r.error, c.error) << where << ": " << r.why;
    if (r.Ok()) {
      EXPECT_TRUE(out.Valid()) << where;
      EXPECT_EQ(out.path, fs::path(dir.path()) / c.parts[0] / c.parts[1]);
    } else {
      EXPECT_NE(r.why.find(dir / c.parts[0]), std::string::npos) << r.why;
    }
  }
  EXPECT_TRUE(fs::is_directory(dir / "a/b"));
  EXPECT_FALSE(fs::exists(dir / "x"));
  EXPECT_TRUE(fs::is_directory(dir / "outside/sub")) << "made only when links are followed";
}

}  // namespace
}  // namespace zb
