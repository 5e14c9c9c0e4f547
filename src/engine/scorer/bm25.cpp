#include "scorer/bm25.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "core/format.hpp"
#include "scorer/learned.hpp"
#include "scorer/truncate.hpp"
#include "text/analysis.hpp"

namespace kova {

namespace {

using TermId = std::uint32_t;
using Slot = std::uint32_t;

// One agent holding a term: the term's count in its capabilities and in its remembered texts.
struct Posting {
  Slot slot;
  std::uint32_t caps;
  std::uint32_t memory;
};

// One term of an agent; `position` is the index of its posting, kept up to date so that
// taking an agent out never searches a (possibly long) postings list.
struct DocTerm {
  TermId term;
  std::uint32_t position;
};

struct Lengths {
  std::uint32_t caps = 0;
  std::uint32_t memory = 0;
};

// A text's distinct terms with their counts.
using TermCounts = std::vector<std::pair<std::string, std::uint32_t>>;

TermCounts counted(std::vector<std::string> terms) {
  std::sort(terms.begin(), terms.end());
  TermCounts out;
  for (std::string& term : terms) {
    if (!out.empty() && out.back().first == term) {
      ++out.back().second;
    } else {
      out.emplace_back(std::move(term), 1);
    }
  }
  return out;
}

double inverse_document_frequency(double n, std::size_t df) {
  const double d = static_cast<double>(df);
  return std::log(1.0 + (n - d + 0.5) / (d + 0.5));
}

// Per-thread accumulators of `score`, kept between queries: `acc` is all zeros between uses
// and only the visited entries are cleared afterwards.
struct Scratch {
  std::vector<double> acc;
  std::vector<Slot> visited;
};

Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

}  // namespace

std::optional<std::string> Bm25Settings::problem() const {
  if (!(k1 >= 0.0) || !std::isfinite(k1)) {
    return "k1 must be a finite number >= 0, got " + format_shortest(k1);
  }
  if (!(b >= 0.0 && b <= 1.0)) return "b must be between 0 and 1, got " + format_shortest(b);
  if (!(memory_weight >= 0.0) || !std::isfinite(memory_weight)) {
    return "memory_weight must be a finite number >= 0, got " + format_shortest(memory_weight);
  }
  if (!(memory_b >= 0.0 && memory_b <= 1.0)) {
    return "memory_b must be between 0 and 1, got " + format_shortest(memory_b);
  }
  return std::nullopt;
}

struct Bm25Scorer::Impl {
  struct Document {
    std::string name;
    std::vector<DocTerm> terms;  // ascending term id
    LearnedTexts learned;
  };
  struct Term {
    std::string text;
    std::vector<Posting> postings;    // its length is the document frequency
    std::uint32_t remembered_by = 0;  // postings with a remembered count
    std::uint32_t held_by = 0;        // postings with a capability count
  };

  Bm25Settings settings;
  std::unique_ptr<text::Analyzer> analyzer;

  // Deques keep elements in place as they grow: the maps' keys view the strings inside them
  // and score results view document names.
  std::deque<Document> documents;
  std::vector<Slot> free_slots;
  // By slot, packed densely because a query reads them in postings order.
  std::vector<std::string_view> names;
  std::vector<std::uint32_t> keys;  // the engine's key for the agent, or 0
  std::vector<Lengths> lengths;
  std::unordered_map<std::string_view, Slot> slot_by_name;
  std::deque<Term> terms;
  std::vector<TermId> free_terms;
  std::unordered_map<std::string_view, TermId> id_by_term;
  std::uint64_t total_caps = 0;
  std::uint64_t total_memory = 0;
  std::size_t with_memory = 0;  // agents remembering at least one term
  std::uint64_t epoch = fresh_capability_epoch();

  TermCounts analyse(std::string_view agent_id, std::string_view text) const {
    std::optional<std::string> cut;
    return counted(analyzer->terms(indexed_text(agent_id, text, cut)));
  }

