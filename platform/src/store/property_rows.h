// Rows of the two property tables (client_properties, subclient_properties).
// The callers hold the transaction.
#ifndef TZPLATFORM_SRC_STORE_PROPERTY_ROWS_H_
#define TZPLATFORM_SRC_STORE_PROPERTY_ROWS_H_

#include <cstdint>
#include <string>

#include "store/connection.h"
#include "tzplatform/Properties.h"

namespace tzplatform {
namespace store {

// The owners of properties and where their properties are kept.
struct OwnerTable {
  const char* owners;       // table of the owners
  const char* properties;   // table of their properties
  const char* ownerColumn;  // column of `properties` naming the owner
};

extern const OwnerTable kClientOwner;
extern const OwnerTable kSubclientOwner;

bool OwnerExists(Connection& db, const OwnerTable& table, uint64_t owner);

// Appends the owner's properties to `list` in the store's order; each entry
// of a known type is an object of that type's class.
void ReadProperties(Connection& db, const OwnerTable& table, uint64_t owner, PropertiesList& list);

// Whether the store can write the property: an entry of a known type must be
// an object of that type's class.
bool IsWritable(const ApplProperty& property);

// Appends the property to the owner's list and returns the name it is stored
// under: a content entry gets a new name, unique in the store; any other
// entry keeps its own.
std::string AppendProperty(Connection& db, const OwnerTable& table, uint64_t owner,
                           const ApplProperty& property);

// Writes the property's values over the owner's stored properties of the same
// name and type; returns how many there were.
int UpdateProperty(Connection& db, const OwnerTable& table, uint64_t owner,
                   const ApplProperty& property);

// Removes the owner's properties of that name; returns how many there were.
int DeleteProperties(Connection& db, const OwnerTable& table, uint64_t owner,
                     const std::string& name);

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_PROPERTY_ROWS_H_
