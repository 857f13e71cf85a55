// The message codec: decoding untrusted text, the XML form, list and unknown
// field handling, registrations and accessor checks.
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

// A chain of unknown elements under a DAGDBResp: `levels` elements in all,
// the root included.
std::string NestedUnknown(int levels) {
  return "<DAGDBResp>" + Repeat("<x>", levels - 1) + Repeat("</x>", levels - 1) + "</DAGDBResp>";
}

TEST(Codec, BadTextIsAnErrorWithAClearText) {
  Uvo::RegisterSubsystem();
  const std::string billionLaughs =
      "<?xml version=\"1.0\"?>\n"
      "<!DOCTYPE lolz [\n"
      " <!ENTITY lol \"lol\">\n"
      " <!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n"
      " <!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">\n"
      " <!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">\n"
      "]>\n"
      "<DAGDBResp><databases dbName=\"&lol4;\"/></DAGDBResp>";
  const std::string deepBelowKnown = "<DAGDiscoverResp><dags><memberServers>" + Repeat("<y>", 62) +
                                     Repeat("</y>", 62) +
                                     "</memberServers></dags></DAGDiscoverResp>";
  const std::string deepBesideKnown = "<DAGDBResp><databases dbName=\"a\"/>" + Repeat("<x/>", 3) +
                                      "<x>" + Repeat("<y a=\"1\">t</y>", 2) + Repeat("<z>", 63) +
                                      Repeat("</z>", 63) + "</x></DAGDBResp>";
  auto bad = [](int offset, const char* what) {
    return "not well-formed XML at offset " + std::to_string(offset) + ": " + what;
  };
  auto deep = [](const char* offset) {
    return std::string("elements nested deeper than 64 levels (at offset ") + offset + ")";
  };
  auto doctype = [](const char* offset) {
    return std::string("document type declarations are not accepted (at offset ") + offset + ")";
  };
  auto outside = [](const char* offset) {
    return std::string("text outside the record element (at offset ") + offset + ")";
  };
  // The error names the offset that the result carries, where there is one.
  struct Case {
    std::string text;
    std::string error;
  };
  // clang-format off
  std::vector<Case> cases = {
      {"", "empty message: no XML text"},
      {" \r\n\t ", "empty message: no XML text"},
      {"garbage", outside("0")},
      {std::string("\x01\x02\xff\x00 <DAGDBResp/>", 17), bad(3, "NUL byte in the text")},
      {std::string("<DAGDBResp/>\0<b", 15), bad(12, "NUL byte in the text")},
      {"<DAGDBResp><databases dbName=\"x\">", bad(32, "Start-end tags mismatch")},
      {"<DAGDBResp><databases dbName=\"x", bad(30, "Error parsing element attribute")},
      {"<DAGDBResp", bad(9, "Error parsing start element tag")},
      {"<DAGDBResp></DAGDB>", bad(13, "Start-end tags mismatch")},
      {"<?xml version=\"1.0\"?>", "no record element in the text"},
      {"<!-- nothing -->", "no record element in the text"},
      {"<Foo a=\"1\"/>", "unknown record <Foo>"},
      {"<databases dbName=\"x\"/>", "unknown record <databases>"},
      {"<DAGDBResp/><DAGDBResp/>",
       "more than one root element: <DAGDBResp> after <DAGDBResp> (at offset 12)"},
      {"<DAGDBResp/>trailing", outside("12")},
      {"x<DAGDBResp/>", outside("0")},
      {"<DAGDBResp/><![CDATA[x]]>", outside("12")},
      {"<DAGDBResp/><", bad(12, "Could not determine tag type")},
      {"<DAGDBResp/><?xml version=\"1.0\"?>",
       "XML declaration after the start of the text (at offset 12)"},
      {billionLaughs, doctype("22")},
      {"<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><DAGDBResp>&x;</DAGDBResp>",
       doctype("0")},
      {"<!DOCTYPE DAGDBResp SYSTEM \"http://example.invalid/x.dtd\"><DAGDBResp/>", doctype("0")},
      {"<!DOCTYPE a [" + Repeat("<!x ", 100000),
       bad(400012, "Error parsing document type declaration")},
      {NestedUnknown(100000), deep("200")},
      {"<DAGDBResp>" + Repeat("<x>", 100000), bad(300010, "Start-end tags mismatch")},
      {NestedUnknown(65), deep("200")},
      {deepBelowKnown, deep("221")},
      {deepBesideKnown, deep("263")},
      {"<DAGDBResp><databases dbName=\"a\" dbName=\"b\"/></DAGDBResp>",
       "duplicate attribute dbName on <databases> (at offset 11)"},
      {"<DAGDBResp><databases copyServers=\"0\" circularLogging=\"1\" dbName=\"a\" "
       "circularLogging=\"0\"/></DAGDBResp>",
       "duplicate attribute circularLogging on <databases> (at offset 11)"},
      {"<DAGDBResp databases=\"0\"><databases/></DAGDBResp>",
       "attribute databases=\"0\" of <DAGDBResp> marks an empty list, but the list has items "
       "(at offset 25)"},
      {"<DAGDBResp databases=\"2\"/>",
       "attribute databases of <DAGDBResp> marks an empty list and must be \"0\", not \"2\" "
       "(at offset 0)"},
      {"<DAGDBResp><databases><copyServers>A<b/></copyServers></databases></DAGDBResp>",
       "list item <copyServers> has a child element; it may hold text only (at offset 36)"},
      {"<DAGDBResp><databases><copyServers a=\"1\">x</copyServers></databases></DAGDBResp>",
       "list item <copyServers> has an attribute (a); it may hold text only (at offset 22)"},
  };
  // clang-format on
  // Integers are plain decimal 64-bit numbers and nothing else.
  struct Integer {
    const char* element;
    const char* attribute;
    const char* value;
  };
  for (const Integer& i :
       {Integer{"databases", "circularLogging", "+1"},
        Integer{"DAGMemberServer", "uvoInstalled", " 1"},
        Integer{"DAGMemberServer", "uvoInstalled", "1 "},
        Integer{"DAGMemberServer", "uvoInstalled", ""},
        Integer{"DAGMemberServer", "uvoInstalled", "0x1"},
        Integer{"DAGMemberServer", "uvoInstalled", "true"},
        Integer{"tzsExecuteRemoteCommandType", "options", "9223372036854775808"},
        Integer{"tzsExecuteRemoteCommandType", "options", "-9223372036854775809"}}) {
    const bool inList = std::string(i.element) == "databases";
    std::string element =
        std::string("<") + i.element + " " + i.attribute + "=\"" + i.value + "\"/>";
    cases.push_back({inList ? "<DAGDBResp>" + element + "</DAGDBResp>" : element,
                     std::string("attribute ") + i.attribute + " of <" + i.element +
                         "> is not a decimal 64-bit integer: \"" + i.value + "\" (at offset " +
                         (inList ? "11)" : "0)")});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 100));
    std::unique_ptr<CNMessageBase> message = std::make_unique<Uvo::DAGDB>();
    DecodeResult result = DecodeMessage(c.text, message);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, c.error);
    const size_t at = c.error.find("offset ");
    if (at != std::string::npos) {
      EXPECT_EQ(result.offset, std::stoul(c.error.substr(at + 7)));
    }
    EXPECT_EQ(message, nullptr);
  }
}

