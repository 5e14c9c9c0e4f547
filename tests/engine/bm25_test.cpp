#include "scorer/bm25.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "log/log.hpp"
#include "scorer/hybrid.hpp"
#include "scorer/settings.hpp"
#include "scorer/tfidf.hpp"
#include "test_support.hpp"
#include "text/analysis.hpp"

namespace kova {
namespace {

using Words = std::vector<std::string>;

TEST(Bm25Analysis, SegmentsLowerCasesDropsStopWordsAndStems) {
  const std::pair<std::string, Words> words[] = {
      // Final sigma, ß kept, numbers whole, hyphen and emoji separate, abbreviation joined.
      {"\u039F\u0394\u039F\u03A3 Stra\u00DFe 3.14 e-mail \U0001F642 U.S.A.",
       {"\u03BF\u03B4\u03BF\u03C2", "stra\u00DFe", "3.14", "e", "mail", "u.s.a"}},
      // Dictionary segmentation of Chinese.
      {"\u6211\u559C\u6B22\u673A\u5668\u5B66\u4E60",
       {"\u6211", "\u559C\u6B22", "\u673A\u5668", "\u5B66\u4E60"}},
      {"It\u2019s  don't", {"it's", "don't"}},
      // e + combining acute is the precomposed letter; CAFE\u0301 lower-cases to the same.
      {"Cafe\u0301 CAFE\u0301 caf\u00E9", {"caf\u00E9", "caf\u00E9", "caf\u00E9"}}};
  for (const auto& [text, expected] : words) EXPECT_EQ(text::word_tokens_lower(text), expected);
  // A run of marks longer than real text has is broken up for composition, not into words.
  // (U+0F73 is no mark itself but decomposes into two.)
  for (const char* pair : {"\u0316\u0301", "\u0F73"}) {
    std::string marks = "a";
    for (int i = 0; i < 40; ++i) marks += pair;
    EXPECT_EQ(text::word_tokens_lower(marks).size(), 1u) << pair;
  }
  // ASCII text takes a path of its own; ICU segments it whenever a non-ASCII word follows.
  std::mt19937 rng(7);
  const std::string alphabet = "aZ09_.,;:'@ \t\n-!\"/$x";
  for (int round = 0; round < 20000; ++round) {
    std::string ascii(rng() % 12, ' ');
    for (char& c : ascii) c = rng() % 8 ? alphabet[rng() % alphabet.size()] : char(1 + rng() % 127);
    Words icu = text::word_tokens_lower(ascii + " \xC3\xA9");
    ASSERT_EQ(icu.back(), "\xC3\xA9");
    icu.pop_back();
    ASSERT_EQ(text::word_tokens_lower(ascii), icu) << ascii;
  }
  auto english = text::Analyzer::create("english", "english");
  ASSERT_TRUE(english);
  EXPECT_EQ(english.value()->terms("It\u2019s the user's data: could you translate the "
                                   "RUNNING contracts?"),
            (Words{"user", "data", "translat", "run", "contract"}));
  auto french = text::Analyzer::create(std::nullopt, "french");
  ASSERT_TRUE(french);
  EXPECT_EQ(french.value()->terms("continuellement les chevaux"),
            (Words{"continuel", "le", "cheval"}));
}

TEST(Bm25Settings, InvalidValuesAreNamed) {
  using S = Bm25Settings;
  auto problem = [](const S& s) {
    auto made = Bm25Scorer::create(s);
    return made ? std::string() : made.error();
  };
  const std::tuple<double S::*, double, const char*> rows[] = {
      {&S::k1, -0.5, "k1 must be a finite number >= 0, got -0.5"},
      {&S::k1, NAN, "k1 must be a finite number >= 0, got NaN"},
      {&S::k1, INFINITY, "k1 must be a finite number >= 0, got inf"},
      {&S::k1, 0.0, ""},
      {&S::b, 1.5, "b must be between 0 and 1, got 1.5"},
      {&S::b, 1.0, ""},
      {&S::memory_weight, -1, "memory_weight must be a finite number >= 0, got -1"},
      {&S::memory_b, NAN, "memory_b must be between 0 and 1, got NaN"},
  };
  for (const auto& [field, value, message] : rows) {
    S s;
    s.*field = value;
    EXPECT_EQ(problem(s), message);
  }
  S german, en;
  german.stop_words = "german";
  EXPECT_EQ(problem(german), "unknown stop-word list 'german' (available: 'english')");
  en.stemmer = "en";
  EXPECT_TRUE(problem(en).starts_with("unknown stemmer language 'en' (available: 'arabic', "));
}

Words split(const std::vector<std::string>& texts) {
  std::string all;
  for (const std::string& text : texts) all += text + " ";
  std::istringstream in(all);
  return {std::istream_iterator<std::string>(in), {}};
}

// The documented formula, computed directly from every agent's texts.
std::map<std::string, double> bm25(const Bm25Settings& s, const test_support::ModelAgents& agents,
                                   const std::string& query_text) {
  auto idf = [](double n, double df) { return std::log(1 + (n - df + 0.5) / (df + 0.5)); };
  auto count = [](const Words& words, const std::string& t) {
    return static_cast<double>(std::count(words.begin(), words.end(), t));
  };
  const Words query = split({query_text});
  std::map<std::string, Words> caps, memory;
  double n = 0, remembering = 0, caps_total = 0, memory_total = 0;
  for (const auto& [name, a] : agents) {
    caps[name] = split(a.caps);
    memory[name] = split(a.remembered);
    n += 1;
    remembering += memory[name].empty() ? 0 : 1;
    caps_total += caps[name].size();
    memory_total += memory[name].size();
  }
  std::map<std::string, double> out;
  for (const auto& [name, a] : agents) {
    double score = 0, total = 0;
    for (const std::string& t : std::set<std::string>(query.begin(), query.end())) {
      double df = 0, df_memory = 0;
      for (const auto& [other, b] : agents) {
        df += count(caps[other], t) + count(memory[other], t) > 0 ? 1 : 0;
        df_memory += count(memory[other], t) > 0 ? 1 : 0;
      }
      if (df == 0) continue;  // a word no agent holds weighs nothing
      const double weight = count(query, t) * idf(n, df);
      total += weight;
      const double r = df_memory > 0 ? std::min(1.0, idf(remembering, df_memory) / idf(n, df)) : 0;
      const double c = count(caps[name], t), m = count(memory[name], t);
      double tf = 0;
      if (c > 0) tf += c / (1 - s.b + s.b * caps[name].size() / (caps_total / n));
      if (m > 0)
        tf += s.memory_weight * r * m /
              (1 - s.memory_b + s.memory_b * memory[name].size() / (memory_total / remembering));
      if (tf > 0) score += weight * (s.k1 + 1) * tf / (s.k1 + tf);
    }
    if (score > 0) out[name] = std::tanh(score / total);
  }
  return out;
}

// Random registrations, re-registrations, removals and remembered texts learned and forgotten,
// in any order: the incremental index always scores as the formula over the current texts.
TEST(Bm25Scorer, IncrementalIndexMatchesTheFormula) {
  Bm25Settings s;
  s.stop_words.reset();
  s.stemmer.reset();
  test_support::Churn churn;
  churn.remembers = true;
  churn.text = [](std::mt19937_64& rng) {
    std::string text;
    for (auto n = rng() % 7; n > 0; --n) text += "w" + std::to_string(rng() % 40) + " ";
    return text;
  };
  churn.oracle = [&](const auto& agents, const std::string& query) {
    return bm25(s, agents, query);
  };
  // k1, b, memory weight, memory b
  const std::array<double, 4> variants[] = {
      {1.2, 0.75, 0.25, 0.5}, {0.0, 1.0, 0.25, 1.0}, {1.2, 0.75, 0.0, 0.5}, {1.2, 0.0, 2.0, 0.5}};
  std::uint64_t seed = 0;
  for (const auto& [k1, b, weight, memory_b] : variants) {
    SCOPED_TRACE(++seed);
    std::tie(s.k1, s.b, s.memory_weight, s.memory_b) = std::tie(k1, b, weight, memory_b);
    churn.run(*Bm25Scorer::create(s).value(), seed);
  }
}

TEST(Bm25Scorer, TextsFollowTheCapabilityLengthRule) {
  auto scorer = Bm25Scorer::create({}).value();
  std::string long_text;
  for (int i = 0; i < 60; ++i) long_text += "zebra" + std::to_string(i) + " ";
  scorer->index_capabilities("a", std::vector<std::string>{long_text});
  ASSERT_TRUE(scorer->learn("a", long_text));
  EXPECT_EQ(scorer->lengths("a"), (std::pair<std::uint32_t, std::uint32_t>{50, 50}));
  // Re-registration forgets what the agent remembered.
  scorer->index_capabilities("a", std::vector<std::string>{"zebra0"});
  EXPECT_EQ(scorer->lengths("a"), (std::pair<std::uint32_t, std::uint32_t>{1, 0}));
  EXPECT_EQ(scorer->document_frequency("zebra10"), 0u);
}

// Similarities stay in [0, 1] where rounding pushes against the bounds.
TEST(WordScorers, SimilaritiesStayWithinTheirBounds) {
  // A cosine of a text with itself can round a hair past 1.
  TfIdfScorer tfidf;
  tfidf.index_capabilities("d", std::vector<std::string>{"delta epsilon epsilon epsilon theta"});
  EXPECT_EQ(tfidf.score("delta epsilon epsilon epsilon theta").value().pairs.at(0).second, 1.0);
  // Settings at the far end of the accepted range: an agent holding a query word is never lost
  // to overflow (k1 · B(d), a remembered share or (k1 + 1) / Σ q · idf turning infinite).
  for (const auto& [k1, weight] : {std::pair{1.5e308, 0.25}, std::pair{1.2, 1e308}}) {
    SCOPED_TRACE(k1);
    Bm25Settings s;
    s.k1 = k1;
    s.memory_weight = weight;
    auto bm25 = Bm25Scorer::create(s).value();
    bm25->index_capabilities("short", std::vector<std::string>{"weather"});
    bm25->index_capabilities("long", std::vector<std::string>{"weather forecast rain snow wind"});
    bm25->index_capabilities("other", std::vector<std::string>{"image resize"});
    ASSERT_TRUE(bm25->learn("long", "weather weather"));
    const auto pairs = bm25->score("weather").value().pairs;
    ASSERT_EQ(pairs.size(), 2u);
    for (const auto& [name, similarity] : pairs) {
      EXPECT_TRUE(similarity > 0.0 && similarity < 1.0) << name << " " << similarity;
    }
  }
  // tanh rounds to 1 from x ≈ 19, which k1 = 30 reaches.
  Bm25Settings wide;
  wide.k1 = 30;
  auto saturated = Bm25Scorer::create(wide).value();
  saturated->index_capabilities("a", std::vector<std::string>(100, "apple apple apple apple"));
  saturated->index_capabilities("b", std::vector<std::string>{"pear"});
  const double top = saturated->score("apple").value().pairs.at(0).second;
  EXPECT_LT(top, 1.0);
  // Where many sums round to one similarity, asking for exactly it still reports the agent.
  ScoreRequest request{"apple"};
  request.min_similarity = top;
  ScoreList at_minimum;
  ASSERT_FALSE(saturated->score_into(request, at_minimum));
  ASSERT_EQ(at_minimum.pairs.size(), 1u);
  EXPECT_EQ(at_minimum.pairs[0].second, top);
}

// Every setting is written, numbers with a fraction, members in this order; reading the text
// back gives the same scorers.
TEST(ScorerSettings, RoundTripThroughTheFactory) {
  const std::string json =
      R"({"kind":"hybrid","fusion":"minmax","parts":[{"weight":2.0,"scorer":{"kind":"hybrid",)"
      R"("fusion":"rrf","parts":[{"weight":0.25,"scorer":{"kind":"bm25","k1":0.7,"b":0.3,)"
      R"("stop_words":null,"stemmer":"french","memory_weight":1.5,"memory_b":1.0}},)"
      R"({"weight":0.75,"scorer":{"kind":"tfidf"}}]}},{"weight":1.0,"scorer":{"kind":"bm25",)"
      R"("k1":1.2,"b":0.75,"stop_words":"english","stemmer":"english","memory_weight":0.25,)"
      R"("memory_b":0.5}}]})";
  const auto rebuilt = scorer_from_settings(json);
  ASSERT_TRUE(rebuilt) << rebuilt.error();
  EXPECT_EQ(rebuilt.value()->settings_json(), json);
  EXPECT_EQ(Bm25Scorer::create({}).value()->settings_json(),
            scorer_from_settings(R"({"kind":"bm25"})").value()->settings_json());
  const std::pair<std::string, std::string> failures[] = {
      {"[1]", "scorer settings must be an object with a \"kind\" string"},
      {"{\"kind\":", "scorer settings are not valid JSON"},
      {R"({"kind":"magic"})", "unknown scorer kind \"magic\""},
      {R"({"kind":"bm25","k1":"big"})", "scorer setting 'k1' must be a number"},
      {R"({"kind":"bm25","b":3})", "b must be between 0 and 1, got 3"},
      {R"({"kind":"hybrid","parts":[]})", "a hybrid scorer needs at least one scorer"},
      {R"({"kind":"hybrid","parts":[{"weight":1,"scorer":{"kind":"host"}}]})",
       "the scorer includes a host scorer, which cannot be rebuilt from settings: pass the "
       "scorer again"},
      {R"({"kind":"hybrid","parts":[{"weight":1,"scorer":{"kind":5}}]})",
       "scorer settings must be an object with a \"kind\" string"},
      {R"({"kind":"hybrid","parts":[{"weight":1e308,"scorer":{"kind":"tfidf"}},)"
       R"({"weight":1e308,"scorer":{"kind":"tfidf"}}]})",
       "the weights must have a finite sum"},
      {R"({"kind":"hybrid","parts":[{"weight":5e-324,"scorer":{"kind":"tfidf"}},)"
       R"({"weight":4,"scorer":{"kind":"tfidf"}}]})",
       "weight 5e-324 is too small next to the others"},
  };
  for (const auto& [text, error] : failures) {
    const auto made = scorer_from_settings(text);
    ASSERT_FALSE(made) << text;
    EXPECT_EQ(made.error(), error);
  }
  std::string nested = R"({"kind":"tfidf"})";
  for (int hybrids = 0; hybrids <= kMaxHybridNesting; ++hybrids) {
    EXPECT_TRUE(scorer_from_settings(nested).has_value()) << hybrids;
    nested = R"({"kind":"hybrid","parts":[{"scorer":)" + nested + "}]}";
  }
  EXPECT_EQ(scorer_from_settings(nested).error(), "hybrid scorers nest more than 16 deep");
}

TEST(HybridScorer, FusesNormalisedScoresAndSkipsFailingParts) {
  using Pairs = test_support::ChosenScorer::Pairs;
  auto build = [](Fusion fusion, test_support::ChosenScorer*& a, test_support::ChosenScorer*& b) {
    std::vector<HybridPart> parts;
    parts.push_back({std::make_unique<test_support::ChosenScorer>(), 1});
    parts.push_back({std::make_unique<test_support::ChosenScorer>(), 3});
    a = static_cast<test_support::ChosenScorer*>(parts[0].scorer.get());
    b = static_cast<test_support::ChosenScorer*>(parts[1].scorer.get());
    // Unknown names are dropped; a name listed twice takes its later value.
    a->set_fallback(Pairs{{"a", 0.8}, {"b", 0.4}, {"c", 0.4}, {"zz", 0.9}});
    b->set_fallback(Pairs{{"b", 0.5}, {"a", 0.5}, {"b", 0.2}});
    auto hybrid = HybridScorer::create(std::move(parts), fusion).value();
    for (const char* name : {"a", "b", "c", "d"}) {
      hybrid->index(name, std::vector<std::string>{"x"},
                    static_cast<std::uint32_t>(name[0] - 'a' + 1));
    }
    return hybrid;
  };
  auto expect_fused = [](const Scorer& s, const char* query, std::map<std::string, double> want) {
    const ScoreList list = s.score(query).value();
    ASSERT_EQ(list.pairs.size(), want.size()) << query;
    for (const auto& [name, sim] : list.pairs) EXPECT_NEAR(sim, want[std::string(name)], 1e-15);
  };
  test_support::ChosenScorer *a, *b;
  // Ranks 1, 2, 2 (tie) and 1, 2: 61 / (60 + rank).
  auto rrf = build(Fusion::ReciprocalRank, a, b);
  expect_fused(*rrf, "q", {{"a", 1.0}, {"b", 61.0 / 62}, {"c", 61.0 / 62 / 4}});
  // Min-max: a part's best agent 1, unlisted agents 0; weighted mean over 1 + 3.
  auto minmax = build(Fusion::MinMax, a, b);
  expect_fused(*minmax, "q", {{"a", 1.0}, {"b", (0.5 + 3 * 0.4) / 4}, {"c", 0.5 / 4}});
  auto sink = std::make_shared<log::CapturingSink>(log::Level::Warn);
  log::ScopedSink guard(sink);
  a->fail_on("broken");
  expect_fused(*minmax, "broken", {{"a", 1.0}, {"b", 0.4}});
  EXPECT_EQ(sink->events_with("hybrid scorer part failed").size(), 1u);
  b->fail_on("broken");
  EXPECT_EQ(minmax->score("broken").error(), "no answer for broken");
  std::vector<double> by_key(8, 0.0);
  ScoreList broken(by_key);
  EXPECT_EQ(minmax->score_into({"broken"}, broken), "no answer for broken");
  std::fill(by_key.begin(), by_key.end(), 0.0);
  ScoreList keyed(by_key);
  ASSERT_FALSE(minmax->score_into({"q"}, keyed));
  EXPECT_TRUE(keyed.pairs.empty());
  const std::vector<double> want{0.0, 1.0, 1.7 / 4, 0.5 / 4, 0.0, 0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(by_key[k], want[k], 1e-15) << k;
  // A part that scores every agent alike (one agent, identical ones) has no range to rescale
  // by: they keep its similarity, so that a one-agent registry still finds its agent.
  a->set_fallback(Pairs{{"a", 0.3}, {"b", 0.3}, {"c", 0.3}, {"d", 0.3}});
  b->set_fallback(Pairs{{"a", 0.0}, {"b", 0.0}, {"c", 0.0}, {"d", 0.0}});
  expect_fused(*minmax, "alike", {{"a", 0.075}, {"b", 0.075}, {"c", 0.075}, {"d", 0.075}});
}

TEST(HybridScorer, RescalesByTheFiniteRangeWhateverTheOrderAndWeight) {
  using Pairs = test_support::ChosenScorer::Pairs;
  std::vector<HybridPart> parts;
  parts.push_back({std::make_unique<test_support::ChosenScorer>(), 5e-324});
  auto* part = static_cast<test_support::ChosenScorer*>(parts[0].scorer.get());
  auto hybrid = HybridScorer::create(std::move(parts), Fusion::MinMax).value();
  for (const char* name : {"a", "b", "c", "d"}) {
    hybrid->index(name, std::vector<std::string>{"x"}, static_cast<std::uint32_t>(name[0]));
  }
  auto fused = [&](Pairs pairs) {
    part->set_fallback(std::move(pairs));
    const ScoreList list = hybrid->score("q").value();
    std::map<std::string, double> out;
    for (const auto& [name, sim] : list.pairs) out[std::string(name)] = sim;
    return out;
  };
  // NaN stays NaN and infinities are the range's ends, in either order; the best finite
  // score is exactly 1 even under the smallest weight.
  for (const Pairs& pairs : {Pairs{{"a", NAN}, {"b", 0.3}, {"c", 0.1}, {"d", -INFINITY}},
                             Pairs{{"d", -INFINITY}, {"c", 0.1}, {"b", 0.3}, {"a", NAN}}}) {
    const auto got = fused(pairs);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(std::isnan(got.at("a")));
    EXPECT_EQ(got.at("b"), 1.0);
  }
  const auto wide = fused(Pairs{{"a", 1e308}, {"b", -1e308}, {"c", 0.0}, {"d", INFINITY}});
  EXPECT_EQ(wide, (std::map<std::string, double>{{"a", 1.0}, {"c", 0.5}, {"d", 1.0}}));
  // The narrowest range there is, and one finite score below an infinity.
  EXPECT_EQ(fused(Pairs{{"a", 5e-324}, {"b", 0.0}, {"c", 0.0}, {"d", 0.0}}),
            (std::map<std::string, double>{{"a", 1.0}}));
  EXPECT_EQ(fused(Pairs{{"a", INFINITY}, {"b", 0.5}, {"c", 0.5}, {"d", 0.5}}),
            (std::map<std::string, double>{{"a", 1.0}}));
}

TEST(HybridScorer, PartsFollowRememberedTextsIncrementallyOrByReindexing) {
  std::vector<HybridPart> parts;
  parts.push_back({Bm25Scorer::create({}).value(), 1});
  parts.push_back({std::make_unique<test_support::Reindexed>(), 1});
  auto hybrid = HybridScorer::create(std::move(parts), Fusion::MinMax).value();
  const auto* bm25 = dynamic_cast<const Bm25Scorer*>(hybrid->parts()[0].scorer.get());
  const auto* host = dynamic_cast<const test_support::Reindexed*>(hybrid->parts()[1].scorer.get());
  hybrid->index_capabilities("a", std::vector<std::string>{"route vans"});
  hybrid->learn("a", "plan delivery");
  hybrid->learn("a", "deliver parcels");
  hybrid->forget("a", "plan delivery");
  hybrid->forget("a", "never remembered");
  EXPECT_EQ(host->indexed.at("a").first, (Words{"route vans", "deliver parcels"}));
  EXPECT_EQ(bm25->lengths("a"), (std::pair<std::uint32_t, std::uint32_t>{2, 2}));
  hybrid->index_capabilities("a", std::vector<std::string>{"route trucks"});
  hybrid->learn("a", "move freight");
  EXPECT_EQ(host->indexed.at("a").first, (Words{"route trucks", "move freight"}));
  EXPECT_EQ(bm25->lengths("a"), (std::pair<std::uint32_t, std::uint32_t>{2, 2}));
  hybrid->remove_agent("a");
  EXPECT_TRUE(host->indexed.empty());
  EXPECT_EQ(bm25->num_documents(), 0u);
  EXPECT_EQ(hybrid->settings_json(),
            R"({"kind":"hybrid","fusion":"minmax","parts":[{"weight":1.0,"scorer":)" +
                bm25->settings_json() + R"(},{"weight":1.0,"scorer":{"kind":"host"}}]})");
  EXPECT_FALSE(HybridScorer::create({}, Fusion::MinMax));
}

}  // namespace
}  // namespace kova
