#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/lsh.hpp"
#include "network/network.hpp"

namespace kova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Caps = std::vector<std::string>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kova_state_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string error_text(const std::optional<NetworkError>& error) {
  return error ? error->display() : "<ok>";
}

struct StateFixture : ::testing::Test {
  TempDir dir;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::unique_ptr<LocalNetwork> net = LocalNetwork::create_default(clock);

  void reg(const std::string& name, const Caps& caps, std::optional<std::string> endpoint = {},
           Metadata metadata = {}) {
    ASSERT_FALSE(net->register_agent(name, caps, std::move(endpoint), std::move(metadata)));
  }
  // Loads `text` as a state file; the loaded engine or the error's display text.
  Result<std::unique_ptr<LocalNetwork>, std::string> load_text(const std::string& text) {
    const std::string path = dir.file("in.json");
    write_file(path, text);
    auto loaded = LocalNetwork::load(path, clock);
    if (!loaded)
      return Result<std::unique_ptr<LocalNetwork>, std::string>::err(loaded.error().display());
    return Result<std::unique_ptr<LocalNetwork>, std::string>::ok(std::move(loaded).value());
  }
  std::string load_error(const std::string& text) {
    auto loaded = load_text(text);
    return loaded ? "<ok>" : loaded.error();
  }
};

// A minimal valid agent; `extra` is spliced in before the closing brace.
std::string agent_text(const std::string& name = "a", const std::string& extra = "") {
  return R"({"name": ")" + name +
         R"(", "capabilities": ["x"], "metadata": {}, "diameter": 0.5, "tau": 0.2,)"
         R"( "sigma": 0.1, "forwards_count": 3, "consecutive_pulse_timeouts": 2, "feedback": [])" +
         extra + "}";
}
std::string file_text(const std::string& agents, const std::string& extra = "") {
  return R"({"version": 3, "agents": [)" + agents + "]" + extra + "}";
}
// "v0,v1,...": `count` numbers from `value_at(i)`.
template <class F>
std::string number_list(int count, F value_at) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i > 0) out.push_back(',');
    out.append(std::to_string(value_at(i)));
  }
  return out;
}
// Replaces the value of `member` (one without commas) in an object's text.
std::string set_member(std::string object, const std::string& member, const std::string& value) {
  const auto at = object.find("\"" + member + "\": ") + member.size() + 4;
  const auto end = object.find_first_of(",}", at);
  return object.replace(at, end - at, value);
}

TEST_F(StateFixture, EmptyEngineWritesTheExactDocument) {
  const std::string path = dir.file("state.json");
  ASSERT_EQ(error_text(net->save(path)), "<ok>");
  EXPECT_EQ(read_file(path),
            "{\n"
            "  \"version\": 3,\n"
            "  \"agents\": [],\n"
            "  \"network_epoch\": {\n"
            "    \"secs_since_epoch\": 1700000000,\n"
            "    \"nanos_since_epoch\": 0\n"
            "  },\n"
            "  \"cooccurrence_matrix\": {},\n"
            "  \"cooccurrence_feedback_count\": 0\n"
            "}");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"state.json"});
  auto loaded = LocalNetwork::load(path);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded.value()->agent_count(), 0u);
}

TEST_F(StateFixture, AgentMembersAreWrittenInOrder) {
  reg("a", {"x y"}, "http://e", {{"k", "v"}});
  reg("b", {"z"});
  net->find_mut("a")->tau = 0.25;
  net->find_mut("a")->forwards_count = 7;
  net->record_failure("b", "q");
  clock->advance(2500ms);
  {
    auto expander = safe_lock(net->cooccurrence_mutex(), "test");
    expander->replace({{"q", "x", 4}}, 12);
  }
  const std::string path = dir.file("state.json");
  ASSERT_EQ(error_text(net->save(path)), "<ok>");
  // Member order and spelling; the layout is checked on random engines below.
  const auto saved = nlohmann::ordered_json::parse(read_file(path));
  EXPECT_EQ(saved["agents"][0].dump(),
            R"({"name":"a","capabilities":["x y"],"endpoint":"http://e","metadata":{"k":"v"},)"
            R"("diameter":1.0,"tau":0.25,"sigma":0.0,"omega":0.0,"forwards_count":7,)"
            R"("consecutive_pulse_timeouts":0,"feedback":[],"conductance":1.0,)"
            R"("last_activity_duration":{"secs":2,"nanos":500000000}})");
  EXPECT_EQ(saved["agents"][1]["endpoint"], nullptr);
  const auto& record = saved["agents"][1]["feedback"][0];
  EXPECT_EQ(record.begin().key(), "query_minhash");
  EXPECT_EQ(record["query_minhash"].size(), 64u);
  EXPECT_EQ(record["outcome"].dump(), "-1.0");
  EXPECT_EQ(saved["cooccurrence_matrix"].dump(), R"({"q,x":4})");
  EXPECT_EQ(saved["cooccurrence_feedback_count"], 12);
}

