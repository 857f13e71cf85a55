// Stored properties of clients and subclients.
//
// A property has a type, a name and the values of its kind. Types the store
// knows: 112 ExchangeDBProperty (a database content entry of a subclient),
// 125 DAGMemberServerProperty (a member server entry of a DAG client), 126
// DAGDBProperty (a database-to-server association of a subclient). Entries of
// any other type are plain ApplProperty values and are written back as they
// were read.
//
// Names: a member server entry is named after its server, an association
// carries the name it was built with, and a content entry is named by the
// store when it is added (unique among the properties of its owner), so that
// deleteProperty removes exactly that entry. A content entry built by the
// caller has an empty name until the store gives it one.
#ifndef TZPLATFORM_PROPERTIES_H_
#define TZPLATFORM_PROPERTIES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tzplatform/export.h"

// The store's shared no-value string.
extern TZPLATFORM_API const std::string no_value_prop;

class TZPLATFORM_API ApplProperty {
 public:
  // A property of any type; `value` is its stored value text.
  ApplProperty(int64_t type, const std::string& name, const std::string& value = std::string());
  virtual ~ApplProperty();

  int64_t getType() const { return type_; }
  std::string getName() const { return name_; }
  const std::string& getValue() const { return value_; }

  void setName(const std::string& name) { name_ = name; }  // used by the store
  virtual std::unique_ptr<ApplProperty> clone() const;

 protected:
  ApplProperty(const ApplProperty&) = default;
  ApplProperty& operator=(const ApplProperty&) = default;

 private:
  int64_t type_;
  std::string name_;
  std::string value_;
};

class TZPLATFORM_API ExchangeDBProperty : public ApplProperty {
 public:
  static constexpr int64_t kType = 112;

  // `storeName` becomes the store name and `description` the description.
  // `flag`, the two no-value strings and `number` are kept as the store's own.
  ExchangeDBProperty(const std::string& storeName, const std::string& description, bool flag,
                     const std::string& noValue1, const std::string& noValue2, const int& number);
  ExchangeDBProperty(const ExchangeDBProperty&) = default;

  const char* getDescription() const { return description_.c_str(); }
  const char* getStoreName() const { return storeName_.c_str(); }
  bool isForceFullOnNextBackup() const { return forceFull_; }
  void setForceFullOnNextBackup(bool value) { forceFull_ = value; }

  std::unique_ptr<ApplProperty> clone() const override;

 private:
  std::string storeName_;
  std::string description_;
  bool forceFull_ = false;
};

class TZPLATFORM_API DAGDBProperty : public ApplProperty {
 public:
  static constexpr int64_t kType = 126;

  DAGDBProperty(const std::string& name, const std::string& associatedServer);
  DAGDBProperty(const DAGDBProperty&) = default;

  std::string getAssociatedServer() const { return server_; }
  std::unique_ptr<ApplProperty> clone() const override;

 private:
  std::string server_;
};

class TZPLATFORM_API DAGMemberServerProperty : public ApplProperty {
 public:
  static constexpr int64_t kType = 125;

  DAGMemberServerProperty(const std::string& serverName, bool selectedForDAGClient,
                          bool exchDBuVOInstalled);
  DAGMemberServerProperty(const DAGMemberServerProperty&) = default;

  bool isExchDBuVOInstalled() const { return uvoInstalled_; }
  bool isSelectedForDAGClient() const { return selected_; }
  std::unique_ptr<ApplProperty> clone() const override;

 private:
  bool selected_;
  bool uvoInstalled_;
};

// An ordered list of properties; the list owns its entries.
class TZPLATFORM_API PropertiesList {
 public:
  class const_iterator {
   public:
    using Base = std::vector<std::unique_ptr<ApplProperty>>::const_iterator;
    using iterator_category = std::forward_iterator_tag;
    using value_type = ApplProperty*;
    using difference_type = std::ptrdiff_t;
    using pointer = ApplProperty* const*;
    using reference = ApplProperty*;

    explicit const_iterator(Base it) : it_(it) {}
    ApplProperty* operator*() const { return it_->get(); }
    const_iterator& operator++() {
      ++it_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++it_;
      return old;
    }
    bool operator==(const const_iterator& o) const { return it_ == o.it_; }
    bool operator!=(const const_iterator& o) const { return it_ != o.it_; }

   private:
    Base it_;
  };
  using iterator = const_iterator;

  PropertiesList();
  ~PropertiesList();
  PropertiesList(const PropertiesList&) = delete;
  PropertiesList& operator=(const PropertiesList&) = delete;
  PropertiesList(PropertiesList&&) noexcept;
  PropertiesList& operator=(PropertiesList&&) noexcept;

  const_iterator begin() const { return const_iterator(entries_.begin()); }
  const_iterator end() const { return const_iterator(entries_.end()); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear() { entries_.clear(); }

  // Stores a copy of `property` at the end of the list.
  void addToPropList(const ApplProperty& property);
  // Takes ownership of an entry (used by the store when it reads a list).
  void adopt(std::unique_ptr<ApplProperty> property);

 private:
  std::vector<std::unique_ptr<ApplProperty>> entries_;
};

#endif  // TZPLATFORM_PROPERTIES_H_