TEST(Codec, AcceptsTheEdgesOfWhatIsAllowed) {
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"64 levels", NestedUnknown(64)},
      {"declaration and blanks",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DAGDBResp/>\n\n"},
      {"comments around", "<!-- a --><DAGDBResp><!-- b --></DAGDBResp><!-- c -->"},
      {"integer extremes",
       "<tzsExecuteRemoteCommandType commandType=\"-9223372036854775808\" "
       "options=\"9223372036854775807\" waitForCompletion=\"-0\"/>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<CNMessageBase> message = Decode(c.text);
    ASSERT_NE(message, nullptr);
  }
  auto request = Decode(cases[3].text);
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
  EXPECT_EQ(Xml(resp),
            "<DAGDBResp><databases dbName=\"First\\DB01\" backupServer=\"MBX01\" "
            "circularLogging=\"0\"><copyServers>MBX01</copyServers><copyServers>MBX02</"
            "copyServers></databases></DAGDBResp>");

  // Markup characters, and blanks a parser would otherwise fold, are escaped.
  Uvo::DAGDB odd;
  odd.setDbName("a&b<c>\"d\"\te\nf\rg'");
  odd.setCopyServers({"x&y<z>\"\r\n", ""});
  EXPECT_EQ(Xml(odd),
            "<DAGDB dbName=\"a&amp;b&lt;c&gt;&quot;d&quot;&#9;e&#10;f&#13;g'\">"
            "<copyServers>x&amp;y&lt;z&gt;\"&#13;\n</copyServers><copyServers/></DAGDB>");

  std::string out = "previous content";
  ProxyErrorMessage error;
  error.serialize(out, false);
  EXPECT_EQ(out, "<ProxyErrorMessage/>");
}

