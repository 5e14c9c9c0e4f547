// Ranking quality of the BM25 scorer and of fused scorers on the labelled tool-selection data
// (../shared/data/retrieval): 199 tools registered with their one-line descriptions, 1,788
// development queries each naming its correct tools.
//
// Queries are split into five folds with a fixed seed. "Remembered" rows teach each correct
// tool the queries of four folds (Scorer::learn, as query memory does) and evaluate on the
// fifth; the figures are means over the five held-out folds. Settings are tuned only on
// training folds: within each outer fold, every candidate is scored by inner four-fold
// cross-validation over the training queries, and the best candidate is then evaluated on
// the held-out fold.
//
// "Some with history" registers the 199 tools among 4,000 public tool descriptions and lets
// only half of the 199 remember their training queries; it reports R@1 on the held-out
// queries of the tools without history, with and without the others' memory, so that a
// setting which lets agents with long histories win too often shows as a drop.
//
// Each row prints R@1 and R@5 as hit rates (a correct tool among the first k, averaged over
// queries), then in parentheses as shares (of each query's correct tools among the first k).
// "scorer" rows rank by the scorer's similarities alone (deterministic); "engine" rows rank
// through LocalNetwork::discover_filtered, kernels, threshold 0.1 and exploration included.
//
// Usage: bm25_quality [data-dir] [--only=rows|hybrid|history|tune] [--folds=N] [--quick]
// (--quick: a smaller tuning grid). The data directory defaults to ../shared/data beside the
// repository.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "network/network.hpp"
#include "scorer/bm25.hpp"
#include "scorer/hybrid.hpp"
#include "scorer/tfidf.hpp"
#include "text/unicode.hpp"

namespace {

using namespace kova;

struct Tool {
  std::string name;
  std::string description;
};

struct Labelled {
  std::string text;
  std::vector<std::string> tools;
};

std::vector<nlohmann::json> read_jsonl(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "data not found: %s\n", path.c_str());
    std::exit(2);
  }
  std::vector<nlohmann::json> rows;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) rows.push_back(nlohmann::json::parse(line));
  }
  return rows;
}

// R@k as hit rate (a correct tool among the first k, as the issue measured) and as share (of
// a query's correct tools among the first k, as bench/quality.py does); they differ only on
// queries naming several tools.
struct Scores {
  double r1 = 0.0;
  double r5 = 0.0;
  double share1 = 0.0;
  double share5 = 0.0;
  std::size_t n = 0;
  void add(const Scores& o) {
    const auto w = static_cast<double>(o.n);
    r1 += o.r1 * w;
    r5 += o.r5 * w;
    share1 += o.share1 * w;
    share5 += o.share5 * w;
    n += o.n;
  }
  Scores mean() const {
    if (n == 0) return {};
    const auto w = static_cast<double>(n);
    return {r1 / w, r5 / w, share1 / w, share5 / w, n};
  }
};

using Ranker = std::function<std::vector<std::string>(const std::string&)>;

Scores evaluate(const Ranker& rank, const std::vector<const Labelled*>& queries) {
  Scores s;
  for (const Labelled* q : queries) {
    const std::vector<std::string> names = rank(q->text);
    double hit1 = 0.0;
    double hit5 = 0.0;
    for (const std::string& tool : q->tools) {
      const auto at = std::find(names.begin(), names.end(), tool);
      if (at == names.end()) continue;
      hit1 += at - names.begin() < 1 ? 1.0 : 0.0;
      hit5 += at - names.begin() < 5 ? 1.0 : 0.0;
    }
    const auto tools = static_cast<double>(q->tools.size());
    s.r1 += hit1 > 0.0 ? 1.0 : 0.0;
    s.r5 += hit5 > 0.0 ? 1.0 : 0.0;
    s.share1 += hit1 / tools;
    s.share5 += hit5 / tools;
  }
  const auto n = static_cast<double>(std::max<std::size_t>(queries.size(), 1));
  return {s.r1 / n, s.r5 / n, s.share1 / n, s.share5 / n, queries.size()};
}

