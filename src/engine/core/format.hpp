#pragma once
// Text renderings of numbers and strings shared by messages, representations and debug forms.

#include <string>
#include <string_view>

namespace kova {

// Shortest decimal that reads back to the same double, never in exponent notation and
// without a trailing ".0": 2.0 -> "2", 1e-7 -> "0.0000001", 1e21 -> "1000000000000000000000".
// NaN -> "NaN", infinities -> "inf" / "-inf".
std::string format_shortest(double value);

// Debug form of a double: shortest round-trip digits; whole numbers keep ".0"; decimal
// notation for 0 and magnitudes in [1e-4, 1e16), shortest scientific otherwise
// ("1e-5", "1.5e16", "-2e-7"). NaN -> "NaN", infinities -> "inf" / "-inf".
std::string format_debug(double value);

// Fixed-point with exactly three digits after the point, nearest value ("0.420").
std::string format_fixed3(double value);

// A text in double quotes with backslash escapes: \" \\ \n \r \t \0, other control
// characters as \u{XX} (lower-case hex, no leading zeros), everything else unchanged.
std::string debug_quote(std::string_view text);

}  // namespace kova
