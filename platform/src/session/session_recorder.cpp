#include <algorithm>
#include <mutex>
#include <utility>

#include "session/recorder_hooks.h"

namespace tzplatform {
namespace detail {

struct RecorderState {
  explicit RecorderState(SessionRecorder::Mode m) : mode(m) {}

  const SessionRecorder::Mode mode;
  mutable std::mutex mu;
  SessionRecorder::AttachHandler onAttach;
  SessionRecorder::ReceiveHandler onReceive;
  std::vector<AttachRequest> attaches;
  int receives = 0;
  int created = 0;
  int destroyed = 0;
};

namespace {

// Every live recorder, oldest first.
struct Registry {
  std::mutex mu;
  std::vector<std::shared_ptr<RecorderState>> live;
};

Registry& GetRegistry() {
  static Registry registry;
  return registry;
}

std::vector<std::shared_ptr<RecorderState>> LiveRecorders() {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mu);
  return registry.live;
}

template <typename Change>
void ForEachLive(Change change) {
  for (const std::shared_ptr<RecorderState>& state : LiveRecorders()) {
    std::lock_guard<std::mutex> lock(state->mu);
    change(*state);
  }
}

}  // namespace

void NoteSessionCreated() {
  ForEachLive([](RecorderState& s) { ++s.created; });
}

void NoteSessionDestroyed() {
  ForEachLive([](RecorderState& s) { ++s.destroyed; });
}

std::shared_ptr<RecorderState> NoteAttach(const AttachRequest& request) {
  std::shared_ptr<RecorderState> interceptor;
  for (const std::shared_ptr<RecorderState>& state : LiveRecorders()) {
    std::lock_guard<std::mutex> lock(state->mu);
    state->attaches.push_back(request);
    if (state->mode == SessionRecorder::Mode::kIntercept) interceptor = state;
  }
  return interceptor;
}

void NoteReceive() {
  ForEachLive([](RecorderState& s) { ++s.receives; });
}

CWqError InterceptedAttach(RecorderState& state, const AttachRequest& request) {
  SessionRecorder::AttachHandler handler;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    handler = state.onAttach;
  }
  // Called without the lock, so that a handler may ask the recorder.
  return handler ? handler(request) : CWqError();
}

SessionRecorder::ReceiveAnswer InterceptedReceive(RecorderState& state,
                                                  const AttachRequest& request) {
  SessionRecorder::ReceiveHandler handler;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    handler = state.onReceive;
  }
  if (handler) return handler(request);
  return {
      CWqError(CWqError::kNotAttached, "not attached: no answer set for the intercepted session"),
      std::string()};
}

}  // namespace detail

struct SessionRecorder::Impl {
  std::shared_ptr<detail::RecorderState> state;
};

SessionRecorder::SessionRecorder(Mode mode) : impl_(std::make_unique<Impl>()) {
  impl_->state = std::make_shared<detail::RecorderState>(mode);
  detail::Registry& registry = detail::GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mu);
  registry.live.push_back(impl_->state);
}

SessionRecorder::~SessionRecorder() {
  detail::Registry& registry = detail::GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mu);
  auto& live = registry.live;
  live.erase(std::remove(live.begin(), live.end(), impl_->state), live.end());
}

void SessionRecorder::OnAttach(AttachHandler handler) {
  std::lock_guard<std::mutex> lock(impl_->state->mu);
  impl_->state->onAttach = std::move(handler);
}

void SessionRecorder::OnReceive(ReceiveHandler handler) {
  std::lock_guard<std::mutex> lock(impl_->state->mu);
  impl_->state->onReceive = std::move(handler);
}

std::vector<AttachRequest> SessionRecorder::Attaches() const {
  std::lock_guard<std::mutex> lock(impl_->state->mu);
  return impl_->state->attaches;
}

int SessionRecorder::Receives() const {
  std::lock_guard<std::mutex> lock(impl_->state->mu);
  return impl_->state->receives;
}

int SessionRecorder::SessionsCreated() const {
  std::lock_guard<std::mutex> lock(impl_->state->mu);
  return impl_->state->created;
}

int SessionRecorder::SessionsDestroyed() const {
  std::lock_guard<std::mutex> lock(impl_->state->mu);
  return impl_->state->destroyed;
}

}  // namespace tzplatform
