// tzdag's CSV and TSV read back by a program: every name, whatever it holds,
// comes back as the store or the discovery tool gave it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_env.h"
#include "tzdag_runner.h"

namespace {

using nlohmann::json;
using Records = std::vector<std::vector<std::string>>;

// RFC 4180, strictly: CRLF after every record, quotes only around a whole
// field. A fault fails the test and gives what was read so far.
Records ParseCsv(const std::string& text) {
  Records records(1, std::vector<std::string>(1));
  size_t i = 0;
  while (i < text.size()) {
    std::string& field = records.back().back();
    if (text[i] == '"' && field.empty()) {
      for (++i;; ++i) {
        if (i >= text.size()) {
          ADD_FAILURE() << "a quoted field does not end";
          return records;
        }
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        field += text[i];
      }
    } else if (text[i] == ',') {
      records.back().emplace_back();
      ++i;
    } else if (text.compare(i, 2, "\r\n") == 0) {
      i += 2;
      if (i < text.size()) records.emplace_back(1);
    } else if (text[i] == '"' || text[i] == '\r' || text[i] == '\n') {
      ADD_FAILURE() << "unquoted quote or line end at byte " << i;
      return records;
    } else {
      field += text[i++];
    }
  }
  EXPECT_TRUE(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0);
  return records;
}

// A header and records a line each, fields split at tabs, the escapes of
// tab, line feed, carriage return and backslash read back; any other
// backslash is a fault.
Records ParseTsv(const std::string& text) {
  Records records;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    EXPECT_NE(end, std::string::npos) << "the last line does not end";
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    records.emplace_back(1);
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\t') {
        records.back().emplace_back();
      } else if (line[i] == '\\' && i + 1 < line.size()) {
        const char escaped = line[++i];
        const std::string known = "tnr\\";
        EXPECT_NE(known.find(escaped), std::string::npos) << "\\" << escaped;
        records.back().back() += "\t\n\r\\"[known.find(escaped) % 4];
      } else {
        EXPECT_NE(line[i], '\\') << "a backslash ends the line";
        records.back().back() += line[i];
      }
    }
  }
  return records;
}

// A list cell: names split at the spaces that no backslash escapes.
std::vector<std::string> SplitList(const std::string& cell) {
  std::vector<std::string> names(1);
  for (size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] == '\\' && i + 1 < cell.size()) {
      names.back() += cell[++i];
    } else if (cell[i] == ' ') {
      names.emplace_back();
    } else {
      names.back() += cell[i];
    }
  }
  return cell.empty() ? std::vector<std::string>() : names;
}

Records Parsed(const std::string& format, const std::string& text) {
  return format == "csv" ? ParseCsv(text) : ParseTsv(text);
}

const std::string kServer = "MBX 03\\x";  // a member server with a blank and a backslash

// Database and subclient names with every character CSV or TSV must carry.
const std::vector<std::string> kNames = {"Sales, EMEA\\DB \"01\"",
                                         "Tab\there\\DB",
                                         "Back\\\\slash\\",
                                         "Line\nbreak\r\nDB",
                                         "\xC3\x9Cn\xC3\xAF\\\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF",
                                         " lead,trail ",
                                         "\"",
                                         "\\t"};

json FixtureWithNames() {
  json fixture = tztest::DemoFixture();
  json& dag = fixture["remote"]["dags"][0];
  for (const std::string& name : kNames) {
    dag["databases"].push_back(
        {{"name", name},
         {"circularLogging", false},
         {"copies", {{{"server", "MBX02"}, {"active", true}}, {{"server", "MBX03"}}}}});
  }
  // MBX03, selected and without the agent, takes a name that needs escapes.
  fixture["store"]["clients"][0]["memberServers"][2]["name"] = kServer;
  dag["members"][2]["name"] = kServer;
  for (json& db : dag["databases"]) {
    for (json& copy : db["copies"]) {
      if (copy["server"] == "MBX03") copy["server"] = kServer;
    }
  }
  fixture["store"]["subclients"][1]["name"] = kNames[0];
  fixture["store"]["subclients"][2]["name"] = kNames[3];
  fixture["store"]["subclients"][3]["name"] = kNames[4];
  return fixture;
}

