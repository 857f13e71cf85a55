// Applications (subclients) of the configuration store, named by
// (installation id, application id). Fault hook key: the decimal application id.
#ifndef TZPLATFORM_APPLICATIONID_H_
#define TZPLATFORM_APPLICATIONID_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tzplatform/Subclient.h"
#include "tzplatform/export.h"

class TZPLATFORM_API ApplicationType {
 public:
  explicit ApplicationType(uint64_t id = 0) : id_(id) {}
  uint64_t getApplicationTypeId() const { return id_; }

 private:
  uint64_t id_;
};

class TZPLATFORM_API BackupSet {
 public:
  explicit BackupSet(uint64_t id = 0) : id_(id) {}
  uint64_t getBackupSetId() const { return id_; }

 private:
  uint64_t id_;
};

class TZPLATFORM_API ApplicationId {
 public:
  ApplicationId(uint64_t orbalId, uint64_t appId);
  ~ApplicationId();
  ApplicationId(const ApplicationId&) = delete;
  ApplicationId& operator=(const ApplicationId&) = delete;

  // 0 when the pair names an application of the store; otherwise non-zero,
  // and getErrorString tells why.
  int getApplicationId(void* reserved);
  std::string getErrorString() const;

  // Id 0 when the application is unknown.
  ApplicationType getApplicationType(void* reserved);
  BackupSet getBackupSet(void* reserved);

  // The application's subclient, owned by this ApplicationId; null when the
  // application is unknown.
  MsExchangeSubclient* getSubclient(void* reserved);

 private:
  uint64_t orbalId_;
  uint64_t appId_;
  std::string error_;
  std::unique_ptr<MsExchangeSubclient> subclient_;
};

#endif  // TZPLATFORM_APPLICATIONID_H_
