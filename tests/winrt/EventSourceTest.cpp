#include "platform/winrt/EventSource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using korvane::winrt::IEventHandler;
using Handler = IEventHandler<int64_t>;

static_assert(!(IEventHandler<int64_t>::kIid == IEventHandler<double>::kIid), "each instantiation has its own id");
static_assert(!(IEventHandler<int64_t>::kIid == IUnknown::kIid));

class EventSourceTest : public testing::Test {
 protected:
  // A handler that records (id, argument) and answers `result`.
  EventRegistrationToken AddRecorder(int id, HRESULT result = S_OK) {
    EventRegistrationToken token{};
    EXPECT_EQ(source_.Add(Callback<Handler>([this, id, result](int64_t value) {
                            calls_.push_back({id, value});
                            return result;
                          }).Get(),
                          &token),
              S_OK);
    return token;
  }
  std::vector<int> CalledIds() const {
    std::vector<int> ids;
    for (auto& call : calls_) ids.push_back(call.first);
    return ids;
  }

  EventSource<Handler> source_;
  std::vector<std::pair<int, int64_t>> calls_;
};

TEST_F(EventSourceTest, InvokeAll_CallsHandlersInRegistrationOrderWithArguments) {
  AddRecorder(1);
  AddRecorder(2);
  AddRecorder(3);
  EXPECT_EQ(source_.InvokeAll(int64_t{42}), S_OK);
  EXPECT_EQ(CalledIds(), (std::vector<int>{1, 2, 3}));
  for (auto& call : calls_) EXPECT_EQ(call.second, 42);
}

TEST_F(EventSourceTest, Remove_DropsOnlyThatRegistration) {
  AddRecorder(1);
  EventRegistrationToken second = AddRecorder(2);
  AddRecorder(3);
  EXPECT_EQ(source_.Remove(second), S_OK);
  EXPECT_EQ(source_.Remove(second), S_OK);  // unknown now: nothing happens
  source_.InvokeAll(int64_t{1});
  EXPECT_EQ(CalledIds(), (std::vector<int>{1, 3}));
  EXPECT_EQ(source_.GetSize(), 2u);
}

TEST_F(EventSourceTest, Add_RefusesNullArguments) {
  EventRegistrationToken token{};
  EXPECT_EQ(source_.Add(nullptr, &token), E_INVALIDARG);
  EXPECT_EQ(source_.Add(Callback<Handler>([](int64_t) { return S_OK; }).Get(), nullptr), E_POINTER);
  EXPECT_EQ(source_.GetSize(), 0u);
}

class EventSourceDisconnectTest : public EventSourceTest, public testing::WithParamInterface<HRESULT> {};

TEST_P(EventSourceDisconnectTest, InvokeAll_DropsDisconnectedHandlerAndGoesOn) {
  AddRecorder(1);
  AddRecorder(2, GetParam());
  AddRecorder(3);
  EXPECT_EQ(source_.InvokeAll(int64_t{5}), S_OK);
  EXPECT_EQ(CalledIds(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(source_.GetSize(), 2u);
  calls_.clear();
  EXPECT_EQ(source_.InvokeAll(int64_t{6}), S_OK);
  EXPECT_EQ(CalledIds(), (std::vector<int>{1, 3}));
}

INSTANTIATE_TEST_SUITE_P(DisconnectionCodes, EventSourceDisconnectTest,
                         testing::Values(RPC_S_SERVER_UNAVAILABLE_HR, RPC_E_DISCONNECTED, JSCRIPT_E_CANTEXECUTE));

class EventSourceFailureTest : public EventSourceTest, public testing::WithParamInterface<HRESULT> {};

TEST_P(EventSourceFailureTest, InvokeAll_OtherFailureEndsRaiseAndIsReturned) {
  AddRecorder(1);
  AddRecorder(2, GetParam());
  AddRecorder(3);
  EXPECT_EQ(source_.InvokeAll(int64_t{5}), GetParam());
  EXPECT_EQ(CalledIds(), (std::vector<int>{1, 2}));
  EXPECT_EQ(source_.GetSize(), 3u);  // the failing handler stays registered
}

INSTANTIATE_TEST_SUITE_P(OtherFailures, EventSourceFailureTest,
                         testing::Values(E_FAIL, E_INVALIDARG, E_ABORT, RO_E_CLOSED));

TEST_F(EventSourceTest, Callback_ThrownDisconnectedExceptionDropsHandler) {
  EventRegistrationToken token{};
  source_.Add(Callback<Handler>([](int64_t) -> HRESULT { throw Platform::DisconnectedException("owner gone"); }).Get(),
              &token);
  AddRecorder(2);
  EXPECT_EQ(source_.InvokeAll(int64_t{1}), S_OK);
  EXPECT_EQ(CalledIds(), (std::vector<int>{2}));
  EXPECT_EQ(source_.GetSize(), 1u);
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
  EXPECT_EQ(source_.InvokeAll(int64_t{0}), S_OK);
  EXPECT_EQ(CalledIds(), (std::vector<int>{1, 2}));  // the new handler waits for the next raise
  calls_.clear();
  EXPECT_EQ(source_.InvokeAll(int64_t{0}), S_OK);
  EXPECT_EQ(CalledIds(), (std::vector<int>{2, 9}));
}

TEST(EventSourceConcurrencyTest, AddRemoveWhileRaisingOnAnotherThread) {
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
