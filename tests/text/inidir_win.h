// Test helpers under Wine: a temporary program folder that LoadServerLists
// looks into (through g_cmdLine.argv[0]), INI files written there in either
// encoding, and a multi-line EDIT control standing in for the log box.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "app/appstate.h"
#include "app/cmdline.h"

class IniDirTest : public ::testing::Test {
 protected:
  std::wstring dir, program;
  wchar_t* argv[2] = {nullptr, nullptr};
  CMDLINE saved = {nullptr, 0};

  void SetUp() override {
    static int serial;
    wchar_t tmp[MAX_PATH + 1] = {0};
    ASSERT_GT(GetTempPathW(MAX_PATH, tmp), 0u);
    dir = std::wstring(tmp) + L"ql_text_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
    UseProgram(dir + L"\\Quorlin_x64.exe");
    saved = g_cmdLine;
  }

  void TearDown() override {
    g_cmdLine = saved;
    RemoveIni();
    RemoveDirectoryW(dir.c_str());
  }

  void UseProgram(const std::wstring& path) {
    program = path;
    argv[0] = &program[0];
    g_cmdLine.argv = argv;
    g_cmdLine.argc = 1;
  }

  std::wstring IniPath() const { return dir + L"\\Quorlin.INI"; }

  void RemoveIni() {
    DeleteFileW(IniPath().c_str());
    RemoveDirectoryW(IniPath().c_str());
  }

  void WriteBytes(const void* data, size_t size) {
    HANDLE f = CreateFileW(IniPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(size == 0 || WriteFile(f, data, (DWORD)size, &n, nullptr));
    CloseHandle(f);
    ASSERT_EQ(n, (DWORD)size);
  }

  // UTF-16LE with the byte-order mark.
  void WriteUtf16(const std::wstring& text) {
    std::wstring withMark = L"\xFEFF" + text;
    WriteBytes(withMark.data(), withMark.size() * sizeof(wchar_t));
  }

  // The same text in the ANSI code page (936 under the test runner).
  void WriteAnsi(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), (int)text.size(), &bytes[0], n, nullptr, nullptr);
    WriteBytes(bytes.data(), bytes.size());
  }
};

// A multi-line EDIT control without a parent; needs a display (Xvfb).
struct LogBox {
  HWND hwnd;
  LogBox() {
    hwnd = CreateWindowExW(0, L"EDIT", L"", WS_POPUP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL, 0, 0, 400, 300,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (hwnd) SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);   // no 30,000-character cap
  }
  ~LogBox() {
    if (hwnd) DestroyWindow(hwnd);
  }
  std::wstring Text() const {
    int n = GetWindowTextLengthW(hwnd);
    std::wstring s((size_t)n + 1, L'\0');
    GetWindowTextW(hwnd, &s[0], n + 1);
    s.resize((size_t)lstrlenW(s.c_str()));
    return s;
  }
};

#define ASSERT_LOGBOX(box) \
  ASSERT_NE((box).hwnd, nullptr) << "no EDIT control: these tests need a display (run under Xvfb, DISPLAY set)"
