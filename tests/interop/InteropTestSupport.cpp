#include "InteropTestSupport.h"

#include "platform/winrt/Callback.h"
#include "support/TestMedia.h"

#include <cstdio>

namespace korvane::test {

using namespace ABI::Korvane::Native;

std::string RaisedEvent::Text() const {
  if (name == "progress") {
    char text[32];
    std::snprintf(text, sizeof text, "progress %.4g", progress);
    return text;
  }
  if (name == "position" || name == "cached" || name == "error") return name + " " + std::to_string(a);
  if (name == "completed") return name + " " + std::to_string(a) + " " + std::to_string(b);
  return name;
}

void EventLog::Attach(IVideoDecoderInterop* interop) {
  auto record = [state = state_](const char* name, int64_t a = 0, int64_t b = 0, double progress = 0) {
    state->Add(RaisedEvent{name, a, b, progress, std::this_thread::get_id()});
  };
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, interop->add_DecoderLoaded(Callback<DecoderLoaded>([=] { record("loaded"); }).Get(), &token));
  ASSERT_EQ(S_OK, interop->add_InitializationProgressChanged(
                      Callback<InitializationProgressChanged>([=](double p) { record("progress", 0, 0, p); }).Get(),
                      &token));
  ASSERT_EQ(S_OK, interop->add_DecoderInitialized(Callback<DecoderInitialized>([=] { record("initialized"); }).Get(),
                                                  &token));
  ASSERT_EQ(S_OK, interop->add_PositionHasChanged(
                      Callback<PositionHasChanged>([=](int64_t p) { record("position", p); }).Get(), &token));
  ASSERT_EQ(S_OK, interop->add_FrameCached(Callback<FrameCached>([=](int64_t t) { record("cached", t); }).Get(), &token));
  ASSERT_EQ(S_OK, interop->add_CachingCompleted(
                      Callback<CachingCompleted>([=](int64_t s, int64_t e) { record("completed", s, e); }).Get(),
                      &token));
  ASSERT_EQ(S_OK, interop->add_ErrorOccured(Callback<ErrorOccured>([=](int32_t c) { record("error", c); }).Get(), &token));
}

void EventLog::SetHook(std::function<void(const RaisedEvent&)> hook) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->hook = std::move(hook);
}

void EventLog::State::Add(RaisedEvent event) {
  std::function<void(const RaisedEvent&)> copy;
  {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
    copy = hook;
    changed.notify_all();
  }
  if (copy) copy(event);
}

std::vector<RaisedEvent> EventLog::Events() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->events;
}

std::vector<std::string> EventLog::Lines() const {
  std::vector<std::string> lines;
  for (const RaisedEvent& e : Events()) lines.push_back(e.Text());
  return lines;
}

size_t EventLog::Count(const std::string& name) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  size_t n = 0;
  for (const RaisedEvent& e : state_->events) n += e.name == name ? 1 : 0;
  return n;
}

size_t EventLog::Size() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->events.size();
}

bool EventLog::WaitFor(const std::function<bool(const RaisedEvent&)>& match, size_t since) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, kWaitBound, [&] {
    for (size_t i = since; i < state_->events.size(); ++i)
      if (match(state_->events[i])) return true;
    return false;
  });
}

bool EventLog::WaitForCount(const std::string& name, size_t count) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, kWaitBound, [&] {
    size_t n = 0;
    for (const RaisedEvent& e : state_->events) n += e.name == name ? 1 : 0;
    return n >= count;
  });
}

void FrameUpdatedCounter::Attach(IVideoDecoderIterator* iterator) {
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, AsSource(iterator)->add_FrameUpdated(Callback<Brindle::Tamsel::SceneGraph::VideoDecoderFrameUpdated>(
                                                 [state = state_] {
                                                   std::lock_guard<std::mutex> lock(state->mutex);
                                                   ++state->count;
                                                   state->changed.notify_all();
                                                 })
                                                 .Get(),
                                             &token));
}

size_t FrameUpdatedCounter::Count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->count;
}

bool FrameUpdatedCounter::WaitBeyond(size_t seen) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, kWaitBound, [&] { return state_->count > seen; });
}

ClosableScriptedStream::ClosableScriptedStream(ComPtr<IRandomAccessStream> inner) : inner_(std::move(inner)) {
  EXPECT_EQ(S_OK, inner_.As(&factory_));
  EXPECT_EQ(S_OK, inner_.As(&io_));
}

mf::ScriptedSource ScriptedVideoWithDurations(const std::vector<int64_t>& durations) {
  mf::ScriptedSource script = ScriptedVideo(static_cast<int>(durations.size()));
  int64_t time = 0;
  for (size_t i = 0; i < durations.size(); ++i) {
    script.frames[i].time = time;
    script.frames[i].duration = durations[i];
    time += durations[i];
  }
  script.info.duration = time;
  return script;
}

