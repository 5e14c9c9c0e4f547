#pragma once
// Capability texts from an A2A (Agent2Agent) agent card. The caller reads the card into plain
// values; a member that was missing or of the wrong kind is simply empty here, which the rules
// treat as absent.

#include <string>
#include <vector>

namespace kova::text {

struct CardSkill {
  std::string name;
  std::string description;
  std::vector<std::string> tags;  // used as given: not trimmed, empty tags included
};

struct Card {
  std::string name;
  std::string description;
  std::vector<CardSkill> skills;
};

// At most one text for the card ("name: description", hyphens and low lines in the name read
// as spaces), then at most one per skill in order ("name: description. tag, tag", low lines in
// the name read as spaces). Pieces are trimmed of Unicode white space; empty pieces are left
// out, and a card or skill with nothing left contributes no text.
std::vector<std::string> card_capabilities(const Card& card);

}  // namespace kova::text
