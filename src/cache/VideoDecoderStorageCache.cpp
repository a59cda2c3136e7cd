#include "cache/VideoDecoderStorageCache.h"

#include "module/FolderUtilities.h"
#include "platform/com/Exceptions.h"
#include "platform/win32/Win32.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {
namespace {

// The component has no log: diagnostic texts are composed where something notable happens and
// then dropped. Keeping the composition (rather than deleting it) keeps the cost and the
// failure behaviour (an allocation that can throw) of the original in the same places.
void Diagnose(const std::string& text) { static_cast<void>(text); }

std::string Number(int64_t value) { return std::to_string(value); }

// "<text>: errno=<e>, result=<r>, ferror=<f>"
std::string FileErrorText(std::string_view text, int error, int64_t result, int indicator) {
  return std::string(text) + ": errno=" + Number(error) + ", result=" + Number(result) + ", ferror=" + Number(indicator);
}

// One open cache file. Close() reports fclose's result and the stream's error indicator read
// just before closing; the destructor closes a file still open and ignores the outcome.
class CacheFile {
 public:
  CacheFile(const Platform::String& path, const char* mode, int share) : file_(_wfsopen(path.Data(), mode, share)) {}
  ~CacheFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  CacheFile(const CacheFile&) = delete;
  CacheFile& operator=(const CacheFile&) = delete;

  explicit operator bool() const { return file_ != nullptr; }
  FILE* Get() const { return file_; }

  // Closes; composes `text` with the details when fclose fails.
  void Close(std::string_view text) {
    const int indicator = std::ferror(file_);
    const int result = std::fclose(std::exchange(file_, nullptr));
    if (result != 0) Diagnose(FileErrorText(text, errno, result, indicator));
  }

 private:
  FILE* file_;
};

// A mapping of the staging texture for the length of one transfer. Map failures throw the
// platform exception for their HRESULT; the destructor always unmaps.
class StagingMapping {
 public:
  StagingMapping(ID3D11DeviceContext* context, ID3D11Texture2D* texture, D3D11_MAP type)
      : context_(context), texture_(texture) {
    ThrowIfFailed(context_->Map(texture_, 0, type, 0, &mapped_));
  }
  ~StagingMapping() { context_->Unmap(texture_, 0); }
  StagingMapping(const StagingMapping&) = delete;
  StagingMapping& operator=(const StagingMapping&) = delete;

  uint8_t* Data() const { return static_cast<uint8_t*>(mapped_.pData); }
  size_t Size() const { return mapped_.DepthPitch; }

 private:
  ID3D11DeviceContext* context_;
  ID3D11Texture2D* texture_;
  D3D11_MAPPED_SUBRESOURCE mapped_{};
};

void WriteLittleEndian32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::string DescribeTexture(const D3D11_TEXTURE2D_DESC& desc) {
  return Number(desc.Width) + " x " + Number(desc.Height) + " format " + Number(desc.Format);
}

}  // namespace

VideoDecoderStorageCache::VideoDecoderStorageCache(ComPtr<ID3D11Device> device, ComPtr<ID3D11DeviceContext> context,
                                                   Platform::String folderPath, const CachingPolicy& policy)
    : VideoDecoderCacheBase(std::move(device), std::move(context)), Policy(policy), Codec(policy.Compression) {
  // The folder path gets its separator appended even when it already ends with one: "a/" gives
  // "a//", which names the same folder.
  CacheFolder = folderPath + "/";
  PrecacheDataPath = CacheFolder + "precache.data";
  PrepareFolder(folderPath);
  FolderReady = HasSpace;
  FrameByteSize = static_cast<uint32_t>(Width * Height * 3) / 2;
}

VideoDecoderStorageCache::~VideoDecoderStorageCache() {
  StagingTexture.Reset();
  ReadBuffer.reset();
}

bool VideoDecoderStorageCache::IsOwnableFolderPath(const Platform::String& folderPath) {
  const std::string_view path = folderPath.View();
  // A NUL would cut the path short where the file calls read it, naming some other folder.
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  const bool absolute = path.front() == '/';
  std::vector<std::string_view> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (component.empty() || component == ".") {
      // Repeated separators and "." name the same folder.
    } else if (component == ".." && !components.empty() && components.back() != "..") {
      components.pop_back();
    } else if (component == ".." && absolute) {
      // ".." of the root is the root.
    } else {
      components.push_back(component);
    }
    start = end + 1;
  }
  // Nothing left: the root (absolute) or the working folder (relative). Only ".." left: a
  // folder that holds the working folder. None of them is a folder the cache may wipe.
  return std::any_of(components.begin(), components.end(), [](std::string_view c) { return c != ".."; });
}