// Builds engines from a fixed seed with every kind of value the file must carry.
struct RandomEngine {
  std::mt19937_64 rng;
  explicit RandomEngine(std::uint64_t seed) : rng(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  }
  std::string text(std::size_t max_len) {
    static const std::vector<std::string> pieces = {
        "a",      "Z",         "7",          " ",  ",",
        "\"",     "\\",        "\n",         "\t", std::string(1, '\x01'),
        "\u00e9", "\u4e2d",    "\U0001F600", "/",  "{",
        "}",      "translate", "legal"};
    std::string out;
    const std::size_t n = below(max_len + 1);
    for (std::size_t i = 0; i < n; ++i) out += pieces[below(pieces.size())];
    return out;
  }
  // Ordinary fractions, huge and tiny exponents, integers, 0.1, the largest and subnormals.
  double number() {
    const std::size_t kind = below(6);
    if (kind == 0) return std::uniform_real_distribution<double>(0.001, 1.0)(rng);
    if (kind == 1)
      return std::ldexp(std::uniform_real_distribution<double>(1, 2)(rng),
                        static_cast<int>(below(2000)) - 1000);
    if (kind == 2) return static_cast<double>(below(1000));
    if (kind == 3) return 0.1;
    if (kind == 4) return std::numeric_limits<double>::max();
    return std::numeric_limits<double>::denorm_min() * static_cast<double>(below(5) + 1);
  }
  double signed_number() { return below(2) ? number() : -number(); }

  std::unique_ptr<LocalNetwork> build(std::shared_ptr<const Clock> clock) {
    auto net = LocalNetwork::create_default(std::move(clock));
    const std::size_t agents = below(8);
    for (std::size_t i = 0; i < agents; ++i) {
      std::string name = text(6) + std::to_string(i);
      Caps caps;
      for (std::size_t c = below(3) + 1; c > 0; --c) caps.push_back(text(8));
      std::optional<std::string> endpoint;
      if (below(2)) endpoint = text(5);
      Metadata metadata;
      for (std::size_t m = below(3); m > 0; --m) metadata[text(3)] = text(4);
      EXPECT_FALSE(net->register_agent(name, caps, endpoint, metadata));
      AgentRecord& agent = *net->find_mut(name);
      agent.diameter = signed_number();
      agent.tau = std::fmax(number(), 0.001);  // the floor on load is tested on its own
      agent.sigma = signed_number();
      agent.forwards_count = rng();
      agent.consecutive_pulse_timeouts = static_cast<std::uint8_t>(below(256));
      for (std::size_t f = below(130); f > 0; --f) {
        FeedbackRecord record;
        for (auto& byte : record.query_signature) byte = static_cast<std::uint8_t>(below(256));
        record.outcome = below(2) ? 1.0 : -1.0;
        agent.feedback.insert(record);
      }
    }
    std::vector<CoOccurrenceExpander::Pair> pairs;
    for (std::size_t p = below(20); p > 0; --p) {
      std::string query = text(3);
      std::erase(query, ',');  // the first comma of a stored key ends the query term
      pairs.push_back({query, text(3), static_cast<std::uint32_t>(rng())});
    }
    safe_lock(net->cooccurrence_mutex(), "test")->replace(pairs, rng());
    return net;
  }
};

