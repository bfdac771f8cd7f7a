#include "engine/DataFolder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/testing/EngineTesting.h"

using namespace enginetest;
using namespace tolvatest;

TEST(DataFolder, BesideAWritableProgramNamedAfterIt) {
  TempFolder dir;
  // A dot in a folder's name starts no extension.
  std::filesystem::create_directories(FsPath(dir.File("v1.2")));
  int asked = 0;
  CDataFolder data = CDataFolder::Decide(dir.File("v1.2\\tolva.exe"), [&] {
    ++asked;
    return dir.File("peruser");
  });
  EXPECT_TRUE(data.BesideProgram());
  EXPECT_EQ(data.ListPath(), dir.File("v1.2\\tolva.info"));
  EXPECT_EQ(data.LogPath(), dir.File("v1.2\\tolva.exe.log"));
  // The check leaves nothing behind, and the other place is not made.
  EXPECT_TRUE(std::filesystem::is_empty(FsPath(dir.File("v1.2"))));
  EXPECT_FALSE(FileExists(dir.File("peruser")));
  EXPECT_EQ(asked, 0);  // nor looked up
}

TEST(DataFolder, PerUserFolderWhenTheProgramsFolderCannotTakeFiles) {
  TempFolder dir;
  // A folder that cannot be written to stands in as one that does not exist; the real
  // read-only folder is tested with the whole program.
  CDataFolder data =
      CDataFolder::Decide(dir.File("gone\\tolva.exe"), [&] { return dir.File("local\\Tolva"); });
  EXPECT_FALSE(data.BesideProgram());
  EXPECT_EQ(data.ListPath(), dir.File("local\\Tolva\\tolva.info"));
  EXPECT_EQ(data.LogPath(), dir.File("local\\Tolva\\tolva.exe.log"));
  EXPECT_TRUE(std::filesystem::is_directory(FsPath(dir.File("local\\Tolva"))));
}

TEST(DataFolder, TheUsersOwnFolderIsUnderLocalAppData) {
  const std::string folder = CDataFolder::PerUserFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.substr(folder.size() - 6), "\\Tolva");
  EXPECT_NE(folder.find("AppData\\Local"), std::string::npos) << folder;
}
