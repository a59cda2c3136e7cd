#include "platform/mf/SourceReaderWorker.h"

#include "platform/d3d11/SoftwareTexture.h"
#include "platform/mf/DxgiSurfaceBuffer.h"
#include "platform/mf/Sample.h"

#include <new>

namespace korvane::mf {

std::shared_ptr<SourceReaderWorker> SourceReaderWorker::Start(std::unique_ptr<MediaSource> source,
                                                              ComPtr<IMFSourceReaderCallback> callback,
                                                              ComPtr<ID3D11Device> device,
                                                              const OutputFormat& output) {
  std::shared_ptr<SourceReaderWorker> worker(
      new SourceReaderWorker(std::move(source), std::move(callback), std::move(device), output));
  // The thread keeps the worker alive until it ends, so that Stop may let a running callback
  // finish without waiting for it.
  std::thread thread([self = worker] { self->Run(); });
  {
    std::lock_guard lock(worker->mutex_);
    worker->thread_ = std::move(thread);
  }
  return worker;
}

SourceReaderWorker::SourceReaderWorker(std::unique_ptr<MediaSource> source, ComPtr<IMFSourceReaderCallback> callback,
                                       ComPtr<ID3D11Device> device, const OutputFormat& output)
    : source_(std::move(source)), pool_(std::move(device)), callback_(std::move(callback)), output_(output) {}

SourceReaderWorker::~SourceReaderWorker() {
  // Stop moved the thread out; a worker that was never stopped has no thread left here either,
  // because the thread's own reference keeps the worker alive while it runs.
}

HRESULT SourceReaderWorker::QueueRead() {
  std::lock_guard lock(mutex_);
  if (stopping_) return MF_E_SHUTDOWN;
  if (pendingFlushes_ > 0) return MF_E_NOTACCEPTING;
  queue_.push_back(Command{CommandKind::kRead, generation_, kVideoStream});
  ++pendingReads_;
  wake_.notify_one();
  return S_OK;
}

HRESULT SourceReaderWorker::QueueFlush(DWORD streamIndex) {
  std::lock_guard lock(mutex_);
  if (stopping_) return MF_E_SHUTDOWN;
  // Reads asked for before the flush are dropped without a callback, the one being decoded
  // included: its generation no longer matches when it completes.
  ++generation_;
  std::erase_if(queue_, [](const Command& c) { return c.kind == CommandKind::kRead; });
  pendingReads_ = 0;
  queue_.push_back(Command{CommandKind::kFlush, generation_, streamIndex});
  ++pendingFlushes_;
  wake_.notify_one();
  return S_OK;
}

HRESULT SourceReaderWorker::Seek(int64_t position) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return MF_E_SHUTDOWN;
    if (pendingReads_ > 0) return MF_E_INVALIDREQUEST;
  }
  std::lock_guard lock(sourceMutex_);
  if (FAILED(failure_)) return failure_;
  return source_->Seek(position);
}

void SourceReaderWorker::SetOutput(const OutputFormat& output) {
  std::lock_guard lock(mutex_);
  output_ = output;
}

void SourceReaderWorker::Stop() {
  std::thread thread;
  bool callbackRunning = false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    queue_.clear();
    callbackRunning = inCallback_;
    thread = std::move(thread_);
  }
  source_->Interrupt();  // a read blocked in I/O returns soon
  wake_.notify_all();
  if (!thread.joinable()) return;
  // A running callback may be waiting for a lock our caller holds, or our caller may be that
  // callback: never wait for one. The thread ends by itself right after it.
  if (callbackRunning || thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

bool SourceReaderWorker::BeginCallback(ComPtr<IMFSourceReaderCallback>& callback) {
  if (stopping_ || !callback_) return false;
  inCallback_ = true;
  callback = callback_;
  return true;
}

void SourceReaderWorker::EndCallback() {
  std::lock_guard lock(mutex_);
  inCallback_ = false;
}

void SourceReaderWorker::Run() {
  for (;;) {
    Command command{};
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      command = queue_.front();
      queue_.pop_front();
    }

    if (command.kind == CommandKind::kRead) {
      ReadResult result = ExecuteRead();
      ComPtr<IMFSourceReaderCallback> callback;
      {
        std::lock_guard lock(mutex_);
        if (command.generation != generation_) continue;  // flushed meanwhile: no callback
        --pendingReads_;
        if (!BeginCallback(callback)) break;
      }
      callback->OnReadSample(result.status, kVideoStream, result.flags, result.time, result.sample.Get());
      result.sample.Reset();
      EndCallback();
    } else {
      {
        std::lock_guard lock(sourceMutex_);
        source_->Flush();
      }
      ComPtr<IMFSourceReaderCallback> callback;
      {
        std::lock_guard lock(mutex_);
        --pendingFlushes_;
        if (!BeginCallback(callback)) break;
      }
      callback->OnFlush(command.streamIndex);
      EndCallback();
    }
  }

  // The callback reference ends with the thread, released without any lock held.
  ComPtr<IMFSourceReaderCallback> callback;
  {
    std::lock_guard lock(mutex_);
    callback = std::move(callback_);
  }
}

