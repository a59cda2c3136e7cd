#include "platform/winrt/EventSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using korvane::winrt::IEventHandler;
using Handler = IEventHandler<int64_t>;
using Ids = std::vector<int>;

static_assert(!(IEventHandler<int64_t>::kIid == IEventHandler<double>::kIid), "each instantiation has its own id");

class EventSourceTest : public testing::Test {
 protected:
  // A handler that records (id, argument) and answers `result`, or throws it when `thrown`.
  EventRegistrationToken AddRecorder(int id, HRESULT result = S_OK, bool thrown = false) {
    EventRegistrationToken token{};
    EXPECT_EQ(source_.Add(Callback<Handler>([this, id, result, thrown](int64_t value) {
                            calls_.push_back({id, value});
                            if (thrown) ThrowHResult(result);
                            return result;
                          }).Get(),
                          &token),
              S_OK);
    return token;
  }
  // The ids called by the next raise, with the raise's result.
  std::pair<HRESULT, Ids> Raise(int64_t value = 0) {
    calls_.clear();
    const HRESULT hr = source_.InvokeAll(value);
    Ids ids;
    for (auto& call : calls_) ids.push_back(call.first);
    return {hr, ids};
  }

  EventSource<Handler> source_;
  std::vector<std::pair<int, int64_t>> calls_;
};

// A handler whose owner is gone is dropped and the raise goes on; any other failure ends the
// raise, is returned, and leaves the handler registered.
TEST_F(EventSourceTest, InvokeAll_FailingHandlerDroppedOnlyWhenDisconnected) {
  const struct {
    HRESULT code;
    bool thrown;
    bool disconnected;
  } cases[] = {{RPC_S_SERVER_UNAVAILABLE_HR, false, true}, {RPC_E_DISCONNECTED, false, true},
               {JSCRIPT_E_CANTEXECUTE, false, true},       {RPC_E_DISCONNECTED, true, true},
               {E_FAIL, false, false},                     {E_INVALIDARG, false, false},
               {E_ABORT, false, false},                    {RO_E_CLOSED, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code << (c.thrown ? " thrown" : " returned"));
    source_.Clear();
    AddRecorder(1);
    AddRecorder(2, c.code, c.thrown);
    AddRecorder(3);
    if (c.disconnected) {
      EXPECT_EQ(Raise(), std::pair(S_OK, Ids{1, 2, 3}));
      EXPECT_EQ(Raise(), std::pair(S_OK, Ids{1, 3}));
    } else {
      EXPECT_EQ(Raise(), std::pair(c.code, Ids{1, 2}));
      EXPECT_EQ(Raise(), std::pair(c.code, Ids{1, 2}));
    }
    EXPECT_EQ(source_.GetSize(), c.disconnected ? 2u : 3u);
  }
}

TEST_F(EventSourceTest, Handler_AddsAndRemovesDuringRaise) {
  EventRegistrationToken self{};
  source_.Add(Callback<Handler>([&](int64_t) {
                calls_.push_back({1, 0});
                source_.Remove(self);
                AddRecorder(9);
                return S_OK;
              }).Get(),
              &self);
  AddRecorder(2);
  EXPECT_EQ(Raise(), std::pair(S_OK, Ids{1, 2}));  // the new handler waits for the next raise
  EXPECT_EQ(Raise(), std::pair(S_OK, Ids{2, 9}));
}

TEST(EventSourceConcurrencyTest, AddRemove_WhileRaisingOnAnotherThread) {
  EventSource<Handler> source;
  std::atomic<int64_t> sum{0};
  EventRegistrationToken stable{};
  source.Add(Callback<Handler>([&](int64_t v) { sum += v; }).Get(), &stable);
  std::atomic<bool> stop{false};
  std::thread raiser([&] {
    do {
      ASSERT_EQ(source.InvokeAll(int64_t{1}), S_OK);
    } while (!stop.load());
  });
  for (int i = 0; i < 2000; ++i) {
    EventRegistrationToken token{};
    source.Add(Callback<Handler>([](int64_t) {}).Get(), &token);
    source.Remove(token);
  }
  stop = true;
  raiser.join();
  EXPECT_EQ(source.GetSize(), 1u);
  EXPECT_GT(sum.load(), 0);
}

}  // namespace
