// The message codec: untrusted text refused with what and where, the XML form
// written, unknown fields kept, copies, lists and registrations. (Arbitrary
// text that decodes reads back to itself: the fuzz_codec replay checks that.)
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include <tzplatform/codec.h>

#include "platform_cases.h"
#include "records_support.h"

namespace {

using tzplatform::DecodeMessage;
using tztest::Decode;
using tztest::Xml;

TEST(Codec, BadTextIsAnErrorNamingWhatAndWhere) {
  Uvo::RegisterSubsystem();
  // Depth is bounded wherever unknown elements sit (beside known ones too).
  const nlohmann::json cases = tztest::PlatformCases("codec");
  for (const nlohmann::json& c : cases.at("refused")) {
    const std::string text = c["text"], error = c["error"];
    SCOPED_TRACE(text.substr(0, 100));
    // Text given up is parsed in its own memory, which the parse changes:
    // what is said about it must not.
    for (bool givenUp : {false, true}) {
      std::unique_ptr<CNMessageBase> message = std::make_unique<Uvo::DAGDB>();
      std::string copy = text;
      tzplatform::DecodeResult result =
          givenUp ? DecodeMessage(std::move(copy), message) : DecodeMessage(text, message);
      EXPECT_FALSE(result.ok);
      EXPECT_EQ(result.error, error);
      const size_t offset = error.find("offset ");
      if (offset != std::string::npos) {
        EXPECT_EQ(result.offset, std::stoul(error.substr(offset + 7)));
      }
      EXPECT_EQ(message, nullptr);
    }
  }

  EXPECT_NE(Decode(cases.at("deepest")), nullptr);
}

TEST(Codec, WritesEscapesForWhatAParserWouldChange) {
  Uvo::DAGDB odd;
  odd.setDbName("a&b<c>\"d\"\te\nf\rg'\u00e4");
  odd.setCopyServers({"x&y<z>\"\r\n", ""});
  EXPECT_EQ(Xml(odd),
            "<DAGDB dbName=\"a&amp;b&lt;c&gt;&quot;d&quot;&#9;e&#10;f&#13;g'\u00e4\">"
            "<copyServers>x&amp;y&lt;z&gt;\"&#13;\n</copyServers><copyServers/></DAGDB>");
  EXPECT_EQ(tztest::Fields(*Decode(Xml(odd))), tztest::Fields(odd));
}

// Fields the schema lacks (attributes, an element named like a known
// attribute, an element between a list's items) survive decoding, copying,
// a list taken into another record and a change of a known field; they are
// written after the known fields, in document order.
TEST(Codec, UnknownFieldsSurviveCopyAndSerialize) {
  const std::string unknown = "<r lag=\"5\">done &amp; dusted</r><dbName>an element</dbName>";
  const std::string db =
      "<databases dbName=\"D\" backupServer=\"M2\" mountedOn=\"M1\">"
      "<copyServers>M1</copyServers><copyServers>M2</copyServers>" +
      unknown + "</databases>";
  std::unique_ptr<CNMessageBase> received = Decode(
      "<DAGDBResp id=\"7\"><databases mountedOn=\"M1\" dbName=\"D\" backupServer=\"M2\">"
      "<copyServers>M1</copyServers><r lag=\"5\">done &amp; dusted</r>"
      "<copyServers>M2</copyServers><dbName>an element</dbName></databases><s>2</s></DAGDBResp>");
  ASSERT_NE(received, nullptr);
  CNMessageBase copy(*received);
  received.reset();
  EXPECT_EQ(Xml(copy), "<DAGDBResp id=\"7\">" + db + "<s>2</s></DAGDBResp>");

  Uvo::DAGDBResp answer;
  answer.setDatabases(tzdag::GetList(copy, Uvo::DAGDBResp::kDatabases));
  tzdag::SetString(answer.getDatabases()[0], Uvo::DAGDB::kBackupServer, "M1");
  EXPECT_EQ(Xml(answer.getDatabases()[0]),
            "<DAGDB dbName=\"D\" backupServer=\"M1\" mountedOn=\"M1\"><copyServers>M1</copyServers>"
            "<copyServers>M2</copyServers>" +
                unknown + "</DAGDB>");

  // Clearing forgets the record's own unknown content only: its items keep
  // theirs.
  copy.clearunknown();
  EXPECT_EQ(Xml(copy), "<DAGDBResp>" + db + "</DAGDBResp>");
  answer.getDatabases()[0].clearunknown();
  EXPECT_EQ(Xml(answer.getDatabases()[0]),
            "<DAGDB dbName=\"D\" backupServer=\"M1\"><copyServers>M1</copyServers>"
            "<copyServers>M2</copyServers></DAGDB>");
}

// A decoded record is written the same whether or not it was read since, in
// one order whatever the order of the text it came from.
TEST(Codec, DecodedRecordsAreWrittenInOneOrder) {
  const nlohmann::json cases = tztest::PlatformCases("codec");
  for (const nlohmann::json& c : cases.at("written")) {
    SCOPED_TRACE(c.dump());
    std::unique_ptr<CNMessageBase> unread = Decode(c["text"]);
    std::unique_ptr<CNMessageBase> read = Decode(c["text"]);
    std::unique_ptr<CNMessageBase> givenUp;
    std::string text = c["text"];
    EXPECT_TRUE(DecodeMessage(std::move(text), givenUp).ok);
    EXPECT_EQ(text, "");
    ASSERT_TRUE(unread && read && givenUp);
    tztest::Fields(*read);
    EXPECT_EQ(Xml(*unread), c["written"]);
    EXPECT_EQ(Xml(*read), c["written"]);
    EXPECT_EQ(Xml(*givenUp), c["written"]);
  }
}

// Copies of one decoded answer share its text until read; each may be read
// and changed on its own thread, and they outlive the received message.
TEST(Codec, CopiesAreIndependentAndOutliveTheirSource) {
  std::string text = "<DAGDBResp>";
  for (int i = 0; i < 8; ++i) text += "<databases dbName=\"DB" + std::to_string(i) + "\"/>";
  std::unique_ptr<CNMessageBase> received = Decode(text + "</DAGDBResp>");
  ASSERT_NE(received, nullptr);
  std::vector<Uvo::DAGDBResp> answers(4);
  for (Uvo::DAGDBResp& answer : answers)
    answer.setDatabases(tzdag::GetList(*received, Uvo::DAGDBResp::kDatabases));
  received.reset();
  std::vector<std::thread> threads;
  for (size_t t = 0; t < answers.size(); ++t)
    threads.emplace_back(
        [&, t] { tzdag::SetString(answers[t].getDatabases()[t], Uvo::DAGDB::kBackupServer, "B"); });
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < answers.size(); ++t) {
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(tzdag::GetString(answers[t].getDatabases()[i], Uvo::DAGDB::kBackupServer),
                i == t ? "B" : "")
          << t << " " << i;
  }

