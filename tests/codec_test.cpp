// The message codec: decoding untrusted text, the XML form, list and unknown
// field handling, registrations and accessor checks. (Arbitrary text that
// decodes reads back to itself: the fuzz_codec replay checks that.)
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <tzdag/records.h>
#include <tzplatform/codec.h>

#include "records_support.h"

namespace {

using tzplatform::DecodeMessage;
using tzplatform::DecodeResult;
using tztest::Decode;
using tztest::Xml;

std::string Repeat(const std::string& part, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += part;
  return text;
}

// A chain of unknown elements under a DAGDBResp, `levels` elements in all.
std::string NestedUnknown(int levels) {
  return "<DAGDBResp>" + Repeat("<x>", levels - 1) + Repeat("</x>", levels - 1) + "</DAGDBResp>";
}

TEST(Codec, BadTextIsAnErrorNamingWhatAndWhere) {
  Uvo::RegisterSubsystem();
  const std::string laughs =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n <!ENTITY lol \"lol\">\n"
      " <!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n]>\n"
      "<DAGDBResp><databases dbName=\"&lol2;\"/></DAGDBResp>";
  auto bad = [](int at, const char* what) {
    return "not well-formed XML at offset " + std::to_string(at) + ": " + what;
  };
  auto at = [](const char* what, int offset) {
    return std::string(what) + " (at offset " + std::to_string(offset) + ")";
  };
  const std::string deep = "elements nested deeper than 64 levels";
  const std::string outside = "text outside the record element";
  const std::string doctype = "document type declarations are not accepted";
  struct Case {
    std::string text;
    std::string error;  // the offset it names is the result's offset
  };
  // clang-format off
  std::vector<Case> cases = {
      {" \r\n\t ", "empty message: no XML text"},
      {"garbage", at(outside.c_str(), 0)},
      {"<DAGDBResp/>trailing", at(outside.c_str(), 12)},
      {"<DAGDBResp/><![CDATA[x]]>", at(outside.c_str(), 12)},
      {std::string("<DAGDBResp/>\0<b", 15), bad(12, "NUL byte in the text")},
      {"<DAGDBResp><databases dbName=\"x\">", bad(32, "Start-end tags mismatch")},
      {"<DAGDBResp", bad(9, "Error parsing start element tag")},
      {"<!-- nothing -->", "no record element in the text"},
      {"<databases dbName=\"x\"/>", "unknown record <databases>"},
      {"<DAGDBResp/><DAGDBResp/>",
       "more than one root element: <DAGDBResp> after <DAGDBResp> (at offset 12)"},
      {"<DAGDBResp/><?xml version=\"1.0\"?>",
       at("XML declaration after the start of the text", 12)},
      {laughs, at(doctype.c_str(), 22)},
      {"<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><DAGDBResp>&x;</DAGDBResp>",
       at(doctype.c_str(), 0)},
      {"<!DOCTYPE a [" + Repeat("<!x ", 100000),
       bad(400012, "Error parsing document type declaration")},
      {NestedUnknown(100000), at(deep.c_str(), 200)},
      {NestedUnknown(65), at(deep.c_str(), 200)},
      {"<DAGDiscoverResp><dags><memberServers>" + Repeat("<y>", 62) + Repeat("</y>", 62) +
       "</memberServers></dags></DAGDiscoverResp>", at(deep.c_str(), 221)},
      // Unknown elements kept beside known ones count their depth too.
      {"<DAGDBResp><databases dbName=\"a\"/><x>" + Repeat("<y a=\"1\">t</y>", 2) +
       Repeat("<z>", 63) + Repeat("</z>", 63) + "</x></DAGDBResp>", at(deep.c_str(), 251)},
      {"<DAGDBResp>" + Repeat("<x>", 100000), bad(300010, "Start-end tags mismatch")},
      {"<DAGDBResp><databases copyServers=\"0\" circularLogging=\"1\" dbName=\"a\" "
       "circularLogging=\"0\"/></DAGDBResp>",
       at("duplicate attribute circularLogging on <databases>", 11)},
      {"<DAGDBResp databases=\"0\"><databases/></DAGDBResp>",
       at("attribute databases=\"0\" of <DAGDBResp> marks an empty list, but the list has items",
          25)},
      {"<DAGDBResp databases=\"2\"/>",
       at("attribute databases of <DAGDBResp> marks an empty list and must be \"0\", not \"2\"", 0)},
      {"<DAGDBResp><databases><copyServers>A<b/></copyServers></databases></DAGDBResp>",
       at("list item <copyServers> has a child element; it may hold text only", 36)},
      {"<DAGDBResp><databases><copyServers a=\"1\">x</copyServers></databases></DAGDBResp>",
       at("list item <copyServers> has an attribute (a); it may hold text only", 22)},
  };
  // clang-format on
  // Integers are plain decimal 64-bit numbers and nothing else.
  for (const char* value : {"+1", " 1", "", "0x1", "true", "9223372036854775808"}) {
    cases.push_back({std::string("<DAGMemberServer uvoInstalled=\"") + value + "\"/>",
                     std::string("attribute uvoInstalled of <DAGMemberServer> is not a decimal "
                                 "64-bit integer: \"") +
                         value + "\" (at offset 0)"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 100));
    std::unique_ptr<CNMessageBase> message = std::make_unique<Uvo::DAGDB>();
    DecodeResult result = DecodeMessage(c.text, message);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, c.error);
    const size_t offset = c.error.find("offset ");
    if (offset != std::string::npos) {
      EXPECT_EQ(result.offset, std::stoul(c.error.substr(offset + 7)));
    }
    EXPECT_EQ(message, nullptr);
  }

