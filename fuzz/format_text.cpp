// FormatText with a format, arguments and buffer size from the input, against a
// plain reference: only "%s" takes an argument and only as many as are given,
// "%%" gives "%", the result is cut to the buffer without splitting a
// surrogate pair and always terminated.
//
// Input: bytes 0-1 the buffer size (mod 300), byte 2 the argument count (low
// three bits; bit 7 makes it -1), byte 3 which arguments are null pointers,
// byte 4 bit 0 a null format; then UTF-16LE units: the format, a zero unit,
// then each argument ended by a zero unit.
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "text/format.h"

typedef std::u16string str;

namespace {

str Reference(const str& format, bool nullFormat, const std::vector<const wch*>& args, int count) {
  str full;
  if (!nullFormat) {
    int used = 0;
    for (size_t i = 0; i < format.size(); ++i) {
      const bool next = i + 1 < format.size();
      if (format[i] == '%' && next && format[i + 1] == '%') {
        full += u'%';
        ++i;
      } else if (format[i] == '%' && next && format[i + 1] == 's' && used < count) {
        if (args[used]) full += (const char16_t*)args[used];
        ++used;
        ++i;
      } else {
        full += format[i];
      }
    }
  }
  return full;
}

bool High(char16_t c) { return c >= 0xD800 && c < 0xDC00; }
bool Low(char16_t c) { return c >= 0xDC00 && c < 0xE000; }

// The expansion cut to cap - 1 units, then one fewer when it ends in a high surrogate.
str Cut(const str& full, unsigned long cap) {
  str cut = full.substr(0, full.size() < cap - 1 ? full.size() : cap - 1);
  if (!cut.empty() && High(cut.back())) cut.pop_back();
  return cut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = {data, size};
  const unsigned long cap = in.U16() % 300;
  const uint8_t countByte = in.U8();
  const uint8_t nullArgs = in.U8();
  const bool nullFormat = in.U8() & 1;
  const int count = (countByte & 0x80) ? -1 : (countByte & 7);

  // Zero-separated texts: the format, then the arguments.
  std::vector<str> texts(1);
  while (in.size >= 2) {
    const char16_t c = in.U16();
    if (c)
      texts.back().push_back(c);
    else
      texts.emplace_back();
  }
  const str format = texts[0];

  // Each text in a buffer of exactly its length, the argument array exactly
  // `count` long: reading a text past its end or an argument not given is caught.
  wch* formatBuffer = (wch*)malloc((format.size() + 1) * sizeof(wch));
  memcpy(formatBuffer, format.data(), format.size() * sizeof(wch));
  formatBuffer[format.size()] = 0;
  const int given = count > 0 ? count : 0;
  std::vector<const wch*> args;
  for (int i = 0; i < given; ++i) {
    const str a = (size_t)i + 1 < texts.size() ? texts[i + 1] : str();
    wch* b = nullptr;
    if (!(nullArgs & (1u << i))) {
      b = (wch*)malloc((a.size() + 1) * sizeof(wch));
      memcpy(b, a.data(), a.size() * sizeof(wch));
      b[a.size()] = 0;
    }
    args.push_back(b);
  }
  const wch** argArray = (const wch**)malloc((given ? given : 1) * sizeof(wch*));
  for (int i = 0; i < given; ++i) argArray[i] = args[i];

  FUZZ_CHECK(FormatText(nullptr, cap, formatBuffer, argArray, count) == 0, "wrote into no buffer");
  wch* out = (wch*)malloc((cap ? cap : 1) * sizeof(wch));
  for (unsigned long i = 0; i < (cap ? cap : 1); ++i) out[i] = 0x7777;
  const unsigned long n = FormatText(out, cap, nullFormat ? nullptr : formatBuffer, argArray, count);
  if (!cap) {
    FUZZ_CHECK(n == 0 && out[0] == 0x7777, "a buffer of no units was written");
  } else {
    FUZZ_CHECK(n < cap, "length %lu for %lu units", n, cap);
    FUZZ_CHECK(out[n] == 0, "result not terminated at its length %lu", n);
    const str full = Reference(format, nullFormat, args, count);
    const str expect = Cut(full, cap);
    FUZZ_CHECK(str(out, out + n) == expect, "result of %lu units differs from the expected %zu", n, expect.size());
    // Where the text was cut, it was not cut between the halves of a pair.
    FUZZ_CHECK(n == 0 || n == full.size() || !(High(full[n - 1]) && Low(full[n])), "cut inside a surrogate pair");
  }
  // The caller's texts are read only.
  FUZZ_CHECK(str(formatBuffer) == format, "format changed");

  free(out);
  free(argArray);
  for (const wch* a : args) free((void*)a);
  free(formatBuffer);
  return 0;
}
