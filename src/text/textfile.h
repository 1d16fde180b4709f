// Reading texts whole: files, the program's "Text" resources, and ANSI text
// converted to UTF-16. Every buffer is a MemBlock block owned by the caller.
#pragma once
#include <stdint.h>
#include "text/wch.h"

#define READ_NO_LIMIT UINT64_MAX

#ifdef _WIN32
// Reads at most `limit` bytes of an existing file (shared read access). The
// block holds the bytes read followed by at least 16 zero bytes, so it is a
// terminated text whether read as ANSI or as UTF-16. Null when the file cannot
// be opened, when reading fails or yields fewer bytes than its size said, or
// when memory runs out; *bytesRead (if given) gets the count.
void* ReadWholeFile(const wchar_t* path, uint64_t limit, uint64_t* bytesRead);

// The read ReadWholeFile uses; null restores ReadFile. A seam for the tests.
typedef int(__stdcall* FILEREADFUNCTION)(void* file, void* buffer, unsigned long bytes, unsigned long* read,
                                         void* overlapped);
void SetFileReadFunction(FILEREADFUNCTION function);

// A copy of resource `id` of type "Text" from the executable, followed by at
// least four zero wide characters. Null when there is no such resource.
void* LoadTextResource(int id, uint64_t* size);

// The zero-terminated ANSI text in the system's ANSI code page as UTF-16 in a
// new block; null when it cannot be converted.
wch* AnsiToWide(const char* text);

// The text of a file or resource block: after the byte-order mark when the
// bytes start with FF FE, else the ANSI bytes converted into *converted (a new
// block the caller releases). Null when the conversion fails.
wch* TextOfBlock(void* block, uint64_t bytes, wch** converted);
#endif