void VideoDecoderStorageCache::PrepareFolder(const Platform::String& folderPath) {
  if (!IsOwnableFolderPath(folderPath)) {
    Diagnose("Refused cache folder: \"" + folderPath.Str() + "\"");
    HasSpace = false;
    return;
  }
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  const bool exists = GetFileAttributesExW(CacheFolder.Data(), GetFileExInfoStandard, &attributes);
  if (exists && (attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link named as the cache folder leads to a folder the cache does not own and could not
    // wipe: writing frames there would mix them with (and overwrite) whatever it holds.
    Diagnose("Refused cache folder, a symbolic link: \"" + folderPath.Str() + "\"");
    HasSpace = false;
    return;
  }
  if (exists && (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    Korvane::Native::DeleteFolder(CacheFolder);
  }
  // Fails harmlessly when the folder survived the delete or its parent is missing; every file
  // open then fails and is dropped with its diagnostic.
  CreateDirectoryW(CacheFolder.Data(), nullptr);

  // Decided once: a disk that is nearly full at the start is never written to.
  ULARGE_INTEGER freeBytes{};
  HasSpace = GetDiskFreeSpaceExW(CacheFolder.Data(), &freeBytes, nullptr, nullptr) &&
             freeBytes.QuadPart >= kMinimumFreeSpace;
}

uint64_t VideoDecoderStorageCache::GetSize() {
  throw Platform::NotImplementedException(
      "VideoDecoderStorageCache::GetSize: the application's temporary folder is not available on this platform");
}

bool VideoDecoderStorageCache::Add(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration, bool flag) {
  if (!texture) throw Platform::InvalidArgumentException("VideoDecoderStorageCache::Add: the texture is null");
  if (!Policy.IsDefault()) return AddWithPolicy(texture, time, duration, flag);
  // The budget is an estimate from the record count; once reached, storing stops for good.
  if (static_cast<uint64_t>(Frames.size()) * FrameByteSize >= kDiskBudget) HasSpace = false;
  if (!HasSpace) return false;
  if (Contains(time)) return false;

  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  const bool first = !StagingTexture;
  if (first) {
    // Sized from the first frame, whatever its format: every later frame must match it.
    FrameByteSize = FrameBytes(desc);
  } else if (desc.Format != Format || desc.Width != Width || desc.Height != Height) {
    throw Platform::InvalidArgumentException("VideoDecoderStorageCache::Add: the frame texture is " +
                                             DescribeTexture(desc) + ", not " + DescribeStoredFrame());
  }

  Diagnose("Caching at [" + Number(time) + "]");
  const CachedFrame record(nullptr, time, duration, false,
                           CacheFolder + (Number(time) + "_" + Number(duration) + "_" + (flag ? "1" : "0") + ".tmp"));
  Frames.insert(record);

  if (first) {
    Format = desc.Format;
    Width = desc.Width;
    Height = desc.Height;
    // Without the frame size beside them the files cannot be told apart from garbage, so the
    // frame is not recorded; its file is still written below.
    if (!WritePrecacheData()) EraseEquivalent(record);
  }

  EnsureStagingTexture();
  Context->CopySubresourceRegion(StagingTexture.Get(), 0, 0, 0, 0, texture.Get(), 0, nullptr);
  StagingMapping mapping(Context.Get(), StagingTexture.Get(), D3D11_MAP_READ);
  if (FrameFileSize == 0) FrameFileSize = mapping.Size();

  CacheFile file(record.FilePath, "wb", _SH_DENYRW);
  if (!file) {
    Diagnose("Couldn't open a file: errno=" + Number(errno));
    EraseEquivalent(record);
    return true;
  }
  // The file is the mapped subresource as it is, padding included: no conversion on the way.
  const size_t written = std::fwrite(mapping.Data(), 1, mapping.Size(), file.Get());
  if (written != mapping.Size()) {
    // The record stays: the next load of it finds the file short and drops it then.
    Diagnose(FileErrorText("Couldn't write a file", errno, static_cast<int64_t>(written), std::ferror(file.Get())));
  }
  file.Close("Couldn't close a file");
  return true;
}

bool VideoDecoderStorageCache::WritePrecacheData() {
  CacheFile file(PrecacheDataPath, "wb", _SH_DENYRW);
  if (!file) {
    Diagnose("Couldn't open a precache data file: errno=" + Number(errno));
    return false;
  }
  uint8_t bytes[4];
  WriteLittleEndian32(bytes, Width);
  size_t count = std::fwrite(bytes, sizeof bytes, 1, file.Get());
  if (count != 1) {
    Diagnose(FileErrorText("Couldn't write a precache data file (width)", errno, static_cast<int64_t>(count),
                           std::ferror(file.Get())));
  }
  WriteLittleEndian32(bytes, Height);
  count = std::fwrite(bytes, sizeof bytes, 1, file.Get());
  if (count != 1) {
    Diagnose(FileErrorText("Couldn't write a precache data file (height)", errno, static_cast<int64_t>(count),
                           std::ferror(file.Get())));
  }
  file.Close("Couldn't close a precache data file");
  return true;
}

uint64_t VideoDecoderStorageCache::FrameBytes(const D3D11_TEXTURE2D_DESC& desc) {
  switch (desc.Format) {
    case DXGI_FORMAT_NV12:
      // In 32 bits, as the budget has always been reckoned for NV12 frames.
      return static_cast<uint32_t>(desc.Width * desc.Height * 3) / 2;
    case DXGI_FORMAT_B8G8R8A8_UNORM:
      return uint64_t{desc.Width} * desc.Height * 4;
    default:
      throw Platform::InvalidArgumentException("VideoDecoderStorageCache::Add: frames of " + DescribeTexture(desc) +
                                               " cannot be stored (NV12 or B8G8R8A8 only)");
  }
}

std::string VideoDecoderStorageCache::DescribeStoredFrame() const {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Format = Format;
  desc.Width = Width;
  desc.Height = Height;
  return DescribeTexture(desc);
}

void VideoDecoderStorageCache::EnsureStagingTexture() {
  if (StagingTexture) return;
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = Width;
  desc.Height = Height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = Format;
  desc.SampleDesc = {1, 0};
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE;
  desc.MiscFlags = 0;
  ThrowIfFailed(Device->CreateTexture2D(&desc, nullptr, &StagingTexture));
}

void VideoDecoderStorageCache::Clear() {
  std::vector<std::shared_ptr<std::vector<uint8_t>>> payloads;
  for (const CachedFrame& frame : Frames) {
    if (frame.Payload) payloads.push_back(frame.Payload);
  }
  EraseAll();
  // The payloads kept in memory went with their records; the files stay, and so does their count.
  RamBytes = 0;
  for (auto& payload : payloads) RecyclePayload(std::move(payload));
}

void VideoDecoderStorageCache::RemoveBefore(int64_t /*time*/) {}

void VideoDecoderStorageCache::RemoveAfter(int64_t /*time*/) {}

bool VideoDecoderStorageCache::HasFrameFile(int64_t t) {
  const auto record = FindMatching(t);
  return record != Frames.end() && HasWholeFile(record);
}

bool VideoDecoderStorageCache::HasWholeFile(FrameSet::const_iterator record) {
  // A whole frame file is exactly the staging mapping's size, known from the first store that got
  // as far as mapping; without one, no file in the folder was written by this cache. A file of any
  // other length was cut short (a full disk) or replaced: its bytes are not this frame, not even
  // the first ones, so it is never read.
  if (record->Payload) return true;  // kept in memory, no file
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (!GetFileAttributesExW(record->FilePath.Data(), GetFileExInfoStandard, &attributes) ||
      (attributes.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    Diagnose("File doesn't exists anymore: errno=" + Number(errno) + ", LastError=" + Number(GetLastError()));
    Drop(record);
    return false;
  }
  const uint64_t length = (uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
  // Under a policy a file holds its payload, whose length the record knows.
  const uint64_t expected = Policy.IsDefault() ? FrameFileSize : record->StoredBytes;
  if (FrameFileSize == 0 || length != expected) {
    Diagnose("Couldn't load a file: size=" + Number(static_cast<int64_t>(length)) +
             ", expected=" + Number(static_cast<int64_t>(expected)));
    Drop(record);
    return false;
  }
  return true;
}

bool VideoDecoderStorageCache::LoadFrame(int64_t t, const ComPtr<ID3D11Texture2D>& texture, int64_t& time,
                                         int64_t& duration, bool& flag) {
  if (!texture) throw Platform::InvalidArgumentException("VideoDecoderStorageCache::LoadFrame: the texture is null");
  const auto record = FindMatching(t);
  if (record == Frames.end()) return false;

  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  if (desc.Format != Format || desc.Width != Width || desc.Height != Height) {
    throw Platform::InvalidArgumentException("VideoDecoderStorageCache::LoadFrame: the target texture is " +
                                             DescribeTexture(desc) + ", not " + DescribeStoredFrame());
  }

  if (!HasWholeFile(record)) return false;
  if (!Policy.IsDefault()) {
    if (!ReadPayload(record)) return false;
  } else {
    CacheFile file(record->FilePath, "rb", _SH_DENYWR);
    if (!file) {
      Diagnose("Couldn't open a file: errno=" + Number(errno));
      Erase(record);
      return false;
    }

    if (!EnsureReadBuffer()) return false;

    const size_t count = std::fread(ReadBuffer.get(), 1, ReadSize, file.Get());
    if (count != ReadSize) {
      // The buffer's tail still holds an earlier frame: this file is not a frame.
      Diagnose(FileErrorText("Couldn't read a file", errno, static_cast<int64_t>(count), std::ferror(file.Get())));
      file.Close("Couldn't close a file");
      Erase(record);
      return false;
    }
    file.Close("Couldn't close a file");
  }

  EnsureStagingTexture();
  {
    StagingMapping mapping(Context.Get(), StagingTexture.Get(), D3D11_MAP_WRITE);
    // ReadSize is this staging texture's own DepthPitch, so neither branch below can misfire
    // today; the check keeps the copy from ever overflowing the mapping or leaving an earlier
    // frame's bytes in its tail should the two ever differ.
    if (ReadSize < mapping.Size()) {
      Diagnose("Couldn't load a file: size=" + Number(static_cast<int64_t>(ReadSize)) +
               ", DepthPitch=" + Number(static_cast<int64_t>(mapping.Size())));
      Drop(record);
      return false;
    }
    std::memcpy(mapping.Data(), ReadBuffer.get(), mapping.Size());
  }
  Context->CopySubresourceRegion(texture.Get(), 0, 0, 0, 0, StagingTexture.Get(), 0, nullptr);

  time = record->Time;
  duration = record->Duration;
  flag = record->Flag;
  return true;
}

// ---- Under a caching policy other than the default ----

bool VideoDecoderStorageCache::AcceptFrameTexture(const D3D11_TEXTURE2D_DESC& desc) {
  if (StagingTexture) {
    if (desc.Format != Format || desc.Width != Width || desc.Height != Height) {
      throw Platform::InvalidArgumentException("VideoDecoderStorageCache::Add: the frame texture is " +
                                               DescribeTexture(desc) + ", not " + DescribeStoredFrame());
    }
    return true;
  }
  FrameByteSize = FrameBytes(desc);
  Format = desc.Format;
  Width = desc.Width;
  Height = desc.Height;
  // Without the frame size beside them the files cannot be told apart from garbage: nothing is
  // kept until it is written.
  return WritePrecacheData();
}

bool VideoDecoderStorageCache::AddWithPolicy(ComPtr<ID3D11Texture2D>& texture, int64_t time, int64_t duration,
                                             bool flag) {
  if (!FolderReady || Contains(time)) return false;
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  if (!AcceptFrameTexture(desc)) return false;

  EnsureStagingTexture();
  Context->CopySubresourceRegion(StagingTexture.Get(), 0, 0, 0, 0, texture.Get(), 0, nullptr);
  StagingMapping mapping(Context.Get(), StagingTexture.Get(), D3D11_MAP_READ);
  if (FrameFileSize == 0) FrameFileSize = mapping.Size();
  Diagnose("Caching at [" + Number(time) + "]");
  // Raw frames are written straight from the mapping; only a frame kept in memory is copied.
  return Keep(CachedFrame(nullptr, time, duration, false,
                          CacheFolder + (Number(time) + "_" + Number(duration) + "_" + (flag ? "1" : "0") +
                                         Codec.FileSuffix())),
              Codec.Encode(mapping.Data(), mapping.Size()));
}

bool VideoDecoderStorageCache::Keep(CachedFrame record, std::span<const uint8_t> payload) {
  const uint64_t bytes = payload.size();
  if (bytes <= Policy.RamBudget) {
    // Memory holds the frames nearest the position; a farther one makes way by moving to disk.
    while (RamBytes + bytes > Policy.RamBudget) {
      const auto farthest = Farthest(true);
      if (farthest == Frames.end() || TimeDistance(farthest->Time, Position) <= TimeDistance(record.Time, Position)) {
        break;
      }
      CachedFrame moved = *farthest;
      std::shared_ptr<std::vector<uint8_t>> movedPayload = std::exchange(moved.Payload, nullptr);
      Drop(farthest);
      WriteToDisk(std::move(moved), *movedPayload);
      RecyclePayload(std::move(movedPayload));
    }
    if (RamBytes + bytes <= Policy.RamBudget) {
      record.StoredBytes = bytes;
      record.Payload = MakePayload(payload);
      if (Frames.insert(std::move(record)).second) RamBytes += bytes;
      return true;
    }
  }
  return WriteToDisk(std::move(record), payload);
}

bool VideoDecoderStorageCache::WriteToDisk(CachedFrame record, std::span<const uint8_t> payload) {
  const uint64_t bytes = payload.size();
  if (Policy.AtDiskBudget == DiskBudgetAction::Stop) {
    if (DiskBytes >= Policy.DiskBudget) HasSpace = false;
    if (!HasSpace) return false;
  } else if (!HasSpace || !MakeDiskRoom(bytes, record.Time)) {
    return false;
  }
  {
    CacheFile file(record.FilePath, "wb", _SH_DENYRW);
    if (!file) {
      Diagnose("Couldn't open a file: errno=" + Number(errno));
      return false;
    }
    const size_t written = std::fwrite(payload.data(), 1, payload.size(), file.Get());
    const bool whole = written == payload.size() && std::ferror(file.Get()) == 0;
    if (!whole) {
      Diagnose(FileErrorText("Couldn't write a file", errno, static_cast<int64_t>(written), std::ferror(file.Get())));
    }
    file.Close("Couldn't close a file");
    if (!whole) {
      // A part of a payload is no frame, and the bytes would count against nothing.
      DeleteFileW(record.FilePath.Data());
      return false;
    }
  }
  record.StoredBytes = bytes;
  record.Payload = nullptr;
  if (!Frames.insert(std::move(record)).second) return false;
  DiskBytes += bytes;
  PeakDiskBytes = std::max(PeakDiskBytes, DiskBytes);
  return true;
}

bool VideoDecoderStorageCache::MakeDiskRoom(uint64_t bytes, int64_t time) {
  if (bytes > Policy.DiskBudget) return false;
  while (DiskBytes + bytes > Policy.DiskBudget) {
    const auto farthest = Farthest(false);
    // Never a nearer frame for a farther one: the new frame is refused instead.
    if (farthest == Frames.end() || TimeDistance(farthest->Time, Position) <= TimeDistance(time, Position)) {
      return false;
    }
    Drop(farthest);
  }
  return true;
}

VideoDecoderCacheBase::FrameSet::const_iterator VideoDecoderStorageCache::Farthest(bool inMemory) const {
  // Frames are ordered by time, so the farthest of a kind is the first or the last of it.
  const auto ofKind = [inMemory](const CachedFrame& frame) { return static_cast<bool>(frame.Payload) == inMemory; };
  const auto first = std::find_if(Frames.begin(), Frames.end(), ofKind);
  if (first == Frames.end()) return Frames.end();
  const auto last = std::prev(std::find_if(Frames.rbegin(), Frames.rend(), ofKind).base());
  return TimeDistance(last->Time, Position) > TimeDistance(first->Time, Position) ? last : first;
}

bool VideoDecoderStorageCache::EnsureReadBuffer() {
  // A whole frame is the staging mapping's size (HasWholeFile checked it is known).
  if (ReadSize == 0) ReadSize = FrameFileSize;
  if (!ReadBuffer) {
    ReadBuffer.reset(new (std::nothrow) uint8_t[ReadSize]);
    if (!ReadBuffer) {
      Diagnose("DataBuffer is empty!");
      return false;
    }
  }
  return true;
}

bool VideoDecoderStorageCache::ReadPayload(FrameSet::const_iterator record) {
  if (!EnsureReadBuffer()) return false;
  const std::vector<uint8_t>* payload = record->Payload.get();
  if (payload == nullptr) {
    CacheFile file(record->FilePath, "rb", _SH_DENYWR);
    if (!file) {
      Diagnose("Couldn't open a file: errno=" + Number(errno));
      Drop(record);
      return false;
    }
    // A raw file is the frame itself: it is read straight into the frame buffer, sparing a
    // frame-sized copy and a second frame-sized buffer.
    const bool raw = Codec.IsRaw();
    if (raw && record->StoredBytes != ReadSize) {
      Diagnose("Couldn't load a file: size=" + Number(static_cast<int64_t>(record->StoredBytes)));
      Drop(record);
      return false;
    }
    if (!raw) EncodedBuffer.resize(record->StoredBytes);
    uint8_t* const into = raw ? ReadBuffer.get() : EncodedBuffer.data();
    const size_t count = std::fread(into, 1, record->StoredBytes, file.Get());
    const int indicator = std::ferror(file.Get());
    file.Close("Couldn't close a file");
    if (count != record->StoredBytes) {
      Diagnose(FileErrorText("Couldn't read a file", errno, static_cast<int64_t>(count), indicator));
      Drop(record);
      return false;
    }
    if (raw) return true;
    payload = &EncodedBuffer;
  }
  if (!Codec.Decode(payload->data(), payload->size(), ReadBuffer.get(), ReadSize)) {
    Diagnose("Couldn't decode a frame: size=" + Number(static_cast<int64_t>(payload->size())));
    Drop(record);
    return false;
  }
  return true;
}

std::shared_ptr<std::vector<uint8_t>> VideoDecoderStorageCache::MakePayload(std::span<const uint8_t> bytes) {
  const auto spare = std::find_if(SparePayloads.rbegin(), SparePayloads.rend(),
                                  [&](const auto& buffer) { return buffer->capacity() >= bytes.size(); });
  if (spare == SparePayloads.rend()) return std::make_shared<std::vector<uint8_t>>(bytes.begin(), bytes.end());
  std::shared_ptr<std::vector<uint8_t>> buffer = std::move(*spare);
  SparePayloads.erase(std::next(spare).base());
  SpareBytes -= buffer->capacity();
  buffer->assign(bytes.begin(), bytes.end());  // within its capacity: no allocation
  return buffer;
}

void VideoDecoderStorageCache::RecyclePayload(std::shared_ptr<std::vector<uint8_t>> buffer) {
  // Only a buffer no record or reader still holds, and only as much as the RAM budget leaves
  // unused, so that frames in memory and spare buffers together stay within the budget.
  if (!buffer || buffer.use_count() != 1) return;
  const uint64_t bytes = buffer->capacity();
  if (RamBytes + SpareBytes + bytes > Policy.RamBudget) return;
  SpareBytes += bytes;
  SparePayloads.push_back(std::move(buffer));
}

void VideoDecoderStorageCache::Drop(FrameSet::const_iterator record) {
  if (!Policy.IsDefault()) {
    if (record->Payload) {
      RamBytes -= record->StoredBytes;
      std::shared_ptr<std::vector<uint8_t>> payload = record->Payload;
      Erase(record);
      RecyclePayload(std::move(payload));
      return;
    }
    if (record->StoredBytes != 0) {
      DiskBytes -= record->StoredBytes;
      // Only a regular file this cache wrote: a folder or a link put in its place stays.
      WIN32_FILE_ATTRIBUTE_DATA attributes{};
      if (GetFileAttributesExW(record->FilePath.Data(), GetFileExInfoStandard, &attributes) &&
          (attributes.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
        DeleteFileW(record->FilePath.Data());
      }
    }
  }
  Erase(record);
}

}  // namespace korvane
