// Decoding of message records from XML text, and the record-family
// registrations.
#ifndef TZPLATFORM_CODEC_H_
#define TZPLATFORM_CODEC_H_

#include <cstddef>
#include <memory>
#include <string>

#include "tzplatform/CNMessageBase.h"
#include "tzplatform/export.h"

namespace Uvo {
// Registers the Uvo record family (DAG discovery records) for decoding. May be
// called any number of times from any thread.
TZPLATFORM_API void RegisterSubsystem();
}  // namespace Uvo

namespace TZGui {
// Registers the TZGui record family (ProxyErrorMessage) for decoding. May be
// called any number of times from any thread.
TZPLATFORM_API void RegisterSubsystem();
}  // namespace TZGui

namespace tzplatform {

// Deepest element nesting a decoded record may have (its root is depth 1).
constexpr int kMaxDecodeDepth = 64;

struct DecodeResult {
  bool ok = false;
  std::string error;     // what is wrong, for people; empty when ok
  size_t offset = 0;     // byte offset of the problem when the text is not well-formed XML
};

// Decodes exactly one record of a registered kind. Never throws for bad
// input, never reads a DTD or an entity, and caps the nesting depth. On
// success `out` holds a newly allocated record; on failure it is reset.
TZPLATFORM_API DecodeResult DecodeMessage(const char* data, size_t size,
                                          std::unique_ptr<CNMessageBase>& out);
TZPLATFORM_API DecodeResult DecodeMessage(const std::string& text,
                                          std::unique_ptr<CNMessageBase>& out);
// The same for text the caller gives up: it is parsed in its own memory
// rather than in a copy, and left empty.
TZPLATFORM_API DecodeResult DecodeMessage(std::string&& text, std::unique_ptr<CNMessageBase>& out);

// Forgets every family registration (tests only).
TZPLATFORM_API void ResetRegistrationsForTest();

}  // namespace tzplatform

#endif  // TZPLATFORM_CODEC_H_
