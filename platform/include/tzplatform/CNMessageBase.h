// The message base of the product's XML message family.
//
// A record is identified by the (family, index) pair it is constructed with,
// which the codec maps to a 32-bit class key (getTagID). Its fields are kept
// by (field number, slot, class key, field key) as the record kinds' schemas
// fix them; an accessor whose four numbers name no field of the record's
// kind throws std::invalid_argument (a programming error, never input).
// Attributes and child elements of a decoded record that its schema does not
// know are kept and written back unchanged by copy and serialize.
//
// XML form: one element per record named after the record kind; string and
// int64 fields as attributes; each item of a list field as a child element
// named after the field (a string-list item carries its text, an object-list
// item is the element record itself):
//
//   <DAGDBResp>
//     <databases dbName="First\DB01" backupServer="MBX01" circularLogging="0">
//       <copyServers>MBX01</copyServers>
//     </databases>
//   </DAGDBResp>
//
// A list that is set but empty is written as an attribute named after the
// list with the value "0" (<DAGDBResp databases="0"/>) so that it reads back
// as set; an unset list is not written. Fields are written in schema order,
// then unknown attributes and child nodes, each group in the order read.
//
// A record is a value: copies are deep and independent. Distinct records may
// be used from different threads at once; one record is not synchronised.
#ifndef TZPLATFORM_CNMESSAGEBASE_H_
#define TZPLATFORM_CNMESSAGEBASE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tzplatform/export.h"

class CNMessageBase;
using CNMessageList = std::vector<CNMessageBase>;
using CNStringList = std::vector<std::string>;

class TZPLATFORM_API CNMessageBase {
 public:
  // Throws std::invalid_argument when no record kind has this pair.
  CNMessageBase(int family, int index);
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase(CNMessageBase&& other) noexcept;
  CNMessageBase& operator=(const CNMessageBase& other);
  CNMessageBase& operator=(CNMessageBase&& other) noexcept;
  virtual ~CNMessageBase();

  uint32_t getTagID() const;

  // String fields. An unset field reads as the empty string.
  void setstring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                 const std::string& value);
  // Takes the text over rather than copying it.
  void setstring(int field, int slot, uint32_t classKey, uint32_t fieldKey, std::string&& value);
  std::string getstring(int field, int slot, uint32_t classKey, uint32_t fieldKey) const;
  const std::string& getstringByRef(int field, int slot, uint32_t classKey,
                                    uint32_t fieldKey) const;

  // 64-bit integer fields. An unset field reads as 0.
  void setint64(int field, int slot, uint32_t classKey, uint32_t fieldKey, int64_t value);
  int64_t getint64(int slot, uint32_t classKey, uint32_t fieldKey) const;

  // List fields. The getters return the list held in the record itself. With
  // `markSet` false an unset list stays unset (isset false, not serialized)
  // while the caller looks at the empty list returned; with true it becomes
  // set. The setters replace the whole list with a copy and mark it set, so
  // an empty list set this way is still written.
  void setliststring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                     const CNStringList& values);
  // Takes the list over rather than copying it.
  void setliststring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                     CNStringList&& values);
  CNStringList& getliststring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                              bool markSet);
  const CNStringList& getliststring(int field, int slot, uint32_t classKey,
                                    uint32_t fieldKey) const;
  void setlistobject(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                     const CNMessageList& values);
  CNMessageList& getlistobject(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                               bool markSet);
  const CNMessageList& getlistobject(int field, int slot, uint32_t classKey,
                                     uint32_t fieldKey) const;

  // True when the field holds a value (a set or decoded field, an empty list
  // included).
  bool isset(int field, int slot, uint32_t classKey, uint32_t fieldKey) const;

  // Forgets the attributes and child nodes that a decoded record carried
  // beyond its schema (this record's own; its list items keep theirs), so
  // that it is written as a record built field by field would be.
  void clearunknown();

  // Renders the whole record as XML text into `out` (replacing its content).
  // `pretty` adds indentation and line breaks.
  void serialize(std::string& out, bool pretty) const;

  struct Impl;

 private:
  friend struct CNMessageAccess;
  std::unique_ptr<Impl> impl_;
};

#endif  // TZPLATFORM_CNMESSAGEBASE_H_
