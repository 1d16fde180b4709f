// The status line, the result cells' deviations and numbers, and the dates and
// times of the clock label and the log. Words come from the interface strings,
// so an INI file that translates them changes these texts too. Every function
// writes into the caller's buffer of `cap` units, cuts what does not fit and
// always terminates; none keeps state.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "text/wch.h"

#define TEXT_CHARS 512   // a window text or a cell

struct DURATIONPARTS {
  uint64_t days;
  uint32_t totalHours;   // of the whole difference, not reduced modulo 24
  uint32_t minutes;
  uint32_t seconds;
  uint32_t milliseconds;
};

void StatusManual(wch* out, unsigned long cap);
void StatusPeriodic(wch* out, unsigned long cap, uint64_t minutes);
void StatusAutomatic(wch* out, unsigned long cap, uint64_t seconds);

// The parts of |d|, d in 100 ns.
DURATIONPARTS SplitDuration(int64_t d);
// d = server estimate minus local clock, 100 ns. "快了：..." / "慢了：...", or
// "已同步，等更新" once the sample has set the clock (fresh 0).
void FormatDeviation(wch* out, unsigned long cap, int64_t d, int fresh);
// Three decimals, truncated; a whole number gets four blanks instead.
void FormatDecimal3(wch* out, unsigned long cap, double x);
void FormatDate(wch* out, unsigned long cap, const SYSTEMTIME* t);
void FormatTime(wch* out, unsigned long cap, const SYSTEMTIME* t);
// The last n digits of v + 10^n: v with leading zeros to n digits.
void PadNumber(wch* out, unsigned long cap, uint64_t v, unsigned n);
// Concatenates the texts up to a null entry into out (its old text dropped).
void JoinText(wch* out, unsigned long cap, ...);

// Decimal text of v.
void FormatUnsigned(wch* out, unsigned long cap, uint64_t v);
