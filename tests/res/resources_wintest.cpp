// The resources linked into the program: the forty-six interface strings, the
// three text resources, the icon, the version block and the manifest, read back
// the way the program and the system read them.
#include <gtest/gtest.h>
#include <windows.h>
#include <set>
#include <string>
#include <vector>

#include "testtext.h"
#include "text/lines.h"
#include "text/memblock.h"
#include "text/textfile.h"

namespace {

#ifdef _WIN64
const char kProcessor[] = "AMD64";
const wchar_t kOriginalFilename[] = L"Quorlin_x64U.EXE";
#else
const char kProcessor[] = "X86";
const wchar_t kOriginalFilename[] = L"Quorlin_x86U.EXE";
#endif

const char* const kStrings[55] = {
    "超时", "时间：", "授时服务器", "正确时间[T4+θ]", "时间偏差(比服务器)", "往返延迟(ms)", "根延迟(ms)",
    "秒", "天", "小时", "分钟", "毫秒", "快了：", "慢了：", "超过", "已同步，等更新", "同步时间服务器",
    "同步时间失败！申请修改时间权限不成功！", "成功！", "失败！", "同步时间失败！无网络或服务器链接不上。",
    "询问服务器时间间隔", "关闭", "同步", "保存", "清空原有的提示信息", "快速同步时间模式", "常规同步时间模式",
    "系统启动时", "当前功能：", "自动同步时间", "定期同步时间", "成功才退出", "秒就退出", "分钟一次",
    "%s定期同步时间(间隔%s分钟)。", "定期同步时间模式", "手动同步时间。", "开始同步时间..",
    "Quorlin正在执行定期同步时间任务，", "你确定要关闭程序？要关闭选择[是]，否则选择[否]。", "提示", "Z_Score",
    "层级", "更新计划任务 %s 失败 (%s)，登录时本程序可能不会按所选方式启动。",
    "程序路径过长，自动启动项写不下，登录时不会自动启动本程序；请把程序放到较短的路径下。",
    "NTS：服务器名格式有误", "NTS：服务器证书不受信任", "NTS：本系统不支持 TLS 1.3", "NTS：密钥交换被拒绝",
    "NTS：密钥交换超时或连不上", "NTS：服务器拒绝了 Cookie（NAK）", "NTS：应答未通过认证",
    "NTS：证书不在有效期内，本机时钟可能有误", "NTS：本机时钟早于本程序的构建日期，证书已按该日期检查",
};

// A text resource as the program gets it, plus its raw lines split at CR LF.
struct TextResource {
  std::wstring text;               // without the byte-order mark
  std::vector<std::wstring> lines;
  bool hasBom = false;
  bool crlfOnly = true;            // every CR followed by LF, every LF preceded by CR
  bool endsWithLineEnd = false;
};

TextResource LoadText(int id) {
  TextResource r;
  uint64_t bytes = 0;
  void* block = LoadTextResource(id, &bytes);
  EXPECT_NE(block, nullptr) << "resource " << id;
  if (!block) return r;
  const wchar_t* w = (const wchar_t*)block;
  size_t n = (size_t)(bytes / sizeof(wchar_t));
  r.hasBom = n > 0 && w[0] == 0xFEFF;
  r.text.assign(w + (r.hasBom ? 1 : 0), w + n);
  ReleaseBlock(&block);
  for (size_t i = 0; i < r.text.size(); ++i) {
    if (r.text[i] == L'\r' && (i + 1 >= r.text.size() || r.text[i + 1] != L'\n')) r.crlfOnly = false;
    if (r.text[i] == L'\n' && (i == 0 || r.text[i - 1] != L'\r')) r.crlfOnly = false;
  }
  r.endsWithLineEnd = r.text.size() >= 2 && r.text.compare(r.text.size() - 2, 2, L"\r\n") == 0;
  size_t start = 0;
  for (size_t end; (end = r.text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    r.lines.push_back(r.text.substr(start, end - start));
  if (start < r.text.size()) r.lines.push_back(r.text.substr(start));
  return r;
}

// The content lines the program's filter leaves (trimmed on both sides).
std::vector<std::wstring> ContentLines(int id) {
  std::vector<std::wstring> out;
  uint64_t bytes = 0;
  void* block = LoadTextResource(id, &bytes);
  if (!block) return out;
  TEXTLINES lines;
  InitTextLines(&lines, 1);
  EXPECT_EQ(SplitLines(&lines.raw, (wch*)block), 1);
  EXPECT_EQ(FilterLines(&lines), 1);
  for (uint32_t i = 0; i < lines.contentCount; ++i) out.push_back(lines.content[i]);
  FreeTextLines(&lines);
  ReleaseBlock(&block);
  return out;
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix) { return s.rfind(prefix, 0) == 0; }

std::wstring TrimBlanks(const std::wstring& s) {
  size_t b = s.find_first_not_of(L" \t"), e = s.find_last_not_of(L" \t");
  return b == std::wstring::npos ? L"" : s.substr(b, e - b + 1);
}

TEST(StringTable, HoldsTheFiftyFiveTextsExactly) {
  HINSTANCE self = GetModuleHandleW(nullptr);
  for (int i = 0; i < 55; ++i) {
    const wchar_t* text = nullptr;
    int length = LoadStringW(self, 101 + i, (LPWSTR)&text, 0);   // the resource's own length
    wchar_t slot[128] = {};
    LoadStringW(self, 101 + i, slot, 128);
    SCOPED_TRACE(101 + i);
    EXPECT_EQ(Utf8(slot), kStrings[i]);
    EXPECT_EQ(length, (int)U16(kStrings[i]).size());
  }
}

TEST(StringTable, HoldsNothingOutsideItsIds) {
  HINSTANCE self = GetModuleHandleW(nullptr);
  wchar_t slot[128];
  // 146 to 148 are also the text resources' ids, of another type.
  for (int id : {0, 1, 96, 99, 100, 156, 157, 159, 160}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(LoadStringW(self, id, slot, 128), 0);
  }
}

TEST(TextResources, AreUtf16WithByteOrderMarkAndCrLf) {
  for (int id : {146, 147, 148}) {
    SCOPED_TRACE(id);
    TextResource r = LoadText(id);
    EXPECT_TRUE(r.hasBom);
    EXPECT_TRUE(r.crlfOnly);
    EXPECT_TRUE(r.endsWithLineEnd);
    EXPECT_EQ(r.text.find(L'\0'), std::wstring::npos);
  }
  // Found by the type name in any letter case, as the system compares it.
  EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(147), L"TEXT"), nullptr);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(149), L"Text"), nullptr);
}

