// The message codec on a database discovery answer of N databases with 16
// copy servers each, beside pugixml alone on the same bytes.
//
//   RawParse          pugixml parses the text as a reader of its tree would
//                     (the decoder's options, but text in nodes of its own)
//   RawParseEmbedded  pugixml parses the text with the decoder's own options
//   RawParseWalk      RawParse, and visits every attribute and text
//   Decode            DecodeMessage: parse and check; the records stay unread
//   DecodeReadAll     ... and every field of every database is read
//   RawPrint          pugixml writes the parsed document back (unformatted)
//   EncodeRead        serialize an answer whose every field was read
//   EncodeBuilt       serialize an answer built field by field (as the filters do)
//   DecodeReadAllEncode  decode, read every field, serialize
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include <pugixml.hpp>

#include "bench_support.h"
#include "codec/text.h"
#include "tzplatform/codec.h"

namespace {

constexpr int kCopies = 16;

const std::string& AnswerText(int databases) {
  tzbench::KeepFreedMemory();
  static std::string texts[3];
  int slot = databases <= 100 ? 0 : databases <= 1000 ? 1 : 2;
  if (texts[slot].empty()) texts[slot] = tzbench::DbAnswerXml(databases, kCopies, true);
  return texts[slot];
}

// Reads what a caller of the answer reads: every field of every database.
size_t ReadAll(const CNMessageBase& answer) {
  size_t touched = 0;
  for (const CNMessageBase& db : tzdag::GetList(answer, Uvo::DAGDBResp::kDatabases)) {
    touched += tzdag::GetString(db, Uvo::DAGDB::kDbName).size();
    touched += tzdag::GetString(db, Uvo::DAGDB::kBackupServer).size();
    for (const std::string& server : tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers)) {
      touched += server.size();
    }
    touched += static_cast<size_t>(tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging));
  }
  return touched;
}

std::unique_ptr<CNMessageBase> Decode(const std::string& text) {
  std::unique_ptr<CNMessageBase> record;
  tzplatform::DecodeResult result = tzplatform::DecodeMessage(text, record);
  tzbench::Require(result.ok, "the answer does not decode: " + result.error);
  return record;
}

void SetUp() {
  tzbench::KeepFreedMemory();
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();
}

void Finish(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.counters["databases"] = static_cast<double>(state.range(0));
}

// The reference: pugixml as a program that reads its tree calls it. The
// decoder has the text an element starts with kept in the element itself
// (fewer nodes); the reference keeps the tree it had before that.
constexpr unsigned kRawOptions = tzplatform::codec::kParseOptions & ~pugi::parse_embed_pcdata;

void RawParse(benchmark::State& state, unsigned options) {
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tzbench::Measured measured;
    pugi::xml_document document;
    pugi::xml_parse_result parsed =
        document.load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
    benchmark::DoNotOptimize(parsed.status);
  }
  Finish(state, text);
}

void BM_RawParse(benchmark::State& state) {
  RawParse(state, kRawOptions);
}

void BM_RawParseEmbedded(benchmark::State& state) {
  RawParse(state, tzplatform::codec::kParseOptions);
}

// Every attribute value and every text a reader of the answer would look at.
size_t Walk(pugi::xml_node node) {
  size_t touched = 0;
  for (pugi::xml_node db = node.first_child(); db; db = db.next_sibling()) {
    for (pugi::xml_attribute a = db.first_attribute(); a; a = a.next_attribute()) {
      touched += std::char_traits<char>::length(a.value());
    }
    for (pugi::xml_node copy = db.first_child(); copy; copy = copy.next_sibling()) {
      touched += std::char_traits<char>::length(copy.child_value());
    }
  }
  return touched;
}

void BM_RawParseWalk(benchmark::State& state) {
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tzbench::Measured measured;
    pugi::xml_document document;
    document.load_buffer(text.data(), text.size(), kRawOptions, pugi::encoding_utf8);
    benchmark::DoNotOptimize(Walk(document.document_element()));
  }
  Finish(state, text);
}

void BM_Decode(benchmark::State& state) {
  SetUp();
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tzbench::Measured measured;
    std::unique_ptr<CNMessageBase> record = Decode(text);
    benchmark::DoNotOptimize(record.get());
  }
  Finish(state, text);
}

void BM_DecodeReadAll(benchmark::State& state) {
  SetUp();
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tzbench::Measured measured;
    std::unique_ptr<CNMessageBase> record = Decode(text);
    benchmark::DoNotOptimize(ReadAll(*record));
  }
  Finish(state, text);
}

void BM_RawPrint(benchmark::State& state) {
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  pugi::xml_document document;
  document.load_buffer(text.data(), text.size(), kRawOptions, pugi::encoding_utf8);
  struct Append : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override {
      out.append(static_cast<const char*>(data), size);
    }
  };
  for (auto _ : state) {
    tzbench::Measured measured;
    Append writer;
    writer.out.reserve(text.size());
    document.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    benchmark::DoNotOptimize(writer.out.data());
  }
  Finish(state, text);
}

void Encode(benchmark::State& state, const CNMessageBase& record, const std::string& text) {
  for (auto _ : state) {
    tzbench::Measured measured;
    std::string out;
    record.serialize(out, false);
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, text);
}

void BM_EncodeRead(benchmark::State& state) {
  SetUp();
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  std::unique_ptr<CNMessageBase> record = Decode(text);
  ReadAll(*record);
  Encode(state, *record, text);
}

void BM_EncodeBuilt(benchmark::State& state) {
  SetUp();
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  std::unique_ptr<CNMessageBase> decoded = Decode(text);
  Uvo::DAGDBResp built;
  CNMessageList databases;
  for (const CNMessageBase& db : tzdag::GetList(*decoded, Uvo::DAGDBResp::kDatabases)) {
    Uvo::DAGDB record;
    record.setCopyServers(tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers));
    record.setBackupServer(tzdag::GetString(db, Uvo::DAGDB::kBackupServer));
    record.setDbName(tzdag::GetString(db, Uvo::DAGDB::kDbName));
    record.setCircularLogging(tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging) != 0);
    databases.push_back(std::move(record));
  }
  built.setDatabases(databases);
  Encode(state, built, text);
}

void BM_DecodeReadAllEncode(benchmark::State& state) {
  SetUp();
  const std::string& text = AnswerText(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tzbench::Measured measured;
    std::unique_ptr<CNMessageBase> record = Decode(text);
    benchmark::DoNotOptimize(ReadAll(*record));
    std::string out;
    record->serialize(out, false);
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, text);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(BM_RawParse)->Apply(Sizes);
BENCHMARK(BM_RawParseEmbedded)->Apply(Sizes);
BENCHMARK(BM_RawParseWalk)->Apply(Sizes);
BENCHMARK(BM_Decode)->Apply(Sizes);
BENCHMARK(BM_DecodeReadAll)->Apply(Sizes);
BENCHMARK(BM_RawPrint)->Apply(Sizes);
BENCHMARK(BM_EncodeRead)->Apply(Sizes);
BENCHMARK(BM_EncodeBuilt)->Apply(Sizes);
BENCHMARK(BM_DecodeReadAllEncode)->Apply(Sizes);
