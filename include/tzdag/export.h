// Symbol visibility of libTzDagApi.so: only names marked TZDAG_API are exported.
#ifndef TZDAG_EXPORT_H_
#define TZDAG_EXPORT_H_

#define TZDAG_API __attribute__((visibility("default")))

#endif  // TZDAG_EXPORT_H_