TEST(TextResources, MainListHasItsHeaderAndTenAlignedRows) {
  TextResource r = LoadText(147);
  ASSERT_EQ(r.lines.size(), 17u);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(StartsWith(r.lines[i], L"//")) << i;
  EXPECT_EQ(r.lines[5], L"");
  EXPECT_TRUE(StartsWith(r.lines[6], L"//"));
  EXPECT_NE(r.lines[6].find(U16("服务器域名")), std::wstring::npos);
  EXPECT_NE(r.lines[6].find(U16("服务器名称")), std::wstring::npos);

  const char* names[10] = {"#0 阿里云授时服务中心", "#1 腾讯云授时服务中心", "#2 微软公司授时服务器",
                           "#3 国际快速授时服务器", "#4 中国科学院授时中心", "#5 中国教育网授时中心",
                           "#6 香港天文台授时中心", "#7 澳门气象局授时中心", "#8 苹果亚洲授时服务器",
                           "#9 其它服务器"};
  const char* hosts[10] = {"ntp.aliyun.com", "ntp.tencent.com", "time.windows.com", "cn.ntp.org.cn",
                           "ntp.ntsc.ac.cn", "edu.ntp.org.cn",  "stdtime.gov.hk",   "time.smg.gov.mo",
                           "time.asia.apple.com", "此处的服务器不用填写"};
  for (int row = 0; row < 10; ++row) {
    SCOPED_TRACE(row);
    const std::wstring& line = r.lines[7 + row];
    // host, tabs, ";", one tab, name
    size_t semi = line.find(L';');
    ASSERT_NE(semi, std::wstring::npos);
    std::wstring host = line.substr(0, semi);
    EXPECT_EQ(host.find_first_not_of(L'\t', U16(hosts[row]).size()), std::wstring::npos);
    EXPECT_EQ(host.substr(0, U16(hosts[row]).size()), U16(hosts[row]));
    EXPECT_EQ(host[host.size() - 1], L'\t');
    EXPECT_EQ(line.substr(semi, 2), L";\t");
  }
  const std::wstring remark = U16("\t//行后注释");
  EXPECT_TRUE(r.lines[16].size() > remark.size() &&
              r.lines[16].compare(r.lines[16].size() - remark.size(), remark.size(), remark) == 0);

  // What the loader sees after filtering: ten rows, host ";" name.
  std::vector<std::wstring> content = ContentLines(147);
  ASSERT_EQ(content.size(), 10u);
  for (int row = 0; row < 10; ++row) {
    SCOPED_TRACE(row);
    size_t semi = content[row].find(L';');
    ASSERT_NE(semi, std::wstring::npos);
    EXPECT_EQ(Utf8(TrimBlanks(content[row].substr(0, semi))), hosts[row]);
    EXPECT_EQ(Utf8(TrimBlanks(content[row].substr(semi + 1))), names[row]);
  }
}

