#include "core/errors.hpp"

#include <cctype>

#include "core/format.hpp"

namespace kova {

namespace {

// "invalid data" -> "InvalidData": the kind word as a variant name.
std::string kind_name(std::string_view word) {
  if (word.empty()) return "Other";
  std::string out;
  bool upper = true;
  for (char c : word) {
    if (c == ' ' || c == '_' || c == '-') {
      upper = true;
      continue;
    }
    out.push_back(upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c);
    upper = false;
  }
  return out;
}

std::string wrap(std::string_view variant, std::string_view inner) {
  std::string out(variant);
  out.push_back('(');
  out += inner;
  out.push_back(')');
  return out;
}

}  // namespace

std::string ScorerError::display() const {
  switch (kind) {
    case Kind::InvalidQuery:
      return "Invalid query: " + message;
    case Kind::IndexCorrupted:
      return "Index corrupted: " + message;
    case Kind::Other:
      break;
  }
  return "Scorer failed: " + message;
}

std::string ScorerError::debug() const {
  switch (kind) {
    case Kind::InvalidQuery:
      return wrap("InvalidQuery", debug_quote(message));
    case Kind::IndexCorrupted:
      return wrap("IndexCorrupted", debug_quote(message));
    case Kind::Other:
      break;
  }
  return wrap("Other", debug_quote(message));
}

std::string IoError::debug() const {
  return "Custom { kind: " + kind_name(kind) + ", error: " + debug_quote(message) + " }";
}

std::string DiscoveryError::display() const {
  switch (kind) {
    case Kind::Scorer:
      return "Scorer error: " + scorer.display();
    case Kind::UnknownAgent:
      return "Unknown agent: " + text;
    case Kind::Persistence:
      return "Persistence error: " + text;
    case Kind::Io:
      return "I/O error: " + io.display();
    case Kind::Config:
      return "Configuration error: " + text;
    case Kind::CircuitBreakerOpen:
      return "Circuit breaker open for agent: " + text;
    case Kind::MutexPoisoned:
      return "Mutex poisoned (recovered): " + text;
  }
  return text;
}

std::string DiscoveryError::debug() const {
  switch (kind) {
    case Kind::Scorer:
      return wrap("Scorer", scorer.debug());
    case Kind::UnknownAgent:
      return wrap("UnknownAgent", debug_quote(text));
    case Kind::Persistence:
      return wrap("Persistence", debug_quote(text));
    case Kind::Io:
      return wrap("Io", io.debug());
    case Kind::Config:
      return wrap("Config", debug_quote(text));
    case Kind::CircuitBreakerOpen:
      return wrap("CircuitBreakerOpen", debug_quote(text));
    case Kind::MutexPoisoned:
      return wrap("MutexPoisoned", debug_quote(text));
  }
  return wrap("Config", debug_quote(text));
}

std::string NetworkError::display() const {
  switch (kind) {
    case Kind::Serialization:
      return "serialization error: " + message;
    case Kind::Io:
      return "I/O error: " + message;
    case Kind::UnsupportedVersion:
      return "unsupported snapshot version " + std::to_string(found_version) +
             " (supported up to " + std::to_string(supported_version) + ")";
    case Kind::Scorer:
      return "scorer error: " + message;
  }
  return message;
}

std::string NetworkError::debug() const {
  switch (kind) {
    case Kind::Serialization:
      return wrap("Serialization", debug_quote(message));
    case Kind::Io:
      return wrap("Io", debug_quote(message));
    case Kind::UnsupportedVersion:
      return "UnsupportedVersion { found: " + std::to_string(found_version) +
             ", supported: " + std::to_string(supported_version) + " }";
    case Kind::Scorer:
      return wrap("Scorer", debug_quote(message));
  }
  return wrap("Io", debug_quote(message));
}

}  // namespace kova