TEST(ToolFormats, CsvAndTsvGiveEveryNameBackAsItIs) {
  tztest::TestEnv env(FixtureWithNames());
  const std::vector<std::string> discover = {"discover-dbs", "--orbal", "1", "--client", "2"};
  const std::vector<std::string> subclients = {"subclients", "--client", "2"};
  auto answer = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return json::parse(tztest::RunTzdagIn(env, args).out);
  };
  const json databases = answer(discover)["databases"];
  const json subclientList = answer(subclients)["subclients"];
  ASSERT_EQ(databases.size(), 4 + kNames.size());

  for (const std::string format : {"csv", "tsv"}) {
    SCOPED_TRACE(format);
    std::vector<std::string> args = discover;
    args.insert(args.end(), {"--format", format});
    tztest::ToolRun run = tztest::RunTzdagIn(env, args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    Records records = Parsed(format, run.out);
    ASSERT_EQ(records.size(), databases.size() + 1) << run.out;
    EXPECT_EQ(records[0], (std::vector<std::string>{"DATABASE", "BACKUP SERVER", "COPY SERVERS",
                                                    "CIRCULAR LOGGING"}));
    for (size_t i = 0; i < databases.size(); ++i) {
      const json& db = databases[i];
      ASSERT_EQ(records[i + 1].size(), 4u) << i;
      EXPECT_EQ(records[i + 1][0], db["dbName"]);
      EXPECT_EQ(records[i + 1][1], db["backupServer"]);
      EXPECT_EQ(json(SplitList(records[i + 1][2])), db["copyServers"]);
      EXPECT_EQ(records[i + 1][3], db["circularLogging"] == 1 ? "yes" : "no");
      if (i >= 4) {
        EXPECT_EQ(records[i + 1][0], kNames[i - 4]);
        EXPECT_EQ(SplitList(records[i + 1][2]), (std::vector<std::string>{"MBX02", kServer}));
      }
    }

    args = subclients;
    args.insert(args.begin(), {"--format", format});
    run = tztest::RunTzdagIn(env, args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    records = Parsed(format, run.out);
    ASSERT_EQ(records.size(), subclientList.size() + 1) << run.out;
    for (size_t i = 0; i < subclientList.size(); ++i) {
      EXPECT_EQ(records[i + 1][1], subclientList[i]["name"]);
    }
    EXPECT_EQ(records[2][1], kNames[0]);
    EXPECT_EQ(records[3][1], kNames[3]);
    EXPECT_EQ(records[4][1], kNames[4]);
  }
}

// Bytes that are not UTF-8 are written as the JSON answer writes them:
// each broken sequence as U+FFFD.
TEST(ToolFormats, BytesThatAreNotUtf8AreWrittenAsTheJsonAnswerWritesThem) {
  tztest::TestEnv env(tztest::DemoFixture());
  env.InstallTool("mbx02.corp.example",
                  "#!/bin/sh\ncat <<'END'\n<DAGDBResp><databases dbName=\"Bad\xFF\xFE\\DB\xC3\" "
                  "backupServer=\"MBX01\" circularLogging=\"0\"><copyServers>MBX01</copyServers>"
                  "</databases></DAGDBResp>\nEND\n");
  const std::string shown = "Bad\xEF\xBF\xBD\xEF\xBF\xBD\\DB\xEF\xBF\xBD";
  const tztest::ToolRun asJson =
      tztest::RunTzdagIn(env, {"--json", "discover-dbs", "--orbal", "1", "--client", "2"});
  ASSERT_EQ(asJson.exitCode, 0) << asJson.err;
  EXPECT_EQ(json::parse(asJson.out)["databases"][0]["dbName"], shown);
  for (const std::string format : {"csv", "tsv"}) {
    const tztest::ToolRun run = tztest::RunTzdagIn(
        env, {"--format", format, "discover-dbs", "--orbal", "1", "--client", "2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Records records = Parsed(format, run.out);
    ASSERT_EQ(records.size(), 2u) << run.out;
    EXPECT_EQ(records[1][0], shown) << format;
  }
}

}  // namespace
