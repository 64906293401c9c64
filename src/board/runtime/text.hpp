// Text helpers shared by every parser: splitting, prefixes and number reading.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tune {

// Splits a text at single delimiter characters as strtok does: runs of delimiters count as
// one and no piece is ever empty. The text ends at its first NUL byte, as a C string would.
// Pieces that cannot be allocated give no pieces at all.
std::vector<std::string> split_fields(std::string_view text, char delimiter);

// The pieces of a text between single delimiter characters, empty ones kept: "a,,b" gives
// "a", "", "b", and "" gives one empty piece. (The programs' own reading is split_fields.)
std::vector<std::string> split_at(std::string_view text, char delimiter);

// The lines of a text without their "\n": a last line without one counts, and a final
// "\n" ends the last line rather than beginning an empty one.
std::vector<std::string> split_lines(std::string_view text);

// The value of a text that is exactly a whole number the programs read as written: an
// optional sign and digits, within the int range. Nothing for any other text (which
// parse_int still reads, as the programs do, but not as it looks).
std::optional<int> exact_int(std::string_view text);

// Untrusted text made safe to show on a terminal or in JSON: control bytes (NUL, ESC, CR,
// ...), C1 controls and bytes that are not UTF-8 become "\xNN"; the result is valid UTF-8,
// at most `limit` characters as shown, cut with "…".
std::string printable(std::string_view text, size_t limit = 200);

// How many characters valid UTF-8 text shows (printable's output, say): its bytes but the
// continuation bytes.
size_t shown_length(std::string_view text);

// What an errno value means, in English, as strerror says it in the C locale ("No space
// left on device"), without the C library's message catalogues, which would bring their
// character set conversions onto each static board program ("Unknown error N" for a value
// the C library does not know).
std::string error_text(int error);

// True when `text` begins with `prefix`; an empty prefix matches every text.
inline bool has_prefix(std::string_view text, std::string_view prefix) {
  return text.starts_with(prefix);
}

// A base-10 integer read as strtol reads it (blanks, a sign, digits up to the first other
// character, 0 without digits), held to the int range instead of wrapping.
int parse_int(const char* text);
int parse_int(const std::string& text);

// A decimal read as strtod reads it, rounded to single precision; magnitudes past the float
// range become infinities rather than undefined values.
float parse_single(const char* text);
float parse_single(const std::string& text);
float to_single(double value);

// Truncates toward zero into an int, saturating at the int limits; NaN gives 0.
int truncate_to_int(float value);

// a + b with 32-bit wrap-around, as the board's registers do; defined for every input.
inline int wrapping_add(int a, int b) {
  return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b));
}

// Reads one line with getline, keeping its "\n"; false at the end of the file.
bool read_line(std::FILE* file, std::string& line);

}  // namespace tune
