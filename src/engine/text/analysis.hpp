#pragma once
// Word-level text analysis for the lexical scorers: ICU word segmentation of the full
// lower-case text, optional stop-word removal and optional Snowball stemming.
//
// Segmentation follows the Unicode word-boundary rules with ICU's dictionaries, so Chinese,
// Japanese and Thai split into words, "don't" and "3.14" stay whole, and punctuation, symbols
// and white space never form a term.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/result.hpp"

struct sb_stemmer;

namespace kova::text {

// The words of a text after full lower-casing and canonical composition (NFC): every segment
// ICU classes as a number, a letter word, kana or ideographs. A typographic apostrophe
// (U+2019) inside a word becomes "'", so "it’s" and "it's" are one term.
std::vector<std::string> word_tokens_lower(std::string_view text);

// Whether a lower-case word is an English function word (articles, pronouns, auxiliaries,
// prepositions, conjunctions, common determiners and adverbs, and their contractions).
bool is_english_stop_word(std::string_view word);

// The algorithm names a Stemmer accepts, in the library's order.
std::vector<std::string> stemmer_languages();

// A Snowball stemmer for one language. The library's stemmer object is not reentrant, so
// calls are serialised; each call stems a whole list under one lock. Stems are remembered:
// a registry's vocabulary is small and repeats, and a lookup costs a fraction of stemming.
class Stemmer {
 public:
  // nullptr when the library has no algorithm of that name.
  static std::unique_ptr<Stemmer> create(const std::string& language);
  ~Stemmer();
  Stemmer(const Stemmer&) = delete;
  Stemmer& operator=(const Stemmer&) = delete;

  void stem_all(std::vector<std::string>& words) const;

 private:
  explicit Stemmer(sb_stemmer* stemmer) : stemmer_(stemmer) {}
  sb_stemmer* stemmer_;
  mutable std::mutex mutex_;
  mutable std::unordered_map<std::string, std::string> known_;  // word -> stem, bounded
};

// Segmentation, then stop words, then stemming, with the settings it was created with.
class Analyzer {
 public:
  // Fails with a text naming the unknown stop-word list or stemmer language. The only
  // stop-word list is "english"; stemmer languages are those of stemmer_languages().
  static Result<std::unique_ptr<Analyzer>, std::string> create(
      const std::optional<std::string>& stop_words, const std::optional<std::string>& stemmer);

  std::vector<std::string> terms(std::string_view text) const;

 private:
  bool english_stop_words_ = false;
  std::unique_ptr<Stemmer> stemmer_;
};

}  // namespace kova::text