void expect_same_state(const LocalNetwork& original, const LocalNetwork& loaded,
                       MonoTime loaded_at) {
  ASSERT_EQ(original.agents(), loaded.agents());
  for (const auto& [name, a] : original.agent_table()) {
    SCOPED_TRACE(name);
    const AgentRecord& b = *loaded.find(name);
    EXPECT_EQ(a.capabilities, b.capabilities);
    EXPECT_EQ(a.endpoint, b.endpoint);
    EXPECT_EQ(a.metadata, b.metadata);
    EXPECT_EQ(a.diameter, b.diameter);
    EXPECT_EQ(std::fmax(a.tau, 0.001), b.tau);
    EXPECT_EQ(a.sigma, b.sigma);
    EXPECT_EQ(a.forwards(), b.forwards());
    EXPECT_EQ(a.consecutive_pulse_timeouts, b.consecutive_pulse_timeouts);
    ASSERT_EQ(a.feedback.size(), b.feedback.size());
    for (std::size_t i = 0; i < a.feedback.size(); ++i) {
      EXPECT_EQ(a.feedback[i].query_signature, b.feedback[i].query_signature);
      EXPECT_EQ(a.feedback[i].outcome, b.feedback[i].outcome);
      EXPECT_EQ(b.feedback.candidates(b.feedback[i].query_signature).empty(), false);
    }
    EXPECT_EQ(b.conductance, 1.0);
    EXPECT_EQ(b.circuit.kind, CircuitState::Kind::Closed);
    EXPECT_EQ(b.last_activity, loaded_at);
    EXPECT_EQ(b.address, "local://" + name);
  }
  auto pairs = [](const LocalNetwork& n) {
    auto guard = safe_lock(n.cooccurrence_mutex(), "test");
    auto list = guard->pairs();
    std::vector<std::tuple<std::string, std::string, std::uint32_t>> out;
    for (auto& p : list) out.emplace_back(p.query_term, p.capability_term, p.count);
    std::sort(out.begin(), out.end());
    return std::make_pair(out, guard->feedback_count());
  };
  EXPECT_EQ(pairs(original), pairs(loaded));
  EXPECT_EQ(loaded.exploration_epsilon(), 0.8);
  EXPECT_EQ(loaded.feedback_epoch(), 0u);
  EXPECT_FALSE(loaded.with_replay_log([](const ReplayLog& log) { return log.enabled(); }));
}

TEST_F(StateFixture, RandomEnginesSurviveSaveAndLoad) {
  RandomEngine random(20240611);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    auto original = random.build(clock);
    original->record_success("nobody", std::nullopt);  // the exploration schedule is not kept
    const std::string path = dir.file("state.json");
    ASSERT_EQ(error_text(original->save(path)), "<ok>");
    // The layout is the library's own pretty printing, numbers included.
    const std::string text = read_file(path);
    EXPECT_EQ(nlohmann::ordered_json::parse(text).dump(2), text);
    auto loaded = LocalNetwork::load(path, clock);
    ASSERT_TRUE(loaded) << loaded.error().display();
    expect_same_state(*original, *loaded.value(), clock->monotonic_now());

    // With the clock standing still, the loaded engine writes the same file again.
    const std::string again = dir.file("again.json");
    ASSERT_EQ(error_text(loaded.value()->save(again)), "<ok>");
    EXPECT_EQ(text, read_file(again));
  }
}

TEST_F(StateFixture, NonFiniteNumbersAreWrittenAsNullAndLoadAgain) {
  reg("a", {"x"});
  AgentRecord& a = *net->find_mut("a");
  a.diameter = std::numeric_limits<double>::infinity();
  a.tau = -std::numeric_limits<double>::infinity();
  a.sigma = std::numeric_limits<double>::quiet_NaN();
  a.feedback.insert({compute_signature("q", net->lsh_config()), std::nan("")});
  const std::string path = dir.file("state.json");
  ASSERT_EQ(error_text(net->save(path)), "<ok>");
  const std::string text = read_file(path);
  EXPECT_NE(text.find("\"diameter\": null"), std::string::npos);
  EXPECT_NE(text.find("\"outcome\": null"), std::string::npos);

  auto loaded = LocalNetwork::load(path, clock);
  ASSERT_TRUE(loaded) << loaded.error().display();
  const AgentRecord& b = *loaded.value()->find("a");
  EXPECT_TRUE(std::isnan(b.diameter));
  EXPECT_EQ(b.tau, 0.001);
  EXPECT_TRUE(std::isnan(b.sigma));
  EXPECT_TRUE(std::isnan(b.feedback[0].outcome));
}