// Similarity order, names breaking ties, so that a scorer's ranking is reproducible.
Ranker scorer_ranker(const Scorer& scorer) {
  return [&scorer](const std::string& query) {
    const ScoreResult r = scorer.score(query);
    std::vector<std::pair<double, std::string>> pairs;
    if (r) {
      for (const auto& [name, sim] : r.value().pairs) pairs.emplace_back(-sim, std::string(name));
    }
    std::sort(pairs.begin(), pairs.end());
    std::vector<std::string> names;
    for (auto& p : pairs) names.push_back(std::move(p.second));
    return names;
  };
}

Ranker engine_ranker(const LocalNetwork& net) {
  return [&net](const std::string& query) {
    std::vector<std::string> names;
    for (DiscoveryResult& r : net.discover_filtered(query, nullptr)) {
      names.push_back(std::move(r.agent_name));
    }
    return names;
  };
}

// A deterministic stand-in for a host scorer such as an embedding model: Dice overlap of the
// character 4-gram sets of the lower-cased texts. It lists nearly every agent, and reports
// names without keys, as a host scorer does.
class CharGramScorer final : public Scorer {
 public:
  void index(std::string_view agent, const AgentTexts& texts, std::uint32_t) override {
    std::string all;
    for (const std::string& c : texts.texts) all += " " + c;
    grams_[std::string(agent)] = grams(all);
  }
  void remove_agent(std::string_view agent) override { grams_.erase(std::string(agent)); }
  std::optional<std::string> score_into(const ScoreRequest& request,
                                        ScoreList& out) const override {
    const std::string_view query = request.text;
    const std::set<std::string> q = grams(query);
    for (const auto& [name, g] : grams_) {
      std::size_t common = 0;
      for (const std::string& x : q) common += g.count(x);
      const double dice =
          q.empty() ? 0.0
                    : 2.0 * static_cast<double>(common) / static_cast<double>(q.size() + g.size());
      if (dice > 0.0) out.add_owned(name, dice);
    }
    return std::nullopt;
  }

 private:
  static std::set<std::string> grams(std::string_view text) {
    const std::string lower = " " + text::to_lower(text) + " ";
    std::set<std::string> out;
    for (std::size_t i = 0; i + 4 <= lower.size(); ++i) out.insert(lower.substr(i, 4));
    return out;
  }
  std::map<std::string, std::set<std::string>> grams_;
};

struct Data {
  std::vector<Tool> tools;
  std::vector<Labelled> queries;
  std::vector<Tool> corpus;  // public tool descriptions, for the larger registry
  std::vector<std::vector<const Labelled*>> folds;
};

Data load(const std::filesystem::path& dir, std::size_t folds) {
  Data d;
  std::set<std::string> known;
  for (const auto& row : read_jsonl(dir / "retrieval" / "tools.jsonl")) {
    d.tools.push_back({row["name"], row["description"]});
    known.insert(row["name"]);
  }
  for (const auto& row : read_jsonl(dir / "retrieval" / "queries_dev.jsonl")) {
    Labelled q{row["query"], row["tools"].get<std::vector<std::string>>()};
    const bool all_known = !q.tools.empty() && std::all_of(q.tools.begin(), q.tools.end(),
                                                           [&](auto& t) { return known.count(t); });
    if (all_known) d.queries.push_back(std::move(q));
  }
  std::set<std::string> seen;
  for (const auto& row : read_jsonl(dir / "tools_corpus.jsonl")) {
    const std::string name = "corpus/" + row["name"].get<std::string>();
    const std::string description = row["description"];
    if (!description.empty() && seen.insert(name).second) d.corpus.push_back({name, description});
  }
  std::vector<std::size_t> order(d.queries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(4242));
  d.folds.resize(folds);
  for (std::size_t i = 0; i < order.size(); ++i) {
    d.folds[i % folds].push_back(&d.queries[order[i]]);
  }
  return d;
}

