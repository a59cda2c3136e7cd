#include "platform/com/Boundary.h"
#include "platform/com/RuntimeClass.h"

#include <gtest/gtest.h>

namespace {

struct IWidget : IInspectable {
  static constexpr GUID kIid{0x1A2B3C4D, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
  using BaseInterface = IInspectable;
  virtual HRESULT get_Value(int32_t* value) = 0;
};

struct IGadget : IInspectable {
  static constexpr GUID kIid{0x1A2B3C4D, 0x0001, 0x0003, {1, 2, 3, 4, 5, 6, 7, 8}};
  using BaseInterface = IInspectable;
};

struct IUnrelated : IUnknown {
  static constexpr GUID kIid{0x1A2B3C4D, 0x0001, 0x0004, {1, 2, 3, 4, 5, 6, 7, 8}};
  using BaseInterface = IUnknown;
};

class Widget final : public RuntimeClass<korvane::com::kComponentClass, IWidget, IGadget> {
 public:
  HRESULT get_Value(int32_t* value) override {
    return CallBoundary(closed, [&] { *value = 42; }, value);
  }
  bool closed = false;

 protected:
  const char* RuntimeClassNameText() const override { return "Test.Widget"; }
};

class Factory final : public RuntimeClass<korvane::com::kComponentFactory, IActivationFactory> {
 public:
  HRESULT ActivateInstance(IInspectable** instance) override {
    auto widget = MakeRuntimeObject<Widget>();
    *instance = static_cast<IWidget*>(widget.Detach());
    return S_OK;
  }

