// VideoDecoderStorageCache: the on-disk frame cache. Each record names a file holding one raw
// frame exactly as a mapped staging texture lays it out, with no header: DepthPitch bytes, for
// NV12 Height luma rows then Height / 2 interleaved chroma rows, for B8G8R8A8 Height rows of
// pixels, each row RowPitch bytes. The first stored frame fixes the format and size (whatever
// the decoder produces); every later frame must have the same.
//
// The folder. The cache owns `folderPath` entirely: construction deletes the folder with
// everything in it and creates it again empty, so frames of an earlier run are never reused.
// CacheFolder is folderPath + "/" (also when folderPath already ends with '/'); files are
// CacheFolder + "precache.data" (8 bytes: width, height, unsigned 32-bit little-endian,
// written once at the first store, never read back) and one CacheFolder + "<Time>_<Duration>_
// <0|1>.tmp" per frame. A path that does not name a folder the cache can own — empty, naming
// the filesystem root, the working folder or a folder above it, or holding a NUL character —
// is refused: nothing is deleted, created or ever written, and the cache simply keeps nothing
// (HasSpace is false). The judgement is textual, with one look at the disk: a path naming a
// symbolic link (to a folder or anything else) is refused the same way, since the folder it leads
// to is not the cache's to wipe or fill; the link and its target are left alone.
// Files stay on disk when the cache is destroyed; the next cache for the folder deletes them.
//
// Space. HasSpace is decided once, at construction: the disk must have at least
// kMinimumFreeSpace bytes free for this caller (a failed query counts as none). It is cleared
// for good when a store finds records × FrameByteSize at or above kDiskBudget. While it is
// clear nothing is written; loading is unaffected.
//
// Failures. File errors (open, write, read, close) never throw: the affected record is dropped
// where stated and the diagnostic text is composed and discarded (the component writes no log).
// Direct3D failures (creating the staging texture, Map) throw the platform exception for their
// HRESULT; a store that throws at Map leaves a record without a file, which the next load of it
// drops.
//
// Threads and locks: none of its own; every call is made with the owning
// VideoDecoderCacheManager's Lock held (see VideoDecoderCacheBase). Files are written and read
// synchronously on the calling thread; Map blocks it until the copy is done.
//
// Caching policy (CachingPolicy.h). The default policy is the behaviour above, on its own code
// path. Any other policy keeps each frame as one encoded payload (raw or compressed): in memory
// while the RAM budget allows, nearest to Position first, otherwise in a file named
// "<Time>_<Duration>_<0|1>.tmp" (".zst" when compressed) that holds exactly the payload. Under
// it the disk is reckoned in the bytes actually written (DiskBytes): Stop clears HasSpace for
// good once DiskBytes reaches the budget before a store; EvictFarthest deletes the files farthest
// from Position to make room (never one nearer than the frame being stored, which is then
// refused), so DiskBytes never exceeds the budget. A frame whose payload does not decode to a
// whole frame (damaged, cut short, checksum wrong) is dropped like any unreadable file. Files
// are deleted only under a non-default policy, only files this cache wrote (named by their
// records, inside CacheFolder), and only regular files. The buffer of a frame that leaves memory
// is kept for the next frame there, as long as the frames in memory and the kept buffers
// together stay within the RAM budget.
//
// Resources: one staging texture (created at the first store or load) and one read buffer
// (allocated at the first load) serve every transfer; neither is reallocated per frame.
#pragma once

#include "cache/CachingPolicy.h"
#include "cache/FrameCodec.h"
#include "cache/VideoDecoderCacheBase.h"
#include "platform/com/HString.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace korvane {

class VideoDecoderStorageCache final : public VideoDecoderCacheBase {
 public:
  // Free bytes the disk must offer at construction for anything to be written (1 GiB).
  static constexpr uint64_t kMinimumFreeSpace = 1'073'741'824;
  // Records × FrameByteSize at which storing stops for good (500 MiB).
  static constexpr uint64_t kDiskBudget = 524'288'000;

  VideoDecoderStorageCache(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
                           Platform::String folderPath, const CachingPolicy& policy = {});
  // Releases the staging texture and the read buffer; files and folder stay on disk.
  ~VideoDecoderStorageCache() override;

  // Whether `folderPath` names a folder this cache may own, judged from its text alone: not
  // empty, no NUL character, and not resolving to the filesystem root, the working folder or a
  // folder above it once empty, "." and ".." components are collapsed ("", "/", "//", "/..",
  // ".", "a/..", ".." are all refused; "../cache" is accepted).
  static bool IsOwnableFolderPath(const Platform::String& folderPath);

