#include "scorer/settings.hpp"

#include <nlohmann/json.hpp>

#include "scorer/tfidf.hpp"

namespace kova {

Result<std::unique_ptr<Scorer>, std::string> scorer_from_settings(std::string_view json) {
  using Out = Result<std::unique_ptr<Scorer>, std::string>;
  const auto settings = nlohmann::json::parse(json, nullptr, false);
  const auto kind = settings.is_object() ? settings.value("kind", std::string()) : std::string();
  if (kind == "tfidf") return Out::ok(std::make_unique<TfIdfScorer>());
  if (kind == "host") {
    return Out::err("the state file records a host scorer, which it cannot rebuild: pass one");
  }
  return Out::err("unknown scorer kind \"" + kind + "\"");
}

}  // namespace kova