  // The edges of what is allowed.
  for (const std::string& text :
       {NestedUnknown(64),
        std::string("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DAGDBResp/>\n\n"),
        std::string("<!-- a --><DAGDBResp><!-- b --></DAGDBResp><!-- c -->")}) {
    EXPECT_NE(Decode(text), nullptr) << text;
  }
  auto request = Decode(
      "<tzsExecuteRemoteCommandType commandType=\"-9223372036854775808\" "
      "options=\"9223372036854775807\" waitForCompletion=\"-0\"/>");
  ASSERT_NE(request, nullptr);
  using R = CNSession::tzsExecuteRemoteCommandType;
  EXPECT_EQ(tzdag::GetInt64(*request, R::kField1), INT64_MIN);
  EXPECT_EQ(tzdag::GetInt64(*request, R::kField5), INT64_MAX);
  EXPECT_EQ(tzdag::GetInt64(*request, R::kField4), 0);
}

TEST(Codec, WritesTheDocumentedXmlForm) {
  Uvo::DAGDB db;
  db.setDbName("First\\DB01");
  db.setBackupServer("MBX01");
  db.setCircularLogging(false);
  db.setCopyServers({"MBX01", "MBX02"});
  Uvo::DAGDBResp resp;
  resp.setDatabases({db});
  std::string pretty;
  resp.serialize(pretty, true);
  EXPECT_EQ(pretty,
            "<DAGDBResp>\n"
            "  <databases dbName=\"First\\DB01\" backupServer=\"MBX01\" circularLogging=\"0\">\n"
            "    <copyServers>MBX01</copyServers>\n"
            "    <copyServers>MBX02</copyServers>\n"
            "  </databases>\n"
            "</DAGDBResp>\n");

  // Markup characters, and blanks a parser would otherwise fold, are escaped.
  Uvo::DAGDB odd;
  odd.setDbName("a&b<c>\"d\"\te\nf\rg'");
  odd.setCopyServers({"x&y<z>\"\r\n", ""});
  EXPECT_EQ(Xml(odd),
            "<DAGDB dbName=\"a&amp;b&lt;c&gt;&quot;d&quot;&#9;e&#10;f&#13;g'\">"
            "<copyServers>x&amp;y&lt;z&gt;\"&#13;\n</copyServers><copyServers/></DAGDB>");

  std::string out = "previous content";
  ProxyErrorMessage().serialize(out, false);
  EXPECT_EQ(out, "<ProxyErrorMessage/>");
}

