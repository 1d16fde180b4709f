// LoadServerLists against real files under Wine: the built-in lists, the INI file
// in both encodings, and files that must be ignored.
#include <set>
#include <string>
#include <vector>

#include "inidir_win.h"
#include "ntp/nts_name.h"
#include "ntp/serverrow.h"
#include "text/iniconfig.h"
#include "text/serverlists.h"
#include "text/strings.h"

namespace {

const wchar_t* const kNames[SERVER_COUNT] = {
    L"#0 阿里云授时服务中心", L"#1 腾讯云授时服务中心", L"#2 微软公司授时服务器", L"#3 国际快速授时服务器",
    L"#4 中国科学院授时中心", L"#5 中国教育网授时中心", L"#6 香港天文台授时中心", L"#7 澳门气象局授时中心",
    L"#8 苹果亚洲授时服务器", L"#9 其它服务器"};

std::wstring Host(int i) { return g_workTable[i].host; }
std::wstring Name(int i) { return g_workTable[i].name; }

std::vector<std::wstring> Extras() {
  std::vector<std::wstring> v;
  for (uint32_t i = 0; i < ExtraListCount(); ++i) v.push_back(g_extraList[i].host);
  return v;
}

// A complete file for a local network: ten rows, two extra hosts, no public host.
const wchar_t kLocalIni[] =
    L"; 局域网配置\r\n"
    L"[ntp_server_1]\r\n"
    L"10.0.0.1\t;\t#0 本地甲\r\n"
    L"10.0.0.2\t;\t#1 本地乙 // 备注\r\n"
    L"10.0.0.3\t\t#2 缺少分号\r\n"
    L"10.0.0.4\t;\t#3 名=称\r\n"
    L"10.0.0.5;#4\r\n10.0.0.6;#5\r\n10.0.0.7;#6\r\n10.0.0.8;#7\r\n10.0.0.9;#8\r\n"
    L"此处的服务器不用填写;#9 其它服务器\r\n"
    L"[NTP_SERVER_2]\r\n"
    L"\t10.0.1.1\r\n"
    L"10.0.1.2   // 第二台\r\n";

}  // namespace

class ServerListsTest : public IniDirTest {};

TEST_F(ServerListsTest, BuiltInListsWithoutIniFile) {
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(std::wstring(g_app.iniPath), IniPath());
  for (int i = 0; i < SERVER_COUNT; ++i) {
    EXPECT_EQ(Name(i), kNames[i]);
    EXPECT_FALSE(Host(i).empty()) << i;
    EXPECT_EQ(Host(i).find_first_of(L" \t;/"), std::wstring::npos) << i;
  }
  std::vector<std::wstring> extra = Extras();
  ASSERT_EQ(extra.size(), 34u);
  std::set<std::wstring> distinct(extra.begin(), extra.end());
  EXPECT_EQ(distinct.size(), 33u);   // one host occurs twice
  for (const std::wstring& h : extra) {
    EXPECT_FALSE(h.empty());
    EXPECT_EQ(h.find_first_of(L" \t;/"), std::wstring::npos) << h;
  }
  // Row #9 starts with the host the other-server selector shows first.
  EXPECT_EQ(Host(9), extra[0]);
}

TEST_F(ServerListsTest, BareProgramNameFindsNoIniFile) {
  UseProgram(L"Quorlin_x64");
  LoadServerLists();
  EXPECT_EQ(std::wstring(g_app.iniPath), L"Quorlin_x64\\Quorlin.INI");
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(ExtraListCount(), 34u);

  g_cmdLine.argv = nullptr;
  g_cmdLine.argc = 0;
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(Name(0), kNames[0]);
}

