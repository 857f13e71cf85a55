#include "store/utc_time.h"

#include <cstdio>
#include <ctime>

namespace tzplatform {
namespace store {

std::string UtcNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &utc);
  char text[48];
  std::snprintf(text, sizeof(text), "%s.%03ldZ", stamp, static_cast<long>(now.tv_nsec / 1000000));
  return text;
}

}  // namespace store
}  // namespace tzplatform
