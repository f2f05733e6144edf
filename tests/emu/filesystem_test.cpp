#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "emu/winfs.h"
#include "emu/world.h"
#include "os/os.h"
#include "tests/support/emulated_world.h"

namespace {

namespace fs = std::filesystem;

class EmulatedFiles : public EmulatedWorldTest {
 protected:
  void SetUp() override { MakeWorld(); }

  std::string ReadThrough(const std::string& path) {
    os::Handle h = os::CreateFile(path.c_str(), os::kGenericRead, os::kShareRead, os::kOpenExisting,
                                  os::kFileAttributeNormal);
    if (!os::IsValid(h)) return "<error " + std::to_string(os::GetLastError()) + ">";
    char buffer[256];
    uint32_t n = 0;
    EXPECT_TRUE(os::ReadFile(h, buffer, sizeof buffer, &n));
    os::CloseHandle(h);
    return std::string(buffer, n);
  }

  void WriteThrough(const std::string& path, const std::string& bytes, uint32_t disposition = os::kCreateAlways) {
    os::Handle h = os::CreateFile(path.c_str(), os::kGenericWrite, 0, disposition, os::kFileAttributeNormal);
    ASSERT_TRUE(os::IsValid(h)) << path << " error " << os::GetLastError();
    uint32_t n = 0;
    ASSERT_TRUE(os::WriteFile(h, bytes.data(), static_cast<uint32_t>(bytes.size()), &n));
    EXPECT_EQ(n, bytes.size());
    os::CloseHandle(h);
  }

  std::vector<std::string> Find(const std::string& pattern) {
    std::vector<std::string> names;
    os::FindData d;
    os::Handle h = os::FindFirstFile(pattern.c_str(), &d);
    if (!os::IsValid(h)) return names;
    do names.push_back(d.name);
    while (os::FindNextFile(h, &d));
    EXPECT_EQ(os::GetLastError(), os::kErrorNoMoreFiles);
    EXPECT_TRUE(os::FindClose(h));
    return names;
  }

  std::string CurrentDirectory() {
    char buffer[300];
    uint32_t n = os::GetCurrentDirectory(buffer, sizeof buffer);
    EXPECT_GT(n, 0u);
    return std::string(buffer, n);
  }
};

TEST_F(EmulatedFiles, FindsEveryComponentWithoutRegardToCaseAndFoldsTheSpelling) {
  PutFile("C:\\Temp\\Work\\AddMem.sys", "driver");
  const char* spellings[] = {
      "c:\\TEMP\\work\\addmem.SYS",
      "C:/temp/./Work/../Work/ADDMEM.sys",
      "\\Temp\\Work\\addmem.sys",
      "C:\\Temp\\\\Work\\addmem.sys",
      "C:\\Temp\\Work\\addmem.sys. ",
      "C:\\..\\..\\Temp\\Work\\addmem.sys",
  };
  for (const char* path : spellings) {
    SCOPED_TRACE(path);
    EXPECT_EQ(ReadThrough(path), "driver");
  }
  EXPECT_EQ(HostPath("c:\\temp\\WORK\\addmem.sys"), root_ + "/C/Temp/Work/AddMem.sys");
}

TEST_F(EmulatedFiles, WritingUnderAnotherCaseReplacesTheExistingFileInsteadOfAddingOne) {
  PutFile("C:\\Temp\\AddMem.sys", "old");
  WriteThrough("c:\\temp\\ADDMEM.SYS", "new");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(root_ + "/C/Temp")) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"AddMem.sys"});
  EXPECT_EQ(ReadFileBytes("C:\\Temp\\AddMem.sys"), "new");
}

TEST_F(EmulatedFiles, PathsOffTheDriveFailAsWindowsReportsThem) {
  struct Row {
    const char* path;
    uint32_t error;
  };
  const Row rows[] = {
      {"D:\\setup.exe", os::kErrorPathNotFound},       // no drive D:
      {"\\\\server\\share\\a.txt", 53},                // no network
      {"\\\\.\\ADDMEM", os::kErrorFileNotFound},       // no such device (yet)
      {"C:\\Nowhere\\a.txt", os::kErrorPathNotFound},  // missing folder
      {"C:\\Users\\nothing.txt", os::kErrorFileNotFound},
      {"C:\\Users\\a<b.txt", 123},                     // a name Windows cannot hold
      {"", os::kErrorPathNotFound},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    os::Handle h = os::CreateFile(r.path, os::kGenericRead, os::kShareRead, os::kOpenExisting, 0);
    EXPECT_EQ(h, os::InvalidHandle());
    EXPECT_EQ(os::GetLastError(), r.error);
  }
}

