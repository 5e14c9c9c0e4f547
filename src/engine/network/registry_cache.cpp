#include "network/registry_cache.hpp"

#include <algorithm>

namespace kova {

void RegistryOrder::rebuild(AgentTable& agents) {
  entries.clear();
  entries.reserve(agents.size());
  std::uint32_t key_limit = 0;
  for (auto& entry : agents) {
    entries.push_back(&entry);
    key_limit = std::max(key_limit, entry.second.key + 1);
  }
  position_of_key.assign(key_limit, kNoPosition);
  all_keyed = true;
  for (std::size_t p = 0; p < entries.size(); ++p) {
    const std::uint32_t key = entries[p]->second.key;
    if (key != 0) position_of_key[key] = static_cast<std::uint32_t>(p);
    all_keyed = all_keyed && key != 0;
  }
  refresh_rows();
}

void RegistryOrder::refresh_rows() {
  inputs.assign(entries.size(), KernelInput{});
  flags.assign(entries.size(), RoutingFlags{});
  open_count = 0;
  for (std::size_t p = 0; p < entries.size(); ++p) read_row(p);
}

bool RegistryOrder::refresh_row(std::uint32_t key) {
  if (key == 0) return false;
  const std::uint32_t position = position_of(key);
  if (position == kNoPosition) return false;
  read_row(position);
  return true;
}

void RegistryOrder::read_row(std::size_t position) {
  const AgentRecord& record = entries[position]->second;
  open_count -= flags[position].open ? 1 : 0;
  inputs[position] = {0.0,          record.diameter,   record.tau,
                      record.sigma, record.forwards(), record.last_activity};
  flags[position] = {record.key, record.circuit.kind == CircuitState::Kind::Open,
                     !record.feedback.empty()};
  open_count += flags[position].open ? 1 : 0;
}

void RegistryCache::membership_changed() {
  const std::lock_guard<std::mutex> lock(mutex_);
  order_stale_ = true;
  changed_keys_.clear();
}

void RegistryCache::record_changed(const AgentRecord& record) {
  const AgentRecord* const one[] = {&record};
  records_changed(one);
}

void RegistryCache::records_changed(std::span<const AgentRecord* const> records) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (order_stale_ || rows_stale_) return;
  for (const AgentRecord* record : records) {
    // Past a share of the registry, re-reading every row is cheaper than the list.
    if (record->key == 0 || changed_keys_.size() >= 64 + agents_.size() / 8) {
      rows_stale_ = true;
      changed_keys_.clear();
      return;
    }
    changed_keys_.push_back(record->key);
  }
}

void RegistryCache::all_records_changed() {
  const std::lock_guard<std::mutex> lock(mutex_);
  rows_stale_ = true;
  changed_keys_.clear();
}

RegistryOrder& RegistryCache::current() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (order_stale_) {
    order_.rebuild(agents_);
  } else if (rows_stale_) {
    order_.refresh_rows();
  } else {
    for (const std::uint32_t key : changed_keys_) order_.refresh_row(key);
  }
  order_stale_ = false;
  rows_stale_ = false;
  changed_keys_.clear();
  return order_;
}

const RegistryOrder& RegistryCache::positions() {
  bool order_stale;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    order_stale = order_stale_;
  }
  return order_stale ? current() : order_;
}

}  // namespace kova
