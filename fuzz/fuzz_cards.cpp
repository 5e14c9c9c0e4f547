// Agent-card capability extraction. Input is read as a JSON card the way the module reads a
// host mapping (wrong kinds count as absent, one non-text tag discards the tags); input that
// is not JSON is cut into raw name/description/tag pieces, ill-formed UTF-8 included.

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_support.hpp"
#include "text/cards.hpp"
#include "text/unicode.hpp"

namespace {

using Json = nlohmann::ordered_json;

std::string text_member(const Json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

kova::text::Card card_from_json(const Json& doc) {
  kova::text::Card card;
  card.name = text_member(doc, "name");
  card.description = text_member(doc, "description");
  const auto skills = doc.find("skills");
  if (skills == doc.end() || !skills->is_array()) return card;
  for (const Json& s : *skills) {
    kova::text::CardSkill skill;
    skill.name = text_member(s, "name");
    skill.description = text_member(s, "description");
    if (s.is_object()) {
      const auto tags = s.find("tags");
      if (tags != s.end() && tags->is_array()) {
        for (const Json& t : *tags) {
          if (!t.is_string()) {
            skill.tags.clear();
            break;
          }
          skill.tags.push_back(t.get<std::string>());
        }
      }
    }
    card.skills.push_back(std::move(skill));
  }
  return card;
}

kova::text::Card card_from_bytes(kova::fuzz::Input& in) {
  kova::text::Card card;
  card.name = in.string(40);
  card.description = in.string(80);
  while (in.remaining() > 0 && card.skills.size() < 32) {
    kova::text::CardSkill skill;
    skill.name = in.string(40);
    skill.description = in.string(80);
    const auto tags = in.in_range<int>(0, 4);
    for (int i = 0; i < tags; ++i) skill.tags.push_back(in.string(16));
    card.skills.push_back(std::move(skill));
  }
  return card;
}

}  // namespace

KOVA_FUZZ_TARGET(fuzz_cards) {
  const Json doc = Json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
  kova::fuzz::Input in(data, size);
  const kova::text::Card card = doc.is_object() ? card_from_json(doc) : card_from_bytes(in);

  const std::vector<std::string> texts = kova::text::card_capabilities(card);
  KOVA_FUZZ_CHECK(texts.size() <= 1 + card.skills.size());
  std::size_t skill_texts = 0;
  for (const auto& skill : card.skills) {
    std::string spaced = skill.name;
    for (char& c : spaced) c = c == '_' ? ' ' : c;
    const bool has_text = !kova::text::trim(spaced).empty() ||
                          !kova::text::trim(skill.description).empty() || !skill.tags.empty();
    skill_texts += has_text ? 1 : 0;
  }
  // The card's own text comes first when it has one; every skill with anything contributes.
  KOVA_FUZZ_CHECK(texts.size() == skill_texts || texts.size() == skill_texts + 1);
  if (!texts.empty() && texts.size() == skill_texts + 1) {
    KOVA_FUZZ_CHECK(!texts.front().empty());
    KOVA_FUZZ_CHECK(kova::text::trim(texts.front()) == texts.front());
  }
  return 0;
}