TEST_F(ServerListsTest, IniFileReplacesBothLists) {
  WriteUtf16(kLocalIni);
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 1);
  EXPECT_EQ(Host(0), L"10.0.0.1");
  EXPECT_EQ(Name(1), L"#1 本地乙");
  EXPECT_EQ(Host(2), L"");   // no ";": the row stays empty, the rows after keep their place
  EXPECT_EQ(Name(2), L"");
  EXPECT_EQ(Name(3), L"#3 名");
  EXPECT_EQ(Host(8), L"10.0.0.9");
  EXPECT_EQ(Name(9), L"#9 其它服务器");
  ASSERT_EQ(Extras(), (std::vector<std::wstring>{L"\t10.0.1.1", L"10.0.1.2"}));
  EXPECT_EQ(Host(9), L"\t10.0.1.1");
}

TEST_F(ServerListsTest, Utf16AndAnsiFilesGiveTheSameRows) {
  ASSERT_EQ(GetACP(), 936u) << "the runner sets a Chinese locale";
  WriteUtf16(kLocalIni);
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 1);
  std::vector<std::wstring> unicode;
  for (int i = 0; i < SERVER_COUNT; ++i) unicode.push_back(Host(i) + L"|" + Name(i));
  std::vector<std::wstring> unicodeExtra = Extras();

  WriteAnsi(kLocalIni);
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 1);
  for (int i = 0; i < SERVER_COUNT; ++i) EXPECT_EQ(Host(i) + L"|" + Name(i), unicode[i]) << i;
  EXPECT_EQ(Extras(), unicodeExtra);
  EXPECT_EQ(Name(0), L"#0 本地甲");
}

TEST_F(ServerListsTest, MissingSectionsNeverFallBackToBuiltInHosts) {
  WriteUtf16(L"[STRINGTABLE]\r\n101=x\r\n");
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 1);
  for (int i = 0; i < SERVER_COUNT; ++i) EXPECT_EQ(Host(i) + Name(i), L"") << i;
  EXPECT_EQ(ExtraListCount(), 0u);
  EXPECT_EQ(g_extraList, nullptr);

  // Without an extra list row #9 keeps the host its own entry gave.
  WriteUtf16(L"[NTP_SERVER_1]\r\n10.0.0.1;a\r\n10.0.0.2;b\r\n");
  LoadServerLists();
  EXPECT_EQ(Host(1), L"10.0.0.2");
  EXPECT_EQ(Host(2), L"");
  EXPECT_EQ(ExtraListCount(), 0u);

  WriteBytes("", 0);   // an empty file is a file in use, with nothing in it
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 1);
  EXPECT_EQ(Host(0), L"");
}

TEST_F(ServerListsTest, OversizedFilesAndDirectoriesAreIgnored) {
  // Exactly the largest size accepted, then one byte more.
  std::string big = "[NTP_SERVER_1]\r\n10.0.0.1;big\r\n";
  big.resize(INI_MAX_BYTES, ' ');
  WriteBytes(big.data(), big.size());
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 1);
  EXPECT_EQ(Name(0), L"big");

  big += ' ';
  WriteBytes(big.data(), big.size());
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(Name(0), kNames[0]);
  EXPECT_EQ(ExtraListCount(), 34u);

  std::string kib300(300 * 1024, ' ');
  kib300.replace(0, 30, "[NTP_SERVER_1]\r\n10.0.0.1;x\r\n");
  WriteBytes(kib300.data(), kib300.size());
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(Name(0), kNames[0]);

  // 10 MB, made by extending the file: refused by its size alone.
  HANDLE f = CreateFileW(IniPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  LARGE_INTEGER at;
  at.QuadPart = 10 * 1024 * 1024;
  ASSERT_TRUE(SetFilePointerEx(f, at, nullptr, FILE_BEGIN) && SetEndOfFile(f));
  CloseHandle(f);
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(ExtraListCount(), 34u);

  RemoveIni();
  ASSERT_TRUE(CreateDirectoryW(IniPath().c_str(), nullptr));
  LoadServerLists();
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(Name(9), kNames[9]);
}

