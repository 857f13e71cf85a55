// Recording of raised events in the configuration store.
#include "log/event_sink.h"

#include <unistd.h>

#include <cstdio>

#include "store/connection.h"
#include "store/store_call.h"
#include "store/utc_time.h"
#include "tzplatform/faults.h"

namespace tzplatform {
namespace detail {
namespace {

// Inside a caller's transaction the event joins it: stored with it, and rolled
// back with it.
void Store(const RaisedEvent& event) {
  store::Connection& db = store::CurrentStore();
  store::WriteTransaction transaction(db);
  store::Statement insert(db,
                          "INSERT INTO events (raised_at, process_id, severity, event_id,"
                          " param1, param2) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  insert.Bind(1, store::UtcNow())
      .Bind(2, int64_t{getpid()})
      .Bind(3, std::string(event.severity == EventSeverity::kCritical ? "critical" : "info"))
      .Bind(4, int64_t{event.id})
      .Bind(5, int64_t{event.param1})
      .Bind(6, int64_t{event.param2})
      .Run();
  int64_t row = 0;
  {
    store::Statement last(db, "SELECT last_insert_rowid()");
    if (last.Step()) row = last.Int(0);
  }
  store::Statement argument(db,
                            "INSERT INTO event_arguments (event_row, position, kind, value)"
                            " VALUES (?1, ?2, ?3, ?4)");
  for (size_t i = 0; i < event.arguments.size(); ++i) {
    argument.Reset();
    argument.Bind(1, row)
        .Bind(2, static_cast<int64_t>(i))
        .Bind(3, int64_t{event.arguments[i].kind})
        .Bind(4, event.arguments[i].value)
        .Run();
  }
  transaction.Commit();
}

}  // namespace

void RecordEvent(const RaisedEvent& event) noexcept {
  const char* call = "EvEvent::RecordEvent";
  std::string failure;
  try {
    if (int status = CheckFault(call, "*")) {
      failure = "injected fault (status " + std::to_string(status) + ")";
    } else {
      Store(event);
    }
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  if (failure.empty()) return;
  // The event is in the log already; say there too that the store lacks it.
  try {
    char id[16];
    std::snprintf(id, sizeof(id), "0x%08X", static_cast<unsigned>(event.id));
    store::LogStoreFailure(call, std::string("event ") + id + " was not stored: " + failure);
  } catch (...) {
  }
}

}  // namespace detail
}  // namespace tzplatform
