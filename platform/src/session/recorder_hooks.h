// What the remote command session tells the live SessionRecorders.
#ifndef TZPLATFORM_SRC_SESSION_RECORDER_HOOKS_H_
#define TZPLATFORM_SRC_SESSION_RECORDER_HOOKS_H_

#include <memory>

#include "tzplatform/session.h"

namespace tzplatform {
namespace detail {

// The shared state of one SessionRecorder. A session that was intercepted
// keeps it alive until its receive, even should the recorder go first.
struct RecorderState;

void NoteSessionCreated();
void NoteSessionDestroyed();

// Records the attach with every live recorder. Returns the recorder that
// intercepts it (the newest one in intercept mode), or null when a real
// program is to be started.
std::shared_ptr<RecorderState> NoteAttach(const AttachRequest& request);
void NoteReceive();

// The intercepting recorder's answers.
CWqError InterceptedAttach(RecorderState& state, const AttachRequest& request);
SessionRecorder::ReceiveAnswer InterceptedReceive(RecorderState& state,
                                                  const AttachRequest& request);

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_SESSION_RECORDER_HOOKS_H_
