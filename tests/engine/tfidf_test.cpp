#include "scorer/tfidf.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_support.hpp"
#include "text/unicode.hpp"

namespace kova {
namespace {

using Tokens = std::vector<std::string>;

TEST(TfIdfTokenize, SeparatorsShortPiecesUnicodeAndFrequencies) {
  const std::pair<std::string, Tokens> cases[] = {
      {"Legal-Translation", {"legal", "translation"}},
      {"A+ and B#", {"and"}},
      {"x1 y2 snake_case\r\nline\tbreak/slash",
       {"x1", "y2", "snake", "case", "line", "break", "slash"}},
      {"a b c ! ? 7", {}},
      // A lone letter of two bytes is long enough; a lone ASCII letter is not. Precomposed é is a
      // letter; a combining acute accent is neither alphabetic nor numeric, so splits there.
      {"a \u00E9 b CAF\u00C9 cafe\u0301 menu", {"\u00E9", "caf\u00E9", "cafe", "menu"}},
      // Devanagari vowel signs are alphabetic marks and stay inside the word; the virama is not.
      {"\u0939\u093F\u0928\u094D\u0926\u0940", {"\u0939\u093F\u0928", "\u0926\u0940"}},
      // Digits of other scripts and other numeric characters (x², Ⅻ) are token characters.
      {"\u0663\u0664 order x\u00B2 \u00B2 \u216B",
       {"\u0663\u0664", "order", "x\u00B2", "\u00B2", "\u217B"}},
      // Full lower-case mapping: ẞ to ß, final sigma; İ becomes i plus a combining dot, which
      // separates, and the lone i is too short to keep.
      {"\u1E9E \u039F\u0394\u039F\u03A3 \u0130stanbul",
       {"\u00DF", "\u03BF\u03B4\u03BF\u03C2", "stanbul"}}};
  for (const auto& [text, tokens] : cases) EXPECT_EQ(TfIdfScorer::tokenize(text), tokens) << text;
  // Term frequencies share one denominator across an agent's texts.
  EXPECT_EQ(TfIdfScorer::compute_tf(std::vector<std::string>{"alpha beta", "Alpha", "x !"}),
            (TermFrequencies{{"alpha", 2.0 / 3.0}, {"beta", 1.0 / 3.0}}));
  EXPECT_TRUE(TfIdfScorer::compute_tf(std::vector<std::string>{"a", "- -", ""}).empty());
}

// Straight from the definition, recomputed from every agent's texts for each query.
std::map<std::string, double> tfidf(const test_support::ModelAgents& agents,
                                    const std::string& query) {
  std::map<std::string, TermFrequencies> docs;
  std::map<std::string, double> df, out;
  for (const auto& [name, a] : agents) {
    std::vector<std::string> texts = a.caps;
    texts.insert(texts.end(), a.remembered.begin(), a.remembered.end());
    docs[name] = TfIdfScorer::compute_tf(texts);
    for (const auto& [term, f] : docs[name]) ++df[term];
  }
  const auto idf = [&](const std::string& t) {
    return std::log(static_cast<double>(agents.size()) / (df.count(t) ? df[t] + 1 : 1) + 1);
  };
  const TermFrequencies q = TfIdfScorer::compute_tf(std::vector<std::string>{query});
  for (const auto& [name, doc] : docs) {
    double dot = 0, nd = 0, nq = 0;
    for (const auto& [t, f] : q) {
      nq += std::pow(f * idf(t), 2);
      if (doc.contains(t)) dot += f * doc.at(t) * std::pow(idf(t), 2);
    }
    for (const auto& [t, f] : doc) nd += std::pow(f * idf(t), 2);
    const double sim = nd > 0 && nq > 0 ? dot / (std::sqrt(nd) * std::sqrt(nq)) : 0.0;
    if (sim > 0) out[name] = sim;
  }
  return out;
}

// Separators, case variants, short pieces and non-ASCII words over a small vocabulary, so that
// many similarities tie; the last run lists hundreds of agents, highest first.
TEST(TfIdfScoring, LongResultListsMatchReference) {
  const auto words = text::split_whitespace(
      "legal translation contract review medical german news code data a b x1 \u00E9t\u00E9 \u00E9 "
      "\u0663\u0664 Legal LEGAL NEWS audio search");
  const std::vector<std::string> separators{" ", "-", ", ", "\n", "+", "_", "  "};
  test_support::Churn churn;
  churn.ordered = true;
  churn.max_caps = 3;
  churn.oracle = tfidf;
  churn.text = [&](std::mt19937_64& rng) {
    std::string text;
    for (auto n = rng() % 8; n > 0; --n)
      text += std::string(words[rng() % words.size()]) + separators[rng() % separators.size()];
    return text;
  };
  churn.names = 25;
  for (std::uint64_t seed : {1u, 2u, 3u}) churn.run(*std::make_unique<TfIdfScorer>(), seed);
  churn.remembers = true;
  churn.run(*std::make_unique<TfIdfScorer>(), 5);
  churn.remembers = false;
  churn.names = 1500;
  churn.steps = 3000;
  TfIdfScorer scorer;
  churn.run(scorer, 4);
  EXPECT_GT(scorer.score("legal").value().pairs.size(), 500u);
  // Norms are refreshed lazily by score; scorers running together must not disturb each other.
  scorer.index_capabilities("a1", std::vector<std::string>{"legal news"});
  std::vector<ScoreList> results(4);
  std::vector<std::thread> threads;
  for (auto& r : results) threads.emplace_back([&] { r = scorer.score("legal data b").value(); });
  for (auto& t : threads) t.join();
  const ScoreList single = scorer.score("legal data b").value();
  for (const auto& r : results) EXPECT_EQ(r.pairs, single.pairs);
  // Only learned tokens can be forgotten.
  EXPECT_FALSE(scorer.forget("a1", "legal"));
  EXPECT_EQ(scorer.score("legal data b").value().pairs, single.pairs);
}

}  // namespace

namespace text {
namespace {

using Strings = std::vector<std::string>;

TEST(Unicode, WhiteSpaceLowerCaseAndIllFormedBytes) {
  // NBSP, ideographic space, line separator, tab and newline separate; zero-width space does not.
  EXPECT_EQ(split_whitespace_lower("  A\u00a0b\u3000C\u2028d\t\ne\u200bF  "),
            (Strings{"a", "b", "c", "d", "e\u200bf"}));
  EXPECT_TRUE(split_whitespace(" \t ").empty());
  // Full, untailored lower-casing: capital I with dot above grows into i and a combining dot.
  EXPECT_EQ(to_lower("\u00c4RGER \u0130"), "\u00e4rger i\u0307");
  const std::string bad = std::string("ab") + char(0xff) + "cd";
  EXPECT_EQ(alnum_tokens_lower(bad), (Strings{"ab", "cd"}));
  EXPECT_EQ(count_whitespace_tokens(bad), 1u);
  EXPECT_EQ(trim(std::string(1, char(0xc3))), std::string(1, char(0xc3)));
  EXPECT_EQ(trim("\u3000 my agent \n"), "my agent");
}

}  // namespace
}  // namespace text
}  // namespace kova
