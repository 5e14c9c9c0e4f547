// Atomic replacement and whole-file reads of state files, with the system's errors as texts.

#include "network/atomic_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

namespace kova {

namespace {

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

NetworkError system_error(int err) {
  return NetworkError::io(os_error_text(err), err);
}

// A path that names something other than a regular file. Directories get the system's own
// error, which is what reading or replacing one would have reported.
std::string not_regular_text(mode_t mode) {
  if (S_ISDIR(mode)) return os_error_text(EISDIR);
  const char* kind = S_ISCHR(mode)    ? "character device"
                     : S_ISBLK(mode)  ? "block device"
                     : S_ISFIFO(mode) ? "FIFO"
                     : S_ISSOCK(mode) ? "socket"
                                      : "special file";
  return std::string("not a regular file (") + kind + ")";
}

NetworkError not_regular(mode_t mode, std::string_view prefix = {}) {
  return NetworkError::io(std::string(prefix) + not_regular_text(mode), S_ISDIR(mode) ? EISDIR : 0);
}

// Retries interrupted calls of a system function returning -1 on failure.
template <class F>
auto retry_eintr(F&& f) {
  for (;;) {
    auto result = f();
    if (result != -1 || errno != EINTR) return result;
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    close();
    fd_ = fd;
  }
  // Returns 0 or the errno of a failed close.
  int close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || errno == EINTR ? 0 : errno;
  }

 private:
  int fd_;
};

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string_view base_name(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The system calls take C strings: a NUL inside the path would silently name another file.
std::optional<NetworkError> check_path(const std::string& path) {
  if (path.find('\0') == std::string::npos) return std::nullopt;
  return NetworkError::io("file name contained an unexpected NUL byte");
}

// Temporary files are named ".tmp", six random characters, a dot and the target's file name
// (cut to fit the system's name limit), so a save can tell which leftovers are its own.
constexpr std::size_t kRandomChars = 6;
constexpr std::size_t kNameMax = 255;
constexpr std::string_view kTempPrefix = ".tmp";
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string temp_suffix(std::string_view target) {
  const std::string_view name = base_name(target);
  return std::string(name.substr(0, kNameMax - kTempPrefix.size() - kRandomChars - 1));
}

std::string temp_name(std::string_view suffix) {
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string name(kTempPrefix);
  for (std::size_t i = 0; i < kRandomChars; ++i) name.push_back(kAlphabet[pick(device)]);
  name.push_back('.');
  name += suffix;
  return name;
}

bool is_temp_name(std::string_view name, std::string_view suffix) {
  const std::size_t head = kTempPrefix.size() + kRandomChars;
  if (name.size() != head + 1 + suffix.size() || !name.starts_with(kTempPrefix) ||
      name[head] != '.' || name.substr(head + 1) != suffix) {
    return false;
  }
  const std::string_view random = name.substr(kTempPrefix.size(), kRandomChars);
  return random.find_first_not_of(kAlphabet) == std::string_view::npos;
}

// Removes the temporary files that earlier saves of the same target left when they died (a
// process killed while saving leaves a full-size copy of the state). A live save holds an
// exclusive lock on its temporary file from creation to rename, so a file whose lock can be
// taken belongs to no running save. Best effort: whatever cannot be checked stays.
void remove_stale_temps(const std::string& directory, std::string_view suffix) {
  std::vector<std::string> candidates;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (is_temp_name(entry->d_name, suffix)) candidates.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }
  for (const std::string& name : candidates) {
    const std::string path = directory + "/" + name;
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    FileDescriptor file(retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | kFlags); }));
    // A save gives its temporary file the target's permissions, which may not allow reading.
    if (file.get() < 0)
      file.reset(retry_eintr([&] { return ::open(path.c_str(), O_WRONLY | kFlags); }));
    struct stat held{};
    if (file.get() < 0 || ::fstat(file.get(), &held) != 0 || !S_ISREG(held.st_mode) ||
        ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    // Another save may have removed this file meanwhile and a new one taken the name.
    struct stat named{};
    if (::lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      ::unlink(path.c_str());
    }
  }
}

// The file a save replaces: `path` with symbolic links followed, so that a link stays a link
// and the file it names is replaced (a dangling link names the file to create). Anything but a
// regular file is refused: renaming over a device, FIFO or socket would replace the node
// itself, and over a directory cannot work.
Result<std::string, NetworkError> save_target(const std::string& path) {
  using Out = Result<std::string, NetworkError>;
  constexpr int kMaxLinks = 40;  // the system's own limit for a path lookup
  std::string target = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat info{};
    if (::lstat(target.c_str(), &info) != 0) {
      return errno == ENOENT ? Out::ok(std::move(target)) : Out::err(system_error(errno));
    }
    if (S_ISREG(info.st_mode)) return Out::ok(std::move(target));
    if (!S_ISLNK(info.st_mode)) {
      return Out::err(not_regular(
          info.st_mode, "Failed to persist temp file: failed to persist temporary file: "));
    }
    std::string link(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)) + 256, '\0');
    const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
    if (n < 0) return Out::err(system_error(errno));
    // A link that grew since lstat: read it again.
    if (static_cast<std::size_t>(n) == link.size()) continue;
    link.resize(static_cast<std::size_t>(n));
    target = link.starts_with('/') ? link : directory_of(target) + "/" + link;
  }
  return Out::err(system_error(ELOOP));
}