  // Not provided on this platform (it reported the size of the application's temporary
  // folder, not of this cache, and nothing calls it): throws Platform::NotImplementedException.
  uint64_t GetSize() override;
  // Stores one frame: refused (false) when HasSpace is clear or the budget is reached, or when
  // a record already matches `time`. Otherwise records the frame, copies `texture` through the
  // staging texture and writes its file; true even when the file could not be written (the
  // record is then dropped, or kept when the write was short). The flag is written into the
  // file name only; records keep Flag false. Throws Platform::InvalidArgumentException for a
  // null texture, a texture of another format or size than the first stored frame, and a first
  // frame that is neither NV12 nor B8G8R8A8.
  bool Add(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) override;
  // Forgets every record; deletes no file.
  void Clear() override;
  // Nothing: stored frames leave only through Clear or when their file proves unreadable.
  void RemoveBefore(int64_t time) override;
  void RemoveAfter(int64_t time) override;

  // Whether the frame matching t has a whole file on disk: a regular file exactly as long as a
  // frame file (FrameFileSize). A record whose file is missing, is a folder or a link, or has any
  // other length (cut short by a full disk, or replaced) is dropped, and the answer is false.
  bool HasFrameFile(int64_t t);
  // Reads the stored frame matching t into `texture` (same description as the stored frames)
  // and reports its Time, Duration and Flag; true on success. False, with nothing read, when no
  // record matches t. False, and the record dropped, when its file is not whole (HasFrameFile),
  // cannot be opened, or cannot be read in full. False, record kept, when the read buffer cannot
  // be allocated. The record stays after a successful load; the file is left untouched. Throws
  // for a null texture and for Direct3D failures.
  bool LoadFrame(int64_t t, const ComPtr<ID3D11Texture2D>& texture, int64_t& time, int64_t& duration, bool& flag);

  // -- guarded by the owning VideoDecoderCacheManager's Lock --
  bool HasSpace = false;
  // The picture bytes of one frame (NV12: Width × Height × 3 / 2; B8G8R8A8: Width × Height × 4),
  // for the budget; 0 until the first store.
  uint64_t FrameByteSize = 0;
  ComPtr<ID3D11Texture2D> StagingTexture;
  DXGI_FORMAT Format = DXGI_FORMAT_UNKNOWN;  // of the first stored frame
  uint32_t Width = 0;
  uint32_t Height = 0;
  Platform::String CacheFolder;       // folderPath + "/"
  Platform::String PrecacheDataPath;  // CacheFolder + "precache.data"
  std::unique_ptr<uint8_t[]> ReadBuffer;
  // Bytes of ReadBuffer, fixed at the first load: the length of a whole frame file, which is
  // FrameFileSize (not the first file's own length, so that one damaged file cannot make every
  // later load short). 0 before the first load.
  size_t ReadSize = 0;
  size_t FrameFileSize = 0;  // DepthPitch of the staging mapping seen by the first store; 0 before
  const CachingPolicy Policy;
  // The current position (set by the manager); what "farthest" is measured from.
  int64_t Position = 0;
  // Under a non-default policy: bytes of the frame files on disk (and their peak) and of the
  // payloads kept in memory.
  uint64_t DiskBytes = 0;
  uint64_t PeakDiskBytes = 0;
  uint64_t RamBytes = 0;
  // Capacity of the spare buffers kept for the next frames in memory; RamBytes + SpareBytes
  // stays within the RAM budget.
  uint64_t SpareBytes = 0;

 private:
  bool AddWithPolicy(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag);
  bool AcceptFrameTexture(const D3D11_TEXTURE2D_DESC& desc);
  bool Keep(CachedFrame record, std::span<const uint8_t> payload);
  bool WriteToDisk(CachedFrame record, std::span<const uint8_t> payload);
  bool MakeDiskRoom(uint64_t bytes, int64_t time);
  FrameSet::const_iterator Farthest(bool inMemory) const;
  // ReadBuffer of ReadSize bytes, fixed at the first load; false when it cannot be allocated.
  bool EnsureReadBuffer();
  bool ReadPayload(FrameSet::const_iterator record);
  // Removes a record; under a non-default policy also its bytes, and its file from the disk.
  void Drop(FrameSet::const_iterator record);
  // A buffer holding `bytes` for a frame kept in memory: a spare one when one is large enough.
  std::shared_ptr<std::vector<uint8_t>> MakePayload(std::span<const uint8_t> bytes);
  // Keeps the buffer of a frame that left memory for the next one, within the RAM budget.
  void RecyclePayload(std::shared_ptr<std::vector<uint8_t>> buffer);

  void PrepareFolder(const Platform::String& folderPath);
  bool HasWholeFile(FrameSet::const_iterator record);
  bool WritePrecacheData();
  void EnsureStagingTexture();
  static uint64_t FrameBytes(const D3D11_TEXTURE2D_DESC& desc);
  std::string DescribeStoredFrame() const;

  FrameCodec Codec;
  bool FolderReady = false;  // HasSpace as construction decided it
  std::vector<uint8_t> EncodedBuffer;  // a compressed payload read from its file
  // Buffers of frames that left memory, reused for the next ones. A fresh frame-sized
  // allocation per frame costs page faults, and the heap that thousands of them leave behind
  // stays resident well above the RAM budget.
  std::vector<std::shared_ptr<std::vector<uint8_t>>> SparePayloads;
};

}  // namespace korvane
