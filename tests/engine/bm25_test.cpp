#include "scorer/bm25.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
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
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 Stra\xC3\x9F"
       "e 3.14 e-mail \xF0\x9F\x99\x82 U.S.A.",
       {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82",
        "stra\xC3\x9F"
        "e",
        "3.14", "e", "mail", "u.s.a"}},
      // Dictionary segmentation of Chinese: 我 喜欢 机器 学习.
      {"\xE6\x88\x91\xE5\x96\x9C\xE6\xAC\xA2\xE6\x9C\xBA\xE5\x99\xA8\xE5\xAD\xA6\xE4\xB9\xA0",
       {"\xE6\x88\x91", "\xE5\x96\x9C\xE6\xAC\xA2", "\xE6\x9C\xBA\xE5\x99\xA8",
        "\xE5\xAD\xA6\xE4\xB9\xA0"}},
      {"It\xE2\x80\x99s  don't", {"it's", "don't"}},
  };
  for (const auto& [text, expected] : words) EXPECT_EQ(text::word_tokens_lower(text), expected);

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
  EXPECT_EQ(english.value()->terms("It\xE2\x80\x99s the user's data: could you translate the "
                                   "RUNNING contracts?"),
            (Words{"user", "data", "translat", "run", "contract"}));
  auto french = text::Analyzer::create(std::nullopt, "french");
  ASSERT_TRUE(french);
  EXPECT_EQ(french.value()->terms("continuellement les chevaux"),
            (Words{"continuel", "le", "cheval"}));
}

TEST(Bm25Settings, InvalidValuesAreNamed) {
  auto with = [](auto change) {
    Bm25Settings s;
    change(s);
    auto made = Bm25Scorer::create(s);
    return made ? std::string() : made.error();
  };
  EXPECT_EQ(with([](Bm25Settings& s) { s.k1 = -0.5; }),
            "k1 must be a finite number >= 0, got -0.5");
  EXPECT_EQ(with([](Bm25Settings& s) { s.k1 = NAN; }), "k1 must be a finite number >= 0, got NaN");
  EXPECT_EQ(with([](Bm25Settings& s) { s.k1 = INFINITY; }),
            "k1 must be a finite number >= 0, got inf");
  EXPECT_EQ(with([](Bm25Settings& s) { s.b = 1.5; }), "b must be between 0 and 1, got 1.5");
  EXPECT_EQ(with([](Bm25Settings& s) { s.memory_weight = -1; }),
            "memory_weight must be a finite number >= 0, got -1");
  EXPECT_EQ(with([](Bm25Settings& s) { s.memory_b = NAN; }),
            "memory_b must be between 0 and 1, got NaN");
  EXPECT_EQ(with([](Bm25Settings& s) { s.stop_words = "german"; }),
            "unknown stop-word list 'german' (available: 'english')");
  EXPECT_EQ(with([](Bm25Settings& s) {
              s.stemmer = "en";
            }).rfind("unknown stemmer language 'en' (available: 'arabic', ", 0),
            0u);
  EXPECT_EQ(with([](Bm25Settings& s) {
              s.k1 = 0;
              s.b = 1;
            }),
            "");
}

// The documented formula, computed directly from every agent's texts.
struct Model {
  struct Agent {
    Words caps;
    std::vector<Words> remembered;
  };
  std::map<std::string, Agent> agents;

  std::map<std::string, double> similarities(const Bm25Settings& s, const Words& query) const {
    auto idf = [](double n, double df) { return std::log(1 + (n - df + 0.5) / (df + 0.5)); };
    auto count = [](const Words& words, const std::string& t) {
      return static_cast<double>(std::count(words.begin(), words.end(), t));
    };
    std::map<std::string, Words> memory;
    double n = 0, remembering = 0, caps_total = 0, memory_total = 0;
    for (const auto& [name, a] : agents) {
      for (const Words& text : a.remembered)
        memory[name].insert(memory[name].end(), text.begin(), text.end());
      n += 1;
      remembering += memory[name].empty() ? 0 : 1;
      caps_total += a.caps.size();
      memory_total += memory[name].size();
    }
    std::map<std::string, double> out;
    for (const auto& [name, a] : agents) {
      double score = 0, total = 0;
      for (const std::string& t : std::set<std::string>(query.begin(), query.end())) {
        double df = 0, df_memory = 0;
        for (const auto& [other, b] : agents) {
          df += count(b.caps, t) + count(memory[other], t) > 0 ? 1 : 0;
          df_memory += count(memory[other], t) > 0 ? 1 : 0;
        }
        const double weight = count(query, t) * idf(n, df);
        total += weight;
        const double r =
            df_memory > 0 ? std::min(1.0, idf(remembering, df_memory) / idf(n, df)) : 0;
        const double c = count(a.caps, t), m = count(memory[name], t);
        double tf = 0;
        if (c > 0) tf += c / (1 - s.b + s.b * a.caps.size() / (caps_total / n));
        if (m > 0)
          tf += s.memory_weight * r * m /
                (1 - s.memory_b + s.memory_b * memory[name].size() / (memory_total / remembering));
        if (tf > 0) score += weight * (s.k1 + 1) * tf / (s.k1 + tf);
      }
      if (score > 0) out[name] = std::tanh(score / total);
    }
    return out;
  }
};