std::vector<const Labelled*> all_but(const std::vector<std::vector<const Labelled*>>& folds,
                                     std::size_t skip) {
  std::vector<const Labelled*> out;
  for (std::size_t f = 0; f < folds.size(); ++f) {
    if (f != skip) out.insert(out.end(), folds[f].begin(), folds[f].end());
  }
  return out;
}

// How remembered texts reach a scorer: learn (its own field) or appended to the capabilities
// (one field, what re-indexing with capabilities + remembered texts gives).
enum class Memory { None, Learn, Append };

// With `net`, the tools are registered there already and re-indexing keeps their keys.
void teach(Scorer& scorer, const std::vector<Tool>& tools,
           const std::vector<const Labelled*>& train, Memory memory,
           const std::set<std::string>* only = nullptr, const LocalNetwork* net = nullptr) {
  std::unordered_map<std::string, std::vector<std::string>> texts;
  for (const Tool& t : tools) texts[t.name] = {t.description};
  if (!net) {
    for (const Tool& t : tools) scorer.index_capabilities(t.name, texts[t.name]);
  }
  if (memory == Memory::None) return;
  for (const Labelled* q : train) {
    for (const std::string& tool : q->tools) {
      if (only && !only->count(tool)) continue;
      if (memory == Memory::Learn) {
        scorer.learn(tool, q->text);
      } else {
        texts[tool].push_back(q->text);
      }
    }
  }
  if (memory == Memory::Append) {
    for (const Tool& t : tools) {
      if (texts[t.name].size() < 2) continue;
      if (net) {
        scorer.index(t.name, texts[t.name], net->find(t.name)->key);
      } else {
        scorer.index_capabilities(t.name, texts[t.name]);
      }
    }
  }
}

using Factory = std::function<std::unique_ptr<Scorer>()>;

Factory bm25(Bm25Settings s) {
  return [s] { return std::unique_ptr<Scorer>(Bm25Scorer::create(s).value().release()); };
}

// Mean over the held-out folds, teaching the others. With `feedback`, the engine also gets
// record_success(tool) for every training query (no query text: routing state only).
Scores cross_validated(const Data& d, const Factory& make, Memory memory, bool engine,
                       bool feedback = false) {
  Scores total;
  for (std::size_t f = 0; f < d.folds.size(); ++f) {
    if (engine) {
      std::unique_ptr<Scorer> owned = make();
      Scorer* scorer = owned.get();
      auto net = LocalNetwork::with_scorer(std::move(owned));
      for (const Tool& t : d.tools) {
        net->register_agent(t.name, std::vector<std::string>{t.description}, std::nullopt, {});
      }
      teach(*scorer, d.tools, all_but(d.folds, f), memory, nullptr, net.get());
      if (feedback) {
        for (const Labelled* q : all_but(d.folds, f)) {
          for (const std::string& tool : q->tools) net->record_success(tool, std::nullopt);
        }
      }
      total.add(evaluate(engine_ranker(*net), d.folds[f]));
    } else {
      std::unique_ptr<Scorer> scorer = make();
      teach(*scorer, d.tools, all_but(d.folds, f), memory);
      total.add(evaluate(scorer_ranker(*scorer), d.folds[f]));
    }
  }
  return total.mean();
}

// Inner four-fold cross-validation over `train` for one candidate.
double inner_r1(const Data& d, const std::vector<const Labelled*>& train, const Factory& make,
                Memory memory) {
  std::vector<std::vector<const Labelled*>> inner(4);
  for (std::size_t i = 0; i < train.size(); ++i) inner[i % 4].push_back(train[i]);
  Scores total;
  for (std::size_t f = 0; f < inner.size(); ++f) {
    std::unique_ptr<Scorer> scorer = make();
    teach(*scorer, d.tools, all_but(inner, f), memory);
    total.add(evaluate(scorer_ranker(*scorer), inner[f]));
  }
  return total.mean().r1;
}

