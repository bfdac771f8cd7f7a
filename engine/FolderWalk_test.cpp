// Folder trees as real servers serve them, from a tree the test describes: links back
// up that the client sees as plain folders, refused subfolders, a share gone half way.
#include "engine/FolderWalk.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "base/ErrorText.h"
#include "testing/Testing.h"

namespace {

using tolvatest::TempFolder;
using Skip = CFolderWalk::Skip;

// A tree in memory: each folder's entries by path below the root "S".
struct FakeFolders : IFolderSource {
  std::map<std::string, std::vector<FolderEntry>> listings;
  std::map<std::string, DWORD> errors;
  std::map<std::string, uint64_t> ids;  // none: every path has an ID of its own
  bool reachable = true;

  DWORD List(const std::string& path, std::vector<FolderEntry>& entries) override {
    if (auto e = errors.find(path); e != errors.end()) return e->second;
    auto it = listings.find(path);
    if (it == listings.end()) return ERROR_PATH_NOT_FOUND;
    entries = it->second;
    return 0;
  }
  bool Identity(const std::string& path, uint64_t& volume, uint64_t& id) override {
    volume = 7;
    auto it = ids.find(path);
    id = it != ids.end() ? it->second : std::hash<std::string>()(path);
    return true;
  }
  bool Reachable(const std::string&) override { return reachable; }

  // Files and folders of one folder: names ending in "\" are folders.
  void Add(const std::string& path, std::initializer_list<std::string> names) {
    auto& list = listings[path];
    for (const std::string& name : names) {
      FolderEntry e;
      e.folder = name.back() == '\\';
      e.name = e.folder ? name.substr(0, name.size() - 1) : name;
      e.size = e.folder ? 0 : name.size();
      e.lastWrite = FILETIME{static_cast<DWORD>(name.size()), 1};
      list.push_back(e);
    }
  }
};

struct Outcome {
  DWORD result = 0;
  std::set<std::string> files;  // below the destination
  std::vector<std::pair<Skip, std::string>> skipped;
  std::vector<std::string> details;
  size_t unlisted = 0;
};

Outcome Walk(FakeFolders& folders, const TempFolder& out) {
  const std::string destination = out.File("tree");
  CFolderWalk walk(folders, "S\\tree", destination);
  Outcome o;
  o.result = walk.Run(
      [&](std::vector<CFolderWalk::FoundFile>& batch) {
        for (auto& f : batch) o.files.insert(f.destination.substr(out.Path().size() + 1));
        return true;
      },
      [&](Skip why, const std::string& relative, const std::string& detail) {
        o.skipped.emplace_back(why, relative);
        o.details.push_back(detail);
      });
  o.unlisted = walk.Unlisted();
  return o;
}

TEST(FolderWalk, ALinkBackUpIsCutWhereItStartsWhetherIdsOrListingsGiveItAway) {
  for (bool sameId : {false, true}) {
    SCOPED_TRACE(sameId ? "the server's file ID" : "an ID per path, the same listing");
    FakeFolders folders;
    folders.Add("S\\tree", {"a.txt", "sub\\"});
    folders.Add("S\\tree\\sub", {"b.txt", "loop\\"});
    // The server follows sub\loop -> .. : the client lists the tree again.
    folders.listings["S\\tree\\sub\\loop"] = folders.listings["S\\tree"];
    if (sameId) {
      folders.ids["S\\tree"] = folders.ids["S\\tree\\sub\\loop"] = 42;
      folders.listings["S\\tree\\sub\\loop"].back().size = 1;  // listings differ a little
    }
    TempFolder out;
    Outcome o = Walk(folders, out);
    EXPECT_EQ(o.result, 0u);
    EXPECT_EQ(o.files, (std::set<std::string>{"tree\\a.txt", "tree\\sub\\b.txt"}));
    ASSERT_EQ(o.skipped.size(), 1u);
    EXPECT_EQ(o.skipped[0], std::make_pair(Skip::SameAsAbove, std::string("tree\\sub\\loop")));
    EXPECT_EQ(o.details[0], "tree");
    EXPECT_FALSE(tolvatest::FileExists(out.File("tree\\sub\\loop")));
  }
}

TEST(FolderWalk, ARefusedSubfolderIsNamedAndTheRestOfTheTreeComes) {
  FakeFolders folders;
  folders.Add("S\\tree", {"a.txt", "locked\\", "c\\"});
  folders.errors["S\\tree\\locked"] = ERROR_ACCESS_DENIED;
  folders.Add("S\\tree\\c", {"d.txt", "empty\\"});
  folders.Add("S\\tree\\c\\empty", {});
  TempFolder out;
  Outcome o = Walk(folders, out);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.files, (std::set<std::string>{"tree\\a.txt", "tree\\c\\d.txt"}));
  ASSERT_EQ(o.skipped.size(), 1u);
  EXPECT_EQ(o.skipped[0], std::make_pair(Skip::Refused, std::string("tree\\locked")));
  EXPECT_EQ(o.details[0], base::ErrorText(ERROR_ACCESS_DENIED));
  EXPECT_EQ(o.unlisted, 1u);
  EXPECT_TRUE(tolvatest::FileExists(out.File("tree\\c\\empty")));
}

TEST(FolderWalk, AShareGoneHalfWayStopsTheWalkButKeepsEveryFileFoundBefore) {
  FakeFolders folders;
  folders.Add("S\\tree", {"a.txt", "b.txt", "z\\"});
  folders.errors["S\\tree\\z"] = ERROR_NETNAME_DELETED;
  folders.reachable = false;
  TempFolder out;
  Outcome o = Walk(folders, out);
  EXPECT_EQ(o.result, static_cast<DWORD>(ERROR_NETNAME_DELETED));
  EXPECT_EQ(o.files, (std::set<std::string>{"tree\\a.txt", "tree\\b.txt"}));
  EXPECT_TRUE(o.skipped.empty());

  // The walked folder itself unreadable: an error, whatever else can be reached.
  folders.errors["S\\tree"] = ERROR_ACCESS_DENIED;
  folders.reachable = true;
  o = Walk(folders, out);
  EXPECT_EQ(o.result, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(o.files.empty());
}

TEST(FolderWalk, AnEndlessTreeStopsAtTheDepthLimit) {
  // Every level different, so only the depth limit can stop it.
  FakeFolders folders;
  std::string path = "S\\tree";
  for (int level = 0; level <= CFolderWalk::kMaxDepth + 5; ++level) {
    folders.Add(path, {"f" + std::to_string(level) + ".txt", "d\\"});
    path += "\\d";
  }
  TempFolder out;
  Outcome o = Walk(folders, out);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.files.size(), static_cast<size_t>(CFolderWalk::kMaxDepth + 1));
  ASSERT_EQ(o.skipped.size(), 1u);
  EXPECT_EQ(o.skipped[0].first, Skip::TooDeep);
}

}  // namespace
