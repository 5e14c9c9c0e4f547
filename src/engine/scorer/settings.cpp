#include "scorer/settings.hpp"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scorer/bm25.hpp"
#include "scorer/hybrid.hpp"
#include "scorer/tfidf.hpp"

namespace kova {

namespace {

using Json = nlohmann::json;
using Built = Result<std::unique_ptr<Scorer>, std::string>;

// Reads member `name` into `out` when present; false (with `error` set) on a wrong type.
bool read_number(const Json& j, const char* name, double& out, std::string& error) {
  const auto it = j.find(name);
  if (it == j.end()) return true;
  if (!it->is_number()) {
    error = std::string("scorer setting '") + name + "' must be a number";
    return false;
  }
  out = it->get<double>();
  return true;
}

bool read_name(const Json& j, const char* name, std::optional<std::string>& out,
               std::string& error) {
  const auto it = j.find(name);
  if (it == j.end()) return true;
  if (it->is_null()) {
    out.reset();
    return true;
  }
  if (!it->is_string()) {
    error = std::string("scorer setting '") + name + "' must be a string or null";
    return false;
  }
  out = it->get<std::string>();
  return true;
}

Built build(const Json& j, int nesting = 1) {
  if (!j.is_object() || !j.contains("kind") || !j["kind"].is_string()) {
    return Built::err("scorer settings must be an object with a \"kind\" string");
  }
  const std::string kind = j["kind"].get<std::string>();
  std::string error;
  if (kind == "tfidf") return Built::ok(std::make_unique<TfIdfScorer>());
  if (kind == "bm25") {
    Bm25Settings s;
    if (!read_number(j, "k1", s.k1, error) || !read_number(j, "b", s.b, error) ||
        !read_name(j, "stop_words", s.stop_words, error) ||
        !read_name(j, "stemmer", s.stemmer, error) ||
        !read_number(j, "memory_weight", s.memory_weight, error) ||
        !read_number(j, "memory_b", s.memory_b, error)) {
      return Built::err(std::move(error));
    }
    auto scorer = Bm25Scorer::create(s);
    if (!scorer) return Built::err(scorer.error());
    return Built::ok(std::move(scorer).value());
  }
  if (kind == "hybrid") {
    if (nesting > kMaxHybridNesting) {
      return Built::err("hybrid scorers nest more than " + std::to_string(kMaxHybridNesting) +
                        " deep");
    }
    Fusion fusion = Fusion::MinMax;
    if (const auto it = j.find("fusion"); it != j.end()) {
      if (*it == "rrf") {
        fusion = Fusion::ReciprocalRank;
      } else if (*it != "minmax") {
        return Built::err("unknown fusion " + it->dump() + " (expected \"minmax\" or \"rrf\")");
      }
    }
    const auto parts_it = j.find("parts");
    if (parts_it == j.end() || !parts_it->is_array()) {
      return Built::err("hybrid scorer settings need a \"parts\" array");
    }
    std::vector<HybridPart> parts;
    for (const Json& entry : *parts_it) {
      if (!entry.is_object() || !entry.contains("scorer")) {
        return Built::err("each hybrid scorer part needs a \"scorer\" object");
      }
      double weight = 1.0;
      if (!read_number(entry, "weight", weight, error)) return Built::err(std::move(error));
      const Json& scorer = entry["scorer"];
      if (const auto kind = scorer.find("kind"); kind != scorer.end() && *kind == "host") {
        return Built::err(
            "the scorer includes a host scorer, which cannot be rebuilt from settings: pass "
            "the scorer again");
      }
      Built part = build(scorer, nesting + 1);
      if (!part) return part;
      parts.push_back({std::move(part).value(), weight});
    }
    auto hybrid = HybridScorer::create(std::move(parts), fusion);
    if (!hybrid) return Built::err(hybrid.error());
    return Built::ok(std::move(hybrid).value());
  }
  if (kind == "host") {
    return Built::err("a host scorer cannot be rebuilt from settings: pass the scorer again");
  }
  return Built::err("unknown scorer kind \"" + kind + "\"");
}

}  // namespace

Result<std::unique_ptr<Scorer>, std::string> scorer_from_settings(std::string_view json) {
  const Json j = Json::parse(json.begin(), json.end(), nullptr, false);
  if (j.is_discarded()) return Built::err("scorer settings are not valid JSON");
  return build(j);
}

}  // namespace kova
