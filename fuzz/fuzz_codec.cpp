// Decodes arbitrary bytes as a message record, from a copy and in place. What
// decodes must serialize to text that decodes again to the same text, whether
// the record was written unread (straight from its document) or after every
// field was read.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "tzdag/records.h"
#include "tzplatform/codec.h"

namespace {

// Reads every field that holds nested records, so that each record of the
// tree is filled from its document.
void ReadAll(CNMessageBase& record) {
  auto readList = [](CNMessageBase& owner, const tzdag::FieldId& field) {
    for (CNMessageBase& item : tzdag::GetList(owner, field)) ReadAll(item);
  };
  switch (record.getTagID()) {
    case Uvo::DAGDiscoverResp::kClassKey:
      readList(record, Uvo::DAGDiscoverResp::kDags);
      break;
    case Uvo::DAGSetup::kClassKey:
      readList(record, Uvo::DAGSetup::kMemberServers);
      break;
    case Uvo::DAGMemberServersResp::kClassKey:
      readList(record, Uvo::DAGMemberServersResp::kMemberServers);
      break;
    case Uvo::DAGDBResp::kClassKey:
      readList(record, Uvo::DAGDBResp::kDatabases);
      break;
    case Uvo::DAGMemberServer::kClassKey:
      tzdag::GetString(record, Uvo::DAGMemberServer::kServerName);
      break;
    case Uvo::DAGDB::kClassKey:
      tzdag::GetStringList(record, Uvo::DAGDB::kCopyServers);
      break;
    case CNSession::tzsExecuteRemoteCommandType::kClassKey:
      tzdag::GetString(record, CNSession::tzsExecuteRemoteCommandType::kArguments);
      break;
    case ProxyErrorMessage::kClassKey:
      tzdag::GetString(record, ProxyErrorMessage::kErrorText);
      break;
    default:
      FUZZ_CHECK(false, "unknown record kind");
  }
}

std::string Serialize(const CNMessageBase& record, bool pretty) {
  std::string text;
  record.serialize(text, pretty);
  return text;
}

std::string WithoutBlanks(const std::string& text) {
  std::string kept;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') kept += c;
  }
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();

  // Text given up is parsed in its own memory rather than in a copy: the
  // outcome is the same, to the offset of a problem and the record's text.
  const char* text = reinterpret_cast<const char*>(data);
  std::unique_ptr<CNMessageBase> first, inPlace;
  const tzplatform::DecodeResult decoded = tzplatform::DecodeMessage(text, size, first);
  const tzplatform::DecodeResult decodedInPlace =
      tzplatform::DecodeMessage(std::string(text, size), inPlace);
  FUZZ_CHECK(decoded.ok == decodedInPlace.ok && decoded.error == decodedInPlace.error &&
                 decoded.offset == decodedInPlace.offset,
             "decoding in place differs: " + decoded.error + " / " + decodedInPlace.error);
  if (!decoded.ok) return 0;
  const std::string unread = Serialize(*first, false);
  FUZZ_CHECK(Serialize(*inPlace, false) == unread,
             "a record decoded in place differs:\n" + unread + "\n" + Serialize(*inPlace, false));

  std::unique_ptr<CNMessageBase> second;
  tzplatform::DecodeResult again = tzplatform::DecodeMessage(unread, second);
  FUZZ_CHECK(again.ok, "serialized record does not decode: " + again.error + "\n" + unread);
  FUZZ_CHECK(Serialize(*second, false) == unread,
             "second serialization differs:\n" + unread + "\n" + Serialize(*second, false));

  // The same record after a copy and with every field read.
  CNMessageBase copy(*first);
  ReadAll(copy);
  FUZZ_CHECK(Serialize(copy, false) == unread,
             "read record serializes differently:\n" + unread + "\n" + Serialize(copy, false));

  // The indented form carries the same record. Its layout ends up inside
  // text that the record holds among its child elements (kept unknown text),
  // so the two are compared without blanks.
  std::unique_ptr<CNMessageBase> third;
  const std::string pretty = Serialize(copy, true);
  again = tzplatform::DecodeMessage(pretty, third);
  FUZZ_CHECK(again.ok, "indented record does not decode: " + again.error + "\n" + pretty);
  FUZZ_CHECK(
      WithoutBlanks(Serialize(*third, false)) == WithoutBlanks(unread),
      "indented record reads back differently:\n" + unread + "\n" + Serialize(*third, false));
  return 0;
}
