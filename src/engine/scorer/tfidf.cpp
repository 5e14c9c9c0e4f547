#include "scorer/tfidf.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <deque>
#include <utility>

#include "text/unicode.hpp"

namespace kova {
namespace {

using TermId = std::uint32_t;
using Slot = std::uint32_t;

// One document holding a term, with the term's frequency in it.
struct Posting {
  Slot slot;
  double tf;
};

// One term of a document; `position` is the index of the matching posting, kept up to date
// so that withdrawing a document never has to search a (possibly long) postings list.
struct DocTerm {
  TermId term;
  std::uint32_t position;
  double tf;
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
    double tokens = 0.0;         // token count of every text together: tf = count / tokens
  };
  struct Term {
    std::string text;
    std::vector<Posting> postings;  // its length is the document frequency
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
  CacheArray norms;                     // by slot
  std::unordered_map<std::string_view, Slot> slot_by_name;
  std::deque<Term> terms;
  std::vector<TermId> free_terms;
  std::unordered_map<std::string_view, TermId> id_by_term;
  CacheArray idfs;               // by term id
  std::uint64_t generation = 1;  // bumped by every change; cache entries start at 0, stale

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
    }
    names[slot] = documents[slot].name;
    keys[slot] = 0;
    norms.ensure(slot);
    return slot;
  }

  // Takes the document's terms out of the postings; a term left in no document is forgotten.
  void withdraw(Slot slot) {
    Document& doc = documents[slot];
    for (const DocTerm& entry : doc.terms) withdraw_posting(entry);
    doc.terms.clear();
  }

  // Takes one document's posting of `entry`'s term out; the document's own list is the
  // caller's to fix.
  void withdraw_posting(const DocTerm& entry) {
    Term& term = terms[entry.term];
    std::vector<Posting>& postings = term.postings;
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

  // One text's tokens join (`sign` +1) or leave (-1) the document; only the terms of the
  // text and the frequencies of the others change. False, with nothing changed, when the
  // document lacks tokens to take away.
  bool adjust(Slot slot, std::string_view text, double sign) {
    const std::string owned(text);
    TermFrequencies delta;
    const double added = count_tokens(std::span<const std::string>(&owned, 1), delta);
    if (added == 0.0) return true;
    Document& doc = documents[slot];
    const double old_total = doc.tokens;
    // tf = count / total is within half an ulp of the true ratio, so multiplying back and
    // rounding recovers the whole count: frequencies stay exactly those a fresh indexing of
    // the same texts computes.
    std::vector<double> counts(doc.terms.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
      counts[i] = std::round(doc.terms[i].tf * old_total);
    }
    std::vector<std::pair<const std::string*, double>> fresh;
    std::vector<std::pair<std::size_t, double>> changes;
    for (const auto& [term, n] : delta) {
      std::size_t index = counts.size();
      if (const auto it = id_by_term.find(term); it != id_by_term.end()) {
        const auto pos = std::lower_bound(doc.terms.begin(), doc.terms.end(), it->second,
                                          [](const DocTerm& e, TermId id) { return e.term < id; });
        if (pos != doc.terms.end() && pos->term == it->second) {
          index = static_cast<std::size_t>(pos - doc.terms.begin());
        }
      }
      if (index < counts.size()) {
        if (sign < 0.0 && counts[index] < n) return false;
        changes.emplace_back(index, sign * n);
      } else {
        if (sign < 0.0) return false;
        fresh.emplace_back(&term, n);
      }
    }
    for (const auto& [index, change] : changes) counts[index] += change;
    const double new_total = old_total + sign * added;

    // Terms whose count fell to zero leave; the others take their new frequency in place.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < doc.terms.size(); ++i) {
      if (counts[i] == 0.0) {
        const TermId id = doc.terms[i].term;
        withdraw_posting(doc.terms[i]);
        if (!terms[id].postings.empty()) invalidate_term(id);
        continue;
      }
      DocTerm entry = doc.terms[i];
      entry.tf = counts[i] / new_total;
      terms[entry.term].postings[entry.position].tf = entry.tf;
      doc.terms[kept++] = entry;
    }
    doc.terms.resize(kept);
    for (const auto& [term, n] : fresh) {
      const TermId id = intern(*term);
      std::vector<Posting>& postings = terms[id].postings;
      doc.terms.push_back({id, static_cast<std::uint32_t>(postings.size()), n / new_total});
      postings.push_back({slot, n / new_total});
      invalidate_term(id);
    }
    if (!fresh.empty()) {
      std::sort(doc.terms.begin(), doc.terms.end(),
                [](const DocTerm& a, const DocTerm& b) { return a.term < b.term; });
    }
    doc.tokens = new_total;
    norms.invalidate(slot);
    return true;
  }