  // A record may take a list or a value from inside itself.
  CNMessageBase holder(answers[1]);
  holder = tzdag::GetList(holder, Uvo::DAGDBResp::kDatabases)[1];
  EXPECT_EQ(Xml(holder), "<DAGDB dbName=\"DB1\" backupServer=\"B\"/>");
  const tzdag::FieldId& copies = Uvo::DAGDB::kCopyServers;
  holder.setliststring(copies.field, copies.slot, copies.classKey, copies.fieldKey,
                       {"MBX01", "a server name too long to sit inside its string"});
  holder.setliststring(copies.field, copies.slot, copies.classKey, copies.fieldKey,
                       std::move(holder.getliststring(copies.field, copies.slot, copies.classKey,
                                                      copies.fieldKey, false)));
  EXPECT_EQ(Xml(holder),
            "<DAGDB dbName=\"DB1\" backupServer=\"B\"><copyServers>MBX01</copyServers>"
            "<copyServers>a server name too long to sit inside its string</copyServers></DAGDB>");
}

// A list setter replaces the whole list; a list set empty is written and
// reads back as set.
TEST(Codec, ListsAreReplacedWholeAndAnEmptySetListIsStillWritten) {
  Uvo::DAGDB a, b;
  a.setDbName("A");
  a.setCopyServers({});
  b.setCopyServers({""});
  Uvo::DAGDBResp resp;
  resp.setDatabases({b, b, b});
  resp.setDatabases({a, b});
  const std::string written =
      "<DAGDBResp><databases dbName=\"A\" copyServers=\"0\"/>"
      "<databases><copyServers/></databases></DAGDBResp>";
  EXPECT_EQ(Xml(resp), written);
  std::unique_ptr<CNMessageBase> decoded = Decode(written);
  EXPECT_EQ(tztest::Fields(*decoded),
            "{databases=[{db='A' backup=- copies=[] circular=-},{db=- backup=- copies=[''] "
            "circular=-}]}");
  resp.setDatabases({});
  EXPECT_EQ(Xml(resp), "<DAGDBResp databases=\"0\"/>");
  EXPECT_FALSE(tzdag::IsSet(*Decode("<DAGDBResp/>"), Uvo::DAGDBResp::kDatabases));
}

TEST(Codec, RegistrationGatesDecodingAndToleratesConcurrentCalls) {
  const std::string uvo = "<DAGDBResp databases=\"0\"/>";
  const std::string gui = "<ProxyErrorMessage errorText=\"bad\"/>";
  tzplatform::ResetRegistrationsForTest();
  std::unique_ptr<CNMessageBase> message;
  EXPECT_EQ(DecodeMessage(uvo, message).error, "record kind DAGDBResp is not registered");
  EXPECT_TRUE(DecodeMessage("<tzsExecuteRemoteCommandType/>", message).ok);  // the session's own
  TZGui::RegisterSubsystem();
  EXPECT_TRUE(DecodeMessage(gui, message).ok);
  EXPECT_FALSE(DecodeMessage(uvo, message).ok);  // only the family registered decodes

  tzplatform::ResetRegistrationsForTest();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        TZGui::RegisterSubsystem();
        Uvo::RegisterSubsystem();
        std::unique_ptr<CNMessageBase> decoded;
        if (!DecodeMessage(i % 2 ? uvo : gui, decoded).ok) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
