// Symbol visibility of the platform library. Everything is hidden unless
// marked TZPLATFORM_API.
#ifndef TZPLATFORM_EXPORT_H_
#define TZPLATFORM_EXPORT_H_

#define TZPLATFORM_API __attribute__((visibility("default")))

#endif  // TZPLATFORM_EXPORT_H_
