// The network state file: writing it atomically and durably, and building an engine from it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "network/network.hpp"
#include "scorer/settings.hpp"

namespace kova {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::uint32_t kSnapshotVersion = 3;
constexpr double kLoadedTauFloor = 0.001;
constexpr std::uint64_t kNanosPerSec = 1'000'000'000;
// Our own files nest six levels deep; anything far deeper is hostile or broken.
constexpr std::size_t kMaxDepth = 128;

// ---------------------------------------------------------------------------------------------
// System errors

// `text` with every ill-formed UTF-8 sequence replaced by U+FFFD. The parser quotes the bytes
// of the token it stopped at, which may end inside a multi-byte character; error texts must be
// valid text all the same (the host decodes them).
std::string valid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  std::string out;
  out.reserve(text.size());
  for (std::int64_t i = 0; i < length;) {
    const std::int64_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return out;
}

// The library's exception text without its "[json.exception.kind.nnn] " tag.
std::string library_message(std::string_view what) {
  if (!what.empty() && what.front() == '[') {
    const auto close = what.find("] ");
    if (close != std::string_view::npos) what.remove_prefix(close + 2);
  }
  return valid_utf8(what);
}

// A token as error texts quote it: its first kExcerptChars characters, then an ellipsis. A
// corrupt file can hold a token of any size (a number of millions of digits, a string that is
// never closed); quoting it whole would make the message as large as the file.
constexpr std::size_t kExcerptChars = 40;

std::string excerpt(std::string_view token) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < token.size(); ++i) {
    // Counting lead bytes only keeps a multi-byte character whole.
    if ((static_cast<unsigned char>(token[i]) & 0xC0) != 0x80 && chars++ == kExcerptChars) {
      return std::string(token.substr(0, i)) + "\u2026";
    }
  }
  return std::string(token);
}

// The parser's message with the token it quotes (the last one it read) shortened.
std::string parser_message(std::string_view what, const std::string& token) {
  std::string text(what);
  if (token.size() > kExcerptChars) {
    const auto at = text.rfind(token);
    if (at != std::string::npos) text.replace(at, token.size(), excerpt(token));
  }
  return library_message(text);
}

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

// ---------------------------------------------------------------------------------------------
// Writing

// Writes the document with two-space indentation and one element per line, the layout of the
// library's own pretty printer. The library still renders every string and floating-point
// number; only the structure is written here, because building the library's document tree for
// a large network (one node per signature byte) and tearing it down again cost several times
// the writing itself.
class PrettyWriter {
 public:
  explicit PrettyWriter(std::string& out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }

  // A member name; its value follows.
  void key(std::string_view name) {
    next_item();
    string(name);
    out_.append(": ");
  }
  // An array element that is a scalar; containers start with begin_*.
  void element() { next_item(); }

  void string(std::string_view text) { out_ += Json(text).dump(); }
  void boolean(bool value) { out_.append(value ? "true" : "false"); }
  void null() { out_.append("null"); }
  // A whole document as a value, laid out like the rest at the current depth.
  void document(const Json& value) {
    const std::string text = value.dump(2);
    const std::string indent = "\n" + std::string(2 * counts_.size(), ' ');
    for (const char c : text) {
      if (c == '\n') {
        out_.append(indent);
      } else {
        out_.push_back(c);
      }
    }
  }
  void number(std::uint64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
  }
  void integer(std::int64_t value) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
  }
  // Shortest form that reads back exactly, whole numbers with ".0", non-finite as null.
  void number(double value) {
    if (value == 1.0) {
      out_.append("1.0");
    } else if (value == -1.0) {
      out_.append("-1.0");
    } else {
      out_ += Json(value).dump();
    }
  }
  // A key followed by a scalar value.
  template <class T>
  void member(std::string_view name, const T& value) {
    key(name);
    if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
      string(value);
    } else {
      number(value);
    }
  }

 private:
  void open(char bracket) {
    out_.push_back(bracket);
    counts_.push_back(0);
  }
  void close(char bracket) {
    const bool empty = counts_.back() == 0;
    counts_.pop_back();
    if (!empty) newline();
    out_.push_back(bracket);
  }
  void next_item() {
    if (counts_.back()++ > 0) out_.push_back(',');
    newline();
  }
  void newline() {
    out_.push_back('\n');
    out_.append(2 * counts_.size(), ' ');
  }

  std::string& out_;
  std::vector<std::size_t> counts_;  // items written so far in each open container
};

