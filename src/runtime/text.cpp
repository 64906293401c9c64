#include "text.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

namespace tune {

std::vector<std::string> split_fields(std::string_view text, char delimiter) {
  std::vector<std::string> pieces;
  size_t end_of_text = text.find('\0');
  if (end_of_text != std::string_view::npos) text = text.substr(0, end_of_text);
  size_t pos = 0;
  try {
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
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  long long value = std::strtoll(std::string(text).c_str(), nullptr, 10);
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

}  // namespace tune
