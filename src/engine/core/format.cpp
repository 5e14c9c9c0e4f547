#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace kova {

namespace {

// Shortest round-trip digits of a finite value: sign, significant digits and the decimal
// exponent of the first digit (value = 0.d1d2... * 10^(exponent + 1)).
struct Digits {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

Digits shortest_digits(double value) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  Digits d;
  const char* p = buf;
  if (p < res.ptr && *p == '-') {
    d.negative = true;
    ++p;
  }
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.digits.push_back(*p);
  }
  if (p < res.ptr) {
    ++p;  // 'e'
    std::from_chars(*p == '+' ? p + 1 : p, res.ptr, d.exponent);
  }
  return d;
}

// Positional layout of the digits; `point_zero` adds ".0" to whole numbers.
std::string positional(const Digits& d, bool point_zero) {
  std::string out;
  if (d.negative) out.push_back('-');
  const int n = static_cast<int>(d.digits.size());
  const int int_len = d.exponent + 1;  // digits before the decimal point
  if (int_len <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-int_len), '0');
    out += d.digits;
  } else if (int_len >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(int_len - n), '0');
    if (point_zero) out += ".0";
  } else {
    out.append(d.digits, 0, static_cast<std::size_t>(int_len));
    out.push_back('.');
    out.append(d.digits, static_cast<std::size_t>(int_len), std::string::npos);
  }
  return out;
}

const char* non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  return nullptr;
}

}  // namespace

std::string format_shortest(double value) {
  if (const char* s = non_finite(value)) return s;
  return positional(shortest_digits(value), false);
}

std::string format_debug(double value) {
  if (const char* s = non_finite(value)) return s;
  const double mag = std::fabs(value);
  const Digits d = shortest_digits(value);
  if (mag == 0.0 || (mag >= 1e-4 && mag < 1e16)) return positional(d, true);
  std::string out;
  if (d.negative) out.push_back('-');
  out.push_back(d.digits[0]);
  if (d.digits.size() > 1) {
    out.push_back('.');
    out.append(d.digits, 1, std::string::npos);
  }
  out.push_back('e');
  out += std::to_string(d.exponent);
  return out;
}

std::string format_fixed3(double value) {
  if (const char* s = non_finite(value)) return s;
  char buf[400];  // DBL_MAX in fixed notation has 309 integer digits
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
  return std::string(buf, res.ptr);
}

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  auto hex_escape = [&out](unsigned cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
    out += buf;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      hex_escape(c);
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080..U+009F, the C1 control characters, encoded as C2 80..C2 9F.
      hex_escape(static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace kova
