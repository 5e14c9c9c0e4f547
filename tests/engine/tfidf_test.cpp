#include "scorer/tfidf.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.hpp"
#include "text/unicode.hpp"

namespace kova {
namespace {

using Tokens = std::vector<std::string>;

// --- tokenisation -----------------------------------------------------------------------------

TEST(TfIdfTokenize, SeparatorsShortPiecesAndUnicode) {
  const std::pair<std::string, Tokens> cases[] = {
      {"Legal-Translation", {"legal", "translation"}},
      {"A+ and B#", {"and"}},
      {"x1 y2", {"x1", "y2"}},
      {"snake_case\r\nline\tbreak/slash", {"snake", "case", "line", "break", "slash"}},
      {"a b c ! ? 7", {}},
      // A lone letter of two bytes is long enough; a lone ASCII letter is not.
      {"a \xC3\xA9 b", {"\xC3\xA9"}},
      // Precomposed é is a letter; a combining acute accent is neither alphabetic nor numeric,
      // so the decomposed spelling splits there.
      {"CAF\xC3\x89", {"caf\xC3\xA9"}},
      {"cafe\xCC\x81 menu", {"cafe", "menu"}},
      // Devanagari vowel signs are alphabetic marks and stay inside the word; the virama is
      // not. हिन्दी = ह ि न ् द ी
      {"\xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\xA8\xE0\xA5\x8D\xE0\xA4\xA6\xE0\xA5\x80",
       {"\xE0\xA4\xB9\xE0\xA4\xBF\xE0\xA4\xA8", "\xE0\xA4\xA6\xE0\xA5\x80"}},
      // Digits of other scripts and other numeric characters are token characters.
      {"\xD9\xA3\xD9\xA4 order", {"\xD9\xA3\xD9\xA4", "order"}},
      {"x\xC2\xB2 \xC2\xB2", {"x\xC2\xB2", "\xC2\xB2"}},  // x² ²
      {"\xE2\x85\xAB", {"\xE2\x85\xBB"}},                 // Ⅻ -> ⅻ
      // Full lower-case mapping: ẞ -> ß; final sigma in ΟΔΟΣ; İ becomes i plus a combining
      // dot, which separates, and the lone i is too short to keep.
      {"\xE1\xBA\x9E", {"\xC3\x9F"}},
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"}},
      {"\xC4\xB0stanbul", {"stanbul"}},
  };
  for (const auto& [text, tokens] : cases) EXPECT_EQ(TfIdfScorer::tokenize(text), tokens) << text;
}

TEST(TfIdfComputeTf, DenominatorCountsAllTextsTogether) {
  const std::vector<std::string> texts{"alpha beta", "Alpha", "x !"};
  const TermFrequencies tf = TfIdfScorer::compute_tf(texts);
  ASSERT_EQ(tf.size(), 2u);
  EXPECT_DOUBLE_EQ(tf.at("alpha"), 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(tf.at("beta"), 1.0 / 3.0);

  const std::vector<std::string> nothing{"a", "- -", ""};
  EXPECT_TRUE(TfIdfScorer::compute_tf(nothing).empty());
  EXPECT_TRUE(TfIdfScorer::compute_tf({}).empty());
}

// --- a literal reference model ------------------------------------------------------------------

// Straight from the definition: one pass over the union of terms per agent, string-keyed maps.
struct NaiveTfIdf {
  std::map<std::string, TermFrequencies> docs;
  std::map<std::string, std::size_t> df;

  void remove(const std::string& name) {
    auto it = docs.find(name);
    if (it == docs.end()) return;
    for (const auto& [term, tf] : it->second) {
      auto d = df.find(term);
      if (d == df.end()) continue;
      if (d->second < 2) {
        df.erase(d);
      } else {
        --d->second;
      }
    }
    docs.erase(it);
  }

  void index(const std::string& name, const std::vector<std::string>& caps) {
    TermFrequencies tf = TfIdfScorer::compute_tf(caps);
    remove(name);
    for (const auto& [term, f] : tf) ++df[term];
    docs[name] = std::move(tf);
  }

  std::map<std::string, double> score(const std::string& query) const {
    const std::vector<std::string> one{query};
    const TermFrequencies q = TfIdfScorer::compute_tf(one);
    const double n = static_cast<double>(docs.size());
    std::map<std::string, double> out;
    for (const auto& [name, a] : docs) {
      std::set<std::string> terms;
      for (const auto& [t, f] : q) terms.insert(t);
      for (const auto& [t, f] : a) terms.insert(t);
      double dot = 0.0, na = 0.0, nq = 0.0;
      for (const std::string& t : terms) {
        auto d = df.find(t);
        const double idf = std::log(n / ((d == df.end() ? 0.0 : double(d->second)) + 1.0) + 1.0);
        const double wq = (q.contains(t) ? q.at(t) : 0.0) * idf;
        const double wa = (a.contains(t) ? a.at(t) : 0.0) * idf;
        dot += wq * wa;
        na += wa * wa;
        nq += wq * wq;
      }
      const double denom = std::sqrt(na) * std::sqrt(nq);
      const double sim = denom > 0.0 ? dot / denom : 0.0;
      if (sim > 0.0) out[name] = sim;
    }
    return out;
  }

  std::vector<std::pair<std::string, std::size_t>> frequencies() const {
    return {df.begin(), df.end()};
  }
};

using test_support::as_map;

// Same agents, similarities equal up to rounding, and ordered highest first.
void expect_scores_match(const TfIdfScorer& scorer, const NaiveTfIdf& naive,
                         const std::string& query) {
  SCOPED_TRACE("query: " + query);
  ScoreResult result = scorer.score(query);
  ASSERT_TRUE(result.has_value());
  const ScoreList& list = result.value();
  for (std::size_t i = 1; i < list.pairs.size(); ++i) {
    EXPECT_GE(list.pairs[i - 1].second, list.pairs[i].second) << "position " << i;
  }
  const auto got = as_map(list);
  const auto want = naive.score(query);
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [name, sim] : want) {
    auto it = got.find(name);
    ASSERT_NE(it, got.end()) << name;
    EXPECT_NEAR(it->second, sim, 1e-12) << name;
  }
}

// --- scoring ------------------------------------------------------------------------------------

TEST(TfIdfScoring, ResultsCarryTheKeysAgentsWereIndexedWith) {
  TfIdfScorer scorer;
  scorer.index("a", std::vector<std::string>{"legal contracts"}, 7);
  scorer.index_capabilities("b", std::vector<std::string>{"legal advice"});
  scorer.index("c", std::vector<std::string>{"legal aid"}, 9);
  scorer.index_capabilities("c", std::vector<std::string>{"legal aid"});  // plain: key dropped
  scorer.remove_agent("a");
  scorer.index("d", std::vector<std::string>{"legal"}, 4);
  const ScoreList list = scorer.score("legal").value();
  ASSERT_EQ(list.keys.size(), list.pairs.size());
  EXPECT_EQ(test_support::keys_by_name(list),
            (std::map<std::string, std::uint32_t>{{"b", 0}, {"c", 0}, {"d", 4}}));
}

// `count` agents, each with one or two texts of up to four words from a small vocabulary, so
// that many similarities tie.
template <class Index>
void index_random_agents(int count, std::uint64_t seed, Index index) {
  std::mt19937_64 rng(seed);
  const std::vector<std::string> words{"alpha", "beta",  "gamma",  "delta", "omega",
                                       "sigma", "kappa", "lambda", "zeta",  "theta"};
  for (int i = 0; i < count; ++i) {
    std::vector<std::string> caps(1 + rng() % 2);
    for (auto& c : caps) {
      for (std::size_t w = rng() % 4; w < 4; ++w) c += words[rng() % words.size()] + " ";
    }
    index("agent" + std::to_string(i), caps);
  }
}

TEST(TfIdfScoring, ConcurrentScoresAgreeAfterAChange) {
  // Norms are refreshed lazily by score; scorers running together must not disturb each other.
  TfIdfScorer scorer;
  index_random_agents(300, 7, [&](const std::string& name, const std::vector<std::string>& caps) {
    scorer.index_capabilities(name, caps);
  });
  scorer.index_capabilities("agent0", std::vector<std::string>{"alpha omega"});
  std::vector<std::map<std::string, double>> results(4);
  std::vector<std::thread> threads;
  for (auto& r : results) {
    threads.emplace_back([&scorer, &r] { r = as_map(scorer.score("alpha gamma sigma").value()); });
  }
  for (auto& t : threads) t.join();
  const auto single = as_map(scorer.score("alpha gamma sigma").value());
  for (const auto& r : results) EXPECT_EQ(r, single);
}

TEST(TfIdfScoring, LongResultListsMatchReference) {
  // Hundreds of listed agents with many equal similarities: the ranking must still be the
  // reference's values, highest first.
  TfIdfScorer scorer;
  NaiveTfIdf naive;
  index_random_agents(1500, 11, [&](const std::string& name, const std::vector<std::string>& caps) {
    scorer.index_capabilities(name, caps);
    naive.index(name, caps);
  });
  for (const char* query : {"alpha", "alpha beta gamma", "zeta zeta omega", "kappa x unknown"}) {
    expect_scores_match(scorer, naive, query);
  }
  EXPECT_GT(scorer.score("alpha beta").value().pairs.size(), 500u);
}

// --- random operations against the reference model ----------------------------------------------

TEST(TfIdfProperty, RandomOperationsMatchReferenceAndFreshScorer) {
  const std::vector<std::string> vocabulary{"legal",    "translation",
                                            "contract", "review",
                                            "medical",  "german",
                                            "french",   "news",
                                            "summary",  "code",
                                            "python",   "rust",
                                            "data",     "stream",
                                            "a",        "b",
                                            "x1",       "\xC3\xA9t\xC3\xA9",
                                            "\xC3\xA9", "\xD9\xA3\xD9\xA4",
                                            "Legal",    "LEGAL",
                                            "NEWS",     "images",
                                            "audio",    "video",
                                            "search"};
  const std::vector<std::string> separators{" ", "-", ", ", "\n", "+", "_", "  "};

  for (std::uint64_t seed : {1u, 2u, 3u, 4u, 5u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    auto random_text = [&] {
      std::string text;
      const std::size_t words = pick(8);
      for (std::size_t w = 0; w < words; ++w) {
        text += vocabulary[pick(vocabulary.size())];
        text += separators[pick(separators.size())];
      }
      return text;
    };

    TfIdfScorer scorer;
    NaiveTfIdf naive;
    std::map<std::string, std::vector<std::string>> current;
    for (int step = 0; step < 400; ++step) {
      const std::string name = "agent" + std::to_string(pick(25));
      if (pick(10) < 6) {
        std::vector<std::string> caps(pick(4));
        for (auto& c : caps) c = random_text();
        scorer.index_capabilities(name, caps);
        naive.index(name, caps);
        current[name] = caps;
      } else {
        scorer.remove_agent(name);
        naive.remove(name);
        current.erase(name);
      }
      if (step % 25 == 0) {
        ASSERT_EQ(scorer.document_frequencies(), naive.frequencies()) << "step " << step;
        ASSERT_EQ(scorer.num_documents(), naive.docs.size());
        expect_scores_match(scorer, naive, random_text());
      }
    }

    // A scorer built directly from the final agents, in a different order, holds the same state.
    TfIdfScorer fresh;
    std::vector<std::string> names;
    for (const auto& [name, caps] : current) names.push_back(name);
    std::shuffle(names.begin(), names.end(), rng);
    for (const auto& name : names) fresh.index_capabilities(name, current[name]);
    EXPECT_EQ(scorer.document_frequencies(), fresh.document_frequencies());
    EXPECT_EQ(scorer.num_documents(), fresh.num_documents());
    for (const auto& [name, caps] : current) {
      EXPECT_EQ(scorer.term_frequencies(name), TfIdfScorer::compute_tf(caps)) << name;
    }
    for (int i = 0; i < 20; ++i) {
      const std::string query = random_text();
      expect_scores_match(scorer, naive, query);
      expect_scores_match(fresh, naive, query);
    }
  }
}

}  // namespace

namespace text {
namespace {

using Strings = std::vector<std::string>;

TEST(Unicode, SplitsOnEveryUnicodeWhiteSpaceRun) {
  // NBSP, ideographic space, line separator, tab and newline all separate.
  const std::string text = "  a\u00a0b\u3000c\u2028d\t\ne  ";
  const auto pieces = split_whitespace(text);
  ASSERT_EQ(pieces.size(), 5u);
  EXPECT_EQ(pieces[0], "a");
  EXPECT_EQ(pieces[4], "e");
  EXPECT_EQ(count_whitespace_tokens(text), 5u);
  EXPECT_TRUE(split_whitespace(" \t ").empty());
  // Zero-width space is not white space.
  EXPECT_EQ(count_whitespace_tokens("a\u200bb"), 1u);
}

TEST(Unicode, LowerCasingIsFullAndUntailored) {
  EXPECT_EQ(to_lower("Legal TRANSLATION"), "legal translation");
  EXPECT_EQ(to_lower("\u00c4RGER"), "\u00e4rger");
  // Capital I with dot above lower-cases to i plus combining dot (grows in bytes).
  EXPECT_EQ(to_lower("\u0130"), "i\u0307");
  // Final sigma is contextual.
  EXPECT_EQ(to_lower("\u039f\u0394\u039f\u03a3"), "\u03bf\u03b4\u03bf\u03c2");
  EXPECT_EQ(split_whitespace_lower("Translate  LEGAL"), (Strings{"translate", "legal"}));
}

TEST(Unicode, TrimAndIllFormedBytes) {
  const std::string bad = std::string("ab") + char(0xff) + "cd";
  EXPECT_EQ(alnum_tokens_lower(bad), (Strings{"ab", "cd"}));
  EXPECT_EQ(count_whitespace_tokens(bad), 1u);
  EXPECT_EQ(trim(std::string(1, char(0xc3))), std::string(1, char(0xc3)));
  EXPECT_EQ(trim("\u3000 my agent \n"), "my agent");
  EXPECT_EQ(trim("   "), "");
}

}  // namespace
}  // namespace text
}  // namespace kova
