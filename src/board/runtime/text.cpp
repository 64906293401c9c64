#include "text.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace tune {

namespace {

// The length of the valid UTF-8 sequence at `at` that is no control character, or 0.
size_t printable_sequence(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead >= 0x20 && lead < 0x7f) return 1;
  size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                  : lead >= 0xe0 && lead <= 0xef ? 3
                  : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  unsigned char second = byte(at + 1);
  if (lead == 0xc2 && second < 0xa0) return 0;   // C1 controls
  if (lead == 0xe0 && second < 0xa0) return 0;   // overlong
  if (lead == 0xed && second >= 0xa0) return 0;  // surrogates
  if (lead == 0xf0 && second < 0x90) return 0;   // overlong
  if (lead == 0xf4 && second >= 0x90) return 0;  // past U+10FFFF
  return length;
}

}  // namespace

std::vector<std::string> split_fields(std::string_view text, char delimiter) {
  std::vector<std::string> pieces;
  size_t end_of_text = text.find('\0');
  if (end_of_text != std::string_view::npos) text = text.substr(0, end_of_text);
  size_t pos = 0;
  try {
    pieces.reserve(4);  // the usual line has three or four fields: one allocation
    while (pos < text.size()) {
      if (text[pos] == delimiter) {
        ++pos;
        continue;
      }
      size_t end = text.find(delimiter, pos);
      if (end == std::string_view::npos) end = text.size();
      pieces.emplace_back(text.substr(pos, end - pos));
      pos = end;
    }
  } catch (const std::bad_alloc&) {
    pieces.clear();  // a split that cannot be held in memory has no fields
  }
  return pieces;
}

std::vector<std::string> split_at(std::string_view text, char delimiter) {
  std::vector<std::string> pieces;
  for (size_t start = 0;;) {
    size_t end = text.find(delimiter, start);
    pieces.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

std::vector<std::string> split_lines(std::string_view text) {
  if (text.empty()) return {};
  if (text.back() == '\n') text.remove_suffix(1);
  return split_at(text, '\n');
}

std::optional<int> exact_int(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  long long value = 0;  // ten digits at most: no overflow
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (text[0] == '-') value = -value;
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

int parse_int(const char* text) {
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int parse_int(const std::string& text) {
  return parse_int(text.c_str());
}

float to_single(double value) {
  constexpr double largest = std::numeric_limits<float>::max();
  if (value > largest) {
    // Values that round down to the largest float stay finite, as the hardware rounds.
    return value >= 0x1.ffffffp127 ? std::numeric_limits<float>::infinity()
                                   : std::numeric_limits<float>::max();
  }
  if (value < -largest) {
    return value <= -0x1.ffffffp127 ? -std::numeric_limits<float>::infinity()
                                    : -std::numeric_limits<float>::max();
  }
  return static_cast<float>(value);
}

float parse_single(const char* text) {
  return to_single(std::strtod(text, nullptr));
}

float parse_single(const std::string& text) {
  return parse_single(text.c_str());
}

int truncate_to_int(float value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483648.0f) return INT_MAX;
  if (value < -2147483648.0f) return INT_MIN;
  return static_cast<int>(value);
}

bool read_line(std::FILE* file, std::string& line) {
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = getline(&buffer, &capacity, file);
  if (length >= 0) line.assign(buffer, static_cast<size_t>(length));
  std::free(buffer);
  return length >= 0;
}

size_t shown_length(std::string_view text) {
  size_t characters = 0;
  for (unsigned char c : text) characters += (c & 0xC0) != 0x80;
  return characters;
}

std::string printable(std::string_view text, size_t limit) {
  std::string shown;
  size_t characters = 0;  // as shown: an escaped byte is four
  size_t fits = 0;        // how much of `shown` leaves room for the ellipsis
  for (size_t at = 0; at < text.size();) {
    size_t length = printable_sequence(text, at);
    if (length == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[at]));
      shown += escaped;
      characters += 4;
      ++at;
    } else {
      shown.append(text, at, length);
      ++characters;
      at += length;
    }
    if (characters > limit) {
      shown.resize(fits);
      return shown + "\u2026";
    }
    if (characters < limit) fits = shown.size();
  }
  return shown;
}

std::string error_text(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error " + std::to_string(error);
}

}  // namespace tune
