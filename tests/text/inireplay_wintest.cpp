// The INI fuzz corpus replayed through the Win32 loader under Wine: each file as
// UTF-16 with the byte-order mark, converted to ANSI text in the system's code
// page (936 here), and as its raw bytes. The loaders read it from beside the
// program like a user's file; rows, extra list, strings and help text must stay
// terminated within their fields, and a text that converts to ANSI and back
// without loss must load the same in both encodings.
#include <string>
#include <vector>

#include "inidir_win.h"
#include "ntp/serverrow.h"
#include "text/iniconfig.h"
#include "text/serverlists.h"
#include "text/strings.h"

#ifndef QL_INI_CORPUS_DIR
#error "QL_INI_CORPUS_DIR names the INI seed corpus"
#endif
#define QL_WIDEN2(s) L##s
#define QL_WIDEN(s) QL_WIDEN2(s)

namespace {

struct Corpus {
  std::wstring name;
  std::string bytes;
};

std::vector<Corpus> ReadCorpus() {
  std::vector<Corpus> files;
  const std::wstring dir = QL_WIDEN(QL_INI_CORPUS_DIR);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    HANDLE f = CreateFileW((dir + L"\\" + found.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) continue;
    std::string bytes(found.nFileSizeLow, '\0');
    DWORD n = 0;
    if (bytes.empty() || ReadFile(f, &bytes[0], (DWORD)bytes.size(), &n, nullptr)) bytes.resize(n);
    CloseHandle(f);
    files.push_back({found.cFileName, bytes});
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return files;
}

// The text as the native fuzz target reads the same bytes: UTF-16LE after the
// mark, up to the first zero unit.
std::wstring Utf16Text(const std::string& bytes) {
  size_t start = bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE ? 2 : 0;
  std::wstring text;
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    wchar_t c = (wchar_t)((uint8_t)bytes[i] | ((uint8_t)bytes[i + 1] << 8));
    if (!c) break;
    text.push_back(c);
  }
  return text;
}

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
  std::string ansi((size_t)n, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), &ansi[0], n, nullptr, nullptr);
  return ansi;
}

std::wstring FromAnsi(const std::string& ansi) {
  if (ansi.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), (int)ansi.size(), nullptr, 0);
  std::wstring text((size_t)n, L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), (int)ansi.size(), &text[0], n);
  return text;
}

// The field's text; a finding when it has no terminator within cap units.
std::wstring Field(const wchar_t* field, size_t cap, const std::wstring& what) {
  size_t n = 0;
  while (n < cap && field[n]) ++n;
  EXPECT_LT(n, cap) << what << " is not terminated within its field";
  return std::wstring(field, n < cap ? n : cap);
}

// Everything the program took from one file.
struct Loaded {
  std::vector<std::wstring> hosts, names, extra, strings;
  std::wstring help;
  bool operator==(const Loaded& o) const {
    return hosts == o.hosts && names == o.names && extra == o.extra && strings == o.strings && help == o.help;
  }
};

}  // namespace

class IniReplayTest : public IniDirTest {
 protected:
  Loaded Load(const std::string& bytes, const std::wstring& what) {
    Loaded got;
    WriteBytes(bytes.data(), bytes.size());
    LoadServerLists();
    EXPECT_EQ(g_app.iniPresent, 1) << what;
    LoadInterfaceStrings();
    for (int i = 0; i < SERVER_COUNT; ++i) {
      got.hosts.push_back(Field(g_workTable[i].host, HOST_CHARS, what + L": host of row " + std::to_wstring(i)));
      got.names.push_back(Field(g_workTable[i].name, HOST_CHARS, what + L": name of row " + std::to_wstring(i)));
    }
    for (uint32_t i = 0; i < ExtraListCount(); ++i)
      got.extra.push_back(Field(g_extraList[i].host, HOST_CHARS, what + L": extra host " + std::to_wstring(i)));
    // Row #9 starts with the first extra host.
    if (!got.extra.empty()) {
      EXPECT_EQ(got.hosts[SERVER_COUNT - 1], got.extra[0]) << what;
    }
    for (int id = STRING_FIRST_ID; id < STRING_FIRST_ID + STRING_COUNT; ++id)
      got.strings.push_back(Field(Str(id), STRING_CHARS, what + L": string " + std::to_wstring(id)));
    LogBox box;
    EXPECT_NE(box.hwnd, nullptr) << "no EDIT control: these tests need a display (run under Xvfb, DISPLAY set)";
    if (box.hwnd) {
      FillHelpText(box.hwnd);
      got.help = box.Text();
    }
    return got;
  }
};

TEST_F(IniReplayTest, EveryCorpusFileLoadsTheSameAsUtf16AndAsAnsi) {
  const std::vector<Corpus> corpus = ReadCorpus();
  ASSERT_GE(corpus.size(), 5u) << "the INI corpus was not found in " << QL_WIDEN(QL_INI_CORPUS_DIR);
  int lossless = 0;
  for (const Corpus& file : corpus) {
    const std::wstring text = Utf16Text(file.bytes);
    const std::wstring utf16 = L"\xFEFF" + text;
    const Loaded wide = Load(std::string((const char*)utf16.data(), utf16.size() * sizeof(wchar_t)),
                             file.name + L" as UTF-16");
    const std::string ansi = ToAnsi(text);
    const Loaded narrow = Load(ansi, file.name + L" as ANSI");
    if (FromAnsi(ansi) == text) {
      ++lossless;
      EXPECT_TRUE(narrow == wide) << file.name << ": the ANSI file loads differently from the UTF-16 one";
    }
    // The bytes as they stand: UTF-16 when they carry the mark, else read as ANSI.
    Load(file.bytes, file.name + L" as its bytes");
  }
  // The project's own files hold only characters of code page 936.
  EXPECT_GE(lossless, 5) << "too few corpus files convert to ANSI without loss";
}