  TermId intern(std::string_view text) {
    if (auto it = id_by_term.find(text); it != id_by_term.end()) return it->second;
    TermId id;
    if (free_terms.empty()) {
      id = static_cast<TermId>(terms.size());
      terms.emplace_back();
    } else {
      id = free_terms.back();
      free_terms.pop_back();
    }
    terms[id].text.assign(text);
    id_by_term.emplace(terms[id].text, id);
    return id;
  }

  Slot allocate(std::string_view name) {
    Slot slot;
    if (free_slots.empty()) {
      slot = static_cast<Slot>(documents.size());
      documents.emplace_back();
      names.emplace_back();
      keys.push_back(0);
      lengths.emplace_back();
    } else {
      slot = free_slots.back();
      free_slots.pop_back();
    }
    documents[slot].name.assign(name);
    slot_by_name.emplace(documents[slot].name, slot);
    names[slot] = documents[slot].name;
    keys[slot] = 0;
    lengths[slot] = {};
    return slot;
  }

  // Takes one posting out of its term's list; a term left without postings is forgotten.
  void detach(const DocTerm& entry) {
    Term& term = terms[entry.term];
    std::vector<Posting>& postings = term.postings;
    term.remembered_by -= postings[entry.position].memory > 0 ? 1 : 0;
    term.held_by -= postings[entry.position].caps > 0 ? 1 : 0;
    if (entry.position + 1 != postings.size()) {
      postings[entry.position] = postings.back();
      Document& moved = documents[postings[entry.position].slot];
      auto it = std::lower_bound(moved.terms.begin(), moved.terms.end(), entry.term,
                                 [](const DocTerm& e, TermId id) { return e.term < id; });
      it->position = entry.position;
    }
    postings.pop_back();
    if (postings.empty()) {
      id_by_term.erase(term.text);
      term.text.clear();
      postings.shrink_to_fit();
      free_terms.push_back(entry.term);
    }
  }

  void set_memory_length(Slot slot, std::uint32_t memory) {
    Lengths& len = lengths[slot];
    with_memory += (memory > 0 ? 1 : 0) - (len.memory > 0 ? 1 : 0);
    total_memory = total_memory - len.memory + memory;
    len.memory = memory;
  }

  // Both fields of the agent emptied.
  void withdraw(Slot slot) {
    Document& doc = documents[slot];
    for (const DocTerm& entry : doc.terms) detach(entry);
    doc.terms.clear();
    doc.learned.clear();
    total_caps -= lengths[slot].caps;
    lengths[slot].caps = 0;
    set_memory_length(slot, 0);
  }