TEST_F(StateFixture, ReadingAcceptsAnyOrderUnknownMembersAndDefaults) {
  const std::string reordered =
      R"({"cooccurrence_feedback_count": 11, "extra": {"deep": [1, {"x": null}]},)"
      R"( "agents": [{"feedback": [{"outcome": 1, "future": true, "query_minhash": [)" +
      number_list(64, [](int i) { return i * 4; }) +
      R"(]}], "sigma": 0.1, "consecutive_pulse_timeouts": 2, "forwards_count": 3, "tau": 0,)"
      R"( "diameter": 5, "metadata": {"k": "v", "k": "w"}, "capabilities": ["c1", "c2"],)"
      R"( "unknown": "ignored", "name": "n"}], "cooccurrence_matrix": {"a,b,c": 2, "abc": 9},)"
      R"( "version": 0})";
  auto loaded = load_text(reordered);
  ASSERT_TRUE(loaded) << loaded.error();
  const AgentRecord& a = *loaded.value()->find("n");
  EXPECT_EQ(a.capabilities, (Caps{"c1", "c2"}));
  EXPECT_EQ(a.endpoint, std::nullopt);
  EXPECT_EQ(a.metadata, (Metadata{{"k", "w"}}));  // inside a map the last one wins
  EXPECT_EQ(a.diameter, 5.0);
  EXPECT_EQ(a.tau, 0.001);
  EXPECT_EQ(a.conductance, 1.0);
  ASSERT_EQ(a.feedback.size(), 1u);
  EXPECT_EQ(a.feedback[0].query_signature[63], 252);
  {
    auto expander = safe_lock(loaded.value()->cooccurrence_mutex(), "test");
    EXPECT_EQ(expander->feedback_count(), 11u);
    EXPECT_EQ(expander->size(), 1u);
    EXPECT_EQ(expander->count("a", "b,c"), 2u);
  }

  auto nulls = load_text(file_text(set_member(
      set_member(agent_text("b", R"(, "endpoint": "e")"), "tau", "null"), "diameter", "null")));
  ASSERT_TRUE(nulls) << nulls.error();
  EXPECT_EQ(nulls.value()->find("b")->tau, 0.001);
  EXPECT_TRUE(std::isnan(nulls.value()->find("b")->diameter));
  EXPECT_EQ(nulls.value()->find("b")->endpoint, std::optional<std::string>("e"));
}