  double idf(TermId id, double n) const {
    return idfs.get(id, generation,
                    [&] { return inverse_document_frequency(n, terms[id].postings.size()); });
  }

  double norm_squared(Slot slot, double n) const {
    return norms.get(slot, generation, [&] {
      double sum = 0.0;
      for (const DocTerm& entry : documents[slot].terms) {
        const double wa = entry.tf * idf(entry.term, n);
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
  TermFrequencies tf;
  const double total = count_tokens(texts.texts, tf);
  if (total > 0.0) {
    for (auto& [term, count] : tf) count /= total;
  }
  Slot slot;
  if (auto it = s.slot_by_name.find(agent_id); it != s.slot_by_name.end()) {
    slot = it->second;
    s.withdraw(slot);
  } else {
    slot = s.allocate(agent_id);
  }
  s.keys[slot] = key;
  Impl::Document& doc = s.documents[slot];
  doc.tokens = total;
  doc.terms.reserve(tf.size());
  for (const auto& [text, frequency] : tf) doc.terms.push_back({s.intern(text), 0, frequency});
  std::sort(doc.terms.begin(), doc.terms.end(),
            [](const DocTerm& a, const DocTerm& b) { return a.term < b.term; });
  for (DocTerm& entry : doc.terms) {
    std::vector<Posting>& postings = s.terms[entry.term].postings;
    entry.position = static_cast<std::uint32_t>(postings.size());
    postings.push_back({slot, entry.tf});
  }
  ++s.generation;
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
}

bool TfIdfScorer::learn(std::string_view agent_id, std::string_view text) {
  const auto it = impl_->slot_by_name.find(agent_id);
  return it == impl_->slot_by_name.end() || impl_->adjust(it->second, text, 1.0);
}

bool TfIdfScorer::forget(std::string_view agent_id, std::string_view text) {
  const auto it = impl_->slot_by_name.find(agent_id);
  return it == impl_->slot_by_name.end() || impl_->adjust(it->second, text, -1.0);
}

std::optional<std::string> TfIdfScorer::score_into(const ScoreRequest& request,
                                                   ScoreList& out) const {
  const Impl& s = *impl_;
  const std::string query_text(request.text);
  const TermFrequencies q = compute_tf(std::span<const std::string>(&query_text, 1));
  if (q.empty() || s.slot_by_name.empty()) return std::nullopt;

  const double n = s.num_documents();
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
    const std::size_t df = it == s.id_by_term.end() ? 0 : s.terms[it->second].postings.size();
    const double idf = inverse_document_frequency(n, df);
    const double wq = frequency * idf;
    query_norm_squared += wq * wq;
    if (it != s.id_by_term.end()) indexed.push_back({it->second, idf, wq});
  }
  if (indexed.empty()) return std::nullopt;

  std::vector<double> dot(s.documents.size(), 0.0);
  std::vector<std::uint8_t> seen(s.documents.size(), 0);
  std::vector<Slot> visited;
  for (const QueryTerm& qt : indexed) {
    for (const Posting& p : s.terms[qt.id].postings) {
      if (!seen[p.slot]) {
        seen[p.slot] = 1;
        visited.push_back(p.slot);
      }
      const double wa = p.tf * qt.idf;
      dot[p.slot] += qt.wq * wa;
    }
  }

  const double query_norm = std::sqrt(query_norm_squared);
  std::vector<Ranked> ranked;
  ranked.reserve(visited.size());
  for (std::uint32_t i = 0; i < visited.size(); ++i) {
    const double denominator = std::sqrt(s.norm_squared(visited[i], n)) * query_norm;
    const double similarity = denominator > 0.0 ? dot[visited[i]] / denominator : 0.0;
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
