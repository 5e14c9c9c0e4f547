#include "text/cards.hpp"

#include <string_view>

#include "text/unicode.hpp"

namespace kova::text {

namespace {

// `text` with every byte found in `from` replaced by a space, then trimmed. Both characters
// replaced here are ASCII, so a byte-wise replacement never touches a multi-byte sequence.
std::string spaced_and_trimmed(std::string_view text, std::string_view from) {
  std::string out(text);
  for (char& c : out) {
    if (from.find(c) != std::string_view::npos) c = ' ';
  }
  return std::string(trim(out));
}

// "a: b", "a", "b" or "" for the non-empty ones among the two.
std::string head_of(const std::string& name, const std::string& description) {
  if (name.empty()) return description;
  if (description.empty()) return name;
  return name + ": " + description;
}

}  // namespace

std::vector<std::string> card_capabilities(const Card& card) {
  std::vector<std::string> out;
  std::string head = head_of(spaced_and_trimmed(card.name, "-_"),
                             std::string(trim(card.description)));
  if (!head.empty()) out.push_back(std::move(head));

  for (const CardSkill& skill : card.skills) {
    std::string text = head_of(spaced_and_trimmed(skill.name, "_"),
                               std::string(trim(skill.description)));
    if (!skill.tags.empty()) {
      if (!text.empty()) text += ". ";
      for (std::size_t i = 0; i < skill.tags.size(); ++i) {
        if (i > 0) text += ", ";
        text += skill.tags[i];
      }
    }
    // A skill whose only tag is the empty string still has a tag part (the empty text).
    if (!text.empty() || !skill.tags.empty()) out.push_back(std::move(text));
  }
  return out;
}

}  // namespace kova::text
