// Metadata filters: parse_decimal held to the C library's strtod (which rounds correctly in
// the C locale) on every text both can read, and every condition kind evaluated on fuzzed
// metadata values.

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz_support.hpp"
#include "network/filter.hpp"

namespace {

// strtod's reading of the whole text, when it reads all of it and the text is one of the
// forms the decimal syntax has (no hexadecimal, no "nan(...)", no leading white space).
std::optional<double> strtod_whole(const std::string& text) {
  if (text.empty() || text.find_first_of("xX(") != std::string::npos) return std::nullopt;
  if (text.find('\0') != std::string::npos) return std::nullopt;
  const unsigned char first = static_cast<unsigned char>(text[0]);
  if (first != '+' && first != '-' && first != '.' && !std::isalnum(first)) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

}  // namespace

KOVA_FUZZ_TARGET(fuzz_filter) {
  kova::fuzz::Input in(data, size);
  const std::string condition_text = in.string(64);
  const double threshold = in.any_double();
  const auto kind = in.in_range<int>(0, 4);
  const std::string value = in.rest();

  const std::optional<double> parsed = kova::parse_decimal(value);
  const std::optional<double> reference = strtod_whole(value);
  KOVA_FUZZ_CHECK(parsed.has_value() == reference.has_value());
  if (parsed) KOVA_FUZZ_CHECK(same(*parsed, *reference));

  kova::FilterValue filter;
  switch (kind) {
    case 0:
      filter.condition = kova::FilterValue::Exact{condition_text};
      KOVA_FUZZ_CHECK(filter.matches(value) == (value == condition_text));
      break;
    case 1:
      filter.condition = kova::FilterValue::Contains{condition_text};
      KOVA_FUZZ_CHECK(filter.matches(value) == (value.find(condition_text) != std::string::npos));
      break;
    case 2: {
      kova::FilterValue::OneOf one_of;
      bool expected = false;
      std::size_t start = 0;
      for (;;) {
        const std::size_t comma = condition_text.find(',', start);
        one_of.options.push_back(condition_text.substr(start, comma - start));
        expected = expected || one_of.options.back() == value;
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      filter.condition = one_of;
      KOVA_FUZZ_CHECK(filter.matches(value) == expected);
      break;
    }
    case 3:
      filter.condition = kova::FilterValue::LessThan{threshold};
      KOVA_FUZZ_CHECK(filter.matches(value) == (parsed && *parsed < threshold));
      break;
    default:
      filter.condition = kova::FilterValue::GreaterThan{threshold};
      KOVA_FUZZ_CHECK(filter.matches(value) == (parsed && *parsed > threshold));
      break;
  }

  kova::FilterMap filters{{"k", filter}};
  const kova::Metadata with{{"k", value}};
  KOVA_FUZZ_CHECK(kova::passes_filters(&filters, with) == filter.matches(value));
  KOVA_FUZZ_CHECK(!kova::passes_filters(&filters, kova::Metadata{}));
  KOVA_FUZZ_CHECK(kova::passes_filters(nullptr, with));
  return 0;
}