  // Similarities of every agent sharing a term with the query, left in scratch.acc at the
  // slots listed in scratch.visited (the caller clears them). Agents whose sum falls below
  // `floor` (before the tanh) are left at 0. `capabilities_only` gives exactly the sums of an
  // index that holds the same capabilities and no remembered texts.
  void accumulate(std::string_view query, Scratch& scratch, double floor,
                  bool capabilities_only) const {
    scratch.visited.clear();
    if (slot_by_name.empty()) return;
    const TermCounts query_terms = counted(analyzer->terms(query));
    const double n = static_cast<double>(slot_by_name.size());
    const double remembering = static_cast<double>(with_memory);
    struct Weighted {
      const Term* term;
      double weight;  // q(t) · idf(t)
      double memory;  // w · r(t)
    };
    std::vector<Weighted> known;
    double total = 0.0;
    for (const auto& [text, count] : query_terms) {
      const auto it = id_by_term.find(text);
      const Term* term = it == id_by_term.end() ? nullptr : &terms[it->second];
      const std::size_t df = term == nullptr     ? 0
                             : capabilities_only ? term->held_by
                                                 : term->postings.size();
      // A word no agent holds tells nothing about which agent fits; counting it would push
      // every agent below the threshold on long requests.
      if (df == 0) continue;
      const double idf = inverse_document_frequency(n, df);
      total += count * idf;
      const double rarity =
          !capabilities_only && term->remembered_by > 0
              ? std::min(1.0, inverse_document_frequency(remembering, term->remembered_by) / idf)
              : 0.0;
      known.push_back({term, count * idf, settings.memory_weight * rarity});
    }
    if (known.empty()) return;

    const double k1 = settings.k1;
    // B(d) = c0 + c1 · |caps(d)| and m0 + m1 · |mem(d)|.
    const double c0 = 1.0 - settings.b;
    const double c1 = total_caps > 0 ? settings.b * n / static_cast<double>(total_caps) : 0.0;
    const double m0 = 1.0 - settings.memory_b;
    const double m1 = total_memory > 0
                          ? settings.memory_b * remembering / static_cast<double>(total_memory)
                          : 0.0;
    if (scratch.acc.size() < documents.size()) scratch.acc.resize(documents.size(), 0.0);
    double* acc = scratch.acc.data();
    const Lengths* len = lengths.data();
    // (k1 + 1) · tf' / (k1 + tf') as tf' / (tf' / (k1 + 1) + k1 / (k1 + 1)): neither k1 · B(d)
    // nor (k1 + 1) / Σ q · idf overflows for a k1 near the largest double, and a tf' that
    // overflows (a memory weight near it) saturates at k1 + 1 instead of turning into NaN.
    const double inverse = 1.0 / (k1 + 1.0);
    const double k1_share = k1 * inverse;
    for (const Weighted& q : known) {
      for (const Posting& p : q.term->postings) {
        if (capabilities_only && p.caps == 0) continue;
        double tf = p.caps > 0 ? p.caps / (c0 + c1 * len[p.slot].caps) : 0.0;
        if (p.memory > 0) tf += q.memory * p.memory / (m0 + m1 * len[p.slot].memory);
        // A remembered-only term at memory weight 0 adds nothing. Only positive shares are
        // added, so a zero marks an agent not yet visited.
        if (!(tf > 0.0)) continue;
        const double share =
            q.weight * (std::isinf(tf) ? k1 + 1.0 : tf / (tf * inverse + k1_share));
        if (!(share > 0.0)) continue;
        if (acc[p.slot] == 0.0) scratch.visited.push_back(p.slot);
        acc[p.slot] += share;
      }
    }
    // x = S / Σ q · idf is 1 for an agent holding every query term once in capabilities of
    // average length; tanh keeps the order, stays close to x where thresholds act, and
    // approaches 1 as x grows (x < k1 + 1). In doubles it reaches 1 from x ≈ 19, which a large
    // k1 allows: the cap keeps 1 out of reach as documented.
    constexpr double kBelowOne = 0x1.fffffffffffffp-1;
    const double scale = 1.0 / total;
    for (const Slot slot : scratch.visited) {
      const double x = acc[slot] * scale;
      acc[slot] = x < floor ? 0.0 : std::fmin(std::tanh(x), kBelowOne);
    }
  }
};

Bm25Scorer::Bm25Scorer() : impl_(std::make_unique<Impl>()) {}
Bm25Scorer::~Bm25Scorer() = default;

Result<std::unique_ptr<Bm25Scorer>, std::string> Bm25Scorer::create(const Bm25Settings& settings) {
  using R = Result<std::unique_ptr<Bm25Scorer>, std::string>;
  if (auto problem = settings.problem()) return R::err(std::move(*problem));
  auto analyzer = text::Analyzer::create(settings.stop_words, settings.stemmer);
  if (!analyzer) return R::err(analyzer.error());
  std::unique_ptr<Bm25Scorer> scorer(new Bm25Scorer());
  scorer->impl_->settings = settings;
  scorer->impl_->analyzer = std::move(analyzer).value();
  return R::ok(std::move(scorer));
}

const Bm25Settings& Bm25Scorer::settings() const {
  return impl_->settings;
}

std::vector<std::string> Bm25Scorer::terms(std::string_view text) const {
  return impl_->analyzer->terms(text);
}

void Bm25Scorer::index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) {
  Impl& s = *impl_;
  std::vector<std::string> all;
  for (const std::string& capability : texts.texts) {
    std::optional<std::string> cut;
    std::vector<std::string> words = s.analyzer->terms(indexed_text(agent_id, capability, cut));
    all.insert(all.end(), std::make_move_iterator(words.begin()),
               std::make_move_iterator(words.end()));
  }
  const std::uint32_t length = static_cast<std::uint32_t>(all.size());
  const TermCounts counts = counted(std::move(all));

  Slot slot;
  if (auto it = s.slot_by_name.find(agent_id); it != s.slot_by_name.end()) {
    slot = it->second;
    s.withdraw(slot);
  } else {
    slot = s.allocate(agent_id);
  }
  s.keys[slot] = key;
  Impl::Document& doc = s.documents[slot];
  doc.terms.reserve(counts.size());
  for (const auto& [text, count] : counts) doc.terms.push_back({s.intern(text), count});
  std::sort(doc.terms.begin(), doc.terms.end(),
            [](const DocTerm& a, const DocTerm& b) { return a.term < b.term; });
  for (DocTerm& entry : doc.terms) {
    std::vector<Posting>& postings = s.terms[entry.term].postings;
    // `position` carried the count until here.
    postings.push_back({slot, entry.position, 0});
    entry.position = static_cast<std::uint32_t>(postings.size() - 1);
    ++s.terms[entry.term].held_by;
  }
  s.lengths[slot].caps = length;
  s.total_caps += length;
  s.epoch = fresh_capability_epoch();
}

