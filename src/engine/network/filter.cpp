#include "network/filter.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace kova {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// Shape of an unsigned decimal literal, found by a strict scan before any conversion.
struct DecimalShape {
  std::string_view integer_digits;
  std::string_view fraction_digits;
  bool exponent_negative = false;
  std::string_view exponent_digits;
};

// Accepts digits[.digits][(e|E)[sign]digits] with at least one mantissa digit, and nothing else.
std::optional<DecimalShape> scan_unsigned_decimal(std::string_view s) {
  DecimalShape shape;
  std::size_t i = 0;
  const auto take_digits = [&] {
    const std::size_t start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    return s.substr(start, i - start);
  };
  shape.integer_digits = take_digits();
  if (i < s.size() && s[i] == '.') {
    ++i;
    shape.fraction_digits = take_digits();
  }
  if (shape.integer_digits.empty() && shape.fraction_digits.empty()) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      shape.exponent_negative = s[i] == '-';
      ++i;
    }
    shape.exponent_digits = take_digits();
    if (shape.exponent_digits.empty()) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  return shape;
}

// from_chars leaves the value alone when the exact result lies beyond the double range; IEEE
// parsing rounds such a value to infinity (too large) or zero (too small). Which one follows
// from the decimal position of the first significant digit.
double out_of_range_value(const DecimalShape& shape) {
  // Saturating exponent: anything past a few thousand is far outside the double range anyway.
  std::int64_t exponent = 0;
  for (char c : shape.exponent_digits) {
    exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000);
  }
  if (shape.exponent_negative) exponent = -exponent;

  std::int64_t leading_position = 0;  // power of ten of the first non-zero digit
  bool found = false;
  for (std::size_t k = 0; k < shape.integer_digits.size() && !found; ++k) {
    if (shape.integer_digits[k] != '0') {
      leading_position = static_cast<std::int64_t>(shape.integer_digits.size() - k - 1);
      found = true;
    }
  }
  for (std::size_t k = 0; k < shape.fraction_digits.size() && !found; ++k) {
    if (shape.fraction_digits[k] != '0') {
      leading_position = -static_cast<std::int64_t>(k + 1);
      found = true;
    }
  }
  if (!found) return 0.0;
  return leading_position + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

}  // namespace

std::optional<double> parse_decimal(std::string_view text) {
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;

  if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_ascii_case(body, "nan")) return std::numeric_limits<double>::quiet_NaN();

  // The scan rejects what from_chars would take but this syntax does not ("nan(...)",
  // hexadecimal forms, a bare exponent marker) and the sign has already been removed, since
  // from_chars refuses a leading '+'.
  const std::optional<DecimalShape> shape = scan_unsigned_decimal(body);
  if (!shape) return std::nullopt;

  double value = 0.0;
  const char* first = body.data();
  const char* last = body.data() + body.size();
  const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    value = out_of_range_value(*shape);
  } else if (ec != std::errc{} || ptr != last) {
    return std::nullopt;
  }
  return sign * value;
}

bool FilterValue::matches(std::string_view value) const {
  struct Visitor {
    std::string_view v;
    bool operator()(const Exact& c) const { return v == c.value; }
    bool operator()(const Contains& c) const {
      return v.find(c.substring) != std::string_view::npos;
    }
    bool operator()(const OneOf& c) const {
      return std::any_of(c.options.begin(), c.options.end(),
                         [this](const std::string& option) { return v == option; });
    }
    // NaN on either side compares false, so neither a NaN value nor a NaN threshold matches.
    bool operator()(const LessThan& c) const {
      const std::optional<double> x = parse_decimal(v);
      return x && *x < c.threshold;
    }
    bool operator()(const GreaterThan& c) const {
      const std::optional<double> x = parse_decimal(v);
      return x && *x > c.threshold;
    }
  };
  return std::visit(Visitor{value}, condition);
}

bool passes_filters(const FilterMap* filters, const Metadata& metadata) {
  if (filters == nullptr) return true;
  for (const auto& [key, condition] : *filters) {
    const auto it = metadata.find(key);
    if (it == metadata.end() || !condition.matches(it->second)) return false;
  }
  return true;
}

}  // namespace kova
