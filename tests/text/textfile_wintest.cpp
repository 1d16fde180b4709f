// Reading a file whole under Wine: a file whose contents cannot all be read is
// treated as one that cannot be opened, by the reader and by the server lists.
// Wine does not enforce byte-range locks on reads, so failed reads come
// through the reader's seam.
#include <string>

#include "inidir_win.h"
#include "ntp/serverrow.h"
#include "text/memblock.h"
#include "text/serverlists.h"
#include "text/textfile.h"

namespace {

const wchar_t kIni[] =
    L"[NTP_SERVER_1]\r\n"
    L"10.0.0.1;#0\r\n10.0.0.2;#1\r\n10.0.0.3;#2\r\n10.0.0.4;#3\r\n10.0.0.5;#4\r\n"
    L"10.0.0.6;#5\r\n10.0.0.7;#6\r\n10.0.0.8;#7\r\n10.0.0.9;#8\r\n10.0.0.10;#9\r\n"
    L"[NTP_SERVER_2]\r\n10.0.1.1\r\n";

// Reads that fail at once, or after the first 64 bytes.
int __stdcall FailingRead(void*, void*, unsigned long, unsigned long* read, void*) {
  *read = 0;
  SetLastError(ERROR_LOCK_VIOLATION);
  return FALSE;
}
int __stdcall ShortRead(void* file, void* buffer, unsigned long bytes, unsigned long* read, void*) {
  LARGE_INTEGER at = {}, zero = {};
  SetFilePointerEx(file, zero, &at, FILE_CURRENT);
  if (at.QuadPart >= 64) {
    *read = 0;
    return TRUE;   // the end of the file, early
  }
  return ReadFile(file, buffer, bytes < 64 ? bytes : 64, (DWORD*)read, nullptr);
}

class ReadWholeFileTest : public IniDirTest {
 protected:
  void TearDown() override {
    SetFileReadFunction(nullptr);
    IniDirTest::TearDown();
  }
};

TEST_F(ReadWholeFileTest, AReadableFileComesWholeAndTerminated) {
  WriteUtf16(kIni);
  uint64_t bytes = 0;
  void* block = ReadWholeFile(IniPath().c_str(), READ_NO_LIMIT, &bytes);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ((sizeof kIni / sizeof kIni[0]) * 2, bytes);   // the mark, then the text without its terminator
  EXPECT_EQ(0, memcmp((const wchar_t*)block + 1, kIni, sizeof kIni - 2));
  EXPECT_EQ(0, ((const wchar_t*)block)[bytes / 2]);
  ReleaseBlock(&block);
  // A limit below the size reads that much, and that is the whole read asked for.
  block = ReadWholeFile(IniPath().c_str(), 10, &bytes);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(10u, bytes);
  ReleaseBlock(&block);
}

TEST_F(ReadWholeFileTest, AFileWhoseReadFailsOrStopsShortIsNoFile) {
  WriteUtf16(kIni);
  for (FILEREADFUNCTION read : {FailingRead, ShortRead}) {
    SetFileReadFunction(read);
    uint64_t bytes = 99;
    void* block = ReadWholeFile(IniPath().c_str(), READ_NO_LIMIT, &bytes);
    EXPECT_EQ(nullptr, block);
    EXPECT_EQ(0u, bytes);
    ReleaseBlock(&block);
  }
}

TEST_F(ReadWholeFileTest, AFileHoldingLessThanItsSizeIsNoFile) {
  // A sysfs file says 4096 bytes and holds a few: the real short read.
  const wchar_t* path = L"Z:\\sys\\devices\\system\\cpu\\online";
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &info) || info.nFileSizeLow != 4096)
    GTEST_SKIP() << "no sysfs file of 4096 bytes here";
  uint64_t bytes = 99;
  void* block = ReadWholeFile(path, READ_NO_LIMIT, &bytes);
  EXPECT_EQ(nullptr, block);
  ReleaseBlock(&block);
  // Asked for no more than it holds, it reads.
  block = ReadWholeFile(path, 1, &bytes);
  EXPECT_NE(nullptr, block);
  EXPECT_EQ(1u, bytes);
  ReleaseBlock(&block);
}

TEST_F(ReadWholeFileTest, AnUnreadableIniFileLeavesTheBuiltInListsInPlace) {
  WriteUtf16(kIni);
  SetFileReadFunction(ShortRead);
  LoadServerLists();
  SetFileReadFunction(nullptr);
  EXPECT_EQ(0, g_app.iniPresent);
  EXPECT_EQ(std::wstring(L"#0 阿里云授时服务中心"), g_workTable[0].name);
  EXPECT_EQ(34u, ExtraListCount());
  // Readable again, the same file is used.
  LoadServerLists();
  EXPECT_EQ(1, g_app.iniPresent);
  EXPECT_EQ(std::wstring(L"10.0.0.1"), g_workTable[0].host);
  EXPECT_EQ(1u, ExtraListCount());
}

}  // namespace
