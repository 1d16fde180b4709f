// Saves one registry value (and whether its key existed) in the test's own
// Wine prefix and puts it back when the guard goes out of scope, so a test
// leaves the registry as it found it.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

class RegistryGuard {
 public:
  // view: 0 for the build's own registry view, or KEY_WOW64_32KEY / KEY_WOW64_64KEY.
  RegistryGuard(HKEY root, const wchar_t* subkey, const wchar_t* valueName, REGSAM view = 0)
      : root_(root), subkey_(subkey), hasName_(valueName != nullptr),
        name_(valueName ? valueName : L""), view_(view) {
    HKEY key;
    keyExisted_ = RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_READ | view_, &key) == ERROR_SUCCESS;
    if (!keyExisted_) return;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, Name(), nullptr, &type_, nullptr, &bytes) == ERROR_SUCCESS) {
      data_.resize(bytes);
      present_ = RegQueryValueExW(key, Name(), nullptr, &type_, data_.data(), &bytes) == ERROR_SUCCESS;
      data_.resize(bytes);
    }
    RegCloseKey(key);
  }

  ~RegistryGuard() {
    if (!keyExisted_) {
      RegDeleteKeyExW(root_, subkey_.c_str(), view_, 0);   // only empty keys go
      HKEY key;
      if (RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_SET_VALUE | view_, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, Name());
        RegCloseKey(key);
      }
      return;
    }
    HKEY key;
    if (RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_SET_VALUE | view_, &key) != ERROR_SUCCESS) return;
    if (present_)
      RegSetValueExW(key, Name(), 0, type_, data_.data(), (DWORD)data_.size());
    else
      RegDeleteValueW(key, Name());
    RegCloseKey(key);
  }

  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;

 private:
  const wchar_t* Name() const { return hasName_ ? name_.c_str() : nullptr; }

  HKEY root_;
  std::wstring subkey_;
  bool hasName_;
  std::wstring name_;
  REGSAM view_;
  bool keyExisted_ = false;
  bool present_ = false;
  DWORD type_ = 0;
  std::vector<BYTE> data_;
};

// Reads a REG_SZ value directly (not through the program), "" with *found false when absent.
inline std::wstring ReadRegText(HKEY root, const wchar_t* subkey, const wchar_t* valueName,
                                REGSAM view = 0, bool* found = nullptr) {
  if (found) *found = false;
  HKEY key;
  if (RegOpenKeyExW(root, subkey, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return L"";
  DWORD type = 0, bytes = 0;
  std::wstring text;
  if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS && type == REG_SZ) {
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, 0);
    if (RegQueryValueExW(key, valueName, nullptr, &type, (BYTE*)buffer.data(), &bytes) == ERROR_SUCCESS) {
      text.assign(buffer.data(), bytes / sizeof(wchar_t));
      while (!text.empty() && text.back() == 0) text.pop_back();
      if (found) *found = true;
    }
  }
  RegCloseKey(key);
  return text;
}

// Writes a value of any type directly (not through the program).
inline bool WriteRegRaw(HKEY root, const wchar_t* subkey, const wchar_t* valueName, DWORD type,
                        const void* data, DWORD bytes, REGSAM view = 0) {
  HKEY key;
  if (RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  bool ok = RegSetValueExW(key, valueName, 0, type, (const BYTE*)data, bytes) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

inline bool WriteRegText(HKEY root, const wchar_t* subkey, const wchar_t* valueName,
                         const std::wstring& text, REGSAM view = 0) {
  return WriteRegRaw(root, subkey, valueName, REG_SZ, text.c_str(),
                     (DWORD)((text.size() + 1) * sizeof(wchar_t)), view);
}

inline void DeleteRegValue(HKEY root, const wchar_t* subkey, const wchar_t* valueName, REGSAM view = 0) {
  HKEY key;
  if (RegOpenKeyExW(root, subkey, 0, KEY_SET_VALUE | view, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, valueName);
  RegCloseKey(key);
}
