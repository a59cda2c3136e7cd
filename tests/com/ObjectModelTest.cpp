#include "platform/com/Boundary.h"
#include "platform/com/RuntimeClass.h"

#include <gtest/gtest.h>

namespace {

using korvane::com::ModuleObjectCount;

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
  HRESULT get_Value(int32_t* value) override { return CallBoundary(closed, [&] { *value = 42; }, value); }
  bool closed = false;

 protected:
  const char* RuntimeClassNameText() const override { return "Test.Widget"; }
};

class Factory final : public RuntimeClass<korvane::com::kComponentFactory, IActivationFactory> {
 public:
  HRESULT ActivateInstance(IInspectable** instance) override {
    *instance = static_cast<IWidget*>(MakeRuntimeObject<Widget>().Detach());
    return S_OK;
  }

 protected:
  const char* RuntimeClassNameText() const override { return "Test.Factory"; }
};

TEST(RuntimeClassTest, ModuleCount_FollowsObjectLifetimes) {
  const int32_t before = ModuleObjectCount();
  {
    ComPtr<Factory> factory = MakeRuntimeObject<Factory>();
    EXPECT_EQ(before + 1, ModuleObjectCount());
    ComPtr<IInspectable> instance;
    ASSERT_EQ(S_OK, factory->ActivateInstance(&instance));
    EXPECT_EQ(before + 2, ModuleObjectCount());
    instance.Reset();
    EXPECT_EQ(before + 1, ModuleObjectCount());
  }
  EXPECT_EQ(before, ModuleObjectCount());
}

TEST(RuntimeClassTest, QueryInterfaceAndGetIids_AnswerExactlyTheDeclaredList) {
  ComPtr<Widget> widget = MakeRuntimeObject<Widget>();
  ComPtr<Factory> factory = MakeRuntimeObject<Factory>();
  void* p = nullptr;
  for (const GUID& iid : {IUnknown::kIid, IInspectable::kIid, IWidget::kIid, IGadget::kIid, IAgileObject::kIid,
                          IWeakReferenceSource::kIid}) {
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

  // GetIids lists the declared interfaces (and the weak source of instances), not the others.
  ULONG count = 0;
  IID* iids = nullptr;
  ASSERT_EQ(S_OK, widget->GetIids(&count, &iids));
  EXPECT_EQ((std::vector<IID>{IWidget::kIid, IGadget::kIid, IWeakReferenceSource::kIid}),
            std::vector<IID>(iids, iids + count));
  CoTaskMemFree(iids);
  ASSERT_EQ(S_OK, factory->GetIids(&count, &iids));
  EXPECT_EQ(std::vector<IID>{IActivationFactory::kIid}, std::vector<IID>(iids, iids + count));
  CoTaskMemFree(iids);

  HSTRING name = nullptr;
  ASSERT_EQ(S_OK, widget->GetRuntimeClassName(&name));
  EXPECT_STREQ("Test.Widget", WindowsGetStringRawBuffer(name, nullptr));
  WindowsDeleteString(name);
  TrustLevel level = FullTrust;
  ASSERT_EQ(S_OK, widget->GetTrustLevel(&level));
  EXPECT_EQ(BaseTrust, level);
}

// True when ThrowHResult(hr) raises exactly an `Expected` that carries hr.
template <class Expected>
bool RaisesAs(HRESULT hr) {
  try {
    ThrowHResult(hr);
  } catch (const Expected& e) {
    return e.HResult() == hr;
  } catch (...) {
  }
  return false;
}

struct ErrorRow {
  HRESULT code;
  bool (*raisesItsType)(HRESULT);
};

// Every row of the error table, 668 and unlisted codes: each raises its own exception type and
// travels through the boundary unchanged, with the out-parameters cleared before the body runs.
TEST(BoundaryTest, ErrorTable_EachCodeRaisesItsTypeAndRoundTrips) {
  using namespace Platform;
  const ErrorRow rows[] = {
      {E_BOUNDS, RaisesAs<OutOfBoundsException>},         {E_CHANGED_STATE, RaisesAs<ChangedStateException>},
      {RO_E_CLOSED, RaisesAs<ObjectDisposedException>},   {E_NOTIMPL, RaisesAs<NotImplementedException>},
      {E_NOINTERFACE, RaisesAs<InvalidCastException>},    {E_POINTER, RaisesAs<NullReferenceException>},
      {E_ABORT, RaisesAs<OperationCanceledException>},    {E_FAIL, RaisesAs<FailureException>},
      {RPC_E_DISCONNECTED, RaisesAs<DisconnectedException>}, {RPC_E_WRONG_THREAD, RaisesAs<WrongThreadException>},
      {REGDB_E_CLASSNOTREG, RaisesAs<ClassNotRegisteredException>}, {E_ACCESSDENIED, RaisesAs<AccessDeniedException>},
      {E_OUTOFMEMORY, RaisesAs<OutOfMemoryException>},    {E_INVALIDARG, RaisesAs<InvalidArgumentException>},
      {kNotReady, RaisesAs<COMException>},                {MakeHresult(0x8000FFFFu), RaisesAs<COMException>},
      {MakeHresult(0x80131509u), RaisesAs<COMException>}};
  for (const ErrorRow& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.code);
    EXPECT_TRUE(row.raisesItsType(row.code));
    int64_t out = 77;
    EXPECT_EQ(row.code, CallBoundary(false, [&]() -> void { ThrowHResult(row.code); }, &out));
    EXPECT_EQ(0, out);
  }
  EXPECT_NO_THROW(ThrowIfFailed(S_FALSE));
  EXPECT_NO_THROW(ThrowIfFailed(kNotReady)) << "668 is not a failure HRESULT";
  // Exceptions from outside the platform, and returned codes.
  EXPECT_EQ(E_OUTOFMEMORY, CallBoundary(false, [] { throw std::bad_alloc(); }));
  EXPECT_EQ(E_FAIL, CallBoundary(false, [] { throw 3; }));
  EXPECT_EQ(S_FALSE, CallBoundary(false, [] { return S_FALSE; }));
}

TEST(BoundaryTest, Call_ClosedObjectLeavesOutParametersUntouched) {
  ComPtr<Widget> widget = MakeRuntimeObject<Widget>();
  widget->closed = true;
  int32_t value = 5;
  EXPECT_EQ(RO_E_CLOSED, widget->get_Value(&value));
  EXPECT_EQ(5, value);
  widget->closed = false;
  EXPECT_EQ(S_OK, widget->get_Value(&value));
  EXPECT_EQ(42, value);
  EXPECT_EQ(E_POINTER, widget->get_Value(nullptr));
}

}  // namespace
