// Work side by side on threads: each thread of the platform keeps its own
// store connection and each run of a tool its own session, so pieces of work
// that share nothing else can run at once.
#ifndef TZPLATFORM_PARALLEL_H_
#define TZPLATFORM_PARALLEL_H_

#include <cstddef>
#include <functional>

#include "tzplatform/export.h"

namespace tzplatform {

// Runs work(0), work(1), ... work(count - 1), begun in that order, at most
// `atOnce` (0 counts as 1) at a time: on the calling thread and on up to
// atOnce - 1 threads of its own, all joined before it returns (fewer when
// the system gives no more threads). An exception thrown by one is passed on
// once every one has ended (the first, when several threw); the others run.
TZPLATFORM_API void RunAtOnce(size_t count, unsigned atOnce,
                              const std::function<void(size_t)>& work);

}  // namespace tzplatform

#endif  // TZPLATFORM_PARALLEL_H_