 protected:
  const char* RuntimeClassNameText() const override { return "Test.Factory"; }
};

TEST(RuntimeClassTest, WeakReference_ResolvesOnlyWhileStrongReferenceLives) {
  ComPtr<IWeakReference> weak;
  {
    ComPtr<Widget> widget = MakeRuntimeObject<Widget>();
    ComPtr<IWeakReferenceSource> source;
    ASSERT_EQ(S_OK, widget.As(&source));
    ASSERT_EQ(S_OK, source->GetWeakReference(&weak));
    ComPtr<IGadget> resolved = ResolveWeak<IGadget>(weak.Get());
    EXPECT_NE(nullptr, resolved.Get());
  }
  ComPtr<IGadget> afterwards = ResolveWeak<IGadget>(weak.Get());
  EXPECT_EQ(nullptr, afterwards.Get());
}

TEST(RuntimeClassTest, ModuleCount_FollowsObjectLifetimes) {
  const int32_t before = korvane::com::ModuleObjectCount();
  {
    ComPtr<Factory> factory = MakeRuntimeObject<Factory>();
    EXPECT_EQ(before + 1, korvane::com::ModuleObjectCount());
    ComPtr<IInspectable> instance;
    ASSERT_EQ(S_OK, factory->ActivateInstance(&instance));
    EXPECT_EQ(before + 2, korvane::com::ModuleObjectCount());
    instance.Reset();
    EXPECT_EQ(before + 1, korvane::com::ModuleObjectCount());
  }
  EXPECT_EQ(before, korvane::com::ModuleObjectCount());
}

TEST(RuntimeClassTest, QueryInterface_AnswersExactlyTheDeclaredList) {
  ComPtr<Widget> widget = MakeRuntimeObject<Widget>();
  ComPtr<Factory> factory = MakeRuntimeObject<Factory>();
  void* p = nullptr;
  for (const GUID& iid : {IUnknown::kIid, IInspectable::kIid, IWidget::kIid, IGadget::kIid,
                          IAgileObject::kIid, IWeakReferenceSource::kIid}) {
    ASSERT_EQ(S_OK, widget->QueryInterface(iid, &p)) << GuidToString(iid);
    static_cast<IUnknown*>(p)->Release();
  }
  EXPECT_EQ(E_NOINTERFACE, widget->QueryInterface(IUnrelated::kIid, &p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(E_NOINTERFACE, widget->QueryInterface(IActivationFactory::kIid, &p));
  // Factories are not weak-reference sources.
  EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IWeakReferenceSource::kIid, &p));
  EXPECT_EQ(E_POINTER, widget->QueryInterface(IWidget::kIid, nullptr));

  // IUnknown identity is the same whichever interface it is asked through.
  ComPtr<IUnknown> a, b;
  ComPtr<IGadget> gadget;
  ASSERT_EQ(S_OK, widget.As(&gadget));
  ASSERT_EQ(S_OK, widget.As(&a));
  ASSERT_EQ(S_OK, gadget.As(&b));
  EXPECT_EQ(a.Get(), b.Get());
}

TEST(RuntimeClassTest, InspectableMembers) {
  ComPtr<Widget> widget = MakeRuntimeObject<Widget>();
  ULONG count = 0;
  IID* iids = nullptr;
  ASSERT_EQ(S_OK, widget->GetIids(&count, &iids));
  ASSERT_EQ(3u, count);
  EXPECT_EQ(IWidget::kIid, iids[0]);
  EXPECT_EQ(IGadget::kIid, iids[1]);
  EXPECT_EQ(IWeakReferenceSource::kIid, iids[2]);
  CoTaskMemFree(iids);

  ComPtr<Factory> factory = MakeRuntimeObject<Factory>();
  ASSERT_EQ(S_OK, factory->GetIids(&count, &iids));
  ASSERT_EQ(1u, count);
  EXPECT_EQ(IActivationFactory::kIid, iids[0]);
  CoTaskMemFree(iids);

  HSTRING name = nullptr;
  ASSERT_EQ(S_OK, widget->GetRuntimeClassName(&name));
  EXPECT_STREQ("Test.Widget", WindowsGetStringRawBuffer(name, nullptr));
  WindowsDeleteString(name);
  TrustLevel level = FullTrust;
  ASSERT_EQ(S_OK, widget->GetTrustLevel(&level));
  EXPECT_EQ(BaseTrust, level);
}

// Every row of the error table, 668 and an unlisted code travel through the boundary unchanged.
class BoundaryRoundTrip : public ::testing::TestWithParam<HRESULT> {};

TEST_P(BoundaryRoundTrip, ThrownCodeIsReturned) {
  const HRESULT code = GetParam();
  int64_t out = 77;
  HRESULT hr = CallBoundary(false, [&]() -> void { ThrowHResult(code); }, &out);
  EXPECT_EQ(code, hr);
  EXPECT_EQ(0, out) << "out-parameters are cleared before the body runs";
}

INSTANTIATE_TEST_SUITE_P(ErrorTable, BoundaryRoundTrip,
                         ::testing::Values(E_BOUNDS, E_CHANGED_STATE, RO_E_CLOSED, E_NOTIMPL,
                                           E_NOINTERFACE, E_POINTER, E_ABORT, E_FAIL,
                                           RPC_E_DISCONNECTED, RPC_E_WRONG_THREAD,
                                           REGDB_E_CLASSNOTREG, E_ACCESSDENIED, E_OUTOFMEMORY,
                                           E_INVALIDARG, kNotReady, MakeHresult(0x80131509u)));

template <class Expected>
void ExpectThrownAs(HRESULT hr) {
  try {
    ThrowHResult(hr);
  } catch (const Expected& e) {
    EXPECT_EQ(hr, e.HResult());
    return;
  } catch (...) {
  }
  ADD_FAILURE() << "wrong exception type for " << std::hex << hr;
}

TEST(ExceptionsTest, EachCodeRaisesItsOwnType) {
  using namespace Platform;
  ExpectThrownAs<OutOfBoundsException>(E_BOUNDS);
  ExpectThrownAs<ChangedStateException>(E_CHANGED_STATE);
  ExpectThrownAs<ObjectDisposedException>(RO_E_CLOSED);
  ExpectThrownAs<NotImplementedException>(E_NOTIMPL);
  ExpectThrownAs<InvalidCastException>(E_NOINTERFACE);
  ExpectThrownAs<NullReferenceException>(E_POINTER);
  ExpectThrownAs<OperationCanceledException>(E_ABORT);
  ExpectThrownAs<FailureException>(E_FAIL);
  ExpectThrownAs<DisconnectedException>(RPC_E_DISCONNECTED);
  ExpectThrownAs<WrongThreadException>(RPC_E_WRONG_THREAD);
  ExpectThrownAs<ClassNotRegisteredException>(REGDB_E_CLASSNOTREG);
  ExpectThrownAs<AccessDeniedException>(E_ACCESSDENIED);
  ExpectThrownAs<OutOfMemoryException>(E_OUTOFMEMORY);
  ExpectThrownAs<InvalidArgumentException>(E_INVALIDARG);
  ExpectThrownAs<COMException>(kNotReady);
  ExpectThrownAs<COMException>(MakeHresult(0x8000FFFFu));
  EXPECT_NO_THROW(ThrowIfFailed(S_FALSE));
  EXPECT_NO_THROW(ThrowIfFailed(kNotReady)) << "668 is not a failure HRESULT";
}

TEST(BoundaryTest, ClosedObjectLeavesOutParametersUntouched) {
  Widget* raw = nullptr;
  ComPtr<Widget> widget = MakeRuntimeObject<Widget>();
  raw = widget.Get();
  raw->closed = true;
  int32_t value = 5;
  EXPECT_EQ(RO_E_CLOSED, raw->get_Value(&value));
  EXPECT_EQ(5, value);
  raw->closed = false;
  EXPECT_EQ(S_OK, raw->get_Value(&value));
  EXPECT_EQ(42, value);
  EXPECT_EQ(E_POINTER, raw->get_Value(nullptr));
}

TEST(BoundaryTest, NonPlatformExceptions) {
  EXPECT_EQ(E_OUTOFMEMORY, CallBoundary(false, [] { throw std::bad_alloc(); }));
  EXPECT_EQ(E_FAIL, CallBoundary(false, [] { throw 3; }));
  EXPECT_EQ(S_FALSE, CallBoundary(false, [] { return S_FALSE; }));
}

TEST(HStringTest, ValueSemanticsAndNoLeaks) {
  const int64_t live = WindowsStringLiveCountForTesting();
  {
    Platform::String a("cache/");
    Platform::String b = a + "frame.tmp";
    Platform::String c = b;
    EXPECT_EQ("cache/frame.tmp", c.View());
    EXPECT_EQ(15u, c.Length());
    EXPECT_TRUE(Platform::String().IsEmpty());
    EXPECT_STREQ("", Platform::String().Data());
  }
  EXPECT_EQ(live, WindowsStringLiveCountForTesting());
}

}  // namespace

namespace {

class ThrowingWidget final : public RuntimeClass<korvane::com::kComponentClass, IWidget> {
 public:
  ThrowingWidget() { ThrowHResult(E_INVALIDARG); }
  HRESULT get_Value(int32_t*) override { return S_OK; }

 protected:
  const char* RuntimeClassNameText() const override { return "Test.ThrowingWidget"; }
};

TEST(RuntimeClassTest, ModuleCount_ConstructorThatThrowsLeavesNoCount) {
  const int32_t before = korvane::com::ModuleObjectCount();
  EXPECT_THROW(MakeRuntimeObject<ThrowingWidget>(), Platform::InvalidArgumentException);
  EXPECT_EQ(before, korvane::com::ModuleObjectCount());
}

}  // namespace
