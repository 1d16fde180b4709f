#include "sync/texts.h"

#include <stdarg.h>

#include "text/format.h"
#include "text/strings.h"

#define ID_SECONDS 108
#define ID_DAY 109
#define ID_HOURS 110
#define ID_MINUTES 111
#define ID_MILLISECONDS 112
#define ID_AHEAD 113      // the local clock is ahead of the server, or equal
#define ID_BEHIND 114
#define ID_MORE_THAN 115
#define ID_SYNCED 116
#define ID_STATUS_PREFIX 130
#define ID_AUTOMATIC 131
#define ID_UNTIL_SUCCESS 133
#define ID_SECONDS_LIMIT 134
#define ID_PERIODIC_FORMAT 136
#define ID_MANUAL 138

static const uint64_t kHour = 36000000000ull;   // in 100 ns
static const uint64_t kMinute = 600000000ull;
static const uint64_t kSecond = 10000000ull;
static const uint64_t kMillisecond = 10000ull;

static void Append(wch* out, unsigned long cap, unsigned long* len, const wch* piece) {
  if (*len + 1 >= cap || !piece) return;
  WCopy(out + *len, cap - *len, piece);
  *len += WLen(out + *len);
}

void JoinText(wch* out, unsigned long cap, ...) {
  if (!cap) return;
  out[0] = 0;
  unsigned long len = 0;
  va_list pieces;
  va_start(pieces, cap);
  for (const wch* piece = va_arg(pieces, const wch*); piece; piece = va_arg(pieces, const wch*))
    Append(out, cap, &len, piece);
  va_end(pieces);
}

void FormatUnsigned(wch* out, unsigned long cap, uint64_t v) {
  wch digits[21];
  int n = 20;
  digits[n] = 0;
  do {
    digits[--n] = (wch)(WSTR('0') + v % 10);
    v /= 10;
  } while (v);
  WCopy(out, cap, digits + n);
}

void PadNumber(wch* out, unsigned long cap, uint64_t v, unsigned n) {
  // The last n digits of v + 10^n are those of v itself, zero-filled.
  wch digits[21];
  if (n > 20) n = 20;
  digits[n] = 0;
  for (unsigned i = n; i > 0; --i) {
    digits[i - 1] = (wch)(WSTR('0') + v % 10);
    v /= 10;
  }
  WCopy(out, cap, digits);
}

void StatusManual(wch* out, unsigned long cap) { JoinText(out, cap, Str(ID_STATUS_PREFIX), Str(ID_MANUAL), nullptr); }

void StatusPeriodic(wch* out, unsigned long cap, uint64_t minutes) {
  wch number[21];
  FormatUnsigned(number, 21, minutes);
  // The format may come from the INI file: only the two texts are ever read.
  const wch* args[2] = {Str(ID_STATUS_PREFIX), number};
  FormatText(out, cap, Str(ID_PERIODIC_FORMAT), args, 2);
}

void StatusAutomatic(wch* out, unsigned long cap, uint64_t seconds) {
  wch number[21];
  FormatUnsigned(number, 21, seconds);
  if (seconds)
    JoinText(out, cap, Str(ID_STATUS_PREFIX), Str(ID_AUTOMATIC), WSTR("("), number, Str(ID_SECONDS_LIMIT), WSTR(")"),
             nullptr);
  else
    JoinText(out, cap, Str(ID_STATUS_PREFIX), Str(ID_AUTOMATIC), WSTR("("), Str(ID_UNTIL_SUCCESS), WSTR(")"), nullptr);
}

DURATIONPARTS SplitDuration(int64_t d) {
  // Negated in unsigned arithmetic, so the most negative difference has a size too.
  const uint64_t a = d < 0 ? 0 - (uint64_t)d : (uint64_t)d;
  DURATIONPARTS p;
  p.totalHours = (uint32_t)(a / kHour);
  uint64_t r = a % kHour;
  p.days = p.totalHours / 24;
  p.minutes = (uint32_t)(r / kMinute);
  r %= kMinute;
  p.seconds = (uint32_t)(r / kSecond);
  r %= kSecond;
  p.milliseconds = (uint32_t)(r / kMillisecond);
  return p;
}

void FormatDeviation(wch* out, unsigned long cap, int64_t d, int fresh) {
  if (!fresh) {
    WCopy(out, cap, Str(ID_SYNCED));
    return;
  }
  const DURATIONPARTS p = SplitDuration(d);
  const wch* prefix = Str(d > 0 ? ID_BEHIND : ID_AHEAD);
  wch a[21], b[21];
  if (p.days)
    JoinText(out, cap, prefix, Str(ID_MORE_THAN), WSTR("1"), Str(ID_DAY), nullptr);
  else if (p.totalHours)
    JoinText(out, cap, prefix, Str(ID_MORE_THAN), WSTR("1"), Str(ID_HOURS), nullptr);
  else if (p.minutes) {
    FormatUnsigned(a, 21, p.minutes);
    JoinText(out, cap, prefix, Str(ID_MORE_THAN), a, Str(ID_MINUTES), nullptr);
  } else {
    FormatUnsigned(a, 21, p.seconds);
    FormatUnsigned(b, 21, p.milliseconds);
    JoinText(out, cap, prefix, a, Str(ID_SECONDS), b, Str(ID_MILLISECONDS), nullptr);
  }
}

void FormatDecimal3(wch* out, unsigned long cap, double x) {
  // Only root delays and Z_Scores come here; anything outside the range of the
  // conversion (negative, NaN, 2^64 and above) is held at its nearest end.
  if (!(x >= 0)) x = 0;
  if (x >= 18446744073709551615.0) x = 18446744073709549568.0;
  const uint64_t whole = (uint64_t)x;
  double f = x * 1000 - (double)whole * 1000;
  uint64_t fraction = f > 0 ? (uint64_t)f : 0;
  if (fraction > 999) fraction = 999;
  wch w[21], frac[4];
  FormatUnsigned(w, 21, whole);
  if (fraction) {
    PadNumber(frac, 4, fraction, 3);
    JoinText(out, cap, w, WSTR("."), frac, nullptr);
  } else {
    JoinText(out, cap, w, WSTR("    "), nullptr);
  }
}

void FormatDate(wch* out, unsigned long cap, const SYSTEMTIME* t) {
  wch y[5], m[3], d[3];
  PadNumber(y, 5, t->wYear, 4);
  PadNumber(m, 3, t->wMonth, 2);
  PadNumber(d, 3, t->wDay, 2);
  JoinText(out, cap, y, WSTR("-"), m, WSTR("-"), d, nullptr);
}

void FormatTime(wch* out, unsigned long cap, const SYSTEMTIME* t) {
  wch h[3], m[3], s[3];
  PadNumber(h, 3, t->wHour, 2);
  PadNumber(m, 3, t->wMinute, 2);
  PadNumber(s, 3, t->wSecond, 2);
  JoinText(out, cap, h, WSTR(":"), m, WSTR(":"), s, nullptr);
}