std::string describe(const Bm25Settings& s) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "k1=%.2g b=%.2g w=%.2g bm=%.2g", s.k1, s.b, s.memory_weight,
                s.memory_b);
  return buf;
}

void print(const char* label, const Scores& s) {
  std::printf("%-74s %.3f %.3f  (%.3f %.3f)\n", label, s.r1, s.r5, s.share1, s.share5);
}

void tune(const Data& d, bool quick) {
  std::vector<Bm25Settings> grid;
  const std::vector<double> k1s =
      quick ? std::vector<double>{0.9, 1.2, 1.8} : std::vector<double>{0.6, 0.9, 1.2, 1.5, 2.0};
  const std::vector<double> bs =
      quick ? std::vector<double>{0.5, 0.75} : std::vector<double>{0.3, 0.5, 0.75, 0.9};
  const std::vector<double> ws = quick ? std::vector<double>{0.25, 0.5, 1.0}
                                       : std::vector<double>{0.15, 0.25, 0.35, 0.5, 0.75, 1.0};
  const std::vector<double> bms =
      quick ? std::vector<double>{0.5, 0.75} : std::vector<double>{0.25, 0.5, 0.75, 1.0};
  for (double k1 : k1s)
    for (double b : bs)
      for (double w : ws)
        for (double bm : bms) {
          Bm25Settings s;
          s.k1 = k1;
          s.b = b;
          s.memory_weight = w;
          s.memory_b = bm;
          grid.push_back(s);
        }
  std::printf("\nnested tuning over %zu settings (inner 4-fold R@1 on training folds)\n",
              grid.size());
  Scores held_out;
  std::map<std::string, int> chosen;
  std::vector<double> mean_inner(grid.size(), 0.0);
  for (std::size_t f = 0; f < d.folds.size(); ++f) {
    const std::vector<const Labelled*> train = all_but(d.folds, f);
    std::size_t best = 0;
    double best_r1 = -1.0;
    for (std::size_t g = 0; g < grid.size(); ++g) {
      const double r1 = inner_r1(d, train, bm25(grid[g]), Memory::Learn);
      mean_inner[g] += r1 / static_cast<double>(d.folds.size());
      if (r1 > best_r1) {
        best_r1 = r1;
        best = g;
      }
    }
    std::unique_ptr<Scorer> scorer = bm25(grid[best])();
    teach(*scorer, d.tools, train, Memory::Learn);
    const Scores s = evaluate(scorer_ranker(*scorer), d.folds[f]);
    held_out.add(s);
    ++chosen[describe(grid[best])];
    std::printf("  fold %zu: chose %s (inner R@1 %.3f), held-out R@1 %.3f R@5 %.3f\n", f,
                describe(grid[best]).c_str(), best_r1, s.r1, s.r5);
  }
  print("BM25F remembered, tuned on training folds (scorer)", held_out.mean());
  std::vector<std::size_t> order(grid.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return mean_inner[a] > mean_inner[b]; });
  std::printf("  best settings by mean inner R@1:\n");
  for (std::size_t i = 0; i < std::min<std::size_t>(8, order.size()); ++i) {
    std::printf("    %s  %.4f\n", describe(grid[order[i]]).c_str(), mean_inner[order[i]]);
  }
}

