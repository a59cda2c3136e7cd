#include "platform/com/Boundary.h"
#include "platform/com/RuntimeClass.h"

#include <gtest/gtest.h>

namespace {

struct IWidget : IInspectable {
  static constexpr GUID kIid{0x1A2B3C4D, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
  using BaseInterface = IInspectable;
  virtual HRESULT get_Value(int32_t* value) = 0;
};

class Widget final : public RuntimeClass<korvane::com::kComponentClass, IWidget> {
 public:
  HRESULT get_Value(int32_t* value) override { return CallBoundary(closed, [&] { *value = 42; }, value); }
  bool closed = false;

 protected:
  const char* RuntimeClassNameText() const override { return "Test.Widget"; }
};

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
