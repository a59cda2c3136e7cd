#include "support/ScriptedMediaSource.h"

#include "platform/com/Boundary.h"
#include "platform/com/RuntimeClass.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace korvane::mf {

void ScriptedSourceLog::Add(Kind kind, int64_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({kind, position});
}

std::vector<ScriptedSourceLog::Entry> ScriptedSourceLog::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

size_t ScriptedSourceLog::Count(Kind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), [kind](const Entry& e) { return e.kind == kind; }));
}

std::vector<std::string> ScriptedSourceLog::Lines() const {
  std::vector<std::string> lines;
  for (const Entry& entry : Entries()) {
    switch (entry.kind) {
      case Kind::Read: lines.push_back("read"); break;
      case Kind::Seek: lines.push_back("seek " + std::to_string(entry.position)); break;
      case Kind::Flush: lines.push_back("flush"); break;
    }
  }
  return lines;
}

void ScriptedSourceLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

ScriptedMediaSource::ScriptedMediaSource(std::shared_ptr<const ScriptedSource> script,
                                         std::shared_ptr<ScriptedSourceLog> log)
    : script_(std::move(script)), log_(std::move(log)) {}

SourceRead ScriptedMediaSource::ReadNext() {
  log_->Add(ScriptedSourceLog::Kind::Read);
  if (script_->beforeRead) script_->beforeRead();
  const ScriptedFaults& faults = script_->faults;
  SourceRead read;
  if (failed_ || (faults.errorAfterFrames && delivered_ >= *faults.errorAfterFrames) ||
      (faults.errorNow && faults.errorNow())) {
    failed_ = true;
    read.kind = SourceRead::Kind::kError;
    read.error = E_FAIL;
    return read;
  }
  if (next_ >= script_->frames.size()) {
    read.kind = SourceRead::Kind::kEndOfStream;
    return read;
  }
  if (faults.streamTickBefore.count(next_) != 0 && ticksDone_.insert(next_).second) {
    read.kind = SourceRead::Kind::kStreamTick;
    read.time = script_->frames[next_].time;  // the gap lasts until the next frame
    return read;
  }
  if (faults.nothingBefore.count(next_) != 0 && nothingDone_.insert(next_).second) {
    read.kind = SourceRead::Kind::kNothing;
    return read;
  }
  const ScriptedFrame& frame = script_->frames[next_];
  lastFrame_ = next_;
  ++next_;
  ++delivered_;
  read.kind = SourceRead::Kind::kFrame;
  read.time = frame.time;
  read.duration = frame.duration;
  return read;
}

HRESULT ScriptedMediaSource::Render(const PictureTarget& target) {
  if (!lastFrame_) return E_UNEXPECTED;
  const uint8_t value = script_->frames[*lastFrame_].value;
  if (target.format == PictureFormat::Nv12) {
    const uint32_t width = EvenNv12Size(target.width), height = EvenNv12Size(target.height);
    for (uint32_t row = 0; row < height; ++row) std::memset(target.planes[0] + size_t{row} * target.pitches[0], value, width);
    for (uint32_t row = 0; row < height / 2; ++row) std::memset(target.planes[1] + size_t{row} * target.pitches[1], 128, width);
  } else {
    for (uint32_t row = 0; row < target.height; ++row) {
      uint8_t* line = target.planes[0] + size_t{row} * target.pitches[0];
      for (uint32_t x = 0; x < target.width; ++x) {
        line[4 * x] = line[4 * x + 1] = line[4 * x + 2] = value;
        line[4 * x + 3] = 255;
      }
    }
  }
  return S_OK;
}

HRESULT ScriptedMediaSource::Seek(int64_t position) {
  log_->Add(ScriptedSourceLog::Kind::Seek, position);
  const ScriptedFaults& faults = script_->faults;
  if (faults.refuseAllSeeks || faults.refusedSeeks.count(position) != 0) return E_FAIL;
  size_t target = 0;
  for (size_t i = 0; i < script_->frames.size(); ++i) {
    if (script_->frames[i].time > position) break;
    if (script_->frames[i].keyFrame) target = i;
  }
  next_ = target;
  lastFrame_.reset();
  return S_OK;
}

void ScriptedMediaSource::Flush() {
  log_->Add(ScriptedSourceLog::Kind::Flush);
  lastFrame_.reset();
}

}  // namespace korvane::mf

namespace {

using ABI::Windows::Storage::Streams::IRandomAccessStream;

// Holds no bytes: the reader takes its source from IMediaSourceFactory instead. Closable as the
// platform's streams are (the front end closes a stream it replaces): after Close every call
// but Close fails with RO_E_CLOSED; readers made before keep their sources.
class ScriptedStream final
    : public RuntimeClass<korvane::com::kPlainRuntimeClass, IRandomAccessStream, ABI::Windows::Foundation::IClosable,
                          korvane::mf::IMediaSourceFactory, korvane::winrt::IRandomAccessStreamIo> {
 public:
  ScriptedStream(std::shared_ptr<const korvane::mf::ScriptedSource> script,
                 std::shared_ptr<korvane::mf::ScriptedSourceLog> log)
      : script_(std::move(script)), log_(std::move(log)) {}

  HRESULT CreateMediaSource(std::unique_ptr<korvane::mf::MediaSource>* source) override {
    return CallBoundary(closed_, [&] { *source = std::make_unique<korvane::mf::ScriptedMediaSource>(script_, log_); },
                        source);
  }

  HRESULT get_Size(UINT64* value) override { return CallBoundary(closed_, [] {}, value); }
  HRESULT put_Size(UINT64) override { return closed_ ? RO_E_CLOSED : E_NOTIMPL; }
  HRESULT get_Position(UINT64* value) override { return CallBoundary(closed_, [] {}, value); }
  HRESULT Seek(UINT64) override { return closed_ ? RO_E_CLOSED : S_OK; }
  HRESULT CloneStream(IRandomAccessStream** stream) override {
    return CallBoundary(closed_, [&] { *stream = MakeRuntimeObject<ScriptedStream>(script_, log_).Detach(); }, stream);
  }
  HRESULT get_CanRead(BOOL* value) override { return CallBoundary(closed_, [&] { *value = TRUE; }, value); }
  HRESULT get_CanWrite(BOOL* value) override { return CallBoundary(closed_, [] {}, value); }
  HRESULT Close() override {
    closed_ = true;
    return S_OK;
  }
  HRESULT ReadAt(void*, ULONG, ULONG* read) override { return CallBoundary(closed_, [] {}, read); }
  HRESULT WriteAt(const void*, ULONG, ULONG*) override { return closed_ ? RO_E_CLOSED : E_ACCESSDENIED; }

 protected:
  const char* RuntimeClassNameText() const override { return "Korvane.Testing.ScriptedStream"; }

 private:
  std::shared_ptr<const korvane::mf::ScriptedSource> script_;
  std::shared_ptr<korvane::mf::ScriptedSourceLog> log_;
  std::atomic<bool> closed_{false};
};

}  // namespace

HRESULT CreateScriptedStream(std::shared_ptr<const korvane::mf::ScriptedSource> script,
                             std::shared_ptr<korvane::mf::ScriptedSourceLog> log, IRandomAccessStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (!script || !log) return E_INVALIDARG;
  *stream = MakeRuntimeObject<ScriptedStream>(std::move(script), std::move(log)).Detach();
  return S_OK;
}
