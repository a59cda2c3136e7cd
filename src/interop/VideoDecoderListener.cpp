#include "interop/VideoDecoderListener.h"

#include "interop/VideoDecoderIterator.h"
#include "platform/winrt/Async.h"

#include <cstdint>

namespace korvane {

using Listener = VideoDecoderInterop::VideoDecoderListener;

Listener::VideoDecoderListener(ComPtr<IWeakReference> owner) : owner_(std::move(owner)) {}

Listener::~VideoDecoderListener() {
  // In this order; each returns once its worker has recorded its end.
  try {
    positionQueue_.Stop();
    frameQueue_.Stop();
    cachingQueue_.Stop();
  } catch (...) {
    // A failed cancel leaves nothing to undo; the member destructors try again.
  }
}

ComPtr<VideoDecoderInterop> Listener::ResolveOwner() const {
  const ComPtr<ABI::Korvane::Native::IVideoDecoderInterop> owner =
      ResolveWeak<ABI::Korvane::Native::IVideoDecoderInterop>(owner_.Get());
  return ComPtr<VideoDecoderInterop>(static_cast<VideoDecoderInterop*>(owner.Get()));
}

void Listener::OnInitializationProgressChanged(double progress) {
  // Rounded to the nearest step. Values that are not numbers, or too large for the 32-bit step
  // count, never pass the filter (they are not progress).
  const double steps = progress * kProgressSteps + 0.5;
  if (!(steps > static_cast<double>(INT32_MIN) && steps < static_cast<double>(INT32_MAX))) return;
  const double rounded = static_cast<double>(static_cast<int32_t>(steps)) / kProgressSteps;
  if (!(rounded > lastProgress_.load())) return;
  lastProgress_.exchange(rounded);
  const ComPtr<VideoDecoderInterop> owner = ResolveOwner();
  if (!owner) return;
  try {
    owner->RaiseInitializationProgressChanged(lastProgress_.load());
  } catch (...) {
    // A failing handler ends this raise only: the decoder's scan, which called here, goes on.
  }
}

void Listener::OnDecoderInitialized() {
  const ComPtr<VideoDecoderInterop> owner = ResolveOwner();
  if (!owner) return;
  try {
    // The iterators learn of it here, on a pool thread, not on the decoder's thread: they take
    // the decoder's lock while holding their own, so taking theirs under the decoder's would
    // give the component two lock orders. No position, frame or caching event can reach them
    // before: the workers are held back until this action has ended. The flag is cleared after
    // the raise, also when the raise failed, so that the workers never stay held back once the
    // raiser has ended.
    winrt::CreateAsyncAction([owner, initializing = initializing_](const winrt::CancellationToken&) {
      struct Clear {
        std::atomic<bool>& flag;
        ~Clear() { flag.store(false); }
      } clear{*initializing};
      for (const ComPtr<VideoDecoderIterator>& iterator : owner->Iterators()) iterator->OnOwnerInitialized();
      owner->RaiseDecoderInitialized();
    });

    positionQueue_.Start(
        [owner](const int64_t& position) {
          if (position >= 0) owner->RaisePositionHasChanged(position);
        },
        initializing_);
    frameQueue_.Start(
        [owner](const int64_t& time) {
          if (time >= 0) owner->RaiseFrameCached(time);
        },
        initializing_);
    cachingQueue_.Start(
        [owner](const std::pair<int64_t, int64_t>& range) {
          if (range.first >= 0 && range.second >= 0) owner->RaiseCachingCompleted(range.first, range.second);
        },
        initializing_);
  } catch (...) {
    // Only the pool failing to start a thread gets here: the events cannot be delivered, and
    // the decoder, which called here, must go on regardless.
  }
}

void Listener::OnPositionHasChanged(int64_t position) { positionQueue_.Push(position); }

void Listener::OnFrameCached(int64_t position) { frameQueue_.Push(position); }

void Listener::OnCachingCompleted(int64_t start, int64_t end) { cachingQueue_.Push({start, end}); }

void Listener::OnError(int32_t code) {
  const ComPtr<VideoDecoderInterop> owner = ResolveOwner();
  if (!owner) return;
  try {
    winrt::CreateAsyncAction([owner, code](const winrt::CancellationToken&) { owner->RaiseErrorOccured(code); });
  } catch (...) {
    // As in OnDecoderInitialized: nothing can deliver the event, and the decoder goes on.
  }
}

}  // namespace korvane
