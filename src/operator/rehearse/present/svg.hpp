// A small SVG writer: the document, shapes, text and paths, with every number written the
// same way and every text escaped. The pictures are short functions over it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace tune::rehearse {

// An attribute: a name and a whole number, a decimal or a text.
struct SvgAttr {
  SvgAttr(const char* name, int value) : name(name), value(static_cast<long long>(value)) {}
  SvgAttr(const char* name, double value) : name(name), value(value) {}
  SvgAttr(const char* name, const char* value) : name(name), value(std::string(value)) {}
  SvgAttr(const char* name, std::string value) : name(name), value(std::move(value)) {}
  const char* name;
  std::variant<long long, double, std::string> value;
};

class Svg {
 public:
  // A white page of the given size with its title in bold at the top left. Decimals are
  // written with `precision` significant digits.
  Svg(int width, int height, const std::string& title, int precision = 6);

  // <tag .../>, then `after` (a line break unless told otherwise).
  void shape(const char* tag, std::initializer_list<SvgAttr> attrs, const char* after = "\n");
  // <text ...>content</text>; the content is escaped.
  void text(std::initializer_list<SvgAttr> attrs, const std::string& content,
            const char* after = "\n");
  // Markup as it is: a group's opening and closing, a tooltip.
  void raw(std::string_view markup) { out_ += markup; }
  // A number as the picture writes it, for path data and labels.
  std::string number(double value) const;
  // The whole document, closed.
  std::string finish();

  // Text made valid UTF-8 without control bytes (shown as \xNN), and escaped; cut with "…"
  // past `limit` characters as shown. An attribute is never cut: a path's data is long.
  static std::string escape(std::string_view text, size_t limit = SIZE_MAX);
  // The most of a text's content shown: a title may hold a board's path of any length.
  static constexpr size_t shown_text_limit = 1000;

 private:
  void open(const char* tag, std::initializer_list<SvgAttr> attrs);

  std::string out_;
  int precision_;
};

}  // namespace tune::rehearse
