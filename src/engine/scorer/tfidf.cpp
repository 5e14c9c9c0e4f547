#include "scorer/tfidf.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <utility>

#include "scorer/learned.hpp"
#include "text/unicode.hpp"

namespace kova {
namespace {

using TermId = std::uint32_t;
using Slot = std::uint32_t;

// One document holding a term: the term's count among its capability tokens and among the
// tokens of the texts it learned. Frequencies are divided out when scored, so that learning
// a text touches the postings of its own terms only, not every term of the document.
struct Posting {
  Slot slot;
  std::uint32_t caps;
  std::uint32_t memory;
};

// One term of a document, with the counts of its posting (read without visiting it);
// `position` is the index of that posting, kept up to date so that withdrawing a document
// never has to search a (possibly long) postings list.
struct DocTerm {
  TermId term;
  std::uint32_t position;
  std::uint32_t caps;
  std::uint32_t memory;
};

// A document's token counts, every text together and capabilities alone: tf = count / tokens.
struct Tokens {
  double all = 0.0;
  double caps = 0.0;
};

// A listed document. Only similarities > 0 are ranked (so never NaN), and the bit patterns of
// positive doubles order as their values do: `key` is the complement, ascending = highest first.
struct Ranked {
  std::uint64_t key;
  Slot slot;
};

// Stable: equal similarities keep their visiting order. Query results run to thousands of
// entries; a radix sort over the keys' bytes beats a comparison sort on doubles several times.
void sort_highest_first(std::vector<Ranked>& ranked) {
  if (ranked.size() < 64) {
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const Ranked& a, const Ranked& b) { return a.key < b.key; });
    return;
  }
  constexpr int kPasses = 8;
  std::array<std::array<std::uint32_t, 256>, kPasses> counts{};
  for (const Ranked& r : ranked) {
    for (int pass = 0; pass < kPasses; ++pass) ++counts[pass][(r.key >> (8 * pass)) & 0xFF];
  }
  std::vector<Ranked> buffer(ranked.size());
  for (int pass = 0; pass < kPasses; ++pass) {
    auto& count = counts[pass];
    // Similarities share their leading bytes: a pass where all keys agree changes nothing.
    if (count[(ranked[0].key >> (8 * pass)) & 0xFF] == ranked.size()) continue;
    std::uint32_t offset = 0;
    for (std::uint32_t& c : count) offset += std::exchange(c, offset);
    for (const Ranked& r : ranked) buffer[count[(r.key >> (8 * pass)) & 0xFF]++] = r;
    ranked.swap(buffer);
  }
}

double inverse_document_frequency(double num_documents, std::size_t df) {
  return std::log(num_documents / (static_cast<double>(df) + 1.0) + 1.0);
}

// Token counts of all texts together, as whole numbers, and their total.
double count_tokens(std::span<const std::string> texts, TermFrequencies& counts) {
  double total = 0.0;
  for (const std::string& text : texts) {
    for (std::string& token : TfIdfScorer::tokenize(text)) {
      counts[std::move(token)] += 1.0;
      total += 1.0;
    }
  }
  return total;
}

}  // namespace

struct TfIdfScorer::Impl {
  struct Document {
    std::string name;
    std::vector<DocTerm> terms;  // ascending term id
    LearnedTexts learned;
  };
  struct Term {
    std::string text;
    std::vector<Posting> postings;  // its length is the document frequency
    std::uint32_t held_by = 0;      // postings with capability tokens
  };

  // A value derived from N and the document frequencies (a term's idf, a document's
  // Σ (tf × idf)²), valid for one `generation`. Every idf moves when N or any document
  // frequency does, so such values are refreshed lazily by `score`. Concurrent scorers may
  // race to store one, but they compute the same value for the same generation.
  struct Cached {
    std::atomic<std::uint64_t> generation{0};
    std::atomic<double> value{0.0};
  };
  // Indexed by slot or term id and packed densely: a query visits them in no particular
  // order, and they stay in cache where documents and terms do not. Grown only by changes;
  // a fresh entry is merely stale, so nothing is carried over.
  struct CacheArray {
    std::unique_ptr<Cached[]> entries;
    std::size_t capacity = 0;