// R@1 on held-out queries of the tools without history, among 4,000 extra tools, when half of
// the 199 tools remember their training queries.
void some_with_history(const Data& d, const std::vector<std::pair<std::string, Factory>>& rows,
                       const std::vector<Memory>& memories) {
  std::vector<Tool> registry = d.tools;
  const std::size_t extra = std::min<std::size_t>(4000, d.corpus.size());
  std::vector<Tool> corpus = d.corpus;
  std::shuffle(corpus.begin(), corpus.end(), std::mt19937(7));
  registry.insert(registry.end(), corpus.begin(), corpus.begin() + static_cast<long>(extra));
  std::vector<std::string> names;
  for (const Tool& t : d.tools) names.push_back(t.name);
  std::shuffle(names.begin(), names.end(), std::mt19937(11));
  const std::set<std::string> with_history(names.begin(), names.begin() + names.size() / 2);
  auto held_out_of = [&](std::size_t f, bool history) {
    std::vector<const Labelled*> out;
    for (const Labelled* q : d.folds[f]) {
      const bool has = std::any_of(q->tools.begin(), q->tools.end(),
                                   [&](auto& t) { return with_history.count(t) > 0; });
      if (has == history) out.push_back(q);
    }
    return out;
  };
  std::printf("\nsome with history: %zu tools (%zu with remembered queries)\n", registry.size(),
              with_history.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    Scores without;
    Scores with_others;
    Scores taught;
    for (std::size_t f = 0; f < d.folds.size(); ++f) {
      std::unique_ptr<Scorer> plain = rows[r].second();
      teach(*plain, registry, {}, Memory::None);
      without.add(evaluate(scorer_ranker(*plain), held_out_of(f, false)));
      std::unique_ptr<Scorer> scorer = rows[r].second();
      teach(*scorer, registry, all_but(d.folds, f), memories[r], &with_history);
      with_others.add(evaluate(scorer_ranker(*scorer), held_out_of(f, false)));
      taught.add(evaluate(scorer_ranker(*scorer), held_out_of(f, true)));
    }
    std::printf("%-40s no history R@1 %.3f -> %.3f with others' memory; with history R@1 %.3f\n",
                rows[r].first.c_str(), without.mean().r1, with_others.mean().r1, taught.mean().r1);
  }
}