// Fields the schema lacks (attributes, an element named like a known
// attribute, a nested element between a list's items) survive decoding,
// copying, a list taken into another record, and a change of a known field;
// they are written after the known fields, in document order.
TEST(Codec, UnknownFieldsSurviveCopyAndSerialize) {
  const std::string inner =
      R"( backupServer="MBX02" circularLogging="0" mountedOn="MBX01" z="&lt;&amp;&quot;">)";
  const std::string replication =
      R"(<replication lag="5"><copy state="ok">done &amp; dusted</copy><copy/></replication>)";
  const std::string named = "<dbName>an element, not the attribute</dbName>";
  const std::string db = R"(<databases dbName="First\DB01")" + inner +
                         "<copyServers>MBX01</copyServers><copyServers>MBX02</copyServers>" +
                         replication + named + "</databases>";
  const std::string written =
      R"(<DAGDBResp requestId="77">)" + db + "<summary>2 databases</summary></DAGDBResp>";
  std::unique_ptr<CNMessageBase> received =
      Decode(R"(<DAGDBResp requestId="77"><databases dbName="First\DB01")" + inner +
             "<copyServers>MBX01</copyServers>" + replication + "<copyServers>MBX02</copyServers>" +
             named + "</databases><summary>2 databases</summary></DAGDBResp>");
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(Xml(*received), written);
  CNMessageBase copy(*received);
  received.reset();
  EXPECT_EQ(Xml(copy), written);

  Uvo::DAGDBResp answer;
  answer.setDatabases(tzdag::GetList(copy, Uvo::DAGDBResp::kDatabases));
  EXPECT_EQ(Xml(answer), "<DAGDBResp>" + db + "</DAGDBResp>");
  CNMessageBase& element = tzdag::GetList(answer, Uvo::DAGDBResp::kDatabases)[0];
  tzdag::SetString(element, Uvo::DAGDB::kBackupServer, "MBX01");
  std::string expected = "<DAGDB" + db.substr(10, db.size() - 10 - 12) + "</DAGDB>";
  expected.replace(expected.find("MBX02"), 5, "MBX01");
  EXPECT_EQ(Xml(CNMessageBase(element)), expected);
  EXPECT_EQ(tzdag::GetString(tzdag::GetList(copy, Uvo::DAGDBResp::kDatabases)[0],
                             Uvo::DAGDB::kBackupServer),
            "MBX02");
}

