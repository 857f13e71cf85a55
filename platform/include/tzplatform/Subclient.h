// Property owners of the configuration store: clients and subclients.
//
// Statuses: 0 on success; non-zero when the owner is not in the store or the
// store cannot be read or written. Every write is committed before the call
// returns. Fault hook keys: the decimal client id for ClientProperties, the
// decimal subclient id for subclient calls.
#ifndef TZPLATFORM_SUBCLIENT_H_
#define TZPLATFORM_SUBCLIENT_H_

#include <cstdint>
#include <string>

#include "tzplatform/Properties.h"
#include "tzplatform/export.h"

// Stored properties of one owner. Call names for fault hooks:
// "ApplProperties::getProperties", "ApplProperties::updateProperty",
// "ApplProperties::deleteProperty".
class TZPLATFORM_API ApplProperties {
 public:
  virtual ~ApplProperties();

  // Appends the owner's properties to `list` in the store's order.
  virtual int getProperties(PropertiesList& list, void* reserved);
  // Writes back the property of the same name and type.
  virtual int updateProperty(const ApplProperty& property, int reserved1, int reserved2);
  // Removes the owner's properties of that name; a name that is not there is
  // not an error.
  virtual int deleteProperty(const std::string& name, int reserved1, int reserved2);

 protected:
  enum class OwnerKind { kNone, kClient, kSubclient };
  ApplProperties();
  void setOwner(OwnerKind kind, uint64_t id) {
    ownerKind_ = kind;
    ownerId_ = id;
  }
  OwnerKind ownerKind() const { return ownerKind_; }
  uint64_t ownerId() const { return ownerId_; }

 private:
  OwnerKind ownerKind_ = OwnerKind::kNone;
  uint64_t ownerId_ = 0;
};

class TZPLATFORM_API ApplBackupContent {
 public:
  virtual ~ApplBackupContent();
};

// The properties of a client (member server entries of a DAG client).
class TZPLATFORM_API ClientProperties : public virtual ApplProperties {
 public:
  explicit ClientProperties(uint64_t clientId);
  ~ClientProperties() override;
};

class TZPLATFORM_API Subclient : public virtual ApplProperties, public virtual ApplBackupContent {
 public:
  Subclient();
  explicit Subclient(uint64_t subclientId);
  ~Subclient() override;

  int setSubclientId(uint64_t subclientId);
  uint64_t getSubclientId() const { return ownerId(); }

  int isDefaultSubclient(bool& isDefault, void* reserved);
  int isDeleted(bool& deleted, void* reserved);
  // Stores every property of the list, in one transaction; content entries
  // get their store names. Call name "Subclient::addProperties".
  int addProperties(PropertiesList& list, int reserved1, int reserved2);
};

class TZPLATFORM_API SubclientConf : public Subclient {
 public:
  SubclientConf();
  explicit SubclientConf(uint64_t subclientId);
  ~SubclientConf() override;
};

class TZPLATFORM_API MsSqlSubclient : public SubclientConf {
 public:
  MsSqlSubclient();
  explicit MsSqlSubclient(uint64_t subclientId);
  ~MsSqlSubclient() override;
};

class TZPLATFORM_API MsExchangeSubclient : public MsSqlSubclient {
 public:
  // `flag` is kept but changes nothing in the stand-in.
  MsExchangeSubclient(uint64_t subclientId, bool flag);
  ~MsExchangeSubclient() override;

  int isselectionTypeAutomatic(bool& automatic, void* reserved);
  int isDAGBackupFromPassiveCopySet(bool& set, void* reserved);
  int isDAGBackupFromActiveCopy(bool& set, void* reserved);
  int isDAGUseLastActivationPreferenceSet(bool& set, void* reserved);
};

#endif  // TZPLATFORM_SUBCLIENT_H_