TEST(TextResources, ExtraListHasThirtyFourKnownHostsWithOneRepeated) {
  TextResource r = LoadText(148);
  ASSERT_EQ(r.lines.size(), 41u);
  EXPECT_EQ(r.lines[0], L"");
  for (int i = 1; i <= 5; ++i) EXPECT_TRUE(StartsWith(r.lines[i], L"//")) << i;
  EXPECT_EQ(r.lines[6], L"");

  // Public services only, as their operators publish them.
  const std::set<std::string> known = {
      "ntp.aliyun.com", "ntp1.aliyun.com", "ntp2.aliyun.com", "ntp3.aliyun.com", "ntp4.aliyun.com",
      "ntp5.aliyun.com", "ntp6.aliyun.com", "ntp7.aliyun.com", "ntp.tencent.com", "ntp1.tencent.com",
      "ntp2.tencent.com", "ntp3.tencent.com", "ntp4.tencent.com", "ntp5.tencent.com", "time.windows.com",
      "ntp.ntsc.ac.cn", "ntp1.nim.ac.cn", "ntp2.nim.ac.cn", "cn.ntp.org.cn", "edu.ntp.org.cn",
      "ntp.sjtu.edu.cn", "ntp.tuna.tsinghua.edu.cn", "stdtime.gov.hk", "time.hko.hk", "time.smg.gov.mo",
      "time.stdtime.gov.tw", "tock.stdtime.gov.tw", "watch.stdtime.gov.tw", "time.asia.apple.com",
      "time.apple.com", "pool.ntp.org", "cn.pool.ntp.org", "asia.pool.ntp.org", "hk.pool.ntp.org",
      "time.google.com", "time1.google.com", "time2.google.com", "time3.google.com", "time4.google.com",
      "time.cloudflare.com", "time.nist.gov", "ptbtime1.ptb.de", "ptbtime2.ptb.de"};
  std::vector<std::wstring> content = ContentLines(148);
  ASSERT_EQ(content.size(), 34u);
  std::set<std::wstring> distinct;
  int commented = 0;
  for (int i = 0; i < 34; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(known.count(Utf8(content[i])), 1u) << Utf8(content[i]);
    distinct.insert(content[i]);
    const std::wstring& raw = r.lines[7 + i];
    EXPECT_TRUE(StartsWith(raw, content[i].c_str()));
    size_t comment = raw.find(L"//");
    if (comment != std::wstring::npos) {
      ++commented;
      EXPECT_EQ(raw[comment - 1], L'\t');
    }
  }
  EXPECT_EQ(distinct.size(), 33u);
  EXPECT_GT(commented, 17);   // most lines name their operator
}

TEST(TextResources, HelpTextHasItsCommentsAndSeventeenPoints) {
  TextResource r = LoadText(146);
  ASSERT_GT(r.lines.size(), 25u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(StartsWith(r.lines[i], L"//")) << i;
  EXPECT_TRUE(r.lines[3].size() > 1 && (r.lines[3][0] == L' ' || r.lines[3][0] == L'\t'));

  // Numbered points 1 to 17, once each, in order.
  std::vector<int> numbers;
  for (const std::wstring& line : r.lines) {
    size_t digits = 0;
    while (digits < line.size() && iswdigit(line[digits])) ++digits;
    if (digits && digits < line.size() && line[digits] == L'.') numbers.push_back(std::stoi(line.substr(0, digits)));
  }
  ASSERT_EQ(numbers.size(), 17u);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(numbers[i], i + 1);

  // The log box cuts a line at "//": no shown line may contain one.
  for (size_t i = 3; i < r.lines.size(); ++i) EXPECT_EQ(r.lines[i].find(L"//"), std::wstring::npos) << i;

  int examples = 0;
  for (const std::wstring& line : r.lines)
    if (TrimBlanks(line).rfind(L"Quorlin_x64.EXE ", 0) == 0) ++examples;
  EXPECT_GE(examples, 9);
  EXPECT_NE(r.text.find(U16("2025年")), std::wstring::npos);
}

TEST(Icon, HasSixteenThirtyTwoAndFortyEightPixelImages) {
#pragma pack(push, 2)
  struct GroupEntry { BYTE width, height, colors, reserved; WORD planes, bits; DWORD bytes; WORD id; };
  struct GroupHeader { WORD reserved, type, count; };
#pragma pack(pop)
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(100), RT_GROUP_ICON);
  ASSERT_NE(found, nullptr);
  const BYTE* data = (const BYTE*)LockResource(LoadResource(nullptr, found));
  ASSERT_NE(data, nullptr);
  const GroupHeader* header = (const GroupHeader*)data;
  ASSERT_EQ(header->type, 1);
  std::set<int> sizes;
  const GroupEntry* entries = (const GroupEntry*)(data + sizeof(GroupHeader));
  for (int i = 0; i < header->count; ++i) {
    EXPECT_EQ(entries[i].width, entries[i].height);
    sizes.insert(entries[i].width);
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32, 48}));
  for (int size : {16, 32, 48}) {
    HICON icon = (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(100), IMAGE_ICON, size, size, 0);
    EXPECT_NE(icon, nullptr) << size;
    if (icon) DestroyIcon(icon);
  }
}