Factory hybrid(std::vector<std::pair<Factory, double>> parts, Fusion fusion) {
  return [parts, fusion] {
    std::vector<HybridPart> built;
    for (const auto& [make, weight] : parts) built.push_back({make(), weight});
    return std::unique_ptr<Scorer>(
        HybridScorer::create(std::move(built), fusion).value().release());
  };
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path dir =
      std::filesystem::path(__FILE__).parent_path().parent_path() / ".." / "shared" / "data";
  bool quick = false;
  std::string only;
  std::size_t folds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strncmp(argv[i], "--folds=", 8) == 0) {
      folds = std::stoul(argv[i] + 8);
    } else if (std::strncmp(argv[i], "--only=", 7) == 0) {
      only = argv[i] + 7;
    } else {
      dir = argv[i];
    }
  }
  const Data d = load(dir, folds);
  std::printf("%zu tools, %zu labelled queries, %zu folds\n", d.tools.size(), d.queries.size(),
              folds);
  auto want = [&](const char* part) { return only.empty() || only == part; };

  Bm25Settings plain;
  plain.stop_words.reset();
  plain.stemmer.reset();
  Bm25Settings stop_only = plain;
  stop_only.stop_words = "english";
  Bm25Settings stem_only = plain;
  stem_only.stemmer = "english";
  const Bm25Settings recommended;
  const Factory tfidf = [] { return std::unique_ptr<Scorer>(new TfIdfScorer()); };
  const Factory grams = [] { return std::unique_ptr<Scorer>(new CharGramScorer()); };

  if (want("rows")) {
    std::printf("\nno feedback (all queries; a fold split changes nothing here)\n");
    for (const bool engine : {false, true}) {
      const char* path = engine ? "engine" : "scorer";
      char label[96];
      const std::pair<const char*, Bm25Settings> variants[] = {
          {"BM25, no stop words, no stemming", plain},
          {"BM25, stop words", stop_only},
          {"BM25, stemming", stem_only},
          {"BM25, stop words + stemming (default)", recommended}};
      for (const auto& [name, s] : variants) {
        std::snprintf(label, sizeof label, "%s (%s)", name, path);
        print(label, cross_validated(d, bm25(s), Memory::None, engine));
      }
      std::snprintf(label, sizeof label, "TF-IDF (%s)", path);
      print(label, cross_validated(d, tfidf, Memory::None, engine));
    }
    std::printf("\nremembered texts: teach four folds, evaluate the fifth\n");
    for (const bool engine : {false, true}) {
      const char* path = engine ? "engine" : "scorer";
      char label[96];
      std::snprintf(label, sizeof label, "BM25 default, remembered texts as own field (%s)", path);
      print(label, cross_validated(d, bm25(recommended), Memory::Learn, engine));
      std::snprintf(label, sizeof label, "BM25 default, remembered texts appended (%s)", path);
      print(label, cross_validated(d, bm25(recommended), Memory::Append, engine));
      std::snprintf(label, sizeof label, "BM25 plain, remembered texts as own field (%s)", path);
      print(label, cross_validated(d, bm25(plain), Memory::Learn, engine));
      std::snprintf(label, sizeof label, "TF-IDF, remembered texts appended (%s)", path);
      print(label, cross_validated(d, tfidf, Memory::Append, engine));
    }
    print("BM25 default, remembered as own field + record_success(tool) (engine)",
          cross_validated(d, bm25(recommended), Memory::Learn, true, true));
    print("BM25 default, remembered texts appended + record_success(tool) (engine)",
          cross_validated(d, bm25(recommended), Memory::Append, true, true));
    print("TF-IDF, remembered texts appended + record_success(tool) (engine)",
          cross_validated(d, tfidf, Memory::Append, true, true));
  }

  if (want("hybrid")) {
    std::printf("\nfusion (remembered texts: each part learns, or is re-indexed)\n");
    for (const Memory memory : {Memory::None, Memory::Learn}) {
      for (const bool engine : {false, true}) {
        for (const Fusion fusion : {Fusion::MinMax, Fusion::ReciprocalRank}) {
          const std::pair<const char*, Factory> rows[] = {
              {"BM25 0.5 + TF-IDF 0.5", hybrid({{bm25(recommended), 0.5}, {tfidf, 0.5}}, fusion)},
              {"BM25 0.7 + TF-IDF 0.3", hybrid({{bm25(recommended), 0.7}, {tfidf, 0.3}}, fusion)},
              {"BM25 0.5 + char 4-gram host 0.5",
               hybrid({{bm25(recommended), 0.5}, {grams, 0.5}}, fusion)},
              {"BM25 0.75 + char 4-gram host 0.25",
               hybrid({{bm25(recommended), 0.75}, {grams, 0.25}}, fusion)}};
          for (const auto& [name, make] : rows) {
            char label[128];
            std::snprintf(label, sizeof label, "%s, %s, %s (%s)", name,
                          std::string(fusion_name(fusion)).c_str(),
                          memory == Memory::None ? "no feedback" : "remembered",
                          engine ? "engine" : "scorer");
            print(label, cross_validated(d, make, memory, engine));
          }
        }
      }
      print(
          memory == Memory::None ? "char 4-gram host alone, no feedback (scorer)"
                                 : "char 4-gram host alone, remembered (scorer)",
          cross_validated(d, grams, memory == Memory::None ? Memory::None : Memory::Append, false));
    }
  }

  if (want("history")) {
    std::vector<std::pair<std::string, Factory>> rows;
    std::vector<Memory> memories;
    rows.emplace_back("BM25 default, appended", bm25(recommended));
    memories.push_back(Memory::Append);
    for (const double w : {0.25, 0.35, 0.5, 1.0}) {
      Bm25Settings s = recommended;
      s.memory_weight = w;
      rows.emplace_back("BM25F " + describe(s), bm25(s));
      memories.push_back(Memory::Learn);
    }
    some_with_history(d, rows, memories);
  }

  if (want("tune")) tune(d, quick);
  return 0;
}
