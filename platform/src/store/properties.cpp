// Property values and lists of the configuration store.
#include "tzplatform/Properties.h"

const std::string no_value_prop;

ApplProperty::ApplProperty(int64_t type, const std::string& name, const std::string& value)
    : type_(type), name_(name), value_(value) {}

ApplProperty::~ApplProperty() = default;

std::unique_ptr<ApplProperty> ApplProperty::clone() const {
  return std::unique_ptr<ApplProperty>(new ApplProperty(*this));
}

ExchangeDBProperty::ExchangeDBProperty(const std::string& storeName, const std::string& description,
                                       bool /*flag*/, const std::string& /*noValue1*/,
                                       const std::string& /*noValue2*/, const int& /*number*/)
    : ApplProperty(kType, std::string()), storeName_(storeName), description_(description) {}

std::unique_ptr<ApplProperty> ExchangeDBProperty::clone() const {
  return std::make_unique<ExchangeDBProperty>(*this);
}

DAGDBProperty::DAGDBProperty(const std::string& name, const std::string& associatedServer)
    : ApplProperty(kType, name), server_(associatedServer) {}

std::unique_ptr<ApplProperty> DAGDBProperty::clone() const {
  return std::make_unique<DAGDBProperty>(*this);
}

DAGMemberServerProperty::DAGMemberServerProperty(const std::string& serverName,
                                                 bool selectedForDAGClient, bool exchDBuVOInstalled)
    : ApplProperty(kType, serverName),
      selected_(selectedForDAGClient),
      uvoInstalled_(exchDBuVOInstalled) {}

std::unique_ptr<ApplProperty> DAGMemberServerProperty::clone() const {
  return std::make_unique<DAGMemberServerProperty>(*this);
}

PropertiesList::PropertiesList() = default;
PropertiesList::~PropertiesList() = default;
PropertiesList::PropertiesList(PropertiesList&&) noexcept = default;
PropertiesList& PropertiesList::operator=(PropertiesList&&) noexcept = default;

void PropertiesList::addToPropList(const ApplProperty& property) {
  entries_.push_back(property.clone());
}

void PropertiesList::adopt(std::unique_ptr<ApplProperty> property) {
  if (property != nullptr) entries_.push_back(std::move(property));
}
