#include "platform/winrt/Async.h"

#include "platform/winrt/InMemoryRandomAccessStream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <future>
#include <mutex>
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
using ABI::Windows::Foundation::IAsyncOperationProgressHandler;
using ABI::Windows::Foundation::IAsyncOperationWithProgress;
using ABI::Windows::Foundation::IAsyncOperationWithProgressCompletedHandler;
using ABI::Windows::Storage::Streams::IRandomAccessStream;

constexpr auto kGenerousWait = 30s;

// A one-way signal between the test and a body.
class Signal {
 public:
  void Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kGenerousWait, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

AsyncStatus StatusOf(IUnknown* async) {
  ComPtr<IAsyncInfo> info;
  EXPECT_EQ(async->QueryInterface(IID_PPV_ARGS(&info)), S_OK);
  AsyncStatus status = AsyncStatus::Started;
  EXPECT_EQ(info->get_Status(&status), S_OK);
  return status;
}

HRESULT ErrorCodeOf(IUnknown* async) {
  ComPtr<IAsyncInfo> info;
  EXPECT_EQ(async->QueryInterface(IID_PPV_ARGS(&info)), S_OK);
  HRESULT code = E_UNEXPECTED;
  EXPECT_EQ(info->get_ErrorCode(&code), S_OK);
  return code;
}

TEST(AsyncActionTest, CreateAsyncAction_RunsBodyOnAnotherThreadAndCompletes) {
  std::thread::id bodyThread;
  ComPtr<IAsyncAction> action = CreateAsyncAction([&](const CancellationToken& token) {
    EXPECT_FALSE(token.IsCanceled());
    bodyThread = std::this_thread::get_id();
  });
  ASSERT_EQ(WaitForCompletion(action.Get(), kGenerousWait), S_OK);
  EXPECT_NE(bodyThread, std::thread::id());
  EXPECT_NE(bodyThread, std::this_thread::get_id());
  EXPECT_EQ(StatusOf(action.Get()), AsyncStatus::Completed);
  EXPECT_EQ(ErrorCodeOf(action.Get()), S_OK);
  EXPECT_EQ(action->GetResults(), S_OK);
}

struct ThrowCase {
  const char* name;
  std::function<void()> fail;
  AsyncStatus status;
  HRESULT code;
};

class AsyncActionThrowTest : public testing::TestWithParam<ThrowCase> {};

TEST_P(AsyncActionThrowTest, Body_ExceptionSetsStatusAndErrorCode) {
  ComPtr<IAsyncAction> action = CreateAsyncAction([](const CancellationToken&) { GetParam().fail(); });
  EXPECT_EQ(WaitForCompletion(action.Get(), kGenerousWait), GetParam().code);
  EXPECT_EQ(StatusOf(action.Get()), GetParam().status);
  EXPECT_EQ(ErrorCodeOf(action.Get()), GetParam().code);
  if (GetParam().status == AsyncStatus::Error) {
    EXPECT_EQ(action->GetResults(), GetParam().code);
  } else {
    EXPECT_EQ(action->GetResults(), E_ILLEGAL_METHOD_CALL);
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, AsyncActionThrowTest,
    testing::Values(
        ThrowCase{"NotReady668", [] { ThrowNotReady("position not initialised"); }, AsyncStatus::Error, kNotReady},
        ThrowCase{"InvalidArgument", [] { throw Platform::InvalidArgumentException(); }, AsyncStatus::Error, E_INVALIDARG},
        ThrowCase{"StandardException", [] { throw std::runtime_error("x"); }, AsyncStatus::Error, E_FAIL},
        ThrowCase{"OperationCanceled", [] { throw Platform::OperationCanceledException(); }, AsyncStatus::Canceled,
                  E_ABORT}),
    [](const testing::TestParamInfo<ThrowCase>& info) { return info.param.name; });

TEST(AsyncActionTest, Cancel_BeforeBodyStartsBodyNeverRuns) {
  bool ran = false;
  auto action = MakeRuntimeObject<AsyncAction>([&](const CancellationToken&) { ran = true; });
  std::vector<AsyncStatus> completions;
  action->put_Completed(Callback<IAsyncActionCompletedHandler>([&](IAsyncAction*, AsyncStatus status) {
                          completions.push_back(status);
                          return S_OK;
                        }).Get());
  EXPECT_EQ(action->Cancel(), S_OK);
  EXPECT_EQ(StatusOf(static_cast<IAsyncAction*>(action.Get())), AsyncStatus::Canceled);
  EXPECT_EQ(completions, std::vector<AsyncStatus>{AsyncStatus::Canceled});  // at once, on this thread
  action->Start();  // the pool takes it only now
  EXPECT_EQ(WaitForCompletion(static_cast<IAsyncAction*>(action.Get()), kGenerousWait), E_ABORT);
  EXPECT_FALSE(ran);
  EXPECT_EQ(completions.size(), 1u);
}

struct RunningCancelCase {
  const char* name;
  bool throwOnCancel;
  AsyncStatus status;
  HRESULT code;
};

class AsyncActionRunningCancelTest : public testing::TestWithParam<RunningCancelCase> {};

TEST_P(AsyncActionRunningCancelTest, Cancel_WhileRunningOnlySignalsToken) {
  Signal started, canceled;
  bool sawCancel = false;
  ComPtr<IAsyncAction> action = CreateAsyncAction([&](const CancellationToken& token) {
    started.Set();
    canceled.Wait();
    sawCancel = token.IsCanceled();
    if (GetParam().throwOnCancel && sawCancel) throw Platform::OperationCanceledException();
  });
  ASSERT_TRUE(started.Wait());
  ComPtr<IAsyncInfo> info;
  ASSERT_EQ(action.As(&info), S_OK);
  EXPECT_EQ(info->Cancel(), S_OK);
  EXPECT_EQ(StatusOf(action.Get()), AsyncStatus::Started);  // the body decides
  EXPECT_EQ(action->GetResults(), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(info->Close(), E_ILLEGAL_STATE_CHANGE);
  canceled.Set();
  EXPECT_EQ(WaitForCompletion(action.Get(), kGenerousWait), GetParam().code);
  EXPECT_TRUE(sawCancel);
  EXPECT_EQ(StatusOf(action.Get()), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(All, AsyncActionRunningCancelTest,
                         testing::Values(RunningCancelCase{"BodyReturns", false, AsyncStatus::Completed, S_OK},
                                         RunningCancelCase{"BodyThrowsCanceled", true, AsyncStatus::Canceled, E_ABORT}),
                         [](const testing::TestParamInfo<RunningCancelCase>& info) { return info.param.name; });

TEST(AsyncActionTest, PutCompleted_AfterCompletionRunsOnceOnSettingThread) {
  ComPtr<IAsyncAction> action = CreateAsyncAction([](const CancellationToken&) {});
  ASSERT_EQ(WaitForCompletion(action.Get(), kGenerousWait), S_OK);
  int calls = 0;
  std::thread::id handlerThread;
  auto handler = Callback<IAsyncActionCompletedHandler>([&](IAsyncAction* sender, AsyncStatus status) {
    ++calls;
    handlerThread = std::this_thread::get_id();
    EXPECT_EQ(sender, action.Get());
    EXPECT_EQ(status, AsyncStatus::Completed);
    return S_OK;
  });
  EXPECT_EQ(action->put_Completed(handler.Get()), S_OK);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
  EXPECT_EQ(action->put_Completed(handler.Get()), E_ILLEGAL_DELEGATE_ASSIGNMENT);
  EXPECT_EQ(calls, 1);
}

TEST(AsyncActionTest, PutCompleted_HandlerHoldingTheActionIsReleasedAfterItRuns) {
  ComPtr<IAsyncAction> action = CreateAsyncAction([](const CancellationToken&) {});
  ASSERT_EQ(WaitForCompletion(action.Get(), kGenerousWait), S_OK);
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  // The handler keeps the action alive; the action must not keep the handler in return.
  EXPECT_EQ(action->put_Completed(Callback<IAsyncActionCompletedHandler>(
                                      [action, sentinel](IAsyncAction*, AsyncStatus) { return S_OK; })
                                      .Get()),
            S_OK);
  sentinel.reset();
  EXPECT_TRUE(watch.expired());
  ComPtr<IAsyncActionCompletedHandler> stored;
  EXPECT_EQ(action->get_Completed(&stored), S_OK);
  EXPECT_EQ(stored, nullptr);
}

TEST(AsyncActionTest, PutCompleted_BeforeCompletionRunsOnceOnPoolThread) {
  Signal release;
  std::promise<std::pair<AsyncStatus, std::thread::id>> completed;
  int calls = 0;
  ComPtr<IAsyncAction> action = CreateAsyncAction([&](const CancellationToken&) { release.Wait(); });
  action->put_Completed(Callback<IAsyncActionCompletedHandler>([&](IAsyncAction*, AsyncStatus status) {
                          ++calls;
                          completed.set_value({status, std::this_thread::get_id()});
                          return S_OK;
                        }).Get());
  release.Set();
  auto result = completed.get_future();
  ASSERT_EQ(result.wait_for(kGenerousWait), std::future_status::ready);
  auto [status, thread] = result.get();
  EXPECT_EQ(status, AsyncStatus::Completed);
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(calls, 1);
}

TEST(AsyncActionTest, Close_AfterCompletionRefusesLaterCalls) {
  ComPtr<IAsyncAction> action = CreateAsyncAction([](const CancellationToken&) {});
  ASSERT_EQ(WaitForCompletion(action.Get(), kGenerousWait), S_OK);
  ComPtr<IAsyncInfo> info;
  ASSERT_EQ(action.As(&info), S_OK);
  UINT32 id = 0;
  EXPECT_EQ(info->get_Id(&id), S_OK);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(info->Close(), S_OK);
  AsyncStatus status;
  EXPECT_EQ(info->get_Status(&status), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(action->GetResults(), E_ILLEGAL_METHOD_CALL);
}

using StreamOperation = IAsyncOperationWithProgress<IRandomAccessStream*, double>;

TEST(AsyncOperationTest, Progress_ArrivesInOrderOnReportingThreadThenResult) {
  const std::vector<double> reported{0.1, 0.3, 0.4, 0.5, 0.7, 0.9, 1.0};
  Signal handlersSet;
  std::thread::id bodyThread;
  auto operation = CreateAsyncOperationWithProgress<IRandomAccessStream*, double>(
      [&](const ProgressReporter<double>& progress, const CancellationToken&) -> ComPtr<IRandomAccessStream> {
        bodyThread = std::this_thread::get_id();
        handlersSet.Wait();
        for (double value : reported) progress.Report(value);
        auto stream = MakeRuntimeObject<InMemoryRandomAccessStream>();
        ULONG written = 0;
        stream->WriteAt("abc", 3, &written);
        return stream;
      });
  std::vector<double> seen;
  std::vector<std::thread::id> seenThreads;
  ASSERT_EQ(operation->put_Progress(Callback<IAsyncOperationProgressHandler<IRandomAccessStream*, double>>(
                                        [&](StreamOperation* sender, double value) {
                                          EXPECT_EQ(sender, operation.Get());
                                          seen.push_back(value);
                                          seenThreads.push_back(std::this_thread::get_id());
                                          return S_OK;
                                        })
                                        .Get()),
            S_OK);
  IRandomAccessStream* early = reinterpret_cast<IRandomAccessStream*>(0x1);
  EXPECT_EQ(operation->GetResults(&early), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(early, nullptr);
  handlersSet.Set();
  ASSERT_EQ(WaitForCompletion(operation.Get(), kGenerousWait), S_OK);
  EXPECT_EQ(seen, reported);
  for (auto thread : seenThreads) EXPECT_EQ(thread, bodyThread);

  ComPtr<IRandomAccessStream> result;
  ASSERT_EQ(operation->GetResults(&result), S_OK);
  ASSERT_NE(result, nullptr);
  UINT64 size = 0;
  EXPECT_EQ(result->get_Size(&size), S_OK);
  EXPECT_EQ(size, 3u);
}

TEST(AsyncOperationTest, Body_ErrorReachesCompletedHandlerAndGetResults) {
  std::promise<AsyncStatus> completed;
  auto operation = CreateAsyncOperationWithProgress<int64_t, double>(
      [](const ProgressReporter<double>&, const CancellationToken&) -> int64_t { ThrowNotReady("source is null"); });
  operation->put_Completed(Callback<IAsyncOperationWithProgressCompletedHandler<int64_t, double>>(
                               [&](IAsyncOperationWithProgress<int64_t, double>*, AsyncStatus status) {
                                 completed.set_value(status);
                                 return S_OK;
                               })
                               .Get());
  auto status = completed.get_future();
  ASSERT_EQ(status.wait_for(kGenerousWait), std::future_status::ready);
  EXPECT_EQ(status.get(), AsyncStatus::Error);
  int64_t value = -5;
  EXPECT_EQ(operation->GetResults(&value), kNotReady);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(ErrorCodeOf(operation.Get()), kNotReady);
}

TEST(AsyncOperationTest, Cancel_BeforeBodyStartsBodyNeverRuns) {
  bool ran = false;
  using Operation = AsyncOperationWithProgress<int64_t, double>;
  auto operation = MakeRuntimeObject<Operation>([&](const ProgressReporter<double>&, const CancellationToken&) {
    ran = true;
    return int64_t{1};
  });
  EXPECT_EQ(operation->Cancel(), S_OK);
  operation->Start();
  EXPECT_EQ(WaitForCompletion(static_cast<IAsyncInfo*>(operation.Get()), kGenerousWait), E_ABORT);
  EXPECT_EQ(StatusOf(static_cast<IAsyncInfo*>(operation.Get())), AsyncStatus::Canceled);
  int64_t value = -1;
  EXPECT_EQ(operation->GetResults(&value), E_ILLEGAL_METHOD_CALL);
  EXPECT_FALSE(ran);
}

TEST(AsyncWaitTest, WaitForCompletion_TimesOutWhileRunning) {
  Signal release;
  ComPtr<IAsyncAction> action = CreateAsyncAction([&](const CancellationToken&) { release.Wait(); });
  EXPECT_EQ(WaitForCompletion(action.Get(), 1ms), kAsyncWaitTimeout);
  release.Set();
  EXPECT_EQ(WaitForCompletion(action.Get()), S_OK);
  EXPECT_EQ(WaitForCompletion(nullptr), E_POINTER);
}

}  // namespace
}  // namespace korvane::winrt
