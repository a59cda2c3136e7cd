#include "platform/winrt/AsyncCore.h"

#include <atomic>

namespace korvane::winrt {

namespace {

std::atomic<UINT32> nextAsyncId{1};

}  // namespace

AsyncCore::AsyncCore() : id_(nextAsyncId.fetch_add(1, std::memory_order_relaxed)) {}

HRESULT AsyncCore::GetId(UINT32* id) const {
  if (id == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return E_ILLEGAL_METHOD_CALL;
  *id = id_;
  return S_OK;
}

HRESULT AsyncCore::GetStatus(AsyncStatus* status) const {
  if (status == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return E_ILLEGAL_METHOD_CALL;
  *status = status_;
  return S_OK;
}

HRESULT AsyncCore::GetErrorCode(HRESULT* errorCode) const {
  if (errorCode == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return E_ILLEGAL_METHOD_CALL;
  *errorCode = errorCode_;
  return S_OK;
}

HRESULT AsyncCore::Cancel(Completion* fire) {
  std::lock_guard lock(mutex_);
  switch (phase_) {
    case Phase::kClosed:
      return E_ILLEGAL_METHOD_CALL;
    case Phase::kFinished:
      return S_OK;  // too late; nothing changes
    case Phase::kRunning:
      // The body decides: it sees the token and may still complete normally.
      cancellation_.Cancel();
      return S_OK;
    case Phase::kPending:
      // kPending -> kFinished (Canceled): the pool thread will find the body must not run.
      cancellation_.Cancel();
      phase_ = Phase::kFinished;
      status_ = AsyncStatus::Canceled;
      errorCode_ = E_ABORT;
      finished_.notify_all();
      HandOutCompletedLocked(fire);
      return S_OK;
  }
  return E_UNEXPECTED;
}

HRESULT AsyncCore::Close() {
  ComPtr<IUnknown> completed, progress;  // released after the lock
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return S_OK;
  if (phase_ != Phase::kFinished) return E_ILLEGAL_STATE_CHANGE;
  phase_ = Phase::kClosed;
  completed.Swap(completed_);
  progress.Swap(progress_);
  return S_OK;
}

HRESULT AsyncCore::PutCompleted(IUnknown* handler, Completion* fire) {
  if (handler == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return E_ILLEGAL_METHOD_CALL;
  if (completedAssigned_) return E_ILLEGAL_DELEGATE_ASSIGNMENT;
  completedAssigned_ = true;
  completed_ = handler;
  // Set after the end: it runs now, on the setting thread.
  if (phase_ == Phase::kFinished) HandOutCompletedLocked(fire);
  return S_OK;
}

HRESULT AsyncCore::GetCompleted(ComPtr<IUnknown>& handler) const {
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return E_ILLEGAL_METHOD_CALL;
  handler = completed_;
  return S_OK;
}

HRESULT AsyncCore::PutProgress(IUnknown* handler) {
  if (handler == nullptr) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return E_ILLEGAL_METHOD_CALL;
  if (progressAssigned_) return E_ILLEGAL_DELEGATE_ASSIGNMENT;
  progressAssigned_ = true;
  if (phase_ == Phase::kFinished) return S_OK;  // no report can come any more: keep nothing
  progress_ = handler;
  return S_OK;
}

HRESULT AsyncCore::GetProgress(ComPtr<IUnknown>& handler) const {
  std::lock_guard lock(mutex_);
  if (phase_ == Phase::kClosed) return E_ILLEGAL_METHOD_CALL;
  handler = progress_;
  return S_OK;
}

ComPtr<IUnknown> AsyncCore::ProgressHandlerForReport() const {
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::kRunning) return nullptr;
  return progress_;
}

HRESULT AsyncCore::CheckResultsAvailable() const {
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::kFinished) return E_ILLEGAL_METHOD_CALL;
  switch (status_) {
    case AsyncStatus::Completed:
      return S_OK;
    case AsyncStatus::Error:
      return errorCode_;
    default:
      return E_ILLEGAL_METHOD_CALL;
  }
}

bool AsyncCore::IsClosed() const {
  std::lock_guard lock(mutex_);
  return phase_ == Phase::kClosed;
}

bool AsyncCore::BeginRun() {
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::kPending) return false;
  phase_ = Phase::kRunning;
  return true;
}

void AsyncCore::Finish(AsyncStatus status, HRESULT errorCode, Completion* fire) {
  std::lock_guard lock(mutex_);
  if (phase_ != Phase::kRunning) return;  // BeginRun guarantees kRunning; defensive only
  phase_ = Phase::kFinished;
  status_ = status;
  errorCode_ = status == AsyncStatus::Completed ? S_OK : status == AsyncStatus::Canceled ? E_ABORT : errorCode;
  finished_.notify_all();
  HandOutCompletedLocked(fire);
}

void AsyncCore::HandOutCompletedLocked(Completion* fire) {
  fire->status = status_;
  fire->releasedProgress = std::move(progress_);  // no report can reach it any more
  if (completedAssigned_ && !completedFired_) {
    completedFired_ = true;
    fire->handler = std::move(completed_);
  }
}

bool AsyncCore::WaitForFinish(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  auto finished = [this] { return phase_ == Phase::kFinished || phase_ == Phase::kClosed; };
  if (timeout.count() < 0) {
    finished_.wait(lock, finished);
    return true;
  }
  return finished_.wait_for(lock, timeout, finished);
}

}  // namespace korvane::winrt