TEST_F(StateFixture, RejectedFilesNameTheirFault) {
  const auto with = [](const std::string& member, const std::string& value) {
    return file_text(set_member(agent_text("a"), member, value));
  };
  const auto minhash = [&](int count, int value) {
    return with("feedback", R"([{"query_minhash": [)" + number_list(count, [&](int) {
                              return value;
                            }) + R"(], "outcome": 1.0}])");
  };
  const auto epoch = [](const std::string& members) {
    return file_text("", R"(, "network_epoch": {)" + members + "}");
  };
  const std::string deep(100000, '[');
  const std::string cases[][2] = {
      {R"({"agents": []})", "missing field `version`"},
      {R"({"version": 3})", "missing field `agents`"},
      {R"({"version": 3, "version": 3, "agents": []})", "duplicate field `version`"},
      {file_text(agent_text("a", R"(, "sigma": 1)")), "duplicate field `sigma`"},
      {with("feedback", R"([{"outcome": 1.0}])"), "missing field `query_minhash`"},
      {file_text(agent_text("a", R"(, "last_activity_duration": {"secs": 1})")),
       "missing field `nanos`"},
      {epoch(R"("nanos_since_epoch": 1)"), "missing field `secs_since_epoch`"},
      {epoch(R"("secs_since_epoch": 9223372036854775808, "nanos_since_epoch": 0)"),
       "overflow deserializing SystemTime"},
      {with("forwards_count", "1.0"), "invalid type: floating point `1.0`, expected u64"},
      {with("forwards_count", "-1"), "invalid value: integer `-1`, expected u64"},
      {with("consecutive_pulse_timeouts", "256"), "invalid value: integer `256`, expected u8"},
      {with("diameter", "\"1\""), "invalid type: string \"1\", expected f64"},
      {with("metadata", R"({"k": 1})"), "invalid type: integer `1`, expected a string"},
      {R"({"version": 4294967296, "agents": []})",
       "invalid value: integer `4294967296`, expected u32"},
      {"[]", "invalid type: sequence, expected struct NetworkSnapshot"},
      {minhash(63, 1), "invalid length 63, expected an array of length 64"},
      {minhash(65, 1), "invalid length 65, expected an array of length 64"},
      {minhash(64, 256), "invalid value: integer `256`, expected u8"},
      {file_text("", ", \"x\": " + deep + std::string(deep.size(), ']')),
       "recursion limit exceeded"},
      {file_text(agent_text("ok") + ", " + agent_text("")),
       "Failed to register agent during load: Configuration error: Agent name cannot be empty"},
      {with("capabilities", "[]"),
       "Failed to register agent during load: Configuration error: Capabilities list cannot be "
       "empty"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(load_error(text), "serialization error: " + message) << text.substr(0, 200);
  }

  // Deep nesting anywhere, even unterminated, stops at the depth limit.
  std::string objects;
  for (int i = 0; i < 100'000; ++i) objects += "{\"a\":";
  for (const std::string& text :
       {file_text(agent_text("a", ", \"x\": " + objects)),
        file_text("", ", \"x\": " + objects + "1" + std::string(100'000, '}')),
        file_text("", ", \"x\": " + deep)}) {
    EXPECT_EQ(load_error(text), "serialization error: recursion limit exceeded");
  }
  EXPECT_EQ(load_error(R"({"version": 3, "agents": )" + deep),
            "serialization error: invalid type: sequence, expected struct AgentSnapshot");
  EXPECT_EQ(load_error(minhash(64, 255)), "<ok>");
  EXPECT_EQ(load_error(with("forwards_count", "18446744073709551615")), "<ok>");
  EXPECT_EQ(load_error(file_text("", ", \"x\": " + std::string(100, '[') + std::string(100, ']'))),
            "<ok>");
  EXPECT_EQ(load_error(R"({"version": 4, "agents": []})"),
            "unsupported snapshot version 4 (supported up to 3)");
  EXPECT_EQ(load_error("").rfind("serialization error: parse error at line 1", 0), 0u);
  EXPECT_EQ(load_error(file_text("") + " x").rfind("serialization error: parse error", 0), 0u);
  EXPECT_EQ(load_error(file_text("", ", \"x\": \"\xff\"")),
            "I/O error: stream did not contain valid UTF-8");
  auto absent = LocalNetwork::load(dir.file("absent.json"));
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().display(), "I/O error: No such file or directory (os error 2)");
}

TEST_F(StateFixture, LoadKeepsTheLastHundredFeedbackRecordsAndClosesCircuits) {
  // A hand-made file may hold more than the index keeps.
  std::string records;
  for (int i = 0; i < 150; ++i) {
    if (i > 0) records.push_back(',');
    records += R"({"query_minhash": [)" + number_list(64, [&](int) { return i; }) +
               R"(], "outcome": )" + (i % 2 ? "1.0" : "-1.0") + "}";
  }
  auto loaded =
      load_text(file_text(set_member(set_member(agent_text("a"), "consecutive_pulse_timeouts", "7"),
                                     "feedback", "[" + records + "]")));
  ASSERT_TRUE(loaded) << loaded.error();
  const AgentRecord& a = *loaded.value()->find("a");
  ASSERT_EQ(a.feedback.size(), 100u);
  for (std::size_t i = 0; i < 100; ++i) {
    EXPECT_EQ(a.feedback[i].query_signature[0], 50 + i);
    EXPECT_EQ(a.feedback[i].outcome, (50 + i) % 2 ? 1.0 : -1.0);
  }
  EXPECT_EQ(a.circuit.kind, CircuitState::Kind::Closed);
  EXPECT_EQ(a.consecutive_pulse_timeouts, 7);
  loaded.value()->record_failure("a", std::nullopt);
  EXPECT_EQ(loaded.value()->find("a")->circuit.kind, CircuitState::Kind::Open);
}

TEST_F(StateFixture, FailedSavesLeaveTargetAndDirectoryAsTheyWere) {
  reg("a", {"x"});
  EXPECT_EQ(error_text(net->save(dir.file("missing/state.json"))),
            "I/O error: No such file or directory (os error 2)");
  EXPECT_TRUE(dir.entries().empty());

  fs::create_directory(dir.file("target"));
  write_file(dir.file("target/keep"), "k");
  EXPECT_EQ(
      error_text(net->save(dir.file("target")))
          .rfind("I/O error: Failed to persist temp file: failed to persist temporary file: ", 0),
      0u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"target"});
  EXPECT_EQ(read_file(dir.file("target/keep")), "k");

  const std::string path = dir.file("state.json");
  write_file(path, "old");
  clock->set_wall(std::chrono::system_clock::time_point{-5s});
  EXPECT_EQ(error_text(net->save(path)),
            "serialization error: SystemTime must be later than UNIX_EPOCH");
  clock->set_wall(std::chrono::system_clock::time_point{5s});
  reg("bad\xff", {"x"});
  EXPECT_EQ(error_text(net->save(path)),
            "serialization error: invalid UTF-8 byte at index 3: 0xFF");
  EXPECT_EQ(read_file(path), "old");
  EXPECT_EQ((dir.entries()), (std::vector<std::string>{"state.json", "target"}));

  net->deregister("bad\xff");
  ASSERT_EQ(error_text(net->save(path)), "<ok>");
  EXPECT_EQ(nlohmann::json::parse(read_file(path))["agents"][0]["name"], "a");
  EXPECT_EQ((dir.entries()), (std::vector<std::string>{"state.json", "target"}));
}

TEST_F(StateFixture, ReplacingKeepsPermissionsAndNewFilesFollowTheUmask) {
  const auto mode_of = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  };
  const std::string path = dir.file("state.json");
  const mode_t old_mask = ::umask(022);
  ASSERT_EQ(error_text(net->save(path)), "<ok>");
  EXPECT_EQ(mode_of(path), 0644u);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(error_text(net->save(path)), "<ok>");
  EXPECT_EQ(mode_of(path), 0640u);
  ::umask(old_mask);
}

