#include "text/analysis.hpp"

#include <libstemmer.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "text/unicode.hpp"

namespace kova::text {

namespace {

struct BreakIteratorCloser {
  void operator()(UBreakIterator* it) const { ubrk_close(it); }
};

// Opening a word iterator loads its rules and dictionaries, far dearer than a query; each
// thread keeps one (an iterator is not shareable between threads) and points it at new text.
UBreakIterator* word_iterator() {
  thread_local std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* it = ubrk_open(UBRK_WORD, "", nullptr, 0, &status);
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
    return std::unique_ptr<UBreakIterator, BreakIteratorCloser>(it);
  }();
  return iterator.get();
}

struct UTextCloser {
  void operator()(UText* t) const { utext_close(t); }
};

// Replaces each U+2019 (E2 80 99) by "'" in place.
void plain_apostrophes(std::string& word) {
  std::size_t at = word.find("\xE2\x80\x99");
  if (at == std::string::npos) return;
  std::size_t out = 0;
  for (std::size_t i = 0; i < word.size();) {
    if (word.compare(i, 3, "\xE2\x80\x99") == 0) {
      word[out++] = '\'';
      i += 3;
    } else {
      word[out++] = word[i++];
    }
  }
  word.resize(out);
}

// ICU counts '@' as a letter, which keeps e-mail addresses whole.
bool ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '@';
}
bool ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

