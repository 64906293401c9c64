#include "svg.hpp"

#include <cstdio>

#include "text.hpp"

namespace tune::rehearse {

Svg::Svg(int width, int height, const std::string& title, int precision) : precision_(precision) {
  open("svg", {{"xmlns", "http://www.w3.org/2000/svg"},
               {"width", width},
               {"height", height},
               {"viewBox", "0 0 " + std::to_string(width) + " " + std::to_string(height)},
               {"font-family", "sans-serif"}});
  out_ += ">\n";
  shape("rect", {{"width", "100%"}, {"height", "100%"}, {"fill", "#ffffff"}});
  text({{"x", 20}, {"y", 24}, {"font-size", 15}, {"font-weight", "bold"}}, title);
}

std::string Svg::number(double value) const {
  char text[40];
  std::snprintf(text, sizeof text, "%.*g", precision_, value);
  return text;
}

std::string Svg::escape(std::string_view text, size_t limit) {
  std::string out;
  // A title may hold a board's path: any bytes, which XML takes only as valid UTF-8 and
  // without control characters.
  for (char c : printable(text, limit)) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void Svg::open(const char* tag, std::initializer_list<SvgAttr> attrs) {
  out_ += '<';
  out_ += tag;
  for (const SvgAttr& attr : attrs) {
    out_ += ' ';
    out_ += attr.name;
    out_ += "=\"";
    if (const long long* whole = std::get_if<long long>(&attr.value)) {
      out_ += std::to_string(*whole);
    } else if (const double* decimal = std::get_if<double>(&attr.value)) {
      out_ += number(*decimal);
    } else {
      out_ += escape(std::get<std::string>(attr.value));
    }
    out_ += '"';
  }
}

void Svg::shape(const char* tag, std::initializer_list<SvgAttr> attrs, const char* after) {
  open(tag, attrs);
  out_ += "/>";
  out_ += after;
}

void Svg::text(std::initializer_list<SvgAttr> attrs, const std::string& content,
               const char* after) {
  open("text", attrs);
  out_ += '>';
  out_ += escape(content, shown_text_limit);
  out_ += "</text>";
  out_ += after;
}

std::string Svg::finish() {
  out_ += "</svg>\n";
  return std::move(out_);
}

}  // namespace tune::rehearse
