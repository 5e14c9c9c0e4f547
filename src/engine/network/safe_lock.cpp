#include "network/safe_lock.hpp"

#include <string>
#include <vector>

#include "log/log.hpp"

namespace kova::detail {

void warn_poisoned(std::string_view context) {
  log::event(log::Level::Warn, log::kTargetNetwork, "Mutex poisoned, recovering inner value",
             [context] { return std::vector<log::Field>{{"context", std::string(context)}}; });
}

}  // namespace kova::detail