ComPtr<IVideoDecoder> AsSource(IVideoDecoderIterator* iterator) {
  ComPtr<IVideoDecoder> source;
  EXPECT_EQ(S_OK, iterator->QueryInterface(IID_PPV_ARGS(&source)));
  return source;
}

std::string RuntimeClassName(IInspectable* object) {
  HSTRING name = nullptr;
  EXPECT_EQ(S_OK, object->GetRuntimeClassName(&name));
  const std::string text = WindowsGetStringRawBuffer(name, nullptr);
  WindowsDeleteString(name);
  return text;
}

ComPtr<ID3D11Texture2D> TakeTexture(int64_t handed) {
  ComPtr<ID3D11Texture2D> texture;
  texture.Attach(reinterpret_cast<ID3D11Texture2D*>(static_cast<intptr_t>(handed)));
  return texture;
}

void InteropFixture::SetUp() {
  SetDiskFreeSpaceForTesting(uint64_t{2} << 30);
  ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                    &device_, nullptr, nullptr));
  ASSERT_EQ(S_OK, CreateGraphicsDevice(device_.Get(), &graphics_));
  interop_ = MakeInterop();
  log_.Attach(interop_.Get());
}

void InteropFixture::TearDown() {
  log_.SetHook(nullptr);
  if (interop_) {
    EXPECT_EQ(S_OK, interop_->Close());
  }
  interop_.Reset();
  SetDiskFreeSpaceForTesting(std::nullopt);
}

ComPtr<ClosableScriptedStream> InteropFixture::ScriptedStream(const mf::ScriptedSource& script) {
  ComPtr<IRandomAccessStream> stream;
  EXPECT_EQ(S_OK, CreateScriptedStream(std::make_shared<mf::ScriptedSource>(script),
                                       std::make_shared<mf::ScriptedSourceLog>(), &stream));
  return MakeRuntimeObject<ClosableScriptedStream>(stream);
}

ComPtr<IRandomAccessStream> InteropFixture::FileStream(const std::string& path) {
  ComPtr<IRandomAccessStream> stream;
  EXPECT_EQ(S_OK, CreateRandomAccessStreamOnFile(path.c_str(), FileAccessMode_Read, IID_PPV_ARGS(&stream)));
  return stream;
}

HRESULT InteropFixture::Open(IVideoDecoderInterop* interop, IRandomAccessStream* stream) {
  const Platform::String folder(cache_.Path());
  return interop->Open(stream, folder.Get(), graphics_.Get());
}

void InteropFixture::OpenAndWait(IRandomAccessStream* stream) {
  ASSERT_EQ(S_OK, Open(interop_.Get(), stream));
  ASSERT_TRUE(log_.WaitFor("initialized")) << ::testing::PrintToString(log_.Lines());
  ASSERT_TRUE(log_.WaitFor("position")) << ::testing::PrintToString(log_.Lines());
  // The first pass's last report: no event follows it until the next request.
  ASSERT_TRUE(log_.WaitFor("cached")) << ::testing::PrintToString(log_.Lines());
}

int64_t InteropFixture::Position() {
  int64_t position = -2;
  EXPECT_EQ(S_OK, interop_->get_Position(&position));
  return position;
}

int InteropFixture::ScriptedValue(ID3D11Texture2D* texture) {
  if (texture == nullptr) return -1;
  return ReadTexture(device_.Get(), texture).bytes.at(0);
}

int InteropFixture::ScriptedValueAt(int64_t time) {
  int64_t handed = 0;
  EXPECT_EQ(S_OK, interop_->GetFrameTexture(time, &handed));
  return ScriptedValue(TakeTexture(handed).Get());
}

int InteropFixture::FileFrameIndex(ID3D11Texture2D* texture) {
  if (texture == nullptr) return -1;
  const TextureBytes copy = ReadTexture(device_.Get(), texture);
  return ReadFrameIndexNv12(copy.bytes.data(), copy.rowPitch, static_cast<int>(copy.desc.Width),
                            static_cast<int>(copy.desc.Height));
}

ComPtr<IVideoDecoderIterator> InteropFixture::CreateIterator() {
  ComPtr<IVideoDecoderIterator> iterator;
  EXPECT_EQ(S_OK, interop_->CreateIterator(&iterator));
  return iterator;
}

ComPtr<ID3D11Texture2D> InteropFixture::IteratorTexture(IVideoDecoderIterator* iterator) {
  UINT64 handed = 0;
  EXPECT_EQ(S_OK, AsSource(iterator)->GetTexture(&handed));
  return TakeTexture(static_cast<int64_t>(handed));
}

bool InteropFixture::IsPlaceholder(ID3D11Texture2D* texture) {
  int64_t handed = 0;
  EXPECT_EQ(S_OK, interop_->GetPlaceholderTexture(&handed));
  return texture != nullptr && TakeTexture(handed).Get() == texture;
}

}  // namespace korvane::test