SourceReaderWorker::ReadResult SourceReaderWorker::ExecuteRead() {
  OutputFormat output;
  {
    std::lock_guard lock(mutex_);
    output = output_;
  }
  ReadResult result;
  std::lock_guard lock(sourceMutex_);
  if (FAILED(failure_)) {
    result.status = failure_;
    result.flags = MF_SOURCE_READERF_ERROR;
    return result;
  }
  const SourceRead read = source_->ReadNext();
  switch (read.kind) {
    case SourceRead::Kind::kFrame: {
      HRESULT hr = E_OUTOFMEMORY;
      try {
        hr = MakeSample(read, output, result.sample);
      } catch (const std::bad_alloc&) {
        result.sample.Reset();  // no memory for the sample: reported as the read's failure
      }
      if (FAILED(hr)) {
        failure_ = hr;
        result.status = hr;
        result.flags = MF_SOURCE_READERF_ERROR;
      } else {
        result.time = read.time;
      }
      break;
    }
    case SourceRead::Kind::kEndOfStream:
      result.flags = MF_SOURCE_READERF_ENDOFSTREAM;
      break;
    case SourceRead::Kind::kStreamTick:
      result.flags = MF_SOURCE_READERF_STREAMTICK;
      result.time = read.time;
      break;
    case SourceRead::Kind::kNothing:
      break;
    case SourceRead::Kind::kError:
      failure_ = FAILED(read.error) ? read.error : E_FAIL;
      result.status = failure_;
      result.flags = MF_SOURCE_READERF_ERROR;
      break;
  }
  return result;
}

HRESULT SourceReaderWorker::MakeSample(const SourceRead& read, const OutputFormat& output,
                                       ComPtr<IMFSample>& sample) {
  const bool nv12 = output.format == PictureFormat::Nv12;
  const uint32_t textureWidth = nv12 ? EvenNv12Size(output.width) : output.width;
  const uint32_t textureHeight = nv12 ? EvenNv12Size(output.height) : output.height;
  ComPtr<ID3D11Texture2D> texture;
  HRESULT hr = pool_.Acquire(nv12 ? DXGI_FORMAT_NV12 : DXGI_FORMAT_B8G8R8A8_UNORM, textureWidth, textureHeight,
                             texture);
  if (FAILED(hr)) return hr;
  ComPtr<d3d11::ISoftwareTexture> pixels;
  hr = texture.As(&pixels);
  if (FAILED(hr)) return hr;  // not a texture of the platform's software device

  // The pool hands out textures nobody else holds, so the picture is written without the
  // device's lock; the sample carries it to whoever reads it next.
  PictureTarget target;
  target.format = output.format;
  target.width = output.width;
  target.height = output.height;
  target.planes[0] = pixels->Data();
  target.pitches[0] = pixels->RowPitch();
  if (nv12) {
    target.planes[1] = pixels->Data() + size_t{pixels->RowPitch()} * textureHeight;
    target.pitches[1] = pixels->RowPitch();
  }
  hr = source_->Render(target);
  if (FAILED(hr)) return hr;

  ComPtr<Sample> made = MakeComObject<Sample>();
  made->AddBuffer(MakeComObject<DxgiSurfaceBuffer>(texture, pixels).Get());
  made->SetSampleTime(read.time);
  if (read.duration) made->SetSampleDuration(*read.duration);
  sample = std::move(made);
  return S_OK;
}

}  // namespace korvane::mf
