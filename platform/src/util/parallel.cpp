#include "tzplatform/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tzplatform {

void RunAtOnce(size_t count, unsigned atOnce, const std::function<void(size_t)>& work) {
  std::atomic<size_t> next{0};
  std::mutex failureLock;
  std::exception_ptr failure;
  auto worker = [&] {
    for (size_t index = next++; index < count; index = next++) {
      try {
        work(index);
      } catch (...) {
        std::lock_guard<std::mutex> hold(failureLock);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  const size_t threads = std::min<size_t>(std::max(atOnce, 1u), count);
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // the work left is shared among the threads there are
    }
  }
  worker();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tzplatform
