#include "text/unicode.hpp"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>
#include <stdexcept>

namespace kova::text {

namespace {

// Decodes the code point at byte offset i (advancing i); ill-formed input yields U+FFFD.
UChar32 next_code_point(std::string_view s, std::size_t& i) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto length = static_cast<std::int32_t>(s.size());
  auto pos = static_cast<std::int32_t>(i);
  UChar32 c;
  U8_NEXT(bytes, pos, length, c);
  i = static_cast<std::size_t>(pos);
  return c < 0 ? 0xFFFD : c;
}

bool is_space(UChar32 c) {
  if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
  return u_isUWhiteSpace(c) != 0;
}

bool is_alnum(UChar32 c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  if (u_isUAlphabetic(c)) return true;
  const auto type = u_charType(c);
  return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

struct CaseMapCloser {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

// The root locale: full mappings (final sigma included) without language tailoring.
UCaseMap* root_case_map() {
  thread_local std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* m = ucasemap_open("", U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
    return std::unique_ptr<UCaseMap, CaseMapCloser>(m);
  }();
  return map.get();
}

template <class Piece>
void for_each_piece(std::string_view s, bool (*separator)(UChar32), Piece&& piece) {
  std::size_t i = 0;
  std::size_t start = std::string_view::npos;
  while (i < s.size()) {
    const std::size_t at = i;
    const unsigned char byte = static_cast<unsigned char>(s[i]);
    bool sep;
    if (byte < 0x80) {
      ++i;
      sep = separator(byte);
    } else {
      sep = separator(next_code_point(s, i));
    }
    if (sep) {
      if (start != std::string_view::npos) piece(s.substr(start, at - start));
      start = std::string_view::npos;
    } else if (start == std::string_view::npos) {
      start = at;
    }
  }
  if (start != std::string_view::npos) piece(s.substr(start));
}

bool not_alnum(UChar32 c) {
  return !is_alnum(c);
}

}  // namespace

bool is_ascii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::string to_lower(std::string_view s) {
  std::string out(s);
  if (is_ascii(s)) {
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    }
    return out;
  }
  // Lower-casing may grow a text (up to three times in UTF-8); retry once with the exact size.
  out.resize(s.size() * 3 + 4);
  UErrorCode status = U_ZERO_ERROR;
  auto written =
      ucasemap_utf8ToLower(root_case_map(), out.data(), static_cast<std::int32_t>(out.size()),
                           s.data(), static_cast<std::int32_t>(s.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<std::size_t>(written));
    status = U_ZERO_ERROR;
    written =
        ucasemap_utf8ToLower(root_case_map(), out.data(), static_cast<std::int32_t>(out.size()),
                             s.data(), static_cast<std::int32_t>(s.size()), &status);
  }
  if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::vector<std::string_view> split_whitespace(std::string_view s) {
  std::vector<std::string_view> pieces;
  for_each_piece(s, is_space, [&](std::string_view p) { pieces.push_back(p); });
  return pieces;
}

std::vector<std::string> split_whitespace_lower(std::string_view s) {
  std::vector<std::string> words;
  for_each_piece(s, is_space, [&](std::string_view p) { words.push_back(to_lower(p)); });
  return words;
}

std::size_t count_whitespace_tokens(std::string_view s) {
  std::size_t n = 0;
  for_each_piece(s, is_space, [&](std::string_view) { ++n; });
  return n;
}

std::string_view trim(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    if (!is_space(next_code_point(s, next))) break;
    begin = next;
  }
  // Walk forward to find the end of the last non-space code point; UTF-8 cannot be
  // decoded backwards safely when ill-formed.
  std::size_t end = begin;
  std::size_t i = begin;
  while (i < s.size()) {
    const UChar32 c = next_code_point(s, i);
    if (!is_space(c)) end = i;
  }
  return s.substr(begin, end - begin);
}

std::vector<std::string> alnum_tokens_lower(std::string_view s, std::size_t min_bytes) {
  const std::string lowered = to_lower(s);
  std::vector<std::string> tokens;
  for_each_piece(lowered, not_alnum, [&](std::string_view p) {
    if (p.size() >= min_bytes) tokens.emplace_back(p);
  });
  return tokens;
}

}  // namespace kova::text