// A NUL inside a path used to end the name early at the system call: saving "x\0y" wrote
// the file "x", and loading read it.
TEST_F(StateFixture, PathWithNulIsRefusedNotTruncated) {
  reg("a", {"translate"});
  const std::string with_nul = dir.file("x") + std::string("\0y.json", 7);
  const std::string refused = "I/O error: file name contained an unexpected NUL byte";
  EXPECT_EQ(error_text(net->save(with_nul)), refused);
  EXPECT_TRUE(dir.entries().empty());
  ASSERT_EQ(error_text(net->save(dir.file("x"))), "<ok>");
  const auto loaded = LocalNetwork::load(with_nul);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().display(), refused);
}

// The parser's message quotes the bytes of the token it stopped at, which could end inside a
// multi-byte character; the host then failed to decode the error text.
TEST_F(StateFixture, ParseErrorInsideACharacterIsValidText) {
  const std::string message = load_error("{\"version\": 3, \"agents\": [\xc3\xa9]}");
  EXPECT_EQ(message.rfind("serialization error: ", 0), 0u) << message;
  EXPECT_NE(message.find("\xEF\xBF\xBD"), std::string::npos) << message;
  EXPECT_EQ(message.find("\xc3'"), std::string::npos) << message;
}

}  // namespace
}  // namespace kova