TEST_F(EmulatedFiles, PathsLongerThanMaxPathAreRefused) {
  std::string longPath = "C:\\" + std::string(250, 'a') + "\\" + std::string(20, 'b');
  os::Handle h = os::CreateFile(longPath.c_str(), os::kGenericWrite, 0, os::kCreateAlways, 0);
  EXPECT_EQ(h, os::InvalidHandle());
  EXPECT_EQ(os::GetLastError(), 206u);
  EXPECT_FALSE(os::CreateDirectory(("C:\\" + std::string(246, 'd')).c_str()));
  EXPECT_EQ(os::GetLastError(), 206u);
}

TEST_F(EmulatedFiles, AFileBeyondMaxPathIsListedButNotOpenedAndNamesStopAt255) {
  std::string name = std::string(251, 'L') + ".wph";  // 255 characters: the longest name
  PutFile("C:\\W\\" + name, "long");               // set up as a tool with "\\?\" paths could
  EXPECT_TRUE(FileExists("C:\\W\\" + name));
  EXPECT_EQ(Find("C:\\W\\*.wph"), std::vector<std::string>{name});
  os::Handle h = os::CreateFile(("C:\\W\\" + name).c_str(), os::kGenericRead, os::kShareRead, os::kOpenExisting, 0);
  EXPECT_EQ(h, os::InvalidHandle());
  EXPECT_EQ(os::GetLastError(), 206u);
  emu::ResolvedPath r;
  EXPECT_EQ(emu::ResolveWindowsPath("C:\\" + std::string(256, 'N'), &r, false, false), 206u);
}

TEST_F(EmulatedFiles, CurrentDirectoryStartsInTheProgramsFolderAndRelativePathsFollowIt) {
  EXPECT_EQ(CurrentDirectory(), "C:\\Users\\tech\\Desktop");
  PutFile("C:\\Users\\tech\\AppData\\Local\\Temp\\log.txt", "temp log");
  ASSERT_TRUE(os::SetCurrentDirectory("..\\appdata\\LOCAL\\temp"));
  EXPECT_EQ(CurrentDirectory(), "C:\\Users\\tech\\appdata\\LOCAL\\temp");
  EXPECT_EQ(ReadThrough("log.txt"), "temp log");
  EXPECT_EQ(ReadThrough(".\\LOG.TXT"), "temp log");
  ASSERT_TRUE(os::SetCurrentDirectory("\\"));
  EXPECT_EQ(CurrentDirectory(), "C:\\");
  ASSERT_TRUE(os::SetCurrentDirectory(".."));  // the root has no parent
  EXPECT_EQ(CurrentDirectory(), "C:\\");
}

TEST_F(EmulatedFiles, CurrentDirectoryStartsWhereTheProfileSays) {
  MakeWorld(R"({"windows":{"currentDirectory":"C:\\Tools"}})");
  EXPECT_EQ(CurrentDirectory(), "C:\\Tools");
}

TEST_F(EmulatedFiles, SetCurrentDirectoryRefusesMissingFoldersAndFiles) {
  PutFile("C:\\file.txt", "x");
  EXPECT_FALSE(os::SetCurrentDirectory("C:\\Missing"));
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  EXPECT_FALSE(os::SetCurrentDirectory("C:\\Missing\\Deeper"));
  EXPECT_EQ(os::GetLastError(), os::kErrorPathNotFound);
  EXPECT_FALSE(os::SetCurrentDirectory("C:\\file.txt"));
  EXPECT_EQ(os::GetLastError(), 267u);
  EXPECT_EQ(CurrentDirectory(), "C:\\Users\\tech\\Desktop");
}

TEST_F(EmulatedFiles, GetCurrentDirectoryReportsTheSizeNeededWhenTheBufferIsShort) {
  const std::string cwd = "C:\\Users\\tech\\Desktop";  // 21 characters
  const uint32_t length = static_cast<uint32_t>(cwd.size());
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(os::GetCurrentDirectory(buffer, length), length + 1);
  EXPECT_EQ(buffer[0], 'x');  // untouched
  EXPECT_EQ(os::GetCurrentDirectory(nullptr, 0), length + 1);
  EXPECT_EQ(os::GetCurrentDirectory(buffer, length + 1), length);
  EXPECT_STREQ(buffer, cwd.c_str());
}

