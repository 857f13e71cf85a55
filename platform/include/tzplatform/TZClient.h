// Clients of the configuration store, looked up by name.
//
// Every query reads the store afresh and returns 0 on success; a name that
// names no client makes every query return a non-zero status and leave its
// output as it was. Names compare without regard to ASCII letter case.
// Fault hook key: the client name as passed to the constructor.
#ifndef TZPLATFORM_TZCLIENT_H_
#define TZPLATFORM_TZCLIENT_H_

#include <cstdint>
#include <string>

#include "tzplatform/export.h"

class TZPLATFORM_API TZClient {
 public:
  // `flag` and `number` are kept but change nothing in the stand-in.
  TZClient(const std::string& name, bool flag, int number);
  ~TZClient();

  int lookup(void* reserved);
  int getClientId(uint64_t& id, void* reserved);
  // The network host name under which the session reaches the client.
  int getNetworkHostnameMangled(std::string& host, void* reserved);
  int isDAGAssociatedClient(bool& associated, void* reserved);
  // Non-zero also when the store holds no release for the client.
  int getReleaseId(uint32_t& release, void* reserved);

 private:
  std::string name_;
  bool flag_;
  int number_;
};

#endif  // TZPLATFORM_TZCLIENT_H_
