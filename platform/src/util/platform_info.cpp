// The local machine as the platform settings describe it.
#include "tzplatform/TZPlatformInfo.h"

#include <cstring>

#include "tzplatform/faults.h"
#include "tzplatform/settings.h"

TZPlatformInfo::TZPlatformInfo() = default;
TZPlatformInfo::~TZPlatformInfo() = default;

uint32_t TZPlatformInfo::getTZPlatformType() {
  return tzplatform::GetPlatformIdentity().platformType;
}

int TZPlatformInfo::getCorehostClientName(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 1;
  if (int status = tzplatform::CheckFault("TZPlatformInfo::getCorehostClientName", "*")) {
    return status;
  }
  const std::string name = tzplatform::GetPlatformIdentity().corehostClientName;
  size_t length = name.size() < size - 1 ? name.size() : size - 1;
  std::memcpy(buffer, name.data(), length);
  buffer[length] = '\0';
  return 0;
}

std::string TZPlatformInfo::getPhysicalMachine() {
  return tzplatform::GetPlatformIdentity().physicalMachine;
}
