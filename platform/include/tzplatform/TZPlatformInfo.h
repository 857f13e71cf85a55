// The local machine as the platform sees it (tzplatform::SetPlatformIdentity).
#ifndef TZPLATFORM_TZPLATFORMINFO_H_
#define TZPLATFORM_TZPLATFORMINFO_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "tzplatform/export.h"

class TZPLATFORM_API TZPlatformInfo {
 public:
  TZPlatformInfo();
  ~TZPlatformInfo();

  // Bit 0 set: the machine is named by its core host client name.
  uint32_t getTZPlatformType();
  // Copies at most size - 1 bytes of the core host client name into buffer
  // and terminates it. 0 on success; non-zero (buffer untouched) when buffer
  // is null or size is 0.
  int getCorehostClientName(char* buffer, size_t size);
  std::string getPhysicalMachine();
};

#endif  // TZPLATFORM_TZPLATFORMINFO_H_
