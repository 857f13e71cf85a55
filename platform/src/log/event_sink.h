// Where raised events go besides the log: the configuration store.
#ifndef TZPLATFORM_SRC_LOG_EVENT_SINK_H_
#define TZPLATFORM_SRC_LOG_EVENT_SINK_H_

#include "tzplatform/log.h"

namespace tzplatform {
namespace detail {

// Records the event in the store at StorePath(). Never throws; an event that
// cannot be recorded is only in the log.
void RecordEvent(const RaisedEvent& event) noexcept;

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_LOG_EVENT_SINK_H_