std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name) {
  struct Translation { WORD language, codePage; }* translation = nullptr;
  UINT bytes = 0;
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &bytes) || bytes < 4)
    return L"(no translation)";
  wchar_t path[128];
  wsprintfW(path, L"\\StringFileInfo\\%04x%04x\\%s", translation->language, translation->codePage, name);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(info.data(), path, (void**)&value, &bytes) || !value) return L"(missing)";
  return value;
}

TEST(VersionBlock, NamesTheProgramAndItsBuild) {
  wchar_t self[MAX_PATH * 4];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH * 4), 0u);
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(self, &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(self, 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT bytes = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", (void**)&fixed, &bytes));
  EXPECT_EQ(fixed->dwFileVersionMS, (DWORD)MAKELONG(3, 1));
  EXPECT_EQ(fixed->dwFileVersionLS, (DWORD)MAKELONG(1109, 2025));
  EXPECT_EQ(fixed->dwProductVersionMS, (DWORD)MAKELONG(3, 1));
  EXPECT_EQ(fixed->dwProductVersionLS, (DWORD)MAKELONG(1109, 2025));

  EXPECT_EQ(VersionString(info, L"FileVersion"), L"1.3.2025.1109");
  EXPECT_EQ(VersionString(info, L"ProductVersion"), L"1.3.2025.1109");
  EXPECT_EQ(Utf8(VersionString(info, L"FileDescription").c_str()), "Quorlin- 时间同步工具");
  EXPECT_EQ(VersionString(info, L"ProductName"), L"Quorlin.EXE");
  EXPECT_EQ(VersionString(info, L"OriginalFilename"), kOriginalFilename);
  // A build with the key-log route (tests) is marked where a person looks; a release is not.
#if QL_NTS_KEYLOG_ROUTE
  EXPECT_NE(VersionString(info, L"Comments").find(L"not for release"), std::wstring::npos);
#else
  EXPECT_EQ(VersionString(info, L"Comments"), L"(missing)");
#endif
}

TEST(Manifest, RequestsElevationCommonControlsSixAndDpiAwareness) {
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  DWORD size = SizeofResource(nullptr, found);
  const char* data = (const char*)LockResource(LoadResource(nullptr, found));
  ASSERT_NE(data, nullptr);
  const std::string manifest(data, size);

  // The program's own identity with the build's processor (not a tool chain default).
  size_t identity = manifest.find("<assemblyIdentity");
  ASSERT_NE(identity, std::string::npos);
  std::string own = manifest.substr(identity, manifest.find("/>", identity) - identity);
  EXPECT_NE(own.find("name=\"Quorlin"), std::string::npos) << own;
  EXPECT_NE(own.find("version=\"1.0.0.0\""), std::string::npos) << own;
  EXPECT_NE(own.find(std::string("processorArchitecture=\"") + kProcessor + "\""), std::string::npos) << own;

  size_t controls = manifest.find("Microsoft.Windows.Common-Controls");
  ASSERT_NE(controls, std::string::npos);
  std::string dependency = manifest.substr(controls, manifest.find("/>", controls) - controls);
  EXPECT_NE(dependency.find("version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(dependency.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
  EXPECT_NE(dependency.find("processorArchitecture=\"*\""), std::string::npos);

  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
  for (const char* os : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                         "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
    EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + os + "\"/>"), std::string::npos) << os;
}

}  // namespace