// A database with fields the schema lacks: attributes, an element named like
// a known attribute, a nested element between the list's items.
const std::string kUnknownDbInner =
    R"( backupServer="MBX02" circularLogging="0" mountedOn="MBX01" z="&lt;&amp;&quot;">)";
const std::string kReplication =
    R"(<replication lag="5"><copy state="ok">done &amp; dusted</copy><copy/></replication>)";
const std::string kElementNamedDbName = "<dbName>an element, not the attribute</dbName>";
const std::string kWithUnknowns =
    R"(<DAGDBResp requestId="77"><databases dbName="First\DB01")" + kUnknownDbInner +
    "<copyServers>MBX01</copyServers>" + kReplication + "<copyServers>MBX02</copyServers>" +
    kElementNamedDbName + "</databases><summary>2 databases</summary></DAGDBResp>";
// Unknown fields go after the known ones, each group in document order.
const std::string kDatabaseWritten = R"(<databases dbName="First\DB01")" + kUnknownDbInner +
                                     "<copyServers>MBX01</copyServers><copyServers>MBX02</"
                                     "copyServers>" +
                                     kReplication + kElementNamedDbName + "</databases>";
const std::string kWithUnknownsWritten = R"(<DAGDBResp requestId="77">)" + kDatabaseWritten +
                                         "<summary>2 databases</summary></DAGDBResp>";

TEST(Codec, UnknownFieldsSurviveCopyAndSerialize) {
  std::unique_ptr<CNMessageBase> received = Decode(kWithUnknowns);
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(Xml(*received), kWithUnknownsWritten);

  // The whole record copied, and its list copied into another record as a
  // receiving function does: the database keeps what the schema lacks.
  CNMessageBase copy(*received);
  received.reset();
  EXPECT_EQ(Xml(copy), kWithUnknownsWritten);

  Uvo::DAGDBResp answer;
  answer.setDatabases(tzdag::GetList(copy, Uvo::DAGDBResp::kDatabases));
  EXPECT_EQ(Xml(answer), "<DAGDBResp>" + kDatabaseWritten + "</DAGDBResp>");

  // A known field changed on the copied element leaves the unknown ones be.
  CNMessageBase& db = tzdag::GetList(answer, Uvo::DAGDBResp::kDatabases)[0];
  tzdag::SetString(db, Uvo::DAGDB::kBackupServer, "MBX01");
  CNMessageBase element(db);
  std::string elementText = Xml(element);
  std::string expected = kDatabaseWritten;
  expected.replace(expected.find("MBX02"), 5, "MBX01");  // the backup server
  expected = "<DAGDB" + expected.substr(10, expected.size() - 10 - 12) + "</DAGDB>";
  EXPECT_EQ(elementText, expected);
  EXPECT_EQ(Xml(*Decode(elementText)), elementText);
  EXPECT_EQ(tzdag::GetString(copy.getlistobject(2, 2, Uvo::DAGDBResp::kClassKey, 2842603)[0],
                             Uvo::DAGDB::kBackupServer),
            "MBX02");
}