std::string join(const Words& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

// Random registrations, re-registrations, removals and remembered texts learned and forgotten,
// in any order: the incremental index always scores as the formula over the current texts.
TEST(Bm25Scorer, IncrementalIndexMatchesTheFormula) {
  Bm25Settings plain;
  plain.stop_words.reset();
  plain.stemmer.reset();
  std::vector<Bm25Settings> settings(4, plain);
  settings[1].k1 = 0.0;
  settings[1].b = 1.0;
  settings[1].memory_b = 1.0;
  settings[2].memory_weight = 0.0;
  settings[3].memory_weight = 2.0;
  settings[3].b = 0.0;
  for (std::size_t variant = 0; variant < settings.size(); ++variant) {
    SCOPED_TRACE(variant);
    std::mt19937 rng(static_cast<unsigned>(variant) + 1);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto words = [&](int most) {
      Words w(static_cast<std::size_t>(pick(most + 1)));
      for (std::string& x : w) x = "w" + std::to_string(pick(25));
      return w;
    };
    auto scorer = Bm25Scorer::create(settings[variant]).value();
    Model model;
    std::map<std::string, std::uint32_t> keys;
    for (int step = 0; step < 400; ++step) {
      const std::string name = "a" + std::to_string(pick(12));
      const auto it = model.agents.find(name);
      const int op = pick(10);
      if (op < 3 || it == model.agents.end()) {
        Words caps = words(6);
        const std::vector<std::string> texts{join(caps)};
        keys[name] = static_cast<std::uint32_t>(std::stoi(name.substr(1)) + 1);
        scorer->index(name, texts, keys[name]);
        model.agents[name] = {caps, {}};
      } else if (op < 7) {
        Words text = words(5);
        ASSERT_TRUE(scorer->learn(name, join(text)));
        it->second.remembered.push_back(text);
      } else if (op < 9 && !it->second.remembered.empty()) {
        auto& remembered = it->second.remembered;
        const auto at = remembered.begin() + pick(static_cast<int>(remembered.size()));
        ASSERT_TRUE(scorer->forget(name, join(*at)));
        remembered.erase(at);
      } else if (op == 9) {
        scorer->remove_agent(name);
        model.agents.erase(it);
      }
      // A text the agent never remembered changes nothing.
      scorer->forget(name, "w1 never");
      if (step % 20 != 19) continue;
      for (int q = 0; q < 5; ++q) {
        Words query = words(4);
        query.push_back(pick(2) ? "unknown" : "w3");
        const auto expected = model.similarities(settings[variant], query);
        const ScoreList got = scorer->score(join(query)).value();
        ASSERT_EQ(got.pairs.size(), expected.size());
        std::vector<double> by_key(32, 0.0);
        ScoreList keyed(by_key);
        ASSERT_FALSE(scorer->score_into({join(query)}, keyed));
        EXPECT_TRUE(keyed.pairs.empty());
        for (std::size_t i = 0; i < got.pairs.size(); ++i) {
          const std::string agent(got.pairs[i].first);
          ASSERT_TRUE(expected.count(agent)) << agent;
          EXPECT_NEAR(got.pairs[i].second, expected.at(agent), 1e-12);
          EXPECT_LT(got.pairs[i].second, 1.0);
          EXPECT_EQ(got.keys[i], keys[agent]);
        }
        for (const auto& [agent, record] : model.agents) {
          const double want = expected.count(agent) ? expected.at(agent) : 0.0;
          EXPECT_NEAR(by_key[keys[agent]], want, 1e-12) << agent;
        }
        // A floor may leave out only agents below it, and changes no similarity.
        const double floor = pick(2) ? 0.3 : got.pairs.empty() ? 0.5 : got.pairs[0].second;
        std::map<std::string_view, double> above, listed;
        for (const auto& [agent, similarity] : got.pairs) {
          if (similarity >= floor) above[agent] = similarity;
        }
        ScoreList cut;
        ASSERT_FALSE(scorer->score_into({join(query), floor}, cut));
        for (const auto& [agent, similarity] : cut.pairs) {
          if (similarity >= floor) listed[agent] = similarity;
        }
        EXPECT_EQ(listed, above);
      }
    }
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

TEST(ScorerSettings, RoundTripThroughTheFactory) {
  Bm25Settings odd;
  odd.k1 = 0.7;
  odd.b = 0.3;
  odd.stop_words.reset();
  odd.stemmer = "french";
  odd.memory_weight = 1.5;
  odd.memory_b = 1.0;
  std::vector<HybridPart> parts;
  parts.push_back({Bm25Scorer::create(odd).value(), 0.25});
  parts.push_back({std::make_unique<TfIdfScorer>(), 0.75});
  std::vector<HybridPart> outer;
  outer.push_back({HybridScorer::create(std::move(parts), Fusion::ReciprocalRank).value(), 2});
  outer.push_back({Bm25Scorer::create({}).value(), 1});
  const auto hybrid = HybridScorer::create(std::move(outer), Fusion::MinMax).value();
  const std::string json = hybrid->settings_json();
  EXPECT_TRUE(json.starts_with(
      R"({"kind":"hybrid","fusion":"minmax","parts":[{"weight":2.0,"scorer":{"kind":"hybrid",)"))
      << json;
  const auto rebuilt = scorer_from_settings(json);
  ASSERT_TRUE(rebuilt) << rebuilt.error();
  EXPECT_EQ(rebuilt.value()->settings_json(), json);

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
  };
  for (const auto& [text, error] : failures) {
    const auto made = scorer_from_settings(text);
    ASSERT_FALSE(made) << text;
    EXPECT_EQ(made.error(), error);
  }
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
