#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "network/network.hpp"

namespace kova {
namespace {

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(StateFileMode, ReplacingKeepsPermissionsAndNewFilesFollowTheUmask) {
  const auto dir = std::filesystem::temp_directory_path() / ("kova-mode-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "state.json").string();
  auto network = LocalNetwork::create_default();

  const mode_t old_mask = ::umask(022);
  ASSERT_FALSE(network->save(path).has_value());
  EXPECT_EQ(mode_of(path), 0644);

  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_FALSE(network->save(path).has_value());
  EXPECT_EQ(mode_of(path), 0640);
  ::umask(old_mask);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kova