void write_agent(PrettyWriter& w, const std::string& name, const AgentRecord& agent, MonoTime now) {
  w.begin_object();
  w.member("name", name);
  w.key("capabilities");
  w.begin_array();
  for (const std::string& capability : agent.capabilities) {
    w.element();
    w.string(capability);
  }
  w.end_array();
  w.key("endpoint");
  if (agent.endpoint) {
    w.string(*agent.endpoint);
  } else {
    w.null();
  }
  w.key("metadata");
  w.begin_object();
  for (const auto& [key, value] : agent.metadata) w.member(key, value);
  w.end_object();
  w.member("diameter", agent.diameter);
  w.member("tau", agent.tau);
  w.member("sigma", agent.sigma);
  w.member("omega", 0.0);
  w.member("forwards_count", agent.forwards());
  w.member("consecutive_pulse_timeouts", std::uint64_t{agent.consecutive_pulse_timeouts});

  w.key("feedback");
  w.begin_array();
  for (std::size_t i = 0; i < agent.feedback.size(); ++i) {
    const FeedbackRecord& record = agent.feedback[i];
    w.element();
    w.begin_object();
    w.key("query_minhash");
    w.begin_array();
    for (std::uint8_t byte : record.query_signature) {
      w.element();
      w.number(std::uint64_t{byte});
    }
    w.end_array();
    w.member("outcome", record.outcome);
    w.end_object();
  }
  w.end_array();
  w.member("conductance", agent.conductance);

  const std::int64_t idle = std::max<std::int64_t>((now - agent.last_activity).count(), 0);
  w.key("last_activity_duration");
  w.begin_object();
  w.member("secs", static_cast<std::uint64_t>(idle) / kNanosPerSec);
  w.member("nanos", static_cast<std::uint64_t>(idle) % kNanosPerSec);
  w.end_object();
  // Written only when there are any: files of networks without query memory stay as they were.
  if (!agent.remembered.empty()) {
    w.key("remembered");
    w.begin_array();
    for (const std::string& text : agent.remembered) {
      w.element();
      w.string(text);
    }
    w.end_array();
  }
  w.end_object();
}

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
                                              FileDescriptor& file) {
  using Out = Result<std::string, NetworkError>;
  for (int attempt = 0;; ++attempt) {
    std::string temp_path = directory + "/" + temp_name(suffix);
    const int fd = retry_eintr(
        [&] { return ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
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

  FileDescriptor file;
  auto created = create_temp(directory, suffix, file);
  if (!created) return std::move(created).error();
  const std::string temp_path = std::move(created).value();
  // Every failure from here on closes and removes the temporary file.
  auto fail = [&](NetworkError error) {
    file.close();
    ::unlink(temp_path.c_str());
    return error;
  };
  // Replacing a state file keeps its permissions; a new one gets the process's usual mode
  // (0666 less the umask, applied by open).
  struct stat existing{};
  if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
      ::fchmod(file.get(), existing.st_mode & 07777) != 0) {
    return fail(system_error(errno));
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

// ---------------------------------------------------------------------------------------------
// Reading

struct AgentSnapshot {
  std::string name;
  std::vector<std::string> capabilities;
  std::optional<std::string> endpoint;
  Metadata metadata;
  double diameter = 0.0;
  double tau = 0.0;
  double sigma = 0.0;
  std::uint64_t forwards_count = 0;
  std::uint8_t consecutive_pulse_timeouts = 0;
  std::vector<FeedbackRecord> feedback;
  std::vector<std::string> remembered;
};

struct NetworkSnapshot {
  std::uint32_t version = 0;
  std::vector<AgentSnapshot> agents;
  std::vector<CoOccurrenceExpander::Pair> matrix;
  std::uint64_t feedback_count = 0;
  std::optional<std::uint64_t> query_memory;
  std::optional<bool> query_expansion;
  std::string scorer_settings;  // JSON object text; empty when the file records none
  ExtraMembers extra;
};

// Where a JSON value lands.
enum class Slot : std::uint8_t {
  Skip,
  Extra,  // an unknown top-level member: kept if a string or an integer, else skipped
  Root,
  Version,
  Agents,
  FeedbackCount,
  Epoch,
  EpochSecs,
  EpochNanos,
  Matrix,
  MatrixValue,
  Agent,
  Name,
  Capabilities,
  Capability,
  Endpoint,
  Metadata,
  MetadataValue,
  Diameter,
  Tau,
  Sigma,
  UnusedFloat,
  ForwardsCount,
  PulseTimeouts,
  Feedbacks,
  Duration,
  DurationSecs,
  DurationNanos,
  Feedback,
  QueryMinhash,
  MinhashByte,
  Outcome,
  QueryMemory,
  QueryExpansion,
  ScorerSettings,
  RememberedTexts,
  RememberedText,
};

struct Member {
  std::string_view name;
  Slot slot;
  bool required;
};

constexpr std::array kRootMembers{
    Member{"version", Slot::Version, true},
    Member{"agents", Slot::Agents, true},
    Member{"network_epoch", Slot::Epoch, false},
    Member{"cooccurrence_matrix", Slot::Matrix, false},
    Member{"cooccurrence_feedback_count", Slot::FeedbackCount, false},
    Member{"query_memory", Slot::QueryMemory, false},
    Member{"query_expansion", Slot::QueryExpansion, false},
    Member{"scorer", Slot::ScorerSettings, false},
};
constexpr std::array kAgentMembers{
    Member{"name", Slot::Name, true},
    Member{"capabilities", Slot::Capabilities, true},
    Member{"endpoint", Slot::Endpoint, false},
    Member{"metadata", Slot::Metadata, true},
    Member{"diameter", Slot::Diameter, true},
    Member{"tau", Slot::Tau, true},
    Member{"sigma", Slot::Sigma, true},
    Member{"omega", Slot::UnusedFloat, false},
    Member{"forwards_count", Slot::ForwardsCount, true},
    Member{"consecutive_pulse_timeouts", Slot::PulseTimeouts, true},
    Member{"feedback", Slot::Feedbacks, true},
    Member{"conductance", Slot::UnusedFloat, false},
    Member{"last_activity_duration", Slot::Duration, false},
    Member{"remembered", Slot::RememberedTexts, false},
};
constexpr std::array kFeedbackMembers{
    Member{"query_minhash", Slot::QueryMinhash, true},
    Member{"outcome", Slot::Outcome, true},
};
constexpr std::array kEpochMembers{
    Member{"secs_since_epoch", Slot::EpochSecs, true},
    Member{"nanos_since_epoch", Slot::EpochNanos, true},
};
constexpr std::array kDurationMembers{
    Member{"secs", Slot::DurationSecs, true},
    Member{"nanos", Slot::DurationNanos, true},
};

// One open object or array. Structs know their members; maps and arrays only their slot.
struct Frame {
  Slot slot;                        // the container's own slot
  std::span<const Member> members;  // empty unless a struct
  Slot pending = Slot::Skip;        // where the next value of a struct goes
  std::uint32_t seen = 0;           // struct members met so far
  std::size_t count = 0;            // elements of an array
};

struct Scalar {
  enum class Type { Null, Boolean, Integer, Unsigned, Float, String };
  explicit Scalar(Type t) : type(t) {}
  Type type;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t unsigned_value = 0;
  double floating = 0.0;
  std::string_view raw;  // float token or string contents
  std::string* string = nullptr;
};

std::string describe(const Scalar& s) {
  switch (s.type) {
    case Scalar::Type::Null:
      return "null";
    case Scalar::Type::Boolean:
      return std::string("boolean `") + (s.boolean ? "true" : "false") + "`";
    case Scalar::Type::Integer:
      return "integer `" + std::to_string(s.integer) + "`";
    case Scalar::Type::Unsigned:
      return "integer `" + std::to_string(s.unsigned_value) + "`";
    case Scalar::Type::Float:
      return "floating point `" + excerpt(s.raw) + "`";
    case Scalar::Type::String:
      return "string \"" + excerpt(s.raw) + "\"";
  }
  return "value";
}

const char* expected_text(Slot slot) {
  switch (slot) {
    case Slot::Root:
      return "struct NetworkSnapshot";
    case Slot::Agent:
      return "struct AgentSnapshot";
    case Slot::Feedback:
      return "struct FeedbackSnapshot";
    case Slot::Epoch:
      return "struct SystemTime";
    case Slot::Duration:
      return "struct Duration";
    case Slot::Agents:
    case Slot::Capabilities:
    case Slot::Feedbacks:
    case Slot::RememberedTexts:
      return "a sequence";
    case Slot::QueryMinhash:
      return "an array of length 64";
    case Slot::Metadata:
    case Slot::Matrix:
    case Slot::ScorerSettings:
      return "a map";
    case Slot::Name:
    case Slot::Capability:
    case Slot::MetadataValue:
    case Slot::RememberedText:
      return "a string";
    case Slot::QueryExpansion:
      return "a boolean";
    case Slot::Endpoint:
      return "a string or null";
    case Slot::Diameter:
    case Slot::Tau:
    case Slot::Sigma:
    case Slot::UnusedFloat:
    case Slot::Outcome:
      return "f64";
    case Slot::PulseTimeouts:
    case Slot::MinhashByte:
      return "u8";
    case Slot::Version:
    case Slot::EpochNanos:
    case Slot::DurationNanos:
    case Slot::MatrixValue:
      return "u32";
    case Slot::FeedbackCount:
    case Slot::QueryMemory:
    case Slot::EpochSecs:
    case Slot::DurationSecs:
    case Slot::ForwardsCount:
      return "u64";
    case Slot::Skip:
    case Slot::Extra:
      break;
  }
  return "a value";
}

// Builds a NetworkSnapshot straight from parser events: no document tree is kept, members
// given twice are caught (the library's own tree would keep the last silently), and nesting is
// bounded so hostile input cannot exhaust memory or the stack of later walks.
class SnapshotReader {
 public:
  using number_integer_t = std::int64_t;
  using number_unsigned_t = std::uint64_t;
  using number_float_t = double;
  using string_t = std::string;
  using binary_t = nlohmann::json::binary_t;

  NetworkSnapshot snapshot;
  std::string error;

  bool null() {
    if (capture_.active()) return capture_.value(nullptr);
    return scalar(Scalar(Scalar::Type::Null));
  }
  bool boolean(bool value) {
    if (capture_.active()) return capture_.value(value);
    Scalar s(Scalar::Type::Boolean);
    s.boolean = value;
    return scalar(s);
  }
  bool number_integer(std::int64_t value) {
    if (capture_.active()) return capture_.value(value);
    // The library reports only negative integers here, but -0 arrives as 0.
    Scalar s(Scalar::Type::Integer);
    s.integer = value;
    if (value >= 0) {
      s.type = Scalar::Type::Unsigned;
      s.unsigned_value = static_cast<std::uint64_t>(value);
    }
    return scalar(s);
  }
  bool number_unsigned(std::uint64_t value) {
    if (capture_.active()) return capture_.value(value);
    Scalar s(Scalar::Type::Unsigned);
    s.unsigned_value = value;
    return scalar(s);
  }
  bool number_float(double value, const std::string& raw) {
    if (capture_.active()) return capture_.value(value);
    Scalar s(Scalar::Type::Float);
    s.floating = value;
    s.raw = raw;
    return scalar(s);
  }
  bool string(std::string& value) {
    if (capture_.active()) return capture_.value(std::move(value));
    Scalar s(Scalar::Type::String);
    s.raw = value;
    s.string = &value;
    return scalar(s);
  }
  bool binary(binary_t&) { return fail("invalid type: byte array"); }

  bool start_object(std::size_t) {
    if (stack_.size() + capture_.depth() >= kMaxDepth) return fail("recursion limit exceeded");
    if (capture_.active()) return capture_.open(Json::object());
    const Slot slot = next_slot();
    switch (slot) {
      case Slot::ScorerSettings:
        return capture_.open(Json::object());
      case Slot::Skip:
      case Slot::Metadata:
      case Slot::Matrix:
        stack_.push_back({slot, {}});
        return true;
      case Slot::Extra:
        stack_.push_back({Slot::Skip, {}});
        return true;
      case Slot::Root:
        stack_.push_back({slot, kRootMembers});
        return true;
      case Slot::Agent:
        snapshot.agents.emplace_back();
        stack_.push_back({slot, kAgentMembers});
        return true;
      case Slot::Feedback:
        agent().feedback.emplace_back();
        stack_.push_back({slot, kFeedbackMembers});
        return true;
      case Slot::Epoch:
        secs_ = 0;
        nanos_ = 0;
        stack_.push_back({slot, kEpochMembers});
        return true;
      case Slot::Duration:
        secs_ = 0;
        nanos_ = 0;
        stack_.push_back({slot, kDurationMembers});
        return true;
      default:
        return invalid_type("map", slot);
    }
  }

  bool key(std::string& name) {
    if (capture_.active()) {
      capture_.key = std::move(name);
      return true;
    }
    Frame& top = stack_.back();
    if (top.slot == Slot::Metadata || top.slot == Slot::Matrix) {
      key_ = std::move(name);
      return true;
    }
    if (top.members.empty()) return true;
    top.pending = top.slot == Slot::Root ? Slot::Extra : Slot::Skip;
    if (top.slot == Slot::Root) key_ = name;
    for (std::size_t i = 0; i < top.members.size(); ++i) {
      if (top.members[i].name != name) continue;
      if ((top.seen >> i) & 1u) return fail("duplicate field `" + name + "`");
      top.seen |= 1u << i;
      top.pending = top.members[i].slot;
      break;
    }
    return true;
  }

  bool end_object() {
    if (capture_.active()) {
      if (capture_.close()) snapshot.scorer_settings = capture_.root.dump();
      return true;
    }
    const Frame& top = stack_.back();
    for (std::size_t i = 0; i < top.members.size(); ++i) {
      if (top.members[i].required && !((top.seen >> i) & 1u)) {
        return fail("missing field `" + std::string(top.members[i].name) + "`");
      }
    }
    if (top.slot == Slot::Epoch) {
      // A wall-clock instant must fit the platform's time type (signed 64-bit seconds).
      const std::uint64_t carry = nanos_ / kNanosPerSec;
      if (secs_ > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - carry) {
        return fail("overflow deserializing SystemTime");
      }
    } else if (top.slot == Slot::Duration) {
      if (secs_ > std::numeric_limits<std::uint64_t>::max() - nanos_ / kNanosPerSec) {
        return fail("overflow deserializing Duration");
      }
    }
    stack_.pop_back();
    return true;
  }

  bool start_array(std::size_t) {
    if (stack_.size() + capture_.depth() >= kMaxDepth) return fail("recursion limit exceeded");
    if (capture_.active()) return capture_.open(Json::array());
    const Slot slot = next_slot();
    switch (slot) {
      case Slot::Extra:
        stack_.push_back({Slot::Skip, {}});
        return true;
      case Slot::Skip:
      case Slot::Agents:
      case Slot::Capabilities:
      case Slot::Feedbacks:
      case Slot::QueryMinhash:
      case Slot::RememberedTexts:
        stack_.push_back({slot, {}});
        return true;
      default:
        return invalid_type("sequence", slot);
    }
  }

  bool end_array() {
    if (capture_.active()) {
      capture_.close();
      return true;
    }
    const Frame& top = stack_.back();
    if (top.slot == Slot::QueryMinhash && top.count != kSignatureBytes) {
      return fail("invalid length " + std::to_string(top.count) +
                  ", expected an array of length 64");
    }
    stack_.pop_back();
    return true;
  }

  bool parse_error(std::size_t, const std::string& token, const nlohmann::json::exception& ex) {
    return fail(parser_message(ex.what(), token));
  }

 private:
  bool fail(std::string message) {
    if (error.empty()) error = std::move(message);
    return false;
  }

  bool invalid_type(const std::string& found, Slot slot) {
    return fail("invalid type: " + found + ", expected " + expected_text(slot));
  }

  bool invalid_value(const Scalar& s, Slot slot) {
    return fail("invalid value: " + describe(s) + ", expected " + expected_text(slot));
  }

  AgentSnapshot& agent() { return snapshot.agents.back(); }

  // The slot of the value about to arrive; counts array elements.
  Slot next_slot() {
    if (stack_.empty()) return Slot::Root;
    Frame& top = stack_.back();
    switch (top.slot) {
      case Slot::Skip:
        return Slot::Skip;
      case Slot::Agents:
        ++top.count;
        return Slot::Agent;
      case Slot::Capabilities:
        ++top.count;
        return Slot::Capability;
      case Slot::Feedbacks:
        ++top.count;
        return Slot::Feedback;
      case Slot::QueryMinhash:
        ++top.count;
        return Slot::MinhashByte;
      case Slot::RememberedTexts:
        return Slot::RememberedText;
      case Slot::Metadata:
        return Slot::MetadataValue;
      case Slot::Matrix:
        return Slot::MatrixValue;
      default:
        return top.pending;
    }
  }

  bool unsigned_value(const Scalar& s, Slot slot, std::uint64_t max, std::uint64_t& out) {
    if (s.type == Scalar::Type::Integer) return invalid_value(s, slot);
    if (s.type != Scalar::Type::Unsigned) return invalid_type(describe(s), slot);
    if (s.unsigned_value > max) return invalid_value(s, slot);
    out = s.unsigned_value;
    return true;
  }

  bool float_value(const Scalar& s, Slot slot, double& out) {
    switch (s.type) {
      case Scalar::Type::Null:
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
      case Scalar::Type::Integer:
        out = static_cast<double>(s.integer);
        return true;
      case Scalar::Type::Unsigned:
        out = static_cast<double>(s.unsigned_value);
        return true;
      case Scalar::Type::Float:
        out = s.floating;
        return true;
      default:
        return invalid_type(describe(s), slot);
    }
  }

  bool string_value(const Scalar& s, Slot slot, std::string& out) {
    if (s.type != Scalar::Type::String) return invalid_type(describe(s), slot);
    out = std::move(*s.string);
    return true;
  }

  bool scalar(const Scalar& s) {
    const Slot slot = next_slot();
    std::uint64_t u = 0;
    switch (slot) {
      case Slot::Skip:
        return true;
      case Slot::Extra:
        if (s.type == Scalar::Type::String) {
          snapshot.extra.emplace_back(std::move(key_), std::move(*s.string));
        } else if (s.type == Scalar::Type::Integer) {
          snapshot.extra.emplace_back(std::move(key_), s.integer);
        } else if (s.type == Scalar::Type::Unsigned &&
                   s.unsigned_value <= static_cast<std::uint64_t>(INT64_MAX)) {
          snapshot.extra.emplace_back(std::move(key_), static_cast<std::int64_t>(s.unsigned_value));
        }
        return true;
      case Slot::Version:
        if (!unsigned_value(s, slot, UINT32_MAX, u)) return false;
        snapshot.version = static_cast<std::uint32_t>(u);
        return true;
      case Slot::FeedbackCount:
        return unsigned_value(s, slot, UINT64_MAX, snapshot.feedback_count);
      case Slot::QueryMemory:
        return unsigned_value(s, slot, UINT64_MAX, snapshot.query_memory.emplace());
      case Slot::QueryExpansion:
        if (s.type != Scalar::Type::Boolean) return invalid_type(describe(s), slot);
        snapshot.query_expansion = s.boolean;
        return true;
      case Slot::RememberedText:
        return string_value(s, slot, agent().remembered.emplace_back());
      case Slot::EpochSecs:
      case Slot::DurationSecs:
        return unsigned_value(s, slot, UINT64_MAX, secs_);
      case Slot::EpochNanos:
      case Slot::DurationNanos:
        return unsigned_value(s, slot, UINT32_MAX, nanos_);
      case Slot::MatrixValue: {
        if (!unsigned_value(s, slot, UINT32_MAX, u)) return false;
        // "query,capability": the first comma splits, so capability terms may hold commas.
        const auto comma = key_.find(',');
        if (comma != std::string::npos) {
          snapshot.matrix.push_back(
              {key_.substr(0, comma), key_.substr(comma + 1), static_cast<std::uint32_t>(u)});
        }
        return true;
      }
      case Slot::Name:
        return string_value(s, slot, agent().name);
      case Slot::Capability: {
        std::string text;
        if (!string_value(s, slot, text)) return false;
        agent().capabilities.push_back(std::move(text));
        return true;
      }
      case Slot::Endpoint:
        if (s.type == Scalar::Type::Null) {
          agent().endpoint.reset();
          return true;
        }
        return string_value(s, slot, agent().endpoint.emplace());
      case Slot::MetadataValue: {
        std::string text;
        if (!string_value(s, slot, text)) return false;
        agent().metadata.insert_or_assign(std::move(key_), std::move(text));
        return true;
      }
      case Slot::Diameter:
        return float_value(s, slot, agent().diameter);
      case Slot::Tau:
        return float_value(s, slot, agent().tau);
      case Slot::Sigma:
        return float_value(s, slot, agent().sigma);
      case Slot::UnusedFloat: {
        double ignored = 0.0;
        return float_value(s, slot, ignored);
      }
      case Slot::ForwardsCount:
        return unsigned_value(s, slot, UINT64_MAX, agent().forwards_count);
      case Slot::PulseTimeouts:
        if (!unsigned_value(s, slot, UINT8_MAX, u)) return false;
        agent().consecutive_pulse_timeouts = static_cast<std::uint8_t>(u);
        return true;
      case Slot::MinhashByte: {
        if (!unsigned_value(s, slot, UINT8_MAX, u)) return false;
        const std::size_t index = stack_.back().count - 1;
        if (index < kSignatureBytes) {
          agent().feedback.back().query_signature[index] = static_cast<std::uint8_t>(u);
        }
        return true;
      }
      case Slot::Outcome:
        return float_value(s, slot, agent().feedback.back().outcome);
      default:
        return invalid_type(describe(s), slot);
    }
  }

  // The "scorer" member, kept as a document for the scorer's own factory to read.
  struct Capture {
    Json root;
    std::vector<Json*> path;  // open containers, innermost last
    std::string key;          // the pending key of the innermost object

    bool active() const { return !path.empty(); }
    std::size_t depth() const { return path.size(); }
    bool value(Json v) {
      Json& top = *path.back();
      if (top.is_object()) {
        top[key] = std::move(v);
      } else {
        top.push_back(std::move(v));
      }
      return true;
    }
    // Only the innermost container gains members, so pointers along the path stay valid.
    bool open(Json container) {
      if (path.empty()) {
        root = std::move(container);
        path.push_back(&root);
        return true;
      }
      Json& top = *path.back();
      if (top.is_object()) {
        path.push_back(&(top[key] = std::move(container)));
      } else {
        top.push_back(std::move(container));
        path.push_back(&top.back());
      }
      return true;
    }
    // True when the outermost container closed.
    bool close() {
      path.pop_back();
      return path.empty();
    }
  };

  std::vector<Frame> stack_;
  Capture capture_;
  std::string key_;  // the pending key of a map
  std::uint64_t secs_ = 0;
  std::uint64_t nanos_ = 0;
};

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

}  // namespace

bool is_state_member(std::string_view name) {
  return std::any_of(kRootMembers.begin(), kRootMembers.end(),
                     [&](const Member& m) { return m.name == name; });
}

std::optional<NetworkError> LocalNetwork::save(const std::string& path,
                                               const ExtraMembers& extra) const {
  for (const auto& member : extra) {
    if (is_state_member(member.first)) {
      return NetworkError::serialization("extra member `" + member.first +
                                         "` is a member of the state");
    }
  }

  // Held to the end, so the statistics written are the ones of one moment and recording waits.
  auto expander = safe_lock(cooccurrence_, "cooccurrence save");

  const MonoTime now = clock_->monotonic_now();
  const auto since_epoch = clock_->wall_now().time_since_epoch();

  std::string text;
  try {
    if (since_epoch.count() < 0) {
      return NetworkError::serialization("SystemTime must be later than UNIX_EPOCH");
    }
    const auto wall_nanos = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count());

    // Roughly 17 bytes per signature byte; reserving avoids repeated copies of a large text.
    std::size_t estimate = 512;
    for (const auto& entry : agents_) estimate += 1024 + entry.second.feedback.size() * 1150;
    text.reserve(estimate);

    PrettyWriter w(text);
    w.begin_object();
    w.member("version", std::uint64_t{kSnapshotVersion});
    w.key("agents");
    w.begin_array();
    for (const auto& [name, agent] : agents_) {
      w.element();
      write_agent(w, name, agent, now);
    }
    w.end_array();
    w.key("network_epoch");
    w.begin_object();
    w.member("secs_since_epoch", wall_nanos / kNanosPerSec);
    w.member("nanos_since_epoch", wall_nanos % kNanosPerSec);
    w.end_object();

    // Sorted so that equal states give equal files.
    std::vector<CoOccurrenceExpander::Pair> pairs = expander->pairs();
    std::vector<std::pair<std::string, std::uint32_t>> members;
    members.reserve(pairs.size());
    for (auto& pair : pairs) {
      members.emplace_back(std::move(pair.query_term) + "," + pair.capability_term, pair.count);
    }
    std::sort(members.begin(), members.end());
    w.key("cooccurrence_matrix");
    w.begin_object();
    for (const auto& [key, count] : members) w.member(key, std::uint64_t{count});
    w.end_object();
    w.member("cooccurrence_feedback_count", expander->feedback_count());
    // Members a reader that does not know them skips; none of them for a default network.
    if (learning_ != LearningSettings{}) {
      w.member("query_memory", std::uint64_t{learning_.query_memory});
      w.key("query_expansion");
      w.boolean(learning_.query_expansion);
    }
    if (const std::string settings = scorer_.scorer->settings_json(); !settings.empty()) {
      w.key("scorer");
      w.document(Json::parse(settings));
    }
    for (const auto& [name, value] : extra) {
      if (const auto* text = std::get_if<std::string>(&value)) {
        w.member(name, *text);
      } else {
        w.key(name);
        w.integer(std::get<std::int64_t>(value));
      }
    }
    w.end_object();
  } catch (const std::exception& e) {
    // Invalid UTF-8 in a name or capability; allocation failure.
    return NetworkError::serialization(library_message(e.what()));
  }
  return write_atomically(path, text);
}

Result<std::unique_ptr<LocalNetwork>, NetworkError> LocalNetwork::load(
    const std::string& path, std::shared_ptr<const Clock> clock, std::unique_ptr<Scorer> scorer) {
  using Out = Result<std::unique_ptr<LocalNetwork>, NetworkError>;

  auto text = read_text_file(path);
  if (!text) return Out::err(std::move(text).error());

  SnapshotReader reader;
  try {
    if (!nlohmann::json::sax_parse(text.value(), &reader) && reader.error.empty()) {
      reader.error = "parse error";
    }
  } catch (const std::exception& e) {
    reader.error = library_message(e.what());
  }
  if (!reader.error.empty()) return Out::err(NetworkError::serialization(reader.error));
  text.value() = std::string();  // release the text before the engine grows

  NetworkSnapshot& snapshot = reader.snapshot;
  if (snapshot.version > kSnapshotVersion) {
    return Out::err(NetworkError::unsupported_version(snapshot.version, kSnapshotVersion));
  }

  // Only the newest records survive in an index, so older ones need not be inserted at all.
  std::vector<FeedbackIndex> memories(snapshot.agents.size());
  for (std::size_t i = 0; i < snapshot.agents.size(); ++i) {
    const auto& records = snapshot.agents[i].feedback;
    const std::size_t skip =
        records.size() > FeedbackIndex::kCapacity ? records.size() - FeedbackIndex::kCapacity : 0;
    for (std::size_t r = skip; r < records.size(); ++r) memories[i].insert(records[r]);
  }

  if (!scorer && !snapshot.scorer_settings.empty()) {
    auto rebuilt = scorer_from_settings(snapshot.scorer_settings);
    if (!rebuilt) return Out::err(NetworkError::scorer(std::move(rebuilt).error()));
    scorer = std::move(rebuilt).value();
  }
  std::unique_ptr<LocalNetwork> network =
      scorer ? with_scorer(std::move(scorer), std::move(clock)) : create_default(std::move(clock));
  // A file without the member keeps what its bound recommends.
  LearningSettings learning =
      LearningSettings::recommended(static_cast<std::size_t>(std::min<std::uint64_t>(
          snapshot.query_memory.value_or(0), std::numeric_limits<std::size_t>::max())));
  if (snapshot.query_expansion) learning.query_expansion = *snapshot.query_expansion;
  network->set_learning(learning);
  {
    auto expander = safe_lock(network->cooccurrence_, "cooccurrence load");
    expander->replace(snapshot.matrix, snapshot.feedback_count);
  }

  for (std::size_t i = 0; i < snapshot.agents.size(); ++i) {
    AgentSnapshot& stored = snapshot.agents[i];
    if (auto error =
            network->register_agent(stored.name, stored.capabilities, std::move(stored.endpoint),
                                    std::move(stored.metadata))) {
      return Out::err(
          NetworkError::serialization("Failed to register agent during load: " + error->display()));
    }
    AgentRecord* agent = network->find_mut(stored.name);
    agent->diameter = stored.diameter;
    agent->tau = std::fmax(stored.tau, kLoadedTauFloor);
    agent->sigma = stored.sigma;
    agent->forwards_count.store(stored.forwards_count);
    agent->consecutive_pulse_timeouts = stored.consecutive_pulse_timeouts;
    agent->feedback = std::move(memories[i]);
    network->restore_remembered(stored.name, *agent, std::move(stored.remembered));
  }
  network->loaded_extra_ = std::move(snapshot.extra);
  return Out::ok(std::move(network));
}

}  // namespace kova
