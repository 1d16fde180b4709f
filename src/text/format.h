// Formatting of texts whose format comes from the INI file (string 136, for
// example), which may lack its placeholders or carry other directives.
#pragma once
#include "text/wch.h"

// Writes `format` into out[cap] with the first `count` "%s" replaced by args in
// order. "%%" gives "%"; any other directive, and a "%s" beyond the arguments,
// is copied as it stands, so no argument is ever read that was not given. The
// result is cut to cap - 1 units (never inside a surrogate pair) and always
// terminated. Returns its length.
unsigned long FormatText(wch* out, unsigned long cap, const wch* format, const wch* const* args, int count);