void Bm25Scorer::remove_agent(std::string_view agent_id) {
  Impl& s = *impl_;
  auto it = s.slot_by_name.find(agent_id);
  if (it == s.slot_by_name.end()) return;
  const Slot slot = it->second;
  s.withdraw(slot);
  s.slot_by_name.erase(it);
  s.documents[slot].name.clear();
  s.names[slot] = {};
  s.keys[slot] = 0;
  s.free_slots.push_back(slot);
  s.epoch = fresh_capability_epoch();
}

bool Bm25Scorer::learn(std::string_view agent_id, std::string_view text) {
  Impl& s = *impl_;
  const auto it = s.slot_by_name.find(agent_id);
  if (it == s.slot_by_name.end()) return true;
  const Slot slot = it->second;
  std::vector<std::uint32_t> ids;
  for (const auto& [term_text, count] : s.analyse(agent_id, text)) {
    const TermId id = s.intern(term_text);
    std::vector<DocTerm>& doc_terms = s.documents[slot].terms;
    auto at = std::lower_bound(doc_terms.begin(), doc_terms.end(), id,
                               [](const DocTerm& e, TermId t) { return e.term < t; });
    std::vector<Posting>& postings = s.terms[id].postings;
    if (at != doc_terms.end() && at->term == id) {
      Posting& posting = postings[at->position];
      s.terms[id].remembered_by += posting.memory == 0 ? 1 : 0;
      posting.memory += count;
    } else {
      doc_terms.insert(at, {id, static_cast<std::uint32_t>(postings.size())});
      postings.push_back({slot, 0, count});
      ++s.terms[id].remembered_by;
    }
    ids.insert(ids.end(), count, id);
  }
  s.documents[slot].learned.add(text, ids);
  s.set_memory_length(slot, s.lengths[slot].memory + static_cast<std::uint32_t>(ids.size()));
  return true;
}

