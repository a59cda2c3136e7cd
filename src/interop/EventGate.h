// EventGate: lets an object's disposal wait for the event raises in progress on other threads,
// and refuses every raise that would start after it.
//
//   if (!gate.Enter()) return;          // closed: raise nothing
//   EventGate::Leaver leave(gate);
//   source.InvokeAll(...);
//
// CloseAndWait does not wait for raises on its own thread, so a handler may dispose the object
// that is raising it. It does wait for handlers running on other threads: a handler must not
// wait for the thread that disposes the object.
//
// Threads: any; one mutex, held only to count.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane {

class EventGate {
 public:
  // True when the raise may go on; the caller must then Leave once.
  bool Enter();
  void Leave();
  // Refuses every later Enter, then waits until only raises on the calling thread are left.
  void CloseAndWait();

  class Leaver {
   public:
    explicit Leaver(EventGate& gate) : gate_(gate) {}
    Leaver(const Leaver&) = delete;
    Leaver& operator=(const Leaver&) = delete;
    ~Leaver() { gate_.Leave(); }

   private:
    EventGate& gate_;
  };

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  // -- guarded by mutex_
  bool closed_ = false;
  std::vector<std::thread::id> raising_;  // one entry per raise in progress (nested raises repeat)
};

}  // namespace korvane
