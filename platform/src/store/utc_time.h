// Times the store writes: UTC with milliseconds, which sort as they happened.
#ifndef TZPLATFORM_SRC_STORE_UTC_TIME_H_
#define TZPLATFORM_SRC_STORE_UTC_TIME_H_

#include <string>

namespace tzplatform {
namespace store {

// Now, as "2026-12-06T10:58:33.123Z".
std::string UtcNow();

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_UTC_TIME_H_
