// The engine of one source reader: its work thread, the queue of reads and flushes, the media
// source and the texture pool. SourceReader (the COM object) validates calls and owns the media
// types; everything that touches the source happens here.
//
// Threads and locks:
// - The work thread runs queued commands in order (reads and flushes) and makes every callback
//   (OnReadSample, OnFlush), with no lock held while the callback runs.
// - `mutex_` guards the queue and the counters below it. It is never held while calling the
//   source or the callback.
// - `sourceMutex_` guards every call on the source (Interrupt excepted), the sticky failure and
//   the pool's use; it is held by the work thread while it reads or flushes, and by Seek on the
//   caller's thread. It is innermost: nothing is called with it held but the source and the pool.
//
// Lifetime: made by Start, which launches the thread; the thread holds a shared reference to
// the worker until it ends. Stop (the reader's last Release) ends it as MfReadWrite.h says: no
// callback begins after Stop returns; a running one finishes on its own.
#pragma once

#include "platform/d3d11/D3D11.h"
#include "platform/mf/MediaSource.h"
#include "platform/mf/MfReadWrite.h"
#include "platform/mf/TexturePool.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace korvane::mf {

// What the pictures are made into.
struct OutputFormat {
  PictureFormat format = PictureFormat::Nv12;
  uint32_t width = 0;   // the picture's, in display orientation; NV12 textures round it up to even
  uint32_t height = 0;
};

class SourceReaderWorker : public std::enable_shared_from_this<SourceReaderWorker> {
 public:
  // The stream index the reader reports for video samples.
  static constexpr DWORD kVideoStream = 0;

  static std::shared_ptr<SourceReaderWorker> Start(std::unique_ptr<MediaSource> source,
                                                   ComPtr<IMFSourceReaderCallback> callback,
                                                   ComPtr<ID3D11Device> device, const OutputFormat& output);

  SourceReaderWorker(const SourceReaderWorker&) = delete;
  SourceReaderWorker& operator=(const SourceReaderWorker&) = delete;
  ~SourceReaderWorker();

  // Queues a read of the video stream. MF_E_NOTACCEPTING while a flush is pending,
  // MF_E_SHUTDOWN after Stop.
  HRESULT QueueRead();
  // Drops the pending reads and queues a flush; OnFlush(streamIndex) follows.
  HRESULT QueueFlush(DWORD streamIndex);
  // Positions the source now, on the caller's thread. MF_E_INVALIDREQUEST while a read is
  // pending; the sticky failure after an error.
  HRESULT Seek(int64_t position);
  // Applies from the next picture made.
  void SetOutput(const OutputFormat& output);
  // Ends the work thread (see the file comment). Idempotent; any thread, the work thread too.
  void Stop();

 private:
  enum class CommandKind { kRead, kFlush };
  struct Command {
    CommandKind kind;
    uint64_t generation;  // reads: the flush generation they were asked in
    DWORD streamIndex;    // flushes: as given to Flush
  };
  // What a read produced, for OnReadSample.
  struct ReadResult {
    HRESULT status = S_OK;
    DWORD flags = 0;
    LONGLONG time = 0;
    ComPtr<IMFSample> sample;
  };

  SourceReaderWorker(std::unique_ptr<MediaSource> source, ComPtr<IMFSourceReaderCallback> callback,
                     ComPtr<ID3D11Device> device, const OutputFormat& output);

  void Run();
  ReadResult ExecuteRead();
  HRESULT MakeSample(const SourceRead& read, const OutputFormat& output, ComPtr<IMFSample>& sample);
  // Marks a callback as running and gives the callback to call; false when the worker stops
  // (then nothing is called). Called with mutex_ held.
  bool BeginCallback(ComPtr<IMFSourceReaderCallback>& callback);
  void EndCallback();

  const std::unique_ptr<MediaSource> source_;  // calls guarded by sourceMutex_ (Interrupt excepted)

  std::mutex sourceMutex_;
  // -- guarded by sourceMutex_
  HRESULT failure_ = S_OK;  // sticky: every read after a failure reports it
  TexturePool pool_;

  std::mutex mutex_;
  std::condition_variable wake_;
  // -- guarded by mutex_
  ComPtr<IMFSourceReaderCallback> callback_;  // released by the work thread as it ends
  std::deque<Command> queue_;
  uint64_t generation_ = 0;   // bumped by every flush; reads of an older generation are dropped
  int pendingReads_ = 0;      // reads asked for whose callback has not begun
  int pendingFlushes_ = 0;    // flushes whose OnFlush has not begun
  bool inCallback_ = false;   // the work thread is inside a callback
  bool stopping_ = false;
  OutputFormat output_;
  std::thread thread_;        // moved out by Stop
};

}  // namespace korvane::mf
