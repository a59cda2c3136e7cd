// A scripted media source: a test describes the frames, the media type and the faults, and the
// real source reader (threads, flush, seek rules, flags) runs over it exactly as over a file.
// The decoder's state machine is tested through it deterministically.
//
// A test makes a stream with CreateScriptedStream and hands it to the decoder like any video
// stream: the media byte stream made on it brings this source instead of FFmpeg. What the reader
// asked of the source (reads, seeks, flushes) is recorded in the shared ScriptedSourceLog.
//
// Frames are delivered in the order given (presentation order). A seek lands on the last key
// frame at or before the position (the first frame when there is none), as a real source does.
// Pictures are uniform: luma = the frame's `value`, chroma 128, so a test reads a texture's
// first byte to know which frame it holds.
#pragma once

#include "platform/mf/MediaSource.h"
#include "platform/winrt/RandomAccessStream.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvane::mf {

struct ScriptedFrame {
  int64_t time = 0;
  std::optional<int64_t> duration;  // none: the sample has no duration
  bool keyFrame = true;
  uint8_t value = 0;                // the luma value that identifies the frame
};

struct ScriptedFaults {
  // Seeks to these exact positions fail with E_FAIL.
  std::set<int64_t> refusedSeeks;
  // Every seek fails with E_FAIL (a source that cannot seek at all).
  bool refuseAllSeeks = false;
  // Once this many frames have been delivered, every further read fails with E_FAIL.
  std::optional<size_t> errorAfterFrames;
  // Asked at every read, after `beforeRead`: true makes that read, and every later one, fail
  // with E_FAIL (a test decides at run time which read breaks).
  std::function<bool()> errorNow;
  // Before delivering the frame at these indices (the first time it is reached), one read ends
  // with a stream tick at that frame's time / with no flag and no sample at all.
  std::set<size_t> streamTickBefore;
  std::set<size_t> nothingBefore;
};

struct ScriptedSource {
  MediaSourceInfo info;
  std::vector<ScriptedFrame> frames;
  ScriptedFaults faults;
  // Called on the reader's work thread at the start of every read, before anything is decided:
  // a test may block here to hold a read outstanding (and release it when it wants the sample).
  std::function<void()> beforeRead;
};

// Thread-safe record of the calls the reader made on the source.
class ScriptedSourceLog {
 public:
  enum class Kind { Read, Seek, Flush };
  struct Entry {
    Kind kind;
    int64_t position;  // the seek position; 0 otherwise
  };

  void Add(Kind kind, int64_t position = 0);
  std::vector<Entry> Entries() const;
  size_t Count(Kind kind) const;
  // "read", "seek 5000000", "flush": one line per entry, for readable assertions.
  std::vector<std::string> Lines() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;  // guarded by mutex_
};

class ScriptedMediaSource final : public MediaSource {
 public:
  ScriptedMediaSource(std::shared_ptr<const ScriptedSource> script, std::shared_ptr<ScriptedSourceLog> log);

  const MediaSourceInfo& Info() const override { return script_->info; }
  SourceRead ReadNext() override;
  HRESULT Render(const PictureTarget& target) override;
  HRESULT Seek(int64_t position) override;
  void Flush() override;

 private:
  std::shared_ptr<const ScriptedSource> script_;
  std::shared_ptr<ScriptedSourceLog> log_;
  size_t next_ = 0;           // index of the next frame to deliver
  size_t delivered_ = 0;      // frames delivered since the start
  bool failed_ = false;
  std::optional<size_t> lastFrame_;  // the frame Render draws
  std::set<size_t> ticksDone_;
  std::set<size_t> nothingDone_;
};

}  // namespace korvane::mf

// A random-access stream (empty of bytes) whose media byte stream brings a ScriptedMediaSource
// over `script`; each reader made on it gets a fresh source that records into `log`. It answers
// IClosable as the platform's streams do: once closed it refuses every call with RO_E_CLOSED,
// while readers already made on it read on.
HRESULT CreateScriptedStream(std::shared_ptr<const korvane::mf::ScriptedSource> script,
                             std::shared_ptr<korvane::mf::ScriptedSourceLog> log,
                             ABI::Windows::Storage::Streams::IRandomAccessStream** stream);
