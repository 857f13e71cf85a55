// tzdag doctor and sync for monitoring systems, through the real binary: the
// plugin's answers and the metrics files as tables (monitoring.json), and
// the metrics read back as Prometheus reads them.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "store_support.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tool_cases.h"
#include "tzdag_runner.h"

namespace {

using nlohmann::json;

class MonitoringInvocation : public ::testing::TestWithParam<json> {};

TEST_P(MonitoringInvocation, PrintsExactlyThisExitsAndLeavesTheRest) {
  tztest::RunToolCase(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Monitoring, MonitoringInvocation,
    ::testing::ValuesIn(tztest::ToolData("monitoring.json")["cases"].get<std::vector<json>>()),
    tztest::ToolCaseName);

struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;  // unescaped
  double value = 0;
};

// A reading of Prometheus's text format of its own, strict where tzdag's
// files must be: each family's HELP and TYPE (a gauge) before its samples,
// names with the tzdag_ prefix and no _total (no family is a counter),
// label values escaped, values numbers. Adds a failure for each line that
// breaks a rule.
std::vector<Sample> ParseMetrics(const std::string& text) {
  static const std::regex help("# HELP (tzdag_[a-z_]+) [ -~]+");
  static const std::regex type("# TYPE (tzdag_[a-z_]+) gauge");
  static const std::regex sample("(tzdag_[a-z_]+)(\\{.*\\})? (-?[0-9]+(\\.[0-9]+)?)");
  static const std::regex label("([a-z_]+)=\"((\\\\[\\\\\"n]|[^\\\\\"\\n])*)\"(,|\\})");
  std::vector<Sample> samples;
  std::string helped, typed;
  std::vector<std::string> seen;
  size_t at = 0;
  EXPECT_TRUE(!text.empty() && text.back() == '\n');
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    std::smatch m;
    if (std::regex_match(line, m, help)) {
      EXPECT_EQ(std::count(seen.begin(), seen.end(), m[1].str()), 0) << "a family twice: " << line;
      seen.push_back(m[1]);
      helped = m[1];
      continue;
    }
    if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1].str(), helped) << line;
      typed = m[1];
      continue;
    }
    if (!std::regex_match(line, m, sample)) {
      ADD_FAILURE() << "not a line of the format: " << line;
      continue;
    }
    Sample s;
    s.name = m[1];
    s.value = std::stod(m[3]);
    EXPECT_EQ(s.name, typed) << "a sample outside its family: " << line;
    EXPECT_EQ(s.name.find("_total"), std::string::npos) << line;
    std::string labels = m[2].str();
    for (size_t l = 1; l < labels.size();) {
      std::smatch lm;
      const std::string rest = labels.substr(l);
      if (!std::regex_search(rest, lm, label, std::regex_constants::match_continuous)) {
        ADD_FAILURE() << "labels do not parse: " << line;
        break;
      }
      std::string value;
      const std::string raw = lm[2];
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
          ++i;
          value += raw[i] == 'n' ? '\n' : raw[i];
        } else {
          value += raw[i];
        }
      }
      EXPECT_TRUE(s.labels.emplace(lm[1], value).second) << "a label twice: " << line;
      l += static_cast<size_t>(lm[0].length());
    }
    samples.push_back(std::move(s));
  }
  return samples;
}

double ValueOf(const std::vector<Sample>& samples, const std::string& name,
               const std::map<std::string, std::string>& labels) {
  for (const Sample& s : samples) {
    if (s.name != name) continue;
    bool all = true;
    for (const auto& [key, value] : labels) {
      auto found = s.labels.find(key);
      all = all && found != s.labels.end() && found->second == value;
    }
    if (all) return s.value;
  }
  ADD_FAILURE() << "no sample " << name;
  return -1;
}

// The metrics of an all-well, a warning and a failing run of each command
// (a failing DAG client whose name holds what a label value must escape,
// and bytes that are not UTF-8) read back: by the parser above, which also
// gives back the name, and by promtool where it is installed.
TEST(MetricsFile, ReadsBackAsPrometheusReadsIt) {
  struct Run {
    const char* what;
    json patch;
    std::vector<std::string> args;
    int exit;
  };
  const json agentMissing = json::array(
      {{{"op", "replace"},
        {"path", "/store/clients/0/memberServers/1/agentInstalled"},
        {"value", false}},
       {{"op", "replace"}, {"path", "/store/clients/2/packages"}, {"value", json::array()}}});
  const json circularLogging = json::array(
      {{{"op", "add"}, {"path", "/remote/dags/0/databases/0/circularLogging"}, {"value", true}}});
  const json toolError = json::array(
      {{{"op", "add"}, {"path", "/remote/failures"}, {"value", {{"mbx01.test", "toolError"}}}}});
  const std::vector<std::string> doctor = {"doctor", "--orbal", "1", "--client", "2"};
  const std::vector<std::string> sync = {"sync", "--orbal", "1", "--all"};
  const std::vector<Run> runs = {
      {"doctor, all well", json::array(), doctor, 0},
      {"doctor, warning", circularLogging, doctor, 3},
      {"doctor, failing", agentMissing, doctor, 1},
      {"sync, all well", json::array(), sync, 0},
      {"sync, warning", circularLogging, sync, 3},
      {"sync, failing", toolError, sync, 1},
  };
  const bool promtool = std::filesystem::exists("/usr/bin/promtool");
  const long long started = static_cast<long long>(std::time(nullptr));
  for (const Run& run : runs) {
    SCOPED_TRACE(run.what);
    tztest::TestEnv env(tztest::ToolFixture("healthy").patch(run.patch));
    // Bytes the fixture cannot hold, as another program may have stored them.
    tztest::StoreSql(env.storePath(), "UPDATE clients SET name = CAST(X'" +
                                          std::string("444147FF2022303122205C207C0A78") +
                                          "' AS TEXT) WHERE id = 2");
    const std::string file = env.dir() + "/tzdag.prom";
    std::vector<std::string> args = run.args;
    args.insert(args.end(), {"--metrics", file});
    const tztest::ToolRun got = tztest::RunTzdagIn(env, args);
    ASSERT_EQ(got.exitCode, run.exit) << got.err;
    const std::string text = tztest::ReadFile(file);
    const std::vector<Sample> samples = ParseMetrics(text);
    const std::string command = run.args[0];
    const std::map<std::string, std::string> client = {
        {"installation", "1"}, {"client_id", "2"}, {"client", "DAG\xEF\xBF\xBD \"01\" \\ |\nx"}};
    const double last =
        ValueOf(samples, "tzdag_" + command + "_last_success_timestamp_seconds", client);
    if (run.exit == 1) {
      EXPECT_EQ(last, 0) << "never succeeded";
    } else {
      EXPECT_GE(last, started);
    }
    if (!promtool) continue;
    const tztest::ToolRun checked =
        tztest::RunProgram("/usr/bin/promtool", {"check", "metrics"}, text);
    EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err << text;
    EXPECT_EQ(checked.out + checked.err, "") << text;
  }
  if (!promtool) GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
}

}  // namespace
