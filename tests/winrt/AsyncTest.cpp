#include "platform/winrt/Async.h"


#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace korvane::winrt {
namespace {

using namespace std::chrono_literals;
using ABI::Windows::Foundation::AsyncStatus;
using ABI::Windows::Foundation::IAsyncAction;
using ABI::Windows::Foundation::IAsyncActionCompletedHandler;
using ABI::Windows::Foundation::IAsyncInfo;
using Finished = std::pair<AsyncStatus, std::thread::id>;  // what a completed handler saw

constexpr auto kGenerousWait = 30s;

// A one-way signal between the test and a body; set once.
struct Signal {
  void Set() { promise.set_value(); }
  bool Wait() const { return future.wait_for(kGenerousWait) == std::future_status::ready; }

  std::promise<void> promise;
  std::shared_future<void> future = promise.get_future().share();
};

// Status and error code, as IAsyncInfo reports them.
std::pair<AsyncStatus, HRESULT> InfoOf(IUnknown* async) {
  ComPtr<IAsyncInfo> info;
  EXPECT_EQ(async->QueryInterface(IID_PPV_ARGS(&info)), S_OK);
  std::pair<AsyncStatus, HRESULT> result{AsyncStatus::Started, E_UNEXPECTED};
  EXPECT_EQ(info->get_Status(&result.first), S_OK);
  EXPECT_EQ(info->get_ErrorCode(&result.second), S_OK);
  return result;
}

Finished Await(std::future<Finished> finished) {
  EXPECT_EQ(finished.wait_for(kGenerousWait), std::future_status::ready);
  return finished.valid() ? finished.get() : Finished{};
}

TEST(AsyncActionTest, Body_OutcomeSetsStatusErrorCodeAndRunsHandlerOnceOnPoolThread) {
  const struct {
    const char* name;
    std::function<void()> body;
    AsyncStatus status;
    HRESULT code;
  } cases[] = {
      {"Returns", [] {}, AsyncStatus::Completed, S_OK},
      {"NotReady668", [] { ThrowNotReady("position not initialised"); }, AsyncStatus::Error, kNotReady},
      {"InvalidArgument", [] { throw Platform::InvalidArgumentException(); }, AsyncStatus::Error, E_INVALIDARG},
      {"StandardException", [] { throw std::runtime_error("x"); }, AsyncStatus::Error, E_FAIL},
      {"OperationCanceled", [] { throw Platform::OperationCanceledException(); }, AsyncStatus::Canceled, E_ABORT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Signal release;
    std::thread::id bodyThread;
    ComPtr<IAsyncAction> action = CreateAsyncAction([&](const CancellationToken& token) {
      bodyThread = std::this_thread::get_id();
      EXPECT_FALSE(token.IsCanceled());
      release.Wait();
      c.body();
    });
    std::promise<Finished> finished;
    int calls = 0;
    auto onCompleted = [&](IAsyncAction* sender, AsyncStatus s) {
      ++calls;
      EXPECT_EQ(sender, action.Get());
      finished.set_value({s, std::this_thread::get_id()});
      return S_OK;
    };
    EXPECT_EQ(action->put_Completed(Callback<IAsyncActionCompletedHandler>(onCompleted).Get()), S_OK);
    release.Set();
    const Finished seen = Await(finished.get_future());  // before reading bodyThread
    EXPECT_EQ(seen, Finished(c.status, bodyThread));
    EXPECT_NE(bodyThread, std::this_thread::get_id());
    EXPECT_EQ(WaitForCompletion(action.Get(), kGenerousWait), c.code);
    EXPECT_EQ(InfoOf(action.Get()), std::pair(c.status, c.code));
    EXPECT_EQ(action->GetResults(), c.status == AsyncStatus::Canceled ? E_ILLEGAL_METHOD_CALL : c.code);
    EXPECT_EQ(calls, 1);
  }
}

TEST(AsyncActionTest, Cancel_WhileRunningOnlySignalsTokenAndWaitsTimeOut) {
  for (const bool throwOnCancel : {false, true}) {
    SCOPED_TRACE(throwOnCancel ? "body throws canceled" : "body returns");
    Signal started, canceled;
    bool sawCancel = false;
    ComPtr<IAsyncAction> action = CreateAsyncAction([&](const CancellationToken& token) {
      started.Set();
      canceled.Wait();
      sawCancel = token.IsCanceled();
      if (throwOnCancel && sawCancel) throw Platform::OperationCanceledException();
    });
    ASSERT_TRUE(started.Wait());
    ComPtr<IAsyncInfo> info;
    ASSERT_EQ(action.As(&info), S_OK);
    EXPECT_EQ(info->Cancel(), S_OK);
    EXPECT_EQ(InfoOf(action.Get()).first, AsyncStatus::Started);  // the body decides
    EXPECT_EQ(WaitForCompletion(action.Get(), 1ms), kAsyncWaitTimeout);
    EXPECT_EQ(action->GetResults(), E_ILLEGAL_METHOD_CALL);
    EXPECT_EQ(info->Close(), E_ILLEGAL_STATE_CHANGE);
    canceled.Set();
    EXPECT_EQ(WaitForCompletion(action.Get(), kGenerousWait), throwOnCancel ? E_ABORT : S_OK);
    EXPECT_TRUE(sawCancel);
    EXPECT_EQ(InfoOf(action.Get()).first, throwOnCancel ? AsyncStatus::Canceled : AsyncStatus::Completed);
  }
  EXPECT_EQ(WaitForCompletion(nullptr), E_POINTER);
}

TEST(AsyncActionTest, CompletedAction_HandlerRunsOnceAtOnceIsNotKeptAndCloseEndsTheObject) {
  ComPtr<IAsyncAction> action = CreateAsyncAction([](const CancellationToken&) {});
  ASSERT_EQ(WaitForCompletion(action.Get(), kGenerousWait), S_OK);
  std::vector<Finished> calls;
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  // The handler keeps the action alive; the action must not keep the handler in return.
  auto handler = Callback<IAsyncActionCompletedHandler>(
      [&calls, action, sentinel](IAsyncAction* sender, AsyncStatus s) {
        EXPECT_EQ(sender, action.Get());
        calls.emplace_back(s, std::this_thread::get_id());
        return S_OK;
      });
  sentinel.reset();
  EXPECT_EQ(action->put_Completed(handler.Get()), S_OK);
  EXPECT_EQ(calls, std::vector<Finished>{Finished(AsyncStatus::Completed, std::this_thread::get_id())});
  EXPECT_EQ(action->put_Completed(handler.Get()), E_ILLEGAL_DELEGATE_ASSIGNMENT);
  EXPECT_EQ(calls.size(), 1u);
  ComPtr<IAsyncActionCompletedHandler> stored;
  EXPECT_EQ(action->get_Completed(&stored), S_OK);
  EXPECT_EQ(stored, nullptr);
  handler.Reset();
  EXPECT_TRUE(watch.expired());

  ComPtr<IAsyncInfo> info;
  ASSERT_EQ(action.As(&info), S_OK);
  EXPECT_EQ(info->Close(), S_OK);
  AsyncStatus status;
  EXPECT_EQ(info->get_Status(&status), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(action->GetResults(), E_ILLEGAL_METHOD_CALL);
}

}  // namespace
}  // namespace korvane::winrt
