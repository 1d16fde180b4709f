#include "text/textfile.h"

#include <windows.h>

#include "text/memblock.h"

static FILEREADFUNCTION g_fileRead;

void SetFileReadFunction(FILEREADFUNCTION function) { g_fileRead = function; }

static BOOL ReadChunk(HANDLE file, void* buffer, DWORD bytes, DWORD* read) {
  if (g_fileRead) return g_fileRead(file, buffer, bytes, read, nullptr);
  return ReadFile(file, buffer, bytes, read, nullptr);
}

void* ReadWholeFile(const wchar_t* path, uint64_t limit, uint64_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (!path) return nullptr;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size;
  uint64_t want = GetFileSizeEx(file, &size) && size.QuadPart > 0 ? (uint64_t)size.QuadPart : 0;
  if (want > limit) want = limit;
  uint8_t* block = want <= UINT64_MAX - 16 ? (uint8_t*)NewBlock(want + 16) : nullptr;
  uint64_t got = 0;
  if (block) {
    while (got < want) {
      uint64_t left = want - got;
      DWORD chunk = left > 0x40000000u ? 0x40000000u : (DWORD)left, n = 0;
      if (!ReadChunk(file, block + got, chunk, &n) || n == 0) break;
      got += n;
    }
    block[got] = 0;
    block[got + 1] = 0;
  }
  CloseHandle(file);
  // A failed or short read is an unreadable file, like one that cannot be
  // opened: a part of it read as the whole would pass for an empty or cut
  // configuration.
  if (block && got != want) ReleaseBlock(&block);
  if (bytesRead) *bytesRead = block ? got : 0;
  return block;
}

void* LoadTextResource(int id, uint64_t* size) {
  if (size) *size = 0;
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"Text");
  if (!info) return nullptr;
  DWORD bytes = SizeofResource(module, info);
  HGLOBAL handle = LoadResource(module, info);
  const void* data = handle ? LockResource(handle) : nullptr;
  if (!data) return nullptr;
  uint8_t* copy = (uint8_t*)NewBlock((uint64_t)bytes + 8);
  if (!copy) return nullptr;
  CopyMemory(copy, data, bytes);
  if (size) *size = bytes;
  return copy;
}

wch* AnsiToWide(const char* text) {
  if (!text) return nullptr;
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wch* wide = (wch*)NewBlock((uint64_t)n * sizeof(wch));
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, n) != n) {
    ReleaseBlock(&wide);
    return nullptr;
  }
  return wide;
}

wch* TextOfBlock(void* block, uint64_t bytes, wch** converted) {
  *converted = nullptr;
  if (!block) return nullptr;
  const uint8_t* b = (const uint8_t*)block;
  if (bytes >= 2 && b[0] == 0xFF && b[1] == 0xFE) return (wch*)block + 1;
  *converted = AnsiToWide((const char*)block);
  return *converted;
}
