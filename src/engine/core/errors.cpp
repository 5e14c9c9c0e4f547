#include "core/errors.hpp"

namespace kova {

std::string DiscoveryError::display() const {
  return "Configuration error: " + text;
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

}  // namespace kova
