#include "platform/winrt/InMemoryRandomAccessStreamFactory.h"

#include "platform/com/Boundary.h"
#include "platform/winrt/InMemoryRandomAccessStream.h"

namespace korvane::winrt {

using ABI::Windows::Storage::Streams::IRandomAccessStream;

HRESULT InMemoryRandomAccessStreamFactory::ActivateInstance(IInspectable** instance) {
  return CallBoundary(false, [&] {
    ComPtr<IRandomAccessStream> stream = MakeRuntimeObject<InMemoryRandomAccessStream>();
    *instance = stream.Detach();
  }, instance);
}

const char* InMemoryRandomAccessStreamFactory::RuntimeClassNameText() const {
  return "Windows.Storage.Streams.InMemoryRandomAccessStreamFactory";
}

}  // namespace korvane::winrt