bool Bm25Scorer::forget(std::string_view agent_id, std::string_view text) {
  Impl& s = *impl_;
  const auto it = s.slot_by_name.find(agent_id);
  if (it == s.slot_by_name.end()) return true;
  const Slot slot = it->second;
  Impl::Document& doc = s.documents[slot];
  // The oldest record of the text; a text the agent does not remember changes nothing.
  std::vector<std::uint32_t> ids;
  if (!doc.learned.take(text, ids)) return true;
  for_each_run(ids, [&](TermId id, std::uint32_t count) {
    const auto at = std::lower_bound(doc.terms.begin(), doc.terms.end(), id,
                                     [](const DocTerm& e, TermId t) { return e.term < t; });
    Posting& posting = s.terms[id].postings[at->position];
    posting.memory -= count;
    if (posting.memory > 0) return;
    --s.terms[id].remembered_by;
    if (posting.caps == 0) {
      const DocTerm entry = *at;
      doc.terms.erase(at);
      s.detach(entry);
    }
  });
  s.set_memory_length(slot, s.lengths[slot].memory - static_cast<std::uint32_t>(ids.size()));
  return true;
}

std::optional<std::string> Bm25Scorer::score_into(const ScoreRequest& request,
                                                  ScoreList& out) const {
  const Impl& s = *impl_;
  Scratch& scratch = thread_scratch();
  // tanh rises strictly, so a sum below atanh(min_similarity) cannot reach it; the margin
  // keeps every agent whose rounded tanh might, and the tanh is skipped for the rest. Near 1
  // tanh is so flat that a wide range of sums rounds to one similarity: the floor is taken
  // from a rounding step below the threshold.
  const double min = request.min_similarity;
  const double floor = min > 0x1p-52 && min < 1.0 ? std::atanh(min - 0x1p-52) * (1.0 - 1e-9) : 0.0;
  s.accumulate(request.text, scratch, floor, request.capabilities_only);
  out.reserve(scratch.visited.size());
  for (const Slot slot : scratch.visited) {
    double& similarity = scratch.acc[slot];
    if (similarity > 0.0) out.add(s.keys[slot], s.names[slot], similarity);
    similarity = 0.0;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> Bm25Scorer::capability_epoch() const {
  return impl_->epoch;
}

std::string Bm25Scorer::settings_json() const {
  const Bm25Settings& st = impl_->settings;
  nlohmann::ordered_json j;
  j["kind"] = "bm25";
  j["k1"] = st.k1;
  j["b"] = st.b;
  j["stop_words"] = st.stop_words ? nlohmann::ordered_json(*st.stop_words) : nullptr;
  j["stemmer"] = st.stemmer ? nlohmann::ordered_json(*st.stemmer) : nullptr;
  j["memory_weight"] = st.memory_weight;
  j["memory_b"] = st.memory_b;
  return j.dump();
}

std::size_t Bm25Scorer::num_documents() const {
  return impl_->slot_by_name.size();
}

std::size_t Bm25Scorer::document_frequency(std::string_view term) const {
  const auto it = impl_->id_by_term.find(term);
  return it == impl_->id_by_term.end() ? 0 : impl_->terms[it->second].postings.size();
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> Bm25Scorer::term_counts(
    std::string_view agent_id, std::string_view term) const {
  const Impl& s = *impl_;
  const auto slot = s.slot_by_name.find(agent_id);
  if (slot == s.slot_by_name.end()) return std::nullopt;
  const auto id = s.id_by_term.find(term);
  if (id == s.id_by_term.end()) return std::pair<std::uint32_t, std::uint32_t>{0, 0};
  for (const Posting& p : s.terms[id->second].postings) {
    if (p.slot == slot->second) return std::pair{p.caps, p.memory};
  }
  return std::pair<std::uint32_t, std::uint32_t>{0, 0};
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> Bm25Scorer::lengths(
    std::string_view agent_id) const {
  const auto slot = impl_->slot_by_name.find(agent_id);
  if (slot == impl_->slot_by_name.end()) return std::nullopt;
  const Lengths& len = impl_->lengths[slot->second];
  return std::pair{len.caps, len.memory};
}

}  // namespace kova