// Creates the temporary file exclusively and locks it. A save that removed stale files may
// have taken this file's lock first (between creation and locking) and removed it; then it is
// created again under a new name.
Result<std::string, NetworkError> create_temp(const std::string& directory, std::string_view suffix,
                                              mode_t mode, FileDescriptor& file) {
  using Out = Result<std::string, NetworkError>;
  for (int attempt = 0;; ++attempt) {
    std::string temp_path = directory + "/" + temp_name(suffix);
    const int fd = retry_eintr(
        [&] { return ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode); });
    if (fd < 0) {
      if (errno != EEXIST || attempt >= 64) return Out::err(system_error(errno));
      continue;
    }
    file.reset(fd);
    // Where the file system has no locks, no save can take this one either, so nothing removes
    // the file while it is written.
    retry_eintr([&] { return ::flock(fd, LOCK_EX); });
    struct stat info{};
    if (::fstat(fd, &info) == 0 && info.st_nlink == 0 && attempt < 64) continue;
    return Out::ok(std::move(temp_path));
  }
}

}  // namespace

// Writes `text` to `path` through an exclusively created temporary file in the same directory,
// flushed to stable storage before it is renamed over the target, so that neither a crash nor
// a power loss can leave a partial file under the target name.
std::optional<NetworkError> write_atomically(const std::string& path, const std::string& text) {
  if (auto error = check_path(path)) return error;
  auto resolved = save_target(path);
  if (!resolved) return std::move(resolved).error();
  const std::string target = std::move(resolved).value();
  const std::string directory = directory_of(target);
  const std::string suffix = temp_suffix(target);
  remove_stale_temps(directory, suffix);

  // Replacing a state file keeps its permissions and, where this process may give it away,
  // its owner; a new one gets the process's usual mode (0666 less the umask, applied by open).
  // A replacement starts readable by its creator alone: others could otherwise open it in the
  // moment before it takes the old file's mode, and read what a private file holds.
  struct stat existing{};
  const bool replacing = ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  FileDescriptor file;
  auto created = create_temp(directory, suffix, replacing ? 0600 : 0666, file);
  if (!created) return std::move(created).error();
  const std::string temp_path = std::move(created).value();
  // Every failure from here on closes and removes the temporary file.
  auto fail = [&](NetworkError error) {
    file.close();
    ::unlink(temp_path.c_str());
    return error;
  };
  if (replacing) {
    // Only a privileged process may hand a file to another user: elsewhere this fails, and
    // the file stays the saver's, as any file it writes would.
    static_cast<void>(::fchown(file.get(), existing.st_uid, existing.st_gid));
    if (::fchmod(file.get(), existing.st_mode & 07777) != 0) return fail(system_error(errno));
  }

  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(file.get(), data, std::min<std::size_t>(left, 1u << 30));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(system_error(errno));
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (retry_eintr([&] { return ::fsync(file.get()); }) != 0) return fail(system_error(errno));

  // Renamed while still open and locked: once the lock goes, the file is the target.
  if (::rename(temp_path.c_str(), target.c_str()) != 0) {
    const int err = errno;
    return fail(NetworkError::io(
        "Failed to persist temp file: failed to persist temporary file: " + os_error_text(err),
        err));
  }
  // The data reached the disk with fsync and the target is complete: a late close error
  // changes neither.
  file.close();

  // The rename itself becomes durable only with the directory entry. Failing that is not a
  // failed save: the target already holds the complete new file, and a power loss could at
  // worst bring back the complete old one.
  FileDescriptor dir(
      retry_eintr([&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (dir.get() >= 0) retry_eintr([&] { return ::fsync(dir.get()); });
  return std::nullopt;
}
// The file as text. Invalid UTF-8 is an I/O failure ("invalid data"), as for any text read.
// Only regular files are read: a device may never end (/dev/zero) and opening a FIFO blocks
// until a writer comes. The type is checked before opening, so nothing is opened that may
// act on being opened, and again on the open file, which may have replaced the name meanwhile.
Result<std::string, NetworkError> read_text_file(const std::string& path) {
  using Out = Result<std::string, NetworkError>;
  if (auto error = check_path(path)) return Out::err(*error);
  struct stat info{};
  if (::stat(path.c_str(), &info) != 0) return Out::err(system_error(errno));
  if (!S_ISREG(info.st_mode)) return Out::err(not_regular(info.st_mode));
  FileDescriptor file(
      retry_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }));
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0) return Out::err(system_error(errno));
  if (!S_ISREG(info.st_mode)) return Out::err(not_regular(info.st_mode));
  std::string text;
  const std::size_t size = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  // Read straight into the text; it grows only if the file grew since fstat.
  text.resize(size + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) text.resize(text.size() * 2);
    const ssize_t n = ::read(file.get(), text.data() + filled, text.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Result<std::string, NetworkError>::err(system_error(errno));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  text.resize(filled);

  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  for (std::int64_t i = 0; i < length;) {
    // State files are nearly all ASCII: skip it eight bytes at a time.
    if (i + 8 <= length) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      return Result<std::string, NetworkError>::err(
          NetworkError::io("stream did not contain valid UTF-8"));
    }
  }
  return Result<std::string, NetworkError>::ok(std::move(text));
}

}  // namespace kova