// A decoded record is written the same whether or not it was read since, in
// one order whatever the order of the text it came from.
TEST(Codec, DecodedRecordsAreWrittenInOneOrder) {
  struct Case {
    std::string text;
    std::string written;  // empty: the text itself
  };
  // clang-format off
  const Case cases[] = {
      {R"(<DAGDBResp><databases circularLogging="1" copyServers="0" dbName="a"/></DAGDBResp>)",
       R"(<DAGDBResp><databases dbName="a" copyServers="0" circularLogging="1"/></DAGDBResp>)"},
      {R"(<DAGMemberServer uvoInstalled="007"/>)", R"(<DAGMemberServer uvoInstalled="7"/>)"},
      {R"(<DAGMemberServer uvoInstalled="-10"/>)", ""},
      // A list interrupted by an unknown element goes on in order.
      {"<DAGDB><copyServers>A</copyServers><x/><copyServers>B</copyServers></DAGDB>",
       "<DAGDB><copyServers>A</copyServers><copyServers>B</copyServers><x/></DAGDB>"},
      // Lists of other lengths one after another, an empty one among them.
      {"<DAGDBResp><databases dbName=\"a\"><copyServers>1</copyServers></databases>"
       "<databases dbName=\"b\">" + Repeat("<copyServers>2</copyServers>", 5) + "</databases>"
       "<databases dbName=\"c\" copyServers=\"0\"/></DAGDBResp>", ""},
      {"<DAGDBResp>note<databases/></DAGDBResp>", "<DAGDBResp><databases/>note</DAGDBResp>"},
      {"<DAGDB><copyServers>a<![CDATA[<b>]]>c</copyServers></DAGDB>",
       "<DAGDB><copyServers>a&lt;b&gt;c</copyServers></DAGDB>"},
      {R"(<DAGDB dbName="a&#10;b&#9;c &amp; &lt;&#x41;&apos;"/>)",
       R"(<DAGDB dbName="a&#10;b&#9;c &amp; &lt;A'"/>)"},
      // Blanks only beside other nodes would be dropped once written.
      {"<DAGDB><x>&#9;<y/></x></DAGDB>", "<DAGDB><x><y/></x></DAGDB>"},
      {"<?xml version=\"1.0\"?>\n<DAGDiscoverResp>\n  <dags dagName=\"D\">\n"
       "    <memberServers uvoInstalled=\"1\" serverName=\"M\"/>\n  </dags>\n</DAGDiscoverResp>\n",
       R"(<DAGDiscoverResp><dags dagName="D"><memberServers serverName="M" uvoInstalled="1"/>)"
       "</dags></DAGDiscoverResp>"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string& written = c.written.empty() ? c.text : c.written;
    std::unique_ptr<CNMessageBase> unread = Decode(c.text);
    std::unique_ptr<CNMessageBase> read = Decode(c.text);
    ASSERT_TRUE(unread && read);
    tztest::Fields(*read);
    EXPECT_EQ(Xml(*unread), written);
    EXPECT_EQ(Xml(*read), written);
    EXPECT_EQ(Xml(CNMessageBase(*unread)), written);
  }
}

// Copies of one decoded answer share its text until read; each may be read
// and changed on its own thread, and they outlive the received message.
TEST(Codec, CopiesAreIndependentAndMovesLeaveAnEmptyShell) {
  std::string text = "<DAGDBResp>";
  for (int i = 0; i < 64; ++i) {
    text += "<databases dbName=\"DB" + std::to_string(i) + "\"><copyServers>A" + std::to_string(i) +
            "</copyServers></databases>";
  }
  std::unique_ptr<CNMessageBase> received = Decode(text + "</DAGDBResp>");
  ASSERT_NE(received, nullptr);
  std::vector<Uvo::DAGDBResp> answers(8);
  for (Uvo::DAGDBResp& answer : answers) {
    answer.setDatabases(tzdag::GetList(*received, Uvo::DAGDBResp::kDatabases));
  }
  received.reset();
  std::vector<std::thread> threads;
  for (size_t t = 0; t < answers.size(); ++t) {
    threads.emplace_back([&, t] {
      tzdag::SetString(answers[t].getDatabases()[t], Uvo::DAGDB::kBackupServer,
                       "B" + std::to_string(t));
      Xml(answers[t]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < answers.size(); ++t) {
    const CNMessageList& dbs = answers[t].getDatabases();
    ASSERT_EQ(dbs.size(), 64u);
    for (size_t i = 0; i < dbs.size(); ++i) {
      EXPECT_EQ(tzdag::GetString(dbs[i], Uvo::DAGDB::kBackupServer),
                i == t ? "B" + std::to_string(t) : "")
          << t << " " << i;
      EXPECT_EQ(tzdag::GetStringList(dbs[i], Uvo::DAGDB::kCopyServers),
                CNStringList{"A" + std::to_string(i)});
    }
  }

  // A record may take a list or a value from inside itself.
  Uvo::DAGDBResp copy(answers[0]);
  copy.setDatabases(copy.getDatabases());
  EXPECT_EQ(Xml(copy), Xml(answers[0]));
  CNMessageBase holder(copy);
  holder = tzdag::GetList(holder, Uvo::DAGDBResp::kDatabases)[1];
  EXPECT_EQ(Xml(holder), "<DAGDB dbName=\"DB1\"><copyServers>A1</copyServers></DAGDB>");

  CNMessageBase moved(std::move(copy));
  EXPECT_EQ(moved.getTagID(), Uvo::DAGDBResp::kClassKey);
  EXPECT_EQ(copy.getTagID(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_THROW(copy.getDatabases(), std::logic_error);
  static_cast<CNMessageBase&>(copy) = moved;  // a moved-from record can be assigned again
  EXPECT_EQ(Xml(copy), Xml(moved));
}

// A list setter replaces the whole list; a list set empty is written and
// reads back as set; a getter marks a list set only when asked to.
TEST(Codec, ListsAreReplacedWholeAndAnEmptySetListIsStillWritten) {
  Uvo::DAGDBResp resp;
  EXPECT_EQ(Xml(resp), "<DAGDBResp/>");
  EXPECT_FALSE(tzdag::IsSet(*Decode("<DAGDBResp/>"), Uvo::DAGDBResp::kDatabases));
  Uvo::DAGDB a, b;
  a.setDbName("A");
  b.setDbName("B");
  resp.setDatabases({a, b});
  resp.setDatabases({b});
  EXPECT_EQ(Xml(resp), "<DAGDBResp><databases dbName=\"B\"/></DAGDBResp>");
  resp.setDatabases({});
  EXPECT_EQ(Xml(resp), "<DAGDBResp databases=\"0\"/>");
  std::unique_ptr<CNMessageBase> decoded = Decode(Xml(resp));
  EXPECT_TRUE(tzdag::IsSet(*decoded, Uvo::DAGDBResp::kDatabases));
  EXPECT_TRUE(tzdag::GetList(*decoded, Uvo::DAGDBResp::kDatabases).empty());

  // The same for a string list, and one empty item is not an empty list.
  a.setCopyServers({});
  b.setCopyServers({""});
  resp.setDatabases({a, b});
  EXPECT_EQ(Xml(resp),
            "<DAGDBResp><databases dbName=\"A\" copyServers=\"0\"/>"
            "<databases dbName=\"B\"><copyServers/></databases></DAGDBResp>");
  decoded = Decode(Xml(resp));
  const CNMessageList& dbs = tzdag::GetList(*decoded, Uvo::DAGDBResp::kDatabases);
  ASSERT_EQ(dbs.size(), 2u);
  EXPECT_TRUE(tzdag::IsSet(dbs[0], Uvo::DAGDB::kCopyServers));
  EXPECT_EQ(tzdag::GetStringList(dbs[1], Uvo::DAGDB::kCopyServers), CNStringList{""});

  Uvo::DAGDBResp looked, marked;
  EXPECT_TRUE(looked.getlistobject(2, 2, looked.kClassKey, 2842603, false).empty());
  marked.getlistobject(2, 2, marked.kClassKey, 2842603, true);
  EXPECT_EQ(Xml(looked), "<DAGDBResp/>");
  EXPECT_EQ(Xml(marked), "<DAGDBResp databases=\"0\"/>");
  looked.getlistobject(2, 2, looked.kClassKey, 2842603, false).emplace_back(22, 59);
  EXPECT_EQ(Xml(looked), "<DAGDBResp><databases/></DAGDBResp>");
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
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if ((i + t) % 2 == 0) Uvo::RegisterSubsystem();
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

TEST(Codec, AccessorsNamingNoFieldOfTheRecordThrow) {
  using D = Uvo::DAGDB;
  const uint32_t k = D::kClassKey;
  Uvo::DAGDB db;
  const std::function<void()> calls[] = {
      [&] { db.getstring(1, 2, k, 9634460); },                         // wrong slot
      [&] { db.getstring(1, 1, Uvo::DAGSetup::kClassKey, 9634460); },  // another record's key
      [&] { db.getstringByRef(5, 14, k, 16287629); },                  // string accessor, integer
      [&] { db.setint64(1, 1, k, 9634460, 1); },                       // integer accessor, string
      [&] { db.getliststring(4, 13, k, 4438416 + 1, true); },
      [&] { db.setlistobject(4, 13, k, 4438416, {}); },  // object list on a string list
      [] { CNMessageBase(22, 99); },                     // no such record
      [] { Uvo::DAGDBResp().setDatabases({Uvo::DAGMemberServer()}); },  // wrong element kind
  };
  for (const std::function<void()>& call : calls) EXPECT_THROW(call(), std::invalid_argument);
  try {
    db.getstring(1, 1, k, 1);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "CNMessageBase::getstring: DAGDB (class key 0x16DCDD68) has no string field with "
                 "field 1, slot 1, class key 0x16DCDD68, field key 1");
  }
  EXPECT_EQ(Xml(db), "<DAGDB/>");  // nothing was written by the failed calls
}

}  // namespace
