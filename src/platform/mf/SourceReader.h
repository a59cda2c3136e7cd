// The asynchronous source reader (IMFSourceReader) over any MediaSource; the behaviour a client
// may rely on is described in MfReadWrite.h.
//
// This object validates calls, owns the stream selection and the media types, and maps the
// current type to the pictures to make (OutputFormat); SourceReaderWorker does the reading.
// Thread-safe: `mutex_` guards the selection and the current type. The one call made with it
// held is SourceReaderWorker::SetOutput (whose lock is taken after this one), so that the type
// and the pictures made can never disagree.
#pragma once

#include "platform/com/ComObject.h"
#include "platform/mf/MediaType.h"
#include "platform/mf/SourceReaderWorker.h"

#include <memory>
#include <mutex>
#include <optional>

namespace korvane::mf {

class SourceReader final : public ComObject<IMFSourceReader> {
 public:
  // E_INVALIDARG without an IMFSourceReaderCallback in MF_SOURCE_READER_ASYNC_CALLBACK; the
  // device manager's failure when it has no device to give.
  static HRESULT Create(std::unique_ptr<MediaSource> source, IMFAttributes* attributes, IMFSourceReader** reader);

  HRESULT GetStreamSelection(DWORD streamIndex, BOOL* selected) override;
  HRESULT SetStreamSelection(DWORD streamIndex, BOOL selected) override;
  HRESULT GetNativeMediaType(DWORD streamIndex, DWORD typeIndex, IMFMediaType** mediaType) override;
  HRESULT GetCurrentMediaType(DWORD streamIndex, IMFMediaType** mediaType) override;
  HRESULT SetCurrentMediaType(DWORD streamIndex, DWORD* reserved, IMFMediaType* mediaType) override;
  HRESULT SetCurrentPosition(REFGUID timeFormat, const PROPVARIANT& position) override;
  HRESULT ReadSample(DWORD streamIndex, DWORD controlFlags, DWORD* actualStreamIndex, DWORD* streamFlags,
                     LONGLONG* timestamp, IMFSample** sample) override;
  HRESULT Flush(DWORD streamIndex) override;
  HRESULT GetServiceForStream(DWORD streamIndex, REFGUID service, REFIID iid, void** object) override;
  HRESULT GetPresentationAttribute(DWORD streamIndex, REFGUID attribute, PROPVARIANT* value) override;

  // The pictures a current type of `subtype` and `width` × `height` asks for (see MfReadWrite.h:
  // the stored size means the upright stored size).
  static OutputFormat OutputFor(const MediaSourceInfo& info, REFGUID subtype, uint32_t width, uint32_t height);

 protected:
  ~SourceReader() override;

 private:
  enum class Stream { kVideo, kAudio };

  explicit SourceReader(const MediaSourceInfo& info);

  std::optional<Stream> Resolve(DWORD streamIndex) const;
  static ComPtr<MediaType> CopyOf(IMFMediaType* type);

  const MediaSourceInfo info_;
  ComPtr<MediaType> native_;       // never changed after construction
  ComPtr<MediaType> audioNative_;  // set when the source has audio
  std::shared_ptr<SourceReaderWorker> worker_;

  std::mutex mutex_;
  // -- guarded by mutex_
  ComPtr<MediaType> current_;
  bool videoSelected_ = true;
  bool audioSelected_ = true;
};

}  // namespace korvane::mf
