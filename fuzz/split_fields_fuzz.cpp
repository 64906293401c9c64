// split_fields: pieces are never empty, never hold the delimiter, and put back together
// they are the text (up to its first NUL) without its delimiters.
#include "fuzz_support.hpp"
#include "text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  char delimiter = static_cast<char>(data[0]);
  std::string text = tune::fuzz::text_of(data + 1, size - 1);
  std::vector<std::string> pieces = tune::split_fields(text, delimiter);
  std::string joined;
  for (const std::string& piece : pieces) {
    FUZZ_CHECK(!piece.empty());
    FUZZ_CHECK(piece.find(delimiter) == std::string::npos);
    FUZZ_CHECK(piece.find('\0') == std::string::npos);
    joined += piece;
  }
  std::string expected;
  for (char c : text.substr(0, text.find('\0'))) {
    if (c != delimiter) expected += c;
  }
  FUZZ_CHECK(joined == expected);
  return 0;
}