    void ensure(std::size_t index) {
      if (index < capacity) return;
      capacity = std::max<std::size_t>({64, 2 * capacity, index + 1});
      entries = std::make_unique<Cached[]>(capacity);
    }
    // Only changes call this, never concurrently with `get`.
    void invalidate(std::size_t index) const {
      entries[index].generation.store(0, std::memory_order_relaxed);
    }
    template <class Compute>
    double get(std::size_t index, std::uint64_t generation, Compute compute) const {
      Cached& c = entries[index];
      if (c.generation.load(std::memory_order_acquire) == generation) {
        return c.value.load(std::memory_order_relaxed);
      }
      const double value = compute();
      c.value.store(value, std::memory_order_relaxed);
      c.generation.store(generation, std::memory_order_release);
      return value;
    }
  };

  // Deques keep elements in place as they grow: the maps' keys view the strings inside them
  // and score results view document names.
  std::deque<Document> documents;
  std::vector<Slot> free_slots;
  std::vector<std::string_view> names;  // by slot, for the same reason as the caches
  std::vector<std::uint32_t> keys;      // by slot: the engine's key for the agent, or 0
  std::vector<Tokens> tokens;           // by slot
  CacheArray norms;                     // by slot
  CacheArray caps_norms;                // by slot, capabilities alone
  std::unordered_map<std::string_view, Slot> slot_by_name;
  std::deque<Term> terms;
  std::vector<TermId> free_terms;
  std::unordered_map<std::string_view, TermId> id_by_term;
  CacheArray idfs;               // by term id
  CacheArray caps_idfs;          // by term id, over capability postings; only index and
                                 // remove_agent change those, and both bump the generation
  std::uint64_t generation = 1;  // bumped by every change; cache entries start at 0, stale
  std::uint64_t epoch = fresh_capability_epoch();

  double num_documents() const { return static_cast<double>(slot_by_name.size()); }

  TermId intern(const std::string& text) {
    if (auto it = id_by_term.find(text); it != id_by_term.end()) return it->second;
    TermId id;
    if (free_terms.empty()) {
      id = static_cast<TermId>(terms.size());
      terms.emplace_back();
    } else {
      id = free_terms.back();
      free_terms.pop_back();
    }
    terms[id].text = text;
    id_by_term.emplace(terms[id].text, id);
    idfs.ensure(id);
    caps_idfs.ensure(id);
    return id;
  }

  Slot allocate(std::string_view name) {
    Slot slot;
    if (free_slots.empty()) {
      slot = static_cast<Slot>(documents.size());
      documents.emplace_back();
    } else {
      slot = free_slots.back();
      free_slots.pop_back();
    }
    documents[slot].name.assign(name);
    slot_by_name.emplace(documents[slot].name, slot);
    if (slot >= names.size()) {
      names.resize(slot + 1);
      keys.resize(slot + 1);
      tokens.resize(slot + 1);
    }
    names[slot] = documents[slot].name;
    keys[slot] = 0;
    norms.ensure(slot);
    caps_norms.ensure(slot);
    return slot;
  }

  // Takes the document's terms out of the postings; a term left in no document is forgotten.
  void withdraw(Slot slot) {
    Document& doc = documents[slot];
    for (const DocTerm& entry : doc.terms) withdraw_posting(entry);
    doc.terms.clear();
    doc.learned.clear();
  }

