// WeakCallback: an event handler that holds its target weakly.
#include "InteropTestSupport.h"

#include "interop/WeakCallback.h"

namespace korvane::test {
namespace {

using ABI::Korvane::Native::PositionHasChanged;

class Target final : public RuntimeClass<com::kWeakReference, ABI::Windows::Foundation::IClosable> {
 public:
  HRESULT Close() override { return S_OK; }
  void OnPosition(int64_t position) { last = position; }
  int64_t last = -1;

 protected:
  const char* RuntimeClassNameText() const override { return "Korvane.Testing.Target"; }
};

TEST(WeakCallbackTest, Invoke_CallsTheLiveTargetAndIsDroppedOnceItIsGone) {
  EventSource<PositionHasChanged> event;
  ComPtr<Target> target = MakeRuntimeObject<Target>();
  EventRegistrationToken token;
  ASSERT_EQ(S_OK, event.Add(WeakCallback<PositionHasChanged, ABI::Windows::Foundation::IClosable>(
                                target.Get(), &Target::OnPosition)
                                .Get(),
                            &token));
  EXPECT_EQ(S_OK, event.InvokeAll(int64_t{42}));
  EXPECT_EQ(42, target->last);

  ComPtr<IWeakReference> weak;
  ASSERT_EQ(S_OK, target->GetWeakReference(&weak));
  target.Reset();  // the handler alone does not keep it
  EXPECT_EQ(nullptr, ResolveWeak<ABI::Windows::Foundation::IClosable>(weak.Get()).Get());
  EXPECT_EQ(S_OK, event.InvokeAll(int64_t{7}));
  EXPECT_EQ(0u, event.GetSize()) << "a handler whose target is gone is dropped";
}

}  // namespace
}  // namespace korvane::test
