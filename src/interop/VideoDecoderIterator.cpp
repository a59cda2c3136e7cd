#include "interop/VideoDecoderIterator.h"

#include "interop/VideoDecoderInterop.h"
#include "cache/TimeArithmetic.h"
#include "interop/DisposeOnce.h"
#include "interop/ThrowIfNotOk.h"
#include "interop/WeakCallback.h"
#include "platform/com/Boundary.h"

#include <algorithm>
#include <limits>
#include <string>

namespace korvane {

using namespace ABI::Korvane::Native;
using Lockout = Concurrency::critical_section::scoped_lock;

namespace {

// A texture handed out by the owner (one reference, carried in 64 bits), taken over.
ComPtr<ID3D11Texture2D> AttachTexture(int64_t handed) {
  ComPtr<ID3D11Texture2D> texture;
  texture.Attach(reinterpret_cast<ID3D11Texture2D*>(static_cast<intptr_t>(handed)));
  return texture;
}

int64_t OwnerTime(HRESULT (IVideoDecoderInterop::*query)(int64_t, int64_t*), IVideoDecoderInterop* owner,
                  int64_t time) {
  int64_t result = -1;
  ThrowIfNotOk((owner->*query)(time, &result));
  return result;
}

}  // namespace

VideoDecoderIterator::VideoDecoderIterator(VideoDecoderInterop* owner) : owner_(owner) {
  if (owner == nullptr) ThrowNotReady("VideoDecoderIterator: no owner");
}

VideoDecoderIterator::~VideoDecoderIterator() {
  // A failure here has nobody to go to; disposal has released what it could.
  DisposeOnce(disposed_, [this] { Dispose(); });
}

void VideoDecoderIterator::Subscribe() {
  Lockout lock(lock_);
  ThrowIfNotOk(owner_->add_PositionHasChanged(
      WeakCallback<PositionHasChanged, IVideoDecoderIterator>(this, &VideoDecoderIterator::OnPositionHasChanged).Get(),
      &subscriptions_[0]));
  ThrowIfNotOk(owner_->add_FrameCached(
      WeakCallback<FrameCached, IVideoDecoderIterator>(this, &VideoDecoderIterator::OnFrameCached).Get(),
      &subscriptions_[1]));
  ThrowIfNotOk(owner_->add_CachingCompleted(
      WeakCallback<CachingCompleted, IVideoDecoderIterator>(this, &VideoDecoderIterator::OnCachingCompleted).Get(),
      &subscriptions_[2]));
  subscribed_ = true;
}

ComPtr<VideoDecoderInterop> VideoDecoderIterator::OwnerLocked() const {
  if (!owner_) throw Platform::ObjectDisposedException("VideoDecoderIterator: closed");
  return owner_;
}

// ---- The frame ----

bool VideoDecoderIterator::ResolveLocked() {
  if (valid_ || !initialized_) return false;
  const ComPtr<VideoDecoderInterop> owner = OwnerLocked();
  int64_t t = -1;
  ThrowIfNotOk(owner->get_Position(&t));
  for (int32_t k = 0; t >= 0 && k < offset_; ++k) t = OwnerTime(&IVideoDecoderInterop::GetNextFrameTime, owner.Get(), t);
  for (int32_t k = 0; t >= 0 && k > offset_; --k) t = OwnerTime(&IVideoDecoderInterop::GetPreviousFrameTime, owner.Get(), t);
  if (t >= 0) {
    int64_t duration = 0;
    ThrowIfNotOk(owner->GetFrameDuration(t, &duration));
    valid_ = true;
    t = SaturatingAdd(t, duration / 2);
  }
  if (t == frameTime_) return false;
  frameTime_ = t;
  return true;
}

void VideoDecoderIterator::SignalLocked() {
  if (!disposed_) notifications_.Push(true);
}

void VideoDecoderIterator::MoveToLocked(int64_t offset) {
  if (offset < std::numeric_limits<int32_t>::min() || offset > std::numeric_limits<int32_t>::max()) {
    throw Platform::OutOfBoundsException("VideoDecoderIterator: offset " + std::to_string(offset) +
                                         " is beyond the 32-bit range");
  }
  offset_ = static_cast<int32_t>(offset);
  valid_ = false;
  if (ResolveLocked()) SignalLocked();
}

bool VideoDecoderIterator::HasNeighbourLocked(bool next) {
  if (!initialized_) return false;
  ResolveLocked();
  const ComPtr<VideoDecoderInterop> owner = OwnerLocked();
  const auto query = next ? &IVideoDecoderInterop::GetNextFrameTime : &IVideoDecoderInterop::GetPreviousFrameTime;
  return OwnerTime(query, owner.Get(), frameTime_) >= 0;
}

// ---- For the owner ----

void VideoDecoderIterator::OnOwnerInitialized() {
  Lockout lock(lock_);
  if (disposed_ || stoppedByOwner_) return;
  if (!initialized_) {
    // Started once: a restart would wait for a worker that may be inside a FrameUpdated
    // handler waiting for this lock.
    ComPtr<VideoDecoderIterator> self(this);
    notifications_.Start([self](const bool&) { self->RaiseFrameUpdated(); });
    initialized_ = true;
  }
  SignalLocked();
}

void VideoDecoderIterator::ShiftOffset(int32_t delta) {
  Lockout lock(lock_);
  const int64_t shifted = int64_t{offset_} + delta;
  offset_ = static_cast<int32_t>(std::clamp<int64_t>(shifted, std::numeric_limits<int32_t>::min(),
                                                     std::numeric_limits<int32_t>::max()));
}

void VideoDecoderIterator::StopForOwner() {
  {
    Lockout lock(lock_);
    stoppedByOwner_ = true;
  }
  notifications_.Stop();
}

void VideoDecoderIterator::OnPositionHasChanged(int64_t /*position*/) {
  Lockout lock(lock_);
  if (disposed_) return;
  valid_ = false;
  if (ResolveLocked()) SignalLocked();
}

void VideoDecoderIterator::OnFrameCached(int64_t /*time*/) {
  Lockout lock(lock_);
  if (disposed_) return;
  if (ResolveLocked()) SignalLocked();
}

void VideoDecoderIterator::OnCachingCompleted(int64_t /*start*/, int64_t /*end*/) {
  Lockout lock(lock_);
  if (disposed_) return;
  if (ResolveLocked()) SignalLocked();
}

// ---- IVideoDecoderIterator ----

HRESULT VideoDecoderIterator::get_Offset(int32_t* value) {
  return CallBoundary(
      disposed_,
      [&] {
        Lockout lock(lock_);
        *value = offset_;
      },
      value);
}

HRESULT VideoDecoderIterator::get_HasFrame(boolean* value) {
  return CallBoundary(
      disposed_,
      [&] {
        Lockout lock(lock_);
        *value = valid_ && initialized_;
      },
      value);
}

HRESULT VideoDecoderIterator::get_HasPreviousFrame(boolean* value) {
  return CallBoundary(
      disposed_,
      [&] {
        Lockout lock(lock_);
        *value = HasNeighbourLocked(false);
      },
      value);
}

HRESULT VideoDecoderIterator::get_HasNextFrame(boolean* value) {
  return CallBoundary(
      disposed_,
      [&] {
        Lockout lock(lock_);
        *value = HasNeighbourLocked(true);
      },
      value);
}

HRESULT VideoDecoderIterator::MovePrevious() {
  return CallBoundary(disposed_, [&] {
    Lockout lock(lock_);
    MoveToLocked(int64_t{offset_} - 1);
  });
}

HRESULT VideoDecoderIterator::MoveNext() {
  return CallBoundary(disposed_, [&] {
    Lockout lock(lock_);
    MoveToLocked(int64_t{offset_} + 1);
  });
}

HRESULT VideoDecoderIterator::SetOffset(int32_t offset) {
  return CallBoundary(disposed_, [&] {
    Lockout lock(lock_);
    if (offset != offset_) MoveToLocked(offset);
  });
}

HRESULT VideoDecoderIterator::Reset() {
  return CallBoundary(disposed_, [&] {
    Lockout lock(lock_);
    offset_ = 0;
    valid_ = false;
  });
}

// ---- IVideoDecoder ----

HRESULT VideoDecoderIterator::get_PixelFormat(UINT32* value) {
  return CallBoundary(
      disposed_,
      [&] {
        Lockout lock(lock_);
        const ComPtr<VideoDecoderInterop> owner = OwnerLocked();
        int32_t format = 0;
        // Through the owner's class-member interface, where the overridable is public.
        ThrowIfNotOk(static_cast<__IVideoDecoderInteropProtectedVirtuals*>(owner.Get())->GetOutputFormat(&format));
        *value = static_cast<UINT32>(format);
      },
      value);
}

HRESULT VideoDecoderIterator::GetTexture(UINT64* texture) {
  return CallBoundary(
      disposed_,
      [&] {
        Lockout lock(lock_);
        const ComPtr<VideoDecoderInterop> owner = OwnerLocked();
        ResolveLocked();
        ComPtr<ID3D11Texture2D> frame;
        if (initialized_ && valid_) {
          int64_t handed = 0;
          ThrowIfNotOk(owner->GetFrameTexture(frameTime_, &handed));
          frame = AttachTexture(handed);
          // A frame gone from both caches is looked up afresh next time.
          valid_ = frame != nullptr;
        }
        if (!frame) {
          int64_t handed = 0;
          ThrowIfNotOk(owner->GetPlaceholderTexture(&handed));
          frame = AttachTexture(handed);
        }
        *texture = static_cast<UINT64>(reinterpret_cast<uintptr_t>(frame.Detach()));
      },
      texture);
}

HRESULT VideoDecoderIterator::add_FrameUpdated(Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated* handler,
                                               EventRegistrationToken* token) {
  return CallBoundary(disposed_, [&] { ThrowIfFailed(frameUpdated_.Add(handler, token)); }, token);
}

HRESULT VideoDecoderIterator::remove_FrameUpdated(EventRegistrationToken token) {
  return CallBoundary(disposed_, [&] { ThrowIfFailed(frameUpdated_.Remove(token)); });
}

void VideoDecoderIterator::RaiseFrameUpdated() { ThrowIfFailed(frameUpdated_.InvokeAll()); }

// ---- Disposal ----

HRESULT VideoDecoderIterator::Close() {
  return DisposeOnce(disposed_, [this] { Dispose(); });
}

void VideoDecoderIterator::Dispose() {
  ComPtr<VideoDecoderInterop> owner;
  {
    Lockout lock(lock_);
    owner = std::move(owner_);
    if (owner && subscribed_) {
      // A closed owner refuses with RO_E_CLOSED; its events are gone with it anyway.
      owner->remove_PositionHasChanged(subscriptions_[0]);
      owner->remove_FrameCached(subscriptions_[1]);
      owner->remove_CachingCompleted(subscriptions_[2]);
    }
    subscribed_ = false;
  }
  // Outside the lock: a FrameUpdated handler in progress may be waiting for it.
  notifications_.Stop();
  owner.Reset();
  frameUpdated_.Clear();
}

}  // namespace korvane