// A decoded record is written the same whether or not it was read since,
// in one order whatever the order of the text it came from.
TEST(Codec, DecodedRecordsAreWrittenInOneOrder) {
  const std::string kOneMember =
      R"(<DAGDiscoverResp><dags dagName="D"><memberServers serverName="M" uvoInstalled="1"/>)"
      "</dags></DAGDiscoverResp>";
  struct Case {
    std::string text;
    std::string written;  // empty: the text itself
  };
  // clang-format off
  const Case cases[] = {
      {R"(<DAGDBResp><databases dbName="a" copyServers="0"/></DAGDBResp>)", ""},
      {R"(<DAGDBResp><databases circularLogging="1" copyServers="0" dbName="a"/></DAGDBResp>)",
       R"(<DAGDBResp><databases dbName="a" copyServers="0" circularLogging="1"/></DAGDBResp>)"},
      {R"(<DAGDB mountedOn="X" dbName="d"/>)", R"(<DAGDB dbName="d" mountedOn="X"/>)"},
      {R"(<DAGMemberServer uvoInstalled="007"/>)", R"(<DAGMemberServer uvoInstalled="7"/>)"},
      {R"(<DAGMemberServer uvoInstalled="-0"/>)", R"(<DAGMemberServer uvoInstalled="0"/>)"},
      {R"(<DAGMemberServer uvoInstalled="-10"/>)", ""},
      {"<DAGDB><x/><copyServers>A</copyServers></DAGDB>",
       "<DAGDB><copyServers>A</copyServers><x/></DAGDB>"},
      // A list interrupted by an unknown element goes on in order.
      {"<DAGDB><copyServers>A</copyServers><x/><copyServers>B</copyServers></DAGDB>",
       "<DAGDB><copyServers>A</copyServers><copyServers>B</copyServers><x/></DAGDB>"},
      // Lists of other lengths one after another, an empty one among them.
      {"<DAGDBResp><databases dbName=\"a\"><copyServers>1</copyServers></databases>"
       "<databases dbName=\"b\">" + Repeat("<copyServers>2</copyServers>", 5) + "</databases>"
       "<databases dbName=\"c\" copyServers=\"0\"/><databases dbName=\"d\">" +
       Repeat("<copyServers>3</copyServers>", 3) + "</databases></DAGDBResp>", ""},
      {R"(<DAGSetup><memberServers serverName="M"/><dagName>D</dagName>)"
       R"(<memberServers serverName="N"/></DAGSetup>)",
       R"(<DAGSetup><memberServers serverName="M"/><memberServers serverName="N"/>)"
       R"(<dagName>D</dagName></DAGSetup>)"},
      {"<DAGDBResp>note<databases/></DAGDBResp>", "<DAGDBResp><databases/>note</DAGDBResp>"},
      {"<DAGDB><copyServers>a<![CDATA[<b>]]>c</copyServers></DAGDB>",
       "<DAGDB><copyServers>a&lt;b&gt;c</copyServers></DAGDB>"},
      {"<DAGDB><copyServers><![CDATA[]]></copyServers></DAGDB>", "<DAGDB><copyServers/></DAGDB>"},
      {"<DAGDB><copyServers> </copyServers></DAGDB>", ""},
      {R"(<DAGDB dbName="a&#10;b&#9;c &amp; &lt;&#x41;&apos;"/>)",
       R"(<DAGDB dbName="a&#10;b&#9;c &amp; &lt;A'"/>)"},
      {R"(<DAGDB><x a="1&#10;2&#9;3&#13;4&apos;&quot;&lt;&gt;">t&#13;x&gt;</x>)"
       R"(<![CDATA[a]]b]]></DAGDB>)",
       R"(<DAGDB><x a="1&#10;2&#09;3&#13;4'&quot;&lt;>">t&#13;x&gt;</x><![CDATA[a]]b]]></DAGDB>)"},
      // Blanks only, beside other nodes: the parser would drop them once
      // written, so they are dropped at once and the text reads back to itself.
      {"<DAGDB><x>&#9;<y/></x></DAGDB>", "<DAGDB><x><y/></x></DAGDB>"},
      {"<DAGDB><x><![CDATA[a]]>&#32;</x></DAGDB>", "<DAGDB><x><![CDATA[a]]></x></DAGDB>"},
      {"<?xml version=\"1.0\"?>\n<DAGDiscoverResp>\n  <dags dagName=\"D\">\n"
       "    <memberServers serverName=\"M\" uvoInstalled=\"1\"/>\n  </dags>\n</DAGDiscoverResp>\n",
       kOneMember},
      {R"(<DAGDiscoverResp><dags dagName="D"><memberServers uvoInstalled="1" serverName="M"/>)"
       "</dags></DAGDiscoverResp>",
       kOneMember},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string& written = c.written.empty() ? c.text : c.written;
    std::unique_ptr<CNMessageBase> unread = Decode(c.text);
    ASSERT_NE(unread, nullptr);
    std::unique_ptr<CNMessageBase> read = Decode(c.text);
    CNMessageBase copy(*unread);
    tztest::Fields(*read);
    EXPECT_EQ(Xml(*unread), written);
    EXPECT_EQ(Xml(*read), written);
    EXPECT_EQ(Xml(copy), written);
    EXPECT_EQ(Xml(*Decode(written)), written);
    std::string prettyUnread, prettyRead;
    unread->serialize(prettyUnread, true);
    read->serialize(prettyRead, true);
    EXPECT_EQ(prettyUnread, prettyRead);
  }
}

// Copies of one decoded answer share its text until read; each copy may be
// read on its own thread, and the copies outlive the received message.
TEST(Codec, CopiesOfADecodedAnswerAreIndependent) {
  std::string text = "<DAGDBResp>";
  for (int i = 0; i < 64; ++i) {
    text += "<databases dbName=\"DB" + std::to_string(i) + "\" mountedOn=\"M\"><copyServers>A" +
            std::to_string(i) + "</copyServers></databases>";
  }
  text += "</DAGDBResp>";
  std::unique_ptr<CNMessageBase> received = Decode(text);
  ASSERT_NE(received, nullptr);
  std::vector<Uvo::DAGDBResp> answers(8);
  for (Uvo::DAGDBResp& answer : answers) {
    answer.setDatabases(tzdag::GetList(*received, Uvo::DAGDBResp::kDatabases));
  }
  received.reset();

  std::vector<std::string> written(answers.size());
  std::vector<std::thread> threads;
  for (size_t t = 0; t < answers.size(); ++t) {
    threads.emplace_back([&, t] {
      CNMessageList& dbs = answers[t].getDatabases();
      tzdag::SetString(dbs[t], Uvo::DAGDB::kBackupServer, "B" + std::to_string(t));
      written[t] = Xml(answers[t]);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < answers.size(); ++t) {
    SCOPED_TRACE(t);
    const CNMessageList& dbs = answers[t].getDatabases();
    ASSERT_EQ(dbs.size(), 64u);
    for (size_t i = 0; i < dbs.size(); ++i) {
      EXPECT_EQ(tzdag::GetString(dbs[i], Uvo::DAGDB::kBackupServer),
                i == t ? "B" + std::to_string(t) : "");
      EXPECT_EQ(tzdag::GetStringList(dbs[i], Uvo::DAGDB::kCopyServers),
                CNStringList{"A" + std::to_string(i)});
    }
    EXPECT_NE(written[t].find("<databases dbName=\"DB" + std::to_string(t) + "\" backupServer=\"B" +
                              std::to_string(t) + "\" mountedOn=\"M\">"),
              std::string::npos);
    EXPECT_EQ(written[t].size(), text.size() + std::string(" backupServer=\"B0\"").size());
  }
}

TEST(Codec, CopiesAreDeepAndMovesLeaveAnEmptyShell) {
  Uvo::DAGSetup dag;
  dag.setDagName("DAG01");
  Uvo::DAGMemberServer member;
  member.setServerName("MBX01");
  dag.setMemberServers({member});
  Uvo::DAGDiscoverResp original;
  original.setDags({dag});

  Uvo::DAGDiscoverResp copy(original);
  CNMessageBase& copiedDag = copy.getDags()[0];
  tzdag::SetString(tzdag::GetList(copiedDag, Uvo::DAGSetup::kMemberServers)[0],
                   Uvo::DAGMemberServer::kServerName, "MBX99");
  EXPECT_EQ(Xml(original),
            "<DAGDiscoverResp><dags dagName=\"DAG01\"><memberServers serverName=\"MBX01\"/>"
            "</dags></DAGDiscoverResp>");
  original = copy;
  EXPECT_EQ(Xml(original), Xml(copy));

  // A record may take a list or a value from inside itself.
  original.setDags(original.getDags());
  EXPECT_EQ(Xml(original), Xml(copy));
  CNMessageBase holder(dag);
  holder = tzdag::GetList(holder, Uvo::DAGSetup::kMemberServers)[0];
  EXPECT_EQ(Xml(holder), "<DAGMemberServer serverName=\"MBX01\"/>");

  CNMessageBase moved(std::move(copy));
  EXPECT_EQ(moved.getTagID(), Uvo::DAGDiscoverResp::kClassKey);
  EXPECT_EQ(copy.getTagID(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_THROW(copy.getDags(), std::logic_error);
  std::string text;
  EXPECT_THROW(copy.serialize(text, false), std::logic_error);
  static_cast<CNMessageBase&>(copy) = moved;  // a moved-from record can be assigned again
  EXPECT_EQ(Xml(copy), Xml(moved));
}

TEST(Codec, ListsAreReplacedWholeAndAnEmptySetListIsStillWritten) {
  Uvo::DAGDBResp resp;
  EXPECT_EQ(Xml(resp), "<DAGDBResp/>");  // unset: not written
  EXPECT_FALSE(tzdag::IsSet(*Decode("<DAGDBResp/>"), Uvo::DAGDBResp::kDatabases));

  Uvo::DAGDB a, b, c;
  a.setDbName("A");
  b.setDbName("B");
  c.setDbName("C");
  resp.setDatabases({a, b, c});
  resp.setDatabases({b});
  EXPECT_EQ(Xml(resp), "<DAGDBResp><databases dbName=\"B\"/></DAGDBResp>");

  // An empty answer clears what was there and reads back as set but empty.
  resp.setDatabases({});
  EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
  EXPECT_EQ(Xml(resp), "<DAGDBResp databases=\"0\"/>");
  std::unique_ptr<CNMessageBase> decoded = Decode(Xml(resp));
  EXPECT_TRUE(tzdag::IsSet(*decoded, Uvo::DAGDBResp::kDatabases));
  EXPECT_TRUE(tzdag::GetList(*decoded, Uvo::DAGDBResp::kDatabases).empty());
  EXPECT_EQ(Xml(*decoded), "<DAGDBResp databases=\"0\"/>");

  // The same for a string list inside an element, and for one item that is
  // an empty string, which is not an empty list.
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
  EXPECT_EQ(tzdag::GetStringList(dbs[0], Uvo::DAGDB::kCopyServers), CNStringList{});
  EXPECT_EQ(tzdag::GetStringList(dbs[1], Uvo::DAGDB::kCopyServers), CNStringList{""});
}

TEST(Codec, ListGettersMarkTheListSetOnlyWhenAsked) {
  using D = Uvo::DAGDB;
  struct Case {
    const char* name;
    std::function<void(Uvo::DAGDBResp&)> act;
    bool isSet;
    const char* written;
  } cases[] = {
      {"looked at, unmarked",
       [](Uvo::DAGDBResp& r) {
         EXPECT_TRUE(r.getlistobject(2, 2, r.kClassKey, 2842603, false).empty());
       },
       false, "<DAGDBResp/>"},
      {"looked at, marked",
       [](Uvo::DAGDBResp& r) { r.getlistobject(2, 2, r.kClassKey, 2842603, true); }, true,
       "<DAGDBResp databases=\"0\"/>"},
      {"filled through an unmarked getter",
       [](Uvo::DAGDBResp& r) {
         r.getlistobject(2, 2, r.kClassKey, 2842603, false).emplace_back(22, 59);
       },
       true, "<DAGDBResp><databases/></DAGDBResp>"},
      {"string list looked at, unmarked",
       [](Uvo::DAGDBResp& r) {
         Uvo::DAGDB db;
         EXPECT_TRUE(db.getliststring(4, 13, D::kClassKey, 4438416, false).empty());
         r.setDatabases({db});
       },
       true, "<DAGDBResp><databases/></DAGDBResp>"},
      {"string list looked at, marked",
       [](Uvo::DAGDBResp& r) {
         Uvo::DAGDB db;
         db.getliststring(4, 13, D::kClassKey, 4438416, true);
         r.setDatabases({db});
       },
       true, "<DAGDBResp><databases copyServers=\"0\"/></DAGDBResp>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Uvo::DAGDBResp resp;
    c.act(resp);
    EXPECT_EQ(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases), c.isSet);
    EXPECT_EQ(Xml(resp), c.written);
  }
}

TEST(Codec, RegistrationGatesDecodingAndToleratesConcurrentCalls) {
  const std::string uvo = "<DAGDBResp databases=\"0\"/>";
  const std::string gui = "<ProxyErrorMessage errorText=\"bad\"/>";
  const std::string session = "<tzsExecuteRemoteCommandType executable=\"PshimProxy.exe\"/>";
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    tzplatform::ResetRegistrationsForTest();
    std::unique_ptr<CNMessageBase> message;
    DecodeResult result = DecodeMessage(uvo, message);
    EXPECT_EQ(result.error, "record kind DAGDBResp is not registered");
    result = DecodeMessage(gui, message);
    EXPECT_EQ(result.error, "record kind ProxyErrorMessage is not registered");
    EXPECT_TRUE(DecodeMessage(session, message).ok);                    // the session's own family
    EXPECT_EQ(Uvo::DAGDBResp().getTagID(), Uvo::DAGDBResp::kClassKey);  // building needs none

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 200; ++i) {
          if ((i + t) % 2 == 0) {
            Uvo::RegisterSubsystem();
            TZGui::RegisterSubsystem();
          } else {
            TZGui::RegisterSubsystem();
            Uvo::RegisterSubsystem();
          }
          std::unique_ptr<CNMessageBase> decoded;
          if (!DecodeMessage(i % 2 ? uvo : gui, decoded).ok) ++failures;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(DecodeMessage(uvo, message).ok);
    EXPECT_EQ(message->getTagID(), Uvo::DAGDBResp::kClassKey);
    ASSERT_TRUE(DecodeMessage(gui, message).ok);
    EXPECT_EQ(message->getTagID(), ProxyErrorMessage::kClassKey);
  }
  // Only the family registered decodes.
  tzplatform::ResetRegistrationsForTest();
  TZGui::RegisterSubsystem();
  std::unique_ptr<CNMessageBase> message;
  EXPECT_TRUE(DecodeMessage(gui, message).ok);
  EXPECT_FALSE(DecodeMessage(uvo, message).ok);
  Uvo::RegisterSubsystem();
}

TEST(Codec, AccessorsNamingNoFieldOfTheRecordThrow) {
  using D = Uvo::DAGDB;
  const uint32_t k = D::kClassKey;
  Uvo::DAGDB db;
  const Uvo::DAGDB& cdb = db;
  struct Case {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"wrong field key", [&] { db.getstring(1, 1, k, 9634461); }},
      {"wrong slot", [&] { db.getstring(1, 2, k, 9634460); }},
      {"wrong field number", [&] { db.setstring(2, 1, k, 9634460, "x"); }},
      {"class key of another record",
       [&] { db.getstring(1, 1, Uvo::DAGSetup::kClassKey, 9634460); }},
      {"field of another record", [&] { tzdag::GetString(db, Uvo::DAGSetup::kDagName); }},
      {"field key of another record's list", [&] { db.getlistobject(2, 5, k, 1622572, false); }},
      {"string accessor on an integer", [&] { db.getstringByRef(5, 14, k, 16287629); }},
      {"integer accessor on a string", [&] { db.setint64(1, 1, k, 9634460, 1); }},
      {"getint64 wrong slot", [&] { db.getint64(13, k, 16287629); }},
      {"getint64 wrong key", [&] { db.getint64(14, k, 4438416); }},
      {"string list on an object field", [&] { db.getliststring(4, 13, k, 4438416 + 1, true); }},
      {"object list on a string list", [&] { cdb.getlistobject(4, 13, k, 4438416); }},
      {"set string list wrong key", [&] { db.setliststring(4, 13, k, 1, {}); }},
      {"set object list on a string list", [&] { db.setlistobject(4, 13, k, 4438416, {}); }},
      {"isset of nothing", [&] { db.isset(3, 3, k, 3); }},
      {"no such record", [] { CNMessageBase(22, 99); }},
      {"no such family", [] { CNMessageBase(7, 59); }},
      {"wrong element kind in a list",
       [] { Uvo::DAGDBResp().setDatabases({Uvo::DAGMemberServer()}); }},
      {"moved-from element in a list",
       [] {
         Uvo::DAGDB db;
         Uvo::DAGDB other(std::move(db));
         Uvo::DAGDBResp().setDatabases({db});  // NOLINT(bugprone-use-after-move)
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(c.call(), std::invalid_argument);
  }
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
