#include "text/format.h"

namespace {

struct Output {
  wch* out;
  unsigned long cap, length;
  bool full;
  void Put(wch c) {
    if (full || length + 1 >= cap) {
      full = true;
      return;
    }
    out[length++] = c;
  }
  void Put(const wch* s) {
    for (; s && *s; ++s) Put(*s);
  }
};

}  // namespace

unsigned long FormatText(wch* out, unsigned long cap, const wch* format, const wch* const* args, int count) {
  if (!out || !cap) return 0;
  Output o = {out, cap, 0, false};
  int used = 0;
  for (const wch* p = format; p && *p; ++p) {
    if (p[0] == '%' && p[1] == '%') {
      o.Put((wch)'%');
      ++p;
    } else if (p[0] == '%' && p[1] == 's' && used < count) {
      o.Put(args[used++]);
      ++p;
    } else {
      o.Put(*p);
    }
  }
  // A high surrogate whose partner was cut off would make a broken character.
  if (o.length && out[o.length - 1] >= 0xD800 && out[o.length - 1] < 0xDC00) --o.length;
  out[o.length] = 0;
  return o.length;
}
