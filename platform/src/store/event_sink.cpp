// Recording of raised events in the configuration store.
#include "log/event_sink.h"

namespace tzplatform {
namespace detail {

void RecordEvent(const RaisedEvent& /*event*/) noexcept {}

}  // namespace detail
}  // namespace tzplatform
