// Work on several DAG clients at once: each on a thread of its own, as the
// platform keeps one store connection per thread and one session per tool.
#ifndef TZDAG_TOOL_PARALLEL_H_
#define TZDAG_TOOL_PARALLEL_H_

#include <cstddef>
#include <functional>

namespace tzdag_tool {

// Runs work(0), work(1), ... work(count - 1), in that order of starting, at
// most `atOnce` (0 counts as 1) at a time: on the calling thread and on up to
// atOnce - 1 threads of its own, all joined before it returns (fewer when the
// system gives no more). An exception thrown by one is passed on once every
// one has ended (the first, when several threw).
void RunAtOnce(size_t count, unsigned atOnce, const std::function<void(size_t)>& work);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_PARALLEL_H_
