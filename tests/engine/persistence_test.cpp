#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "network/network.hpp"

namespace kova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

std::string read_file(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}
void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}
std::string error_text(const std::optional<NetworkError>& error) {
  return error ? error->display() : "<ok>";
}

struct StateFixture : ::testing::Test {
  std::string root = [] {
    std::string pattern = (fs::temp_directory_path() / "kova_state_XXXXXX").string();
    return std::string(::mkdtemp(pattern.data()));
  }();
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  std::unique_ptr<LocalNetwork> net = LocalNetwork::create_default(clock);
  ~StateFixture() override { fs::remove_all(root); }
  std::string file(const std::string& name) const { return root + "/" + name; }
  Names entries() const {
    Names names;
    for (const auto& e : fs::directory_iterator(root)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Loads `text` as a state file: the engine, or null after reporting why.
  std::unique_ptr<LocalNetwork> load_text(const std::string& text) {
    write_file(file("in.json"), text);
    auto loaded = LocalNetwork::load(file("in.json"), clock);
    if (loaded) return std::move(loaded).value();
    ADD_FAILURE() << loaded.error().display();
    return nullptr;
  }
  std::string load_error(const std::string& text) {
    write_file(file("in.json"), text);
    auto loaded = LocalNetwork::load(file("in.json"), clock);
    return loaded ? "<ok>" : loaded.error().display();
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
// "v,v,...": `count` copies of `value`.
std::string number_list(int count, int value) {
  std::string out = std::to_string(value);
  for (int i = 1; i < count; ++i) out += "," + std::to_string(value);
  return out;
}
// Replaces the value of `member` (one without commas) in an object's text.
std::string set_member(std::string object, const std::string& member, const std::string& value) {
  const auto at = object.find("\"" + member + "\": ") + member.size() + 4;
  return object.replace(at, object.find_first_of(",}", at) - at, value);
}

TEST_F(StateFixture, EmptyAndSmallEnginesWriteTheExactDocument) {
  ASSERT_EQ(error_text(net->save(file("state.json"))), "<ok>");
  const std::string empty = read_file(file("state.json"));
  EXPECT_EQ(nlohmann::ordered_json::parse(empty).dump(2), empty);  // the library's own layout
  EXPECT_EQ(nlohmann::ordered_json::parse(empty).dump(),
            R"({"version":3,"agents":[],"network_epoch":{"secs_since_epoch":1700000000,)"
            R"("nanos_since_epoch":0},"cooccurrence_matrix":{},"cooccurrence_feedback_count":0})");
  EXPECT_EQ(entries(), Names{"state.json"});
  ASSERT_FALSE(net->register_agent("a", Names{"x y"}, "http://e", {{"k", "v"}}));
  ASSERT_FALSE(net->register_agent("b", Names{"z"}, {}, {}));
  net->find_mut("a")->tau = 0.25;
  net->find_mut("a")->forwards_count = 7;
  net->record_failure("b", "q");
  clock->advance(2500ms);
  safe_lock(net->cooccurrence_mutex(), "test")->replace({{"q", "x", 4}}, 12);
  ASSERT_EQ(error_text(net->save(file("state.json"))), "<ok>");
  const auto saved = nlohmann::ordered_json::parse(read_file(file("state.json")));
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
  std::size_t below(std::size_t n) { return rng() % n; }
  std::string text(std::size_t max_len) {
    static const Names pieces = {"a",          "Z",  "7",  " ",    ",",         "\"",
                                 "\\",         "\n", "\t", "\x01", "\u00e9",    "\u4e2d",
                                 "\U0001F600", "/",  "{",  "}",    "translate", "legal"};
    std::string out;
    for (std::size_t n = below(max_len + 1); n > 0; --n) out += pieces[below(pieces.size())];
    return out;
  }
  // Ordinary fractions, huge and tiny exponents, integers, 0.1, the largest, subnormals and,
  // where `finite` allows, infinities and NaN (written as null, read back as NaN).
  double number(bool finite = true) {
    const double kinds[] = {std::uniform_real_distribution<double>(0.001, 1.0)(rng),
                            std::ldexp(std::uniform_real_distribution<double>(1, 2)(rng),
                                       static_cast<int>(below(2000)) - 1000),
                            static_cast<double>(below(1000)),
                            0.1,
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::denorm_min() * (below(5) + 1.0),
                            std::numeric_limits<double>::infinity(),
                            std::nan("")};
    const double x = kinds[below(finite ? 6 : 8)];
    return below(2) ? x : -x;
  }
  std::unique_ptr<LocalNetwork> build(std::shared_ptr<const Clock> clock) {
    auto net = LocalNetwork::create_default(std::move(clock));
    for (std::size_t i = below(8); i > 0; --i) {
      std::string name = text(6) + std::to_string(i);
      Names caps;
      for (std::size_t c = below(3) + 1; c > 0; --c) caps.push_back(text(8));
      std::optional<std::string> endpoint;
      if (below(2)) endpoint = text(5);
      Metadata metadata;
      for (std::size_t m = below(3); m > 0; --m) metadata[text(3)] = text(4);
      EXPECT_FALSE(net->register_agent(name, caps, endpoint, metadata));
      AgentRecord& agent = *net->find_mut(name);
      agent.diameter = number(false);
      agent.tau = std::fmax(std::fabs(number()), 0.001);  // below the floor, a reload differs
      agent.sigma = number(false);
      agent.forwards_count = rng();
      agent.consecutive_pulse_timeouts = static_cast<std::uint8_t>(below(256));
      for (std::size_t f = below(130); f > 0; --f) {
        FeedbackRecord record;
        for (auto& byte : record.query_signature) byte = static_cast<std::uint8_t>(below(256));
        record.outcome = below(9) ? (below(2) ? 1.0 : -1.0) : std::nan("");
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

TEST_F(StateFixture, RandomEnginesSurviveSaveAndLoad) {
  RandomEngine random{std::mt19937_64(20240611)};
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    auto original = random.build(clock);
    original->record_success("nobody", std::nullopt);  // the exploration schedule is not kept
    ASSERT_EQ(error_text(original->save(file("state.json"))), "<ok>");
    const std::string text = read_file(file("state.json"));
    EXPECT_EQ(nlohmann::ordered_json::parse(text).dump(2), text);
    auto loaded = LocalNetwork::load(file("state.json"), clock);
    ASSERT_TRUE(loaded) << loaded.error().display();
    // With the clock standing still, the loaded engine writes the same file again: every
    // stored value came back. What is not stored starts afresh.
    ASSERT_EQ(error_text(loaded.value()->save(file("again.json"))), "<ok>");
    EXPECT_EQ(text, read_file(file("again.json")));
    const LocalNetwork& back = *loaded.value();
    ASSERT_EQ(original->agents(), back.agents());
    for (const auto& [name, b] : back.agent_table()) {
      for (std::size_t i = 0; i < b.feedback.size(); ++i)
        EXPECT_FALSE(b.feedback.candidates(b.feedback[i].query_signature).empty()) << name;
      EXPECT_EQ(b.conductance, 1.0);
      EXPECT_EQ(b.circuit.kind, CircuitState::Kind::Closed);
      EXPECT_EQ(b.last_activity, clock->monotonic_now());
      EXPECT_EQ(b.address, "local://" + name);
    }
    EXPECT_EQ(back.exploration_epsilon(), 0.8);
    EXPECT_EQ(back.feedback_epoch(), 0u);
    EXPECT_FALSE(back.with_replay_log([](const ReplayLog& log) { return log.enabled(); }));
  }
}

TEST_F(StateFixture, ReadingAcceptsAnyOrderUnknownMembersDefaultsAndNulls) {
  std::string minhash = "0";
  for (int i = 1; i < 64; ++i) minhash += "," + std::to_string(i * 4);
  auto loaded = load_text(
      R"({"cooccurrence_feedback_count": 11, "extra": {"deep": [1, {"x": null}]},)"
      R"( "agents": [{"feedback": [{"outcome": 1, "future": true, "query_minhash": [)" +
      minhash +
      R"(]}], "sigma": 0.1, "consecutive_pulse_timeouts": 2, "forwards_count": 3, "tau": 0,)"
      R"( "diameter": 5, "metadata": {"k": "v", "k": "w"}, "capabilities": ["c1", "c2"],)"
      R"( "unknown": "ignored", "name": "n"}], "cooccurrence_matrix": {"a,b,c": 2, "abc": 9,)"
      R"( "hi,,c1": 5, "q,x,c1": 3},)"
      R"( "version": 0})");
  ASSERT_TRUE(loaded);
  const AgentRecord& a = *loaded->find("n");
  EXPECT_EQ(a.capabilities, (Names{"c1", "c2"}));
  EXPECT_EQ(a.endpoint, std::nullopt);
  EXPECT_EQ(a.metadata, (Metadata{{"k", "w"}}));  // inside a map the last one wins
  EXPECT_EQ(a.diameter, 5.0);
  EXPECT_EQ(a.tau, 0.001);
  ASSERT_EQ(a.feedback.size(), 1u);
  EXPECT_EQ(a.feedback[0].query_signature[63], 252);
  const auto& expander = loaded->cooccurrence_mutex().unsafe_value();
  EXPECT_EQ(expander.feedback_count(), 11u);
  EXPECT_EQ(expander.size(), 3u);
  EXPECT_EQ(expander.count("a", "b,c"), 2u);
  // Query words holding commas: the first split that leaves a capability word wins.
  EXPECT_EQ(expander.count("hi,", "c1"), 5u);
  EXPECT_EQ(expander.count("q,x", "c1"), 3u);
  // Nulls, and more feedback than the index keeps: the last hundred stay. Loaded circuits
  // start closed, whatever count of timeouts the file carries.
  std::string records;
  for (int i = 0; i < 150; ++i) {
    records += std::string(i ? "," : "") + R"({"query_minhash": [)" + number_list(64, i) +
               R"(], "outcome": )" + (i % 2 ? "1.0" : "-1.0") + "}";
  }
  std::string agent = set_member(agent_text("b", R"(, "endpoint": "e")"), "tau", "null");
  agent = set_member(set_member(agent, "diameter", "null"), "consecutive_pulse_timeouts", "7");
  auto edited = load_text(file_text(set_member(agent, "feedback", "[" + records + "]")));
  ASSERT_TRUE(edited);
  const AgentRecord& b = *edited->find("b");
  EXPECT_EQ(b.tau, 0.001);
  EXPECT_TRUE(std::isnan(b.diameter));
  EXPECT_EQ(b.endpoint, std::optional<std::string>("e"));
  ASSERT_EQ(b.feedback.size(), 100u);
  for (std::size_t i = 0; i < 100; ++i) {
    EXPECT_EQ(b.feedback[i].query_signature[0], 50 + i);
    EXPECT_EQ(b.feedback[i].outcome, (50 + i) % 2 ? 1.0 : -1.0);
  }
  EXPECT_EQ(b.consecutive_pulse_timeouts, 7);
  edited->record_failure("b", std::nullopt);
  EXPECT_EQ(b.circuit.kind, CircuitState::Kind::Open);
}

TEST_F(StateFixture, RejectedFilesNameTheirFault) {
  const auto with = [](const std::string& member, const std::string& value) {
    return file_text(set_member(agent_text("a"), member, value));
  };
  const auto minhash = [&](int count, int value) {
    return with("feedback",
                "[{\"query_minhash\": [" + number_list(count, value) + "], \"outcome\": 1.0}]");
  };
  const auto epoch = [](const std::string& members) {
    return file_text("", R"(, "network_epoch": {)" + members + "}");
  };
  const std::string deep(100000, '['), ser = "serialization error: ";
  std::string objects;
  for (int i = 0; i < 100'000; ++i) objects += "{\"a\":";
  const std::string no_agent = ser + "Failed to register agent during load: Configuration error: ";
  const std::string cases[][2] = {
      {R"({"agents": []})", ser + "missing field `version`"},
      {R"({"version": 3})", ser + "missing field `agents`"},
      {R"({"version": 3, "version": 3, "agents": []})", ser + "duplicate field `version`"},
      {file_text(agent_text("a", R"(, "sigma": 1)")), ser + "duplicate field `sigma`"},
      {with("feedback", R"([{"outcome": 1.0}])"), ser + "missing field `query_minhash`"},
      {file_text(agent_text("a", R"(, "last_activity_duration": {"secs": 1})")),
       ser + "missing field `nanos`"},
      {epoch(R"("nanos_since_epoch": 1)"), ser + "missing field `secs_since_epoch`"},
      {epoch(R"("secs_since_epoch": 9223372036854775808, "nanos_since_epoch": 0)"),
       ser + "overflow deserializing SystemTime"},
      {with("forwards_count", "1.0"), ser + "invalid type: floating point `1.0`, expected u64"},
      {with("forwards_count", "-1"), ser + "invalid value: integer `-1`, expected u64"},
      {with("consecutive_pulse_timeouts", "256"),
       ser + "invalid value: integer `256`, expected u8"},
      {with("diameter", "\"1\""), ser + "invalid type: string \"1\", expected f64"},
      {with("metadata", R"({"k": 1})"), ser + "invalid type: integer `1`, expected a string"},
      {R"({"version": 4294967296, "agents": []})",
       ser + "invalid value: integer `4294967296`, expected u32"},
      {"[]", ser + "invalid type: sequence, expected struct NetworkSnapshot"},
      {minhash(63, 1), ser + "invalid length 63, expected an array of length 64"},
      {minhash(65, 1), ser + "invalid length 65, expected an array of length 64"},
      {minhash(64, 256), ser + "invalid value: integer `256`, expected u8"},
      // Deep nesting anywhere, even unterminated, stops at the depth limit.
      {file_text("", ", \"x\": " + deep + std::string(deep.size(), ']')),
       ser + "recursion limit exceeded"},
      {file_text(agent_text("a", ", \"x\": " + objects)), ser + "recursion limit exceeded"},
      {file_text("", ", \"x\": " + deep), ser + "recursion limit exceeded"},
      {R"({"version": 3, "agents": )" + deep,
       ser + "invalid type: sequence, expected struct AgentSnapshot"},
      {file_text(agent_text("ok") + ", " + agent_text("")),
       no_agent + "Agent name cannot be empty"},
      {with("capabilities", "[]"), no_agent + "Capabilities list cannot be empty"},
      {file_text(agent_text("a") + ", " + agent_text("a")), ser + "duplicate agent `a`"},
      {file_text("", R"(, "scorer": {"kind": "bm25", "kind": "tfidf"})"),
       ser + "duplicate field `kind`"},
      {R"({"version": 4, "agents": []})", "unsupported snapshot version 4 (supported up to 3)"},
      {file_text("", ", \"x\": \"\xff\""), "I/O error: stream did not contain valid UTF-8"},
      {minhash(64, 255), "<ok>"},
      {with("forwards_count", "18446744073709551615"), "<ok>"},
      {file_text("", ", \"x\": " + std::string(100, '[') + std::string(100, ']')), "<ok>"},
  };
  for (const auto& [text, message] : cases)
    EXPECT_EQ(load_error(text), message) << text.substr(0, 200);
  EXPECT_EQ(load_error("").rfind(ser + "parse error at line 1", 0), 0u);
  EXPECT_EQ(load_error(file_text("") + " x").rfind(ser + "parse error", 0), 0u);
  auto absent = LocalNetwork::load(file("absent.json"));
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().display(), "I/O error: No such file or directory (os error 2)");
  // The parser quotes the bytes of the token it stopped at, which could end inside a
  // multi-byte character; the message must still be valid text.
  const std::string message = load_error("{\"version\": 3, \"agents\": [\xc3\xa9]}");
  EXPECT_EQ(message.rfind(ser, 0), 0u) << message;
  EXPECT_NE(message.find("\xEF\xBF\xBD"), std::string::npos) << message;
  EXPECT_EQ(message.find("\xc3'"), std::string::npos) << message;
}

// New files follow the umask, replaced ones keep their permissions; a failed save leaves the
// target and its directory as they were.
TEST_F(StateFixture, SavesKeepPermissionsAndFailedSavesLeaveTargetAndDirectoryAsTheyWere) {
  const auto mode_of = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  };
  const mode_t old_mask = ::umask(022);
  ASSERT_FALSE(net->register_agent("a", Names{"x"}, {}, {}));
  EXPECT_EQ(error_text(net->save(file("missing/state.json"))),
            "I/O error: No such file or directory (os error 2)");
  EXPECT_TRUE(entries().empty());
  // A NUL inside a path used to end the name early at the system call.
  const std::string with_nul = file("x") + std::string("\0y.json", 7);
  const std::string refused = "I/O error: file name contained an unexpected NUL byte";
  EXPECT_EQ(error_text(net->save(with_nul)), refused);
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(error_text(net->save(file("x"), {{"agents", std::int64_t{1}}})),
            "serialization error: extra member `agents` is a member of the state");
  ASSERT_EQ(error_text(net->save(file("x"))), "<ok>");
  EXPECT_EQ(mode_of(file("x")), 0644u);
  const auto loaded = LocalNetwork::load(with_nul);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().display(), refused);
  fs::remove(file("x"));
  fs::create_directory(file("target"));
  write_file(file("target/keep"), "k");
  EXPECT_EQ(
      error_text(net->save(file("target")))
          .rfind("I/O error: Failed to persist temp file: failed to persist temporary file: ", 0),
      0u);
  EXPECT_EQ(entries(), Names{"target"});
  EXPECT_EQ(read_file(file("target/keep")), "k");
  const std::string path = file("state.json");
  write_file(path, "old");
  clock->set_wall(std::chrono::system_clock::time_point{-5s});
  EXPECT_EQ(error_text(net->save(path)),
            "serialization error: SystemTime must be later than UNIX_EPOCH");
  clock->set_wall(std::chrono::system_clock::time_point{5s});
  ASSERT_FALSE(net->register_agent("bad\xff", Names{"x"}, {}, {}));
  EXPECT_EQ(error_text(net->save(path)),
            "serialization error: invalid UTF-8 byte at index 3: 0xFF");
  EXPECT_EQ(read_file(path), "old");
  EXPECT_EQ(entries(), (Names{"state.json", "target"}));
  net->deregister("bad\xff");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(error_text(net->save(path)), "<ok>");
  EXPECT_EQ(mode_of(path), 0640u);
  if (::geteuid() == 0) {  // an administrator saving a user's file leaves it the user's
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(error_text(net->save(path)), "<ok>");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(uid_t{65534}, gid_t{65534}));
    EXPECT_EQ(mode_of(path), 0640u);
  }
  ::umask(old_mask);
  EXPECT_EQ(nlohmann::json::parse(read_file(path))["agents"][0]["name"], "a");
  EXPECT_EQ(entries(), (Names{"state.json", "target"}));
}

}  // namespace
}  // namespace kova