TEST_F(EmulatedFiles, FindMatchesPatternsBySystemRulesListingDotsFirstInNtfsOrder) {
  PutFile("C:\\W\\BIOS.WPH", "12345");
  PutFile("C:\\W\\other.wph", "");
  PutFile("C:\\W\\kbc.bin", "");
  PutFile("C:\\W\\README", "");
  PutFile("C:\\W\\a.b.c", "");
  PutFile("C:\\W\\Sub\\inner.wph", "");
  using V = std::vector<std::string>;
  struct Row {
    const char* pattern;
    V names;
  };
  const Row rows[] = {
      {"C:\\W\\*", {".", "..", "a.b.c", "BIOS.WPH", "kbc.bin", "other.wph", "README", "Sub"}},
      {"C:\\W\\*.*", {".", "..", "a.b.c", "BIOS.WPH", "kbc.bin", "other.wph", "README", "Sub"}},
      {"C:\\W\\*.wph", {"BIOS.WPH", "other.wph"}},
      {"c:\\w\\*.WPH", {"BIOS.WPH", "other.wph"}},
      {"C:\\W\\kbc*", {"kbc.bin"}},
      {"C:\\W\\KB?.bin", {"kbc.bin"}},
      {"C:\\W\\readme.*", {"README"}},
      {"C:\\W\\*.c", {"a.b.c"}},
      {"C:\\W\\sub", {"Sub"}},
      {"C:\\W\\*.rom", {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.pattern);
    EXPECT_EQ(Find(r.pattern), r.names);
  }
  ASSERT_TRUE(os::SetCurrentDirectory("C:\\W"));
  EXPECT_EQ(Find("*.wph"), (V{"BIOS.WPH", "other.wph"}));
}

TEST_F(EmulatedFiles, FindReportsFoldersSizesAndNoDotsAtTheRoot) {
  PutFile("C:\\W\\BIOS.WPH", "12345");
  PutFile("C:\\W\\Sub\\x", "");
  os::FindData d;
  os::Handle h = os::FindFirstFile("C:\\W\\b*", &d);
  ASSERT_TRUE(os::IsValid(h));
  EXPECT_STREQ(d.name, "BIOS.WPH");
  EXPECT_FALSE(d.isDirectory);
  EXPECT_EQ(d.size, 5u);
  os::FindClose(h);
  h = os::FindFirstFile("C:\\W\\s*", &d);
  ASSERT_TRUE(os::IsValid(h));
  EXPECT_TRUE(d.isDirectory);
  os::FindClose(h);
  std::vector<std::string> root = Find("C:\\*");
  EXPECT_TRUE(std::find(root.begin(), root.end(), ".") == root.end());
  EXPECT_TRUE(std::find(root.begin(), root.end(), "W") != root.end());
}

TEST_F(EmulatedFiles, FindFailsWithFileNotFoundOrPathNotFound) {
  os::FindData d;
  EXPECT_EQ(os::FindFirstFile("C:\\Users\\*.rom", &d), os::InvalidHandle());
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  EXPECT_EQ(os::FindFirstFile("C:\\Missing\\*.*", &d), os::InvalidHandle());
  EXPECT_EQ(os::GetLastError(), os::kErrorPathNotFound);
  EXPECT_FALSE(os::FindClose(os::InvalidHandle()));
}

TEST(WindowsPattern, MatchesAsTheSystemsWildcardsDo) {
  struct Row {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Row rows[] = {
      {"*", "anything.txt", true},      {"*.*", "README", true},         {"*.*", ".", true},
      {"*.wph", "x.WPH", true},         {"*.wph", "x.wph.gz", false},    {"*.wph", "xwph", false},
      {"name*", "NAME.txt", true},      {"name*", "nam", false},         {"x.*", "x", true},
      {"x.*", "x.y", true},             {"*.", "README", true},          {"*.", "a.b", false},
      {"?.txt", "a.txt", true},         {"?.txt", "ab.txt", false},      {"a?", "a", true},
      {"file?.bin", "file.bin", true},  {"k?c.bin", "kbc.bin", true},    {"*.wph", ".", false},
      {"*", "..", true},                {"kbc.bin", "KBC.BIN", true},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(emu::MatchesWindowsPattern(r.pattern, r.name), r.matches) << r.pattern << " vs " << r.name;
  }
}

TEST_F(EmulatedFiles, MoveNeverReplacesButRenamesAndChangesCase) {
  PutFile("C:\\W\\a.txt", "A");
  PutFile("C:\\W\\b.txt", "B");
  EXPECT_FALSE(os::MoveFile("C:\\W\\a.txt", "C:\\W\\B.TXT"));
  EXPECT_EQ(os::GetLastError(), os::kErrorAlreadyExists);
  EXPECT_EQ(ReadFileBytes("C:\\W\\a.txt"), "A");
  EXPECT_EQ(ReadFileBytes("C:\\W\\b.txt"), "B");

  EXPECT_TRUE(os::MoveFile("C:\\W\\a.txt", "C:\\W\\c.txt"));
  EXPECT_FALSE(FileExists("C:\\W\\a.txt"));
  EXPECT_EQ(ReadFileBytes("C:\\W\\c.txt"), "A");

  EXPECT_TRUE(os::MoveFile("c:\\w\\C.TXT", "C:\\W\\C.TXT"));
  EXPECT_TRUE(fs::exists(root_ + "/C/W/C.TXT"));
  EXPECT_FALSE(fs::exists(root_ + "/C/W/c.txt"));

  EXPECT_FALSE(os::MoveFile("C:\\W\\missing.txt", "C:\\W\\d.txt"));
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  EXPECT_FALSE(os::MoveFile("C:\\W\\b.txt", "C:\\Nowhere\\b.txt"));
  EXPECT_EQ(os::GetLastError(), os::kErrorPathNotFound);
}

TEST_F(EmulatedFiles, CopyReplacesAnExistingTarget) {
  PutFile("C:\\W\\a.txt", "new contents");
  PutFile("C:\\W\\b.txt", "old");
  EXPECT_TRUE(os::CopyFile("C:\\W\\a.txt", "c:\\w\\B.txt"));
  EXPECT_EQ(ReadFileBytes("C:\\W\\b.txt"), "new contents");
  EXPECT_EQ(ReadFileBytes("C:\\W\\a.txt"), "new contents");
  EXPECT_TRUE(os::CopyFile("C:\\W\\a.txt", "C:\\W\\fresh.txt"));
  EXPECT_EQ(ReadFileBytes("C:\\W\\fresh.txt"), "new contents");
  EXPECT_FALSE(os::CopyFile("C:\\W\\missing.txt", "C:\\W\\b.txt"));
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  EXPECT_FALSE(os::CopyFile("C:\\W\\a.txt", "C:\\W\\A.TXT"));  // onto itself
  EXPECT_EQ(ReadFileBytes("C:\\W\\a.txt"), "new contents");
}

TEST_F(EmulatedFiles, DeleteRemovesFilesOnlyAndFailsForMissingOnes) {
  PutFile("C:\\W\\Sub\\keep.txt", "k");
  PutFile("C:\\W\\gone.txt", "g");
  ASSERT_TRUE(os::SetCurrentDirectory("C:\\W"));
  EXPECT_TRUE(os::DeleteFile("GONE.TXT"));
  EXPECT_FALSE(FileExists("C:\\W\\gone.txt"));
  EXPECT_FALSE(os::DeleteFile("gone.txt"));
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  // What a clean-up that deletes every name of "*.*" meets: folders stay.
  for (const char* name : {".", "..", "Sub"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(os::DeleteFile(name));
    EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied);
  }
  EXPECT_TRUE(FileExists("C:\\W\\Sub\\keep.txt"));
}

TEST_F(EmulatedFiles, CreateDirectoryFailsWhenPresentOrWithoutParent) {
  EXPECT_TRUE(os::CreateDirectory("C:\\New"));
  EXPECT_TRUE(fs::is_directory(root_ + "/C/New"));
  EXPECT_FALSE(os::CreateDirectory("c:\\NEW"));
  EXPECT_EQ(os::GetLastError(), os::kErrorAlreadyExists);
  EXPECT_FALSE(os::CreateDirectory("C:\\Missing\\New"));
  EXPECT_EQ(os::GetLastError(), os::kErrorPathNotFound);
}

TEST_F(EmulatedFiles, CreateFileHonoursEachDisposition) {
  struct Row {
    const char* name;
    bool exists;
    uint32_t disposition;
    bool opens;
    uint32_t error;          // GetLastError after the call
    const char* contentAfter;  // nullptr: no file
  };
  const Row rows[] = {
      {"new-on-existing", true, os::kCreateNew, false, 80, "old"},
      {"new-on-missing", false, os::kCreateNew, true, 0, ""},
      {"always-on-existing", true, os::kCreateAlways, true, os::kErrorAlreadyExists, ""},
      {"always-on-missing", false, os::kCreateAlways, true, 0, ""},
      {"existing-on-existing", true, os::kOpenExisting, true, 0, "old"},
      {"existing-on-missing", false, os::kOpenExisting, false, os::kErrorFileNotFound, nullptr},
      {"openalways-on-existing", true, os::kOpenAlways, true, os::kErrorAlreadyExists, "old"},
      {"openalways-on-missing", false, os::kOpenAlways, true, 0, ""},
      {"bad-disposition", true, 0, false, os::kErrorInvalidParameter, "old"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string path = std::string("C:\\D\\") + r.name;
    if (r.exists) PutFile(path, "old");
    os::Handle h = os::CreateFile(path.c_str(), os::kGenericRead | os::kGenericWrite, 0, r.disposition, 0);
    EXPECT_EQ(os::IsValid(h), r.opens);
    EXPECT_EQ(os::GetLastError(), r.error);
    if (os::IsValid(h)) os::CloseHandle(h);
    EXPECT_EQ(FileExists(path), r.contentAfter != nullptr);
    if (r.contentAfter != nullptr) {
      EXPECT_EQ(ReadFileBytes(path), r.contentAfter);
    }
  }
  os::Handle h = os::CreateFile("C:\\Users", os::kGenericRead, os::kShareRead, os::kOpenExisting, 0);
  EXPECT_EQ(h, os::InvalidHandle());
  EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied);
}

TEST_F(EmulatedFiles, SharingModesDecideWhetherASecondOpenOrADeleteSucceeds) {
  PutFile("C:\\W\\log.txt", "x");
  os::Handle reader = os::CreateFile("C:\\W\\log.txt", os::kGenericRead, os::kShareRead, os::kOpenExisting, 0);
  ASSERT_TRUE(os::IsValid(reader));
  os::Handle second = os::CreateFile("c:\\w\\LOG.txt", os::kGenericRead, os::kShareRead, os::kOpenExisting, 0);
  EXPECT_TRUE(os::IsValid(second));
  os::CloseHandle(second);
  os::Handle writer = os::CreateFile("C:\\W\\log.txt", os::kGenericWrite, os::kShareRead, os::kOpenAlways, 0);
  EXPECT_EQ(writer, os::InvalidHandle());
  EXPECT_EQ(os::GetLastError(), 32u);
  // A refused CREATE_ALWAYS must not have cut the file short.
  EXPECT_EQ(os::CreateFile("C:\\W\\log.txt", os::kGenericWrite, os::kShareRead, os::kCreateAlways, 0),
            os::InvalidHandle());
  EXPECT_EQ(ReadFileBytes("C:\\W\\log.txt"), "x");
  EXPECT_FALSE(os::DeleteFile("C:\\W\\log.txt"));
  EXPECT_EQ(os::GetLastError(), 32u);
  EXPECT_FALSE(os::MoveFile("C:\\W\\log.txt", "C:\\W\\moved.txt"));
  EXPECT_EQ(os::GetLastError(), 32u);
  EXPECT_TRUE(os::CloseHandle(reader));
  EXPECT_TRUE(os::DeleteFile("C:\\W\\log.txt"));
}

TEST_F(EmulatedFiles, DeleteOnCloseRemovesTheFileWhenTheHandleCloses) {
  os::Handle h = os::CreateFile("C:\\W.tmp", os::kGenericRead | os::kGenericWrite, 0, os::kCreateAlways,
                                os::kFileFlagDeleteOnClose | os::kFileAttributeNormal);
  ASSERT_TRUE(os::IsValid(h));
  EXPECT_TRUE(FileExists("C:\\W.tmp"));
  os::CloseHandle(h);
  EXPECT_FALSE(FileExists("C:\\W.tmp"));
}

TEST_F(EmulatedFiles, ReadWriteSeekAndSizeFollowTheHandlesAccess) {
  os::Handle h = os::CreateFile("C:\\data.bin", os::kGenericRead | os::kGenericWrite, 0, os::kCreateAlways, 0);
  ASSERT_TRUE(os::IsValid(h));
  uint32_t n = 0;
  ASSERT_TRUE(os::WriteFile(h, "0123456789", 10, &n));
  uint64_t size = 0;
  ASSERT_TRUE(os::GetFileSize(h, &size));
  EXPECT_EQ(size, 10u);
  ASSERT_TRUE(os::SeekFile(h, 4, os::SeekFrom::Begin));
  char buffer[16] = {};
  ASSERT_TRUE(os::ReadFile(h, buffer, sizeof buffer, &n));
  EXPECT_EQ(std::string(buffer, n), "456789");
  ASSERT_TRUE(os::ReadFile(h, buffer, sizeof buffer, &n));  // at the end: success, nothing read
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(os::SeekFile(h, -3, os::SeekFrom::End));
  ASSERT_TRUE(os::ReadFile(h, buffer, 2, &n));
  EXPECT_EQ(std::string(buffer, n), "78");
  ASSERT_TRUE(os::SeekFile(h, -1, os::SeekFrom::Current));
  ASSERT_TRUE(os::ReadFile(h, buffer, 1, &n));
  EXPECT_EQ(std::string(buffer, n), "8");
  EXPECT_FALSE(os::SeekFile(h, -11, os::SeekFrom::End));
  EXPECT_EQ(os::GetLastError(), 131u);
  os::CloseHandle(h);

  h = os::CreateFile("C:\\data.bin", os::kGenericRead, os::kShareRead, os::kOpenExisting, 0);
  EXPECT_FALSE(os::WriteFile(h, "x", 1, &n));
  EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied);
  os::CloseHandle(h);
  EXPECT_FALSE(os::CloseHandle(h));
  EXPECT_EQ(os::GetLastError(), os::kErrorInvalidHandle);
  EXPECT_FALSE(os::ReadFile(h, buffer, 1, &n));
}

TEST_F(EmulatedFiles, MapFileReadOnlyShowsTheWholeFileAndHoldsItOpen) {
  PutFile("C:\\W\\image.wph", "BIOS IMAGE");
  os::MappedFile view;
  ASSERT_TRUE(os::MapFileReadOnly("c:\\w\\IMAGE.WPH", &view));
  ASSERT_EQ(view.size, 10u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.data), view.size), "BIOS IMAGE");
  EXPECT_FALSE(os::DeleteFile("C:\\W\\image.wph"));
  os::UnmapFile(&view);
  EXPECT_EQ(view.data, nullptr);
  EXPECT_EQ(view.size, 0u);
  EXPECT_TRUE(os::DeleteFile("C:\\W\\image.wph"));

  PutFile("C:\\W\\empty.bin", "");
  EXPECT_FALSE(os::MapFileReadOnly("C:\\W\\empty.bin", &view));
  EXPECT_EQ(os::GetLastError(), 1006u);
  EXPECT_TRUE(os::DeleteFile("C:\\W\\empty.bin"));  // the failed map left nothing open
  EXPECT_FALSE(os::MapFileReadOnly("C:\\W\\missing.bin", &view));
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
}

TEST_F(EmulatedFiles, HostPathNamesTheFileBehindTheWindowsPathAndRefusesShortBuffers) {
  PutFile("C:\\Temp\\BIOS.wph.gz", "gz");
  char host[512];
  ASSERT_TRUE(os::HostPath("c:\\temp\\bios.WPH.gz", host, sizeof host));
  EXPECT_EQ(std::string(host), root_ + "/C/Temp/BIOS.wph.gz");
  ASSERT_TRUE(os::HostPath("C:\\Temp\\new.bin", host, sizeof host));  // a file still to be made
  EXPECT_EQ(std::string(host), root_ + "/C/Temp/new.bin");
  char tiny[8];
  EXPECT_FALSE(os::HostPath("C:\\Temp\\BIOS.wph.gz", tiny, sizeof tiny));
  EXPECT_FALSE(os::HostPath("\\\\.\\ADDMEM", host, sizeof host));
}

TEST_F(EmulatedFiles, FreeDiskSpaceComesFromTheProfile) {
  MakeWorld(R"({"windows":{"freeBytes":52428800}})");
  uint64_t free = 0;
  ASSERT_TRUE(os::GetDiskFreeSpace(&free));
  EXPECT_EQ(free, 52428800u);
}

}  // namespace