  // Takes one document's posting of `entry`'s term out; the document's own list is the
  // caller's to fix.
  void withdraw_posting(const DocTerm& entry) {
    Term& term = terms[entry.term];
    std::vector<Posting>& postings = term.postings;
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

  // A term's document frequency changed: its idf and the norm of every document holding it
  // are stale. N is unchanged, so every other cached value still holds; a query right after
  // a remembered text then recomputes a few norms instead of all.
  void invalidate_term(TermId id) {
    idfs.invalidate(id);
    for (const Posting& p : terms[id].postings) norms.invalidate(p.slot);
  }

  static std::vector<DocTerm>::iterator entry_of(std::vector<DocTerm>& doc_terms, TermId id) {
    return std::lower_bound(doc_terms.begin(), doc_terms.end(), id,
                            [](const DocTerm& e, TermId t) { return e.term < t; });
  }

  // The text's tokens join the document's learned tokens; only the postings of its own terms
  // change.
  void learn(Slot slot, std::string_view text) {
    std::vector<std::string> words = TfIdfScorer::tokenize(text);
    std::sort(words.begin(), words.end());
    std::vector<TermId> ids;
    ids.reserve(words.size());
    std::vector<DocTerm>& doc_terms = documents[slot].terms;
    for_each_run(words, [&](const std::string& word, std::uint32_t count) {
      const TermId id = intern(word);
      ids.insert(ids.end(), count, id);
      std::vector<Posting>& postings = terms[id].postings;
      const auto at = entry_of(doc_terms, id);
      if (at == doc_terms.end() || at->term != id) {
        doc_terms.insert(at, {id, static_cast<std::uint32_t>(postings.size()), 0, count});
        postings.push_back({slot, 0, count});
        invalidate_term(id);  // a new document holds it
      } else {
        at->memory += count;
        postings[at->position].memory = at->memory;
      }
    });
    documents[slot].learned.add(text, ids);
    tokens[slot].all += static_cast<double>(ids.size());
    norms.invalidate(slot);
  }

  // The tokens a learned text added leave the document. False, with nothing changed, when the
  // document learned no such text (a capability's tokens are never forgotten).
  bool forget(Slot slot, std::string_view text) {
    std::vector<TermId> ids;
    if (!documents[slot].learned.take(text, ids)) return false;
    std::vector<DocTerm>& doc_terms = documents[slot].terms;
    for_each_run(ids, [&](TermId id, std::uint32_t count) {
      const auto at = entry_of(doc_terms, id);
      at->memory -= count;
      terms[id].postings[at->position].memory = at->memory;
      if (at->caps == 0 && at->memory == 0) {
        const DocTerm gone = *at;
        doc_terms.erase(at);
        withdraw_posting(gone);
        if (!terms[id].postings.empty()) invalidate_term(id);
      }
    });
    tokens[slot].all -= static_cast<double>(ids.size());
    norms.invalidate(slot);
    return true;
  }

  double idf(TermId id, double n) const {
    return idfs.get(id, generation,
                    [&] { return inverse_document_frequency(n, terms[id].postings.size()); });
  }
  double caps_idf(TermId id, double n) const {
    return caps_idfs.get(id, generation,
                         [&] { return inverse_document_frequency(n, terms[id].held_by); });
  }

  double norm_squared(Slot slot, double n) const {
    return norms.get(slot, generation, [&] {
      const double all = tokens[slot].all;
      double sum = 0.0;
      for (const DocTerm& entry : documents[slot].terms) {
        const double wa = (entry.caps + entry.memory) / all * idf(entry.term, n);
        sum += wa * wa;
      }
      return sum;
    });
  }
  // The same over capability tokens alone: what an index without learned texts holds. Where
  // nothing was learned every operand equals the full one's, so the values do too.
  double caps_norm_squared(Slot slot, double n) const {
    return caps_norms.get(slot, generation, [&] {
      const double caps = tokens[slot].caps;
      double sum = 0.0;
      for (const DocTerm& entry : documents[slot].terms) {
        if (entry.caps == 0) continue;
        const double wa = entry.caps / caps * caps_idf(entry.term, n);
        sum += wa * wa;
      }
      return sum;
    });
  }
};

TfIdfScorer::TfIdfScorer() : impl_(std::make_unique<Impl>()) {}
TfIdfScorer::~TfIdfScorer() = default;

std::vector<std::string> TfIdfScorer::tokenize(std::string_view text) {
  return text::alnum_tokens_lower(text, 2);
}

TermFrequencies TfIdfScorer::compute_tf(std::span<const std::string> texts) {
  TermFrequencies counts;
  const double total = count_tokens(texts, counts);
  if (total > 0.0) {
    for (auto& [term, count] : counts) count /= total;
  }
  return counts;
}

void TfIdfScorer::index(std::string_view agent_id, const AgentTexts& texts, std::uint32_t key) {
  Impl& s = *impl_;
  TermFrequencies counts;
  const double total = count_tokens(texts.texts, counts);
  Slot slot;
  if (auto it = s.slot_by_name.find(agent_id); it != s.slot_by_name.end()) {
    slot = it->second;
    s.withdraw(slot);
  } else {
    slot = s.allocate(agent_id);
  }
  s.keys[slot] = key;
  Impl::Document& doc = s.documents[slot];
  s.tokens[slot] = {total, total};
  doc.terms.reserve(counts.size());
  for (const auto& [text, count] : counts) {
    doc.terms.push_back({s.intern(text), 0, static_cast<std::uint32_t>(count), 0});
  }
  std::sort(doc.terms.begin(), doc.terms.end(),
            [](const DocTerm& a, const DocTerm& b) { return a.term < b.term; });
  for (DocTerm& entry : doc.terms) {
    Impl::Term& term = s.terms[entry.term];
    entry.position = static_cast<std::uint32_t>(term.postings.size());
    term.postings.push_back({slot, entry.caps, 0});
    ++term.held_by;
  }
  ++s.generation;
  s.epoch = fresh_capability_epoch();
}

void TfIdfScorer::remove_agent(std::string_view agent_id) {
  Impl& s = *impl_;
  auto it = s.slot_by_name.find(agent_id);
  if (it == s.slot_by_name.end()) return;
  const Slot slot = it->second;
  s.withdraw(slot);
  s.slot_by_name.erase(it);
  s.documents[slot].name.clear();
  s.names[slot] = {};
  s.free_slots.push_back(slot);
  ++s.generation;
  s.epoch = fresh_capability_epoch();
}

std::optional<std::uint64_t> TfIdfScorer::capability_epoch() const {
  return impl_->epoch;
}

bool TfIdfScorer::learn(std::string_view agent_id, std::string_view text) {
  const auto it = impl_->slot_by_name.find(agent_id);
  if (it != impl_->slot_by_name.end()) impl_->learn(it->second, text);
  return true;
}

bool TfIdfScorer::forget(std::string_view agent_id, std::string_view text) {
  const auto it = impl_->slot_by_name.find(agent_id);
  return it == impl_->slot_by_name.end() || impl_->forget(it->second, text);
}

std::optional<std::string> TfIdfScorer::score_into(const ScoreRequest& request,
                                                   ScoreList& out) const {
  const Impl& s = *impl_;
  const std::string query_text(request.text);
  const TermFrequencies q = compute_tf(std::span<const std::string>(&query_text, 1));
  if (q.empty() || s.slot_by_name.empty()) return std::nullopt;

  const double n = s.num_documents();
  // Capabilities-only requests see the index as if nothing had been learned: only capability
  // tokens count, for frequencies, document frequencies and norms alike.
  const bool caps_only = request.capabilities_only;
  // Σ wq² runs over every query term, indexed or not; it is the same for every document.
  struct QueryTerm {
    TermId id;
    double idf;
    double wq;
  };
  std::vector<QueryTerm> indexed;
  double query_norm_squared = 0.0;
  for (const auto& [text, frequency] : q) {
    auto it = s.id_by_term.find(text);
    const Impl::Term* term = it == s.id_by_term.end() ? nullptr : &s.terms[it->second];
    const std::size_t df = term == nullptr ? 0 : caps_only ? term->held_by : term->postings.size();
    const double idf = inverse_document_frequency(n, df);
    const double wq = frequency * idf;
    query_norm_squared += wq * wq;
    if (df > 0) indexed.push_back({it->second, idf, wq});
  }
  if (indexed.empty()) return std::nullopt;

  std::vector<double> dot(s.documents.size(), 0.0);
  std::vector<std::uint8_t> seen(s.documents.size(), 0);
  std::vector<Slot> visited;
  for (const QueryTerm& qt : indexed) {
    for (const Posting& p : s.terms[qt.id].postings) {
      if (caps_only && p.caps == 0) continue;
      if (!seen[p.slot]) {
        seen[p.slot] = 1;
        visited.push_back(p.slot);
      }
      const Tokens& held = s.tokens[p.slot];
      const double tf = caps_only ? p.caps / held.caps : (p.caps + p.memory) / held.all;
      const double wa = tf * qt.idf;
      dot[p.slot] += qt.wq * wa;
    }
  }

  const double query_norm = std::sqrt(query_norm_squared);
  std::vector<Ranked> ranked;
  ranked.reserve(visited.size());
  for (std::uint32_t i = 0; i < visited.size(); ++i) {
    const double norm_squared =
        caps_only ? s.caps_norm_squared(visited[i], n) : s.norm_squared(visited[i], n);
    const double denominator = std::sqrt(norm_squared) * query_norm;
    // A cosine is at most 1; rounding can carry an exact match a hair past it, where the
    // pipeline's similarity band would take the square root of a negative number.
    const double similarity =
        denominator > 0.0 ? std::min(1.0, dot[visited[i]] / denominator) : 0.0;
    if (similarity > 0.0) ranked.push_back({~std::bit_cast<std::uint64_t>(similarity), visited[i]});
  }
  sort_highest_first(ranked);
  out.reserve(ranked.size());
  for (const Ranked& r : ranked) {
    out.add(s.keys[r.slot], s.names[r.slot], std::bit_cast<double>(~r.key));
  }
  return std::nullopt;
}

}  // namespace kova
