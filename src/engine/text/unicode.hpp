#pragma once
// Unicode helpers (ICU): white space, full lower-casing, alphabetic/numeric classes.
// Inputs are UTF-8; an ill-formed sequence is treated as U+FFFD (neither space nor letter).

#include <string>
#include <string_view>
#include <vector>

namespace kova::text {

bool is_ascii(std::string_view s);

// Full Unicode lower-case mapping (no locale tailoring).
std::string to_lower(std::string_view s);

// Pieces between runs of Unicode white space; empty pieces dropped.
std::vector<std::string_view> split_whitespace(std::string_view s);

// split_whitespace, then to_lower of each piece.
std::vector<std::string> split_whitespace_lower(std::string_view s);

// Count of white-space separated tokens.
std::size_t count_whitespace_tokens(std::string_view s);

// Trims Unicode white space from both ends.
std::string_view trim(std::string_view s);

// Lower-cases, splits at every character that is neither alphabetic nor numeric, and drops
// pieces shorter than `min_bytes` UTF-8 bytes.
std::vector<std::string> alnum_tokens_lower(std::string_view s, std::size_t min_bytes = 2);

}  // namespace kova::text
