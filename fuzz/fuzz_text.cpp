// Signatures and tokenisers on arbitrary bytes (ill-formed UTF-8 included). The vectorised
// signature must equal the scalar one, and the text helpers must agree with each other.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/lsh.hpp"
#include "fuzz_support.hpp"
#include "scorer/tfidf.hpp"
#include "text/unicode.hpp"

namespace {

bool is_within(std::string_view inner, std::string_view outer) {
  return inner.empty() || (inner.data() >= outer.data() &&
                           inner.data() + inner.size() <= outer.data() + outer.size());
}

}  // namespace

KOVA_FUZZ_TARGET(fuzz_text) {
  kova::fuzz::Input in(data, size);
  const auto mode = in.in_range<int>(0, 2);
  const auto width = in.in_range<std::size_t>(1, 12);
  const std::string text = in.rest();

  kova::LshConfig config;
  config.shingle_mode = mode == 0   ? kova::ShingleMode::hybrid(width)
                        : mode == 1 ? kova::ShingleMode::characters(width)
                                    : kova::ShingleMode::words();
  const kova::MinHashSignature sig = kova::compute_signature(text, config);
  KOVA_FUZZ_CHECK(sig == kova::detail::compute_signature_baseline(text, config));
  KOVA_FUZZ_CHECK(kova::signature_matches(sig, sig) == kova::kSignatureBytes);

  const auto pieces = kova::text::split_whitespace(text);
  KOVA_FUZZ_CHECK(pieces.size() == kova::text::count_whitespace_tokens(text));
  for (std::string_view piece : pieces) {
    KOVA_FUZZ_CHECK(!piece.empty() && is_within(piece, text));
    KOVA_FUZZ_CHECK(kova::text::trim(piece) == piece);
  }
  const auto lowered = kova::text::split_whitespace_lower(text);
  KOVA_FUZZ_CHECK(lowered.size() == pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    KOVA_FUZZ_CHECK(lowered[i] == kova::text::to_lower(pieces[i]));
  }

  const std::string_view trimmed = kova::text::trim(text);
  KOVA_FUZZ_CHECK(is_within(trimmed, text));
  KOVA_FUZZ_CHECK(kova::text::trim(trimmed) == trimmed);
  KOVA_FUZZ_CHECK(kova::text::split_whitespace(trimmed).size() == pieces.size());

  const std::string lower = kova::text::to_lower(text);
  if (kova::text::is_ascii(text)) KOVA_FUZZ_CHECK(lower.size() == text.size());
  // Lower-casing is not idempotent in general (a few code points lower to ones that lower
  // again), but it must never fail on its own output.
  (void)kova::text::to_lower(lower);

  const auto tokens = kova::TfIdfScorer::tokenize(text);
  KOVA_FUZZ_CHECK(tokens == kova::text::alnum_tokens_lower(text, 2));
  for (const std::string& token : tokens) {
    KOVA_FUZZ_CHECK(token.size() >= 2);
    KOVA_FUZZ_CHECK(kova::text::split_whitespace(token).size() == 1);
  }
  return 0;
}