// ICU's word rules restricted to ASCII, which is most of what a registry holds and where the
// rule engine costs far more than the text (segmenting was two thirds of indexing a text):
// letters, digits and '_' always join; '.' and '\''
// join two letters; '.', '\'', ',' and ';' join two digits (':' joins nothing in ICU's
// tailoring). A segment is a word when it holds a letter or a digit, or is two or more '_'.
void ascii_words_lower(std::string_view text, std::vector<std::string>& words) {
  const std::size_t n = text.size();
  auto joins = [](char c) { return ascii_letter(c) || ascii_digit(c) || c == '_'; };
  for (std::size_t i = 0; i < n;) {
    if (!joins(text[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    bool alnum = false;
    while (i < n) {
      const char c = text[i];
      if (joins(c)) {
        alnum = alnum || c != '_';
        ++i;
      } else if (i + 1 < n && ((ascii_letter(text[i - 1]) && ascii_letter(text[i + 1]) &&
                                (c == '.' || c == '\'')) ||
                               (ascii_digit(text[i - 1]) && ascii_digit(text[i + 1]) &&
                                (c == '.' || c == '\'' || c == ',' || c == ';')))) {
        i += 2;
        alnum = true;
      } else {
        break;
      }
    }
    if (!alnum && i - start < 2) continue;
    std::string& word = words.emplace_back(text.substr(start, i - start));
    for (char& c : word) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c;
  }
}

// The combining marks a code point's canonical decomposition starts and ends with, and
// whether it is nothing else: U+0F73 has combining class 0 yet decomposes into two marks.
struct Marks {
  int leading = 0;
  int trailing = 0;
  bool only = false;
};

Marks marks_of(UChar32 c, const icu::Normalizer2& nfd) {
  if (c < 0 || (u_getIntPropertyValue(c, UCHAR_LEAD_CANONICAL_COMBINING_CLASS) == 0 &&
                u_getIntPropertyValue(c, UCHAR_TRAIL_CANONICAL_COMBINING_CLASS) == 0)) {
    return {};
  }
  icu::UnicodeString parts;
  if (!nfd.getDecomposition(c, parts)) parts.setTo(c);
  Marks out;
  out.only = true;
  for (std::int32_t i = 0; i < parts.length(); i = parts.moveIndex32(i, 1)) {
    if (u_getCombiningClass(parts.char32At(i)) == 0) {
      out.only = false;
      out.trailing = 0;
    } else {
      out.leading += out.only ? 1 : 0;
      ++out.trailing;
    }
  }
  return out;
}

// Puts a combining grapheme joiner (U+034F, a starter) before a code point that would make
// more than 30 successive combining marks, counted in canonical decompositions, as the
// stream-safe text format does: ICU orders each run of marks by insertion, so an unbounded run
// of alternating classes costs the square of its length to check or compose. Real text never
// has such runs.
void bound_mark_runs(std::string& text, const icu::Normalizer2& nfd) {
  constexpr int kMaxRun = 30;
  std::string out;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto size = static_cast<std::int32_t>(text.size());
  std::int32_t copied = 0;
  int run = 0;
  for (std::int32_t i = 0; i < size;) {
    const std::int32_t at = i;
    UChar32 c;
    U8_NEXT(bytes, i, size, c);
    const Marks marks = marks_of(c, nfd);
    if (run + marks.leading > kMaxRun) {
      out.append(text, static_cast<std::size_t>(copied), static_cast<std::size_t>(at - copied));
      out += "\xCD\x8F";  // U+034F
      copied = at;
      run = 0;
    }
    run = marks.only ? run + marks.leading : marks.trailing;
  }
  if (copied == 0) return;
  out.append(text, static_cast<std::size_t>(copied), std::string::npos);
  text = std::move(out);
}

// Canonical composition (NFC), so that "é" typed as e + U+0301 is the same word as the
// precomposed "é" that most text carries. Text ICU cannot compose is left as it stands.
std::string composed(std::string text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return text;
  bound_mark_runs(text, *nfd);  // before the check too, which is as slow on long runs
  const icu::StringPiece piece(text.data(), static_cast<std::int32_t>(text.size()));
  if (nfc->isNormalizedUTF8(piece, status) || U_FAILURE(status)) return text;
  std::string out;
  icu::StringByteSink<std::string> sink(&out, static_cast<std::int32_t>(text.size()));
  nfc->normalizeUTF8(0, piece, sink, nullptr, status);
  return U_SUCCESS(status) ? out : text;
}

}  // namespace

std::vector<std::string> word_tokens_lower(std::string_view text) {
  std::vector<std::string> words;
  if (text.empty()) return words;
  if (is_ascii(text)) {
    ascii_words_lower(text, words);
    return words;
  }
  const std::string lowered = composed(to_lower(text));
  UErrorCode status = U_ZERO_ERROR;
  UText storage = UTEXT_INITIALIZER;
  std::unique_ptr<UText, UTextCloser> utext(
      utext_openUTF8(&storage, lowered.data(), static_cast<std::int64_t>(lowered.size()), &status));
  UBreakIterator* it = word_iterator();
  ubrk_setUText(it, utext.get(), &status);
  if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
  std::int32_t start = ubrk_first(it);
  for (std::int32_t end = ubrk_next(it); end != UBRK_DONE; start = end, end = ubrk_next(it)) {
    // Below UBRK_WORD_NUMBER are spaces, punctuation and symbols.
    if (ubrk_getRuleStatus(it) < UBRK_WORD_NUMBER) continue;
    std::string& word = words.emplace_back(lowered, static_cast<std::size_t>(start),
                                           static_cast<std::size_t>(end - start));
    plain_apostrophes(word);
  }
  return words;
}

std::vector<std::string> stemmer_languages() {
  std::vector<std::string> out;
  for (const char** name = sb_stemmer_list(); *name != nullptr; ++name) out.emplace_back(*name);
  return out;
}

std::unique_ptr<Stemmer> Stemmer::create(const std::string& language) {
  // The library also takes ISO 639 codes ("en"); only the canonical names it lists are
  // accepted, so that a setting reads the same everywhere it is recorded.
  const std::vector<std::string> names = stemmer_languages();
  if (std::find(names.begin(), names.end(), language) == names.end()) return nullptr;
  sb_stemmer* stemmer = sb_stemmer_new(language.c_str(), "UTF_8");
  if (stemmer == nullptr) throw std::bad_alloc();
  return std::unique_ptr<Stemmer>(new Stemmer(stemmer));
}

Stemmer::~Stemmer() {
  sb_stemmer_delete(stemmer_);
}

void Stemmer::stem_all(std::vector<std::string>& words) const {
  // Enough for any registry's vocabulary; beyond it (a stream of unique words) the table
  // starts over rather than grow without bound.
  constexpr std::size_t kMaxKnown = 1 << 16;
  // Longer words are stemmed afresh each time: they are rare in real text, and caching them
  // would let a stream of long unique words pin tens of kilobytes an entry.
  constexpr std::size_t kMaxKnownBytes = 64;
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::string& word : words) {
    if (const auto it = known_.find(word); it != known_.end()) {
      word = it->second;
      continue;
    }
    const sb_symbol* stem = sb_stemmer_stem(
        stemmer_, reinterpret_cast<const sb_symbol*>(word.data()), static_cast<int>(word.size()));
    if (stem == nullptr) throw std::bad_alloc();
    std::string stemmed(reinterpret_cast<const char*>(stem),
                        static_cast<std::size_t>(sb_stemmer_length(stemmer_)));
    if (word.size() <= kMaxKnownBytes) {
      if (known_.size() >= kMaxKnown) known_.clear();
      known_.emplace(std::move(word), stemmed);
    }
    word = std::move(stemmed);
  }
}

Result<std::unique_ptr<Analyzer>, std::string> Analyzer::create(
    const std::optional<std::string>& stop_words, const std::optional<std::string>& stemmer) {
  using R = Result<std::unique_ptr<Analyzer>, std::string>;
  auto analyzer = std::make_unique<Analyzer>();
  if (stop_words) {
    if (*stop_words != "english") {
      return R::err("unknown stop-word list '" + *stop_words + "' (available: 'english')");
    }
    analyzer->english_stop_words_ = true;
  }
  if (stemmer) {
    analyzer->stemmer_ = Stemmer::create(*stemmer);
    if (!analyzer->stemmer_) {
      std::string available;
      for (const std::string& name : stemmer_languages()) {
        available += (available.empty() ? "'" : ", '") + name + "'";
      }
      return R::err("unknown stemmer language '" + *stemmer + "' (available: " + available + ")");
    }
  }
  return R::ok(std::move(analyzer));
}

std::vector<std::string> Analyzer::terms(std::string_view text) const {
  std::vector<std::string> words = word_tokens_lower(text);
  if (english_stop_words_) {
    std::erase_if(words, [](const std::string& w) { return is_english_stop_word(w); });
  }
  if (stemmer_) stemmer_->stem_all(words);
  return words;
}

}  // namespace kova::text
