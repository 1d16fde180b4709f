// Text helpers for tests: UTF-16 texts on both platforms, printable in failures.
#pragma once
#include <string>
#include "text/wch.h"

typedef std::basic_string<wch> wstr16;

// UTF-8 rendering of a UTF-16 text, for assertion messages and comparisons.
std::string Utf8(const wch* s);
inline std::string Utf8(const wstr16& s) { return Utf8(s.c_str()); }

// UTF-16 text from UTF-8 (test literals are UTF-8 source text).
wstr16 U16(const char* utf8);
