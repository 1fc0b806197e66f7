// Unicode property tables, generated from the Unicode Character Database by
// tools/gen_unicode_tables.py (see unicode_tables.cpp for the version).
#pragma once

namespace norvane {

// The Unicode version the tables were generated from, e.g. "15.0.0".
extern const char kUnicodeVersion[];

// True when the quoted debug text writes c as "\u{hex}" rather than as itself:
// control characters, format characters (Cf), separators other than the ASCII
// space (Zs, Zl, Zp), White_Space outside ASCII, surrogates, private use,
// unassigned code points, Grapheme_Extend and Default_Ignorable_Code_Point.
// Printable ASCII (U+0020..U+007E) is never escaped here; the named escapes
// (\t, \n, \r, \0, \", \\) are the caller's.
bool debug_escapes(char32_t c);

}  // namespace norvane