TEST_F(ServerListsTest, FileThatCannotBeOpenedIsIgnored) {
  WriteUtf16(kLocalIni);
  // Held open without sharing: its attributes are readable, its contents are not.
  HANDLE f = CreateFileW(IniPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  LoadServerLists();
  CloseHandle(f);
  EXPECT_EQ(g_app.iniPresent, 0);
  EXPECT_EQ(Name(0), kNames[0]);
}

TEST_F(ServerListsTest, RandomFilesLoadWithoutHarm) {
  uint64_t s = 0x51ED;
  for (int round = 0; round < 24; ++round) {
    std::string bytes;
    size_t n = (size_t)(round * 2731 % 40000) + round;
    if (round % 3 == 0) bytes = "\xFF\xFE";
    for (size_t i = 0; i < n; ++i) {
      s ^= s << 13, s ^= s >> 7, s ^= s << 17;
      // Mostly structure characters, so sections and entries do appear.
      const char pool[] = "[]=;/\r\n\t NTP_SERVER_12STRINGTABLE\x81\xA1\xFE\xFF";
      bytes += (s & 3) ? pool[(s >> 8) % (sizeof(pool) - 1)] : (char)(s >> 16);
    }
    WriteBytes(bytes.data(), bytes.size());
    LoadServerLists();
    ASSERT_EQ(g_app.iniPresent, 1) << round;
    LoadInterfaceStrings();
    FillHelpText(nullptr);
    for (int i = 0; i < SERVER_COUNT; ++i) {
      ASSERT_LT(lstrlenW(g_workTable[i].host), HOST_CHARS);
      ASSERT_LT(lstrlenW(g_workTable[i].name), HOST_CHARS);
    }
    for (uint32_t i = 0; i < ExtraListCount(); ++i) ASSERT_LT(lstrlenW(g_extraList[i].host), HOST_CHARS);
    for (int id = 101; id <= 144; ++id) ASSERT_LT(lstrlenW(Str(id)), STRING_CHARS);
    EXPECT_EQ(Str(117)[0], L' ');
  }
}

// The shipped NTS example, read as the program reads it beside the executable:
// every row but #9 and every extra host an NTS server the name parser accepts,
// and the "//" of "nts://" never taken for a comment.
TEST_F(ServerListsTest, TheNtsExampleNamesOnlyWellFormedNtsServers) {
  std::wstring path = L"" QL_EXAMPLES_DIR L"/nts/Quorlin.INI";
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << GetLastError();
  std::string bytes(64 * 1024, '\0');
  DWORD n = 0;
  const BOOL read = ReadFile(f, &bytes[0], (DWORD)bytes.size(), &n, nullptr);
  CloseHandle(f);
  ASSERT_TRUE(read);
  bytes.resize(n);
  WriteBytes(bytes.data(), bytes.size());
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 1);
  std::set<std::wstring> hosts;
  for (int i = 0; i < SERVER_COUNT - 1; ++i) {
    SCOPED_TRACE(i);
    wch name[HOST_CHARS];
    uint16_t port = 1;
    EXPECT_EQ(NTSNAME_OK, ParseNtsName(g_workTable[i].host, name, &port)) << Host(i);
    EXPECT_EQ(0, port);
    EXPECT_EQ(Name(i).substr(0, 3), L"#" + std::to_wstring(i) + L" ");
    hosts.insert(Host(i));
  }
  EXPECT_EQ(hosts.size(), (size_t)SERVER_COUNT - 1);   // nine different servers
  EXPECT_EQ(Name(9).substr(0, 3), L"#9 ");
  std::vector<std::wstring> extra = Extras();
  ASSERT_GE(extra.size(), 3u);
  for (const std::wstring& h : extra) {
    wch name[HOST_CHARS];
    uint16_t port = 0;
    EXPECT_EQ(NTSNAME_OK, ParseNtsName(h.c_str(), name, &port)) << h;
  }
  EXPECT_EQ(Host(9), extra[0]);
}
