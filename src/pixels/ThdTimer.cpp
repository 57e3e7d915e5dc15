#include "pixels/ThdTimer.h"

#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace thdtimer_detail {

// State shared by the timer and its worker. Queued ticks hold it too, so that
// a tick finishing after its timer is gone still has somewhere to report.
struct Shared {
  std::mutex m;
  std::condition_variable cv;
  uint32_t interval = 1000;
  bool running = false;    // the worker counts intervals (false: it sleeps)
  bool stop = false;       // auto-reset event: ends a pending wait without a tick
  bool terminate = false;  // the timer is going away
  uint64_t handedOver = 0;
  uint64_t done = 0;        // ticks that have run (or were dropped with their timer)
  uint64_t generation = 0;  // bumped by every enabling: older queued ticks are stale
};

}  // namespace thdtimer_detail

using thdtimer_detail::Shared;

TTimerThread::TTimerThread(TThreadedTimer* owner, std::shared_ptr<Shared> shared)
    : FOwner(owner), FShared(std::move(shared)) {}

void TTimerThread::run() {
  using Clock = std::chrono::steady_clock;
  Shared& s = *FShared;
  std::unique_lock lk(s.m);
  // Ticks keep a fixed cadence: each deadline follows the previous one, so
  // the time a tick takes does not stretch the period. A tick that falls
  // behind is not made up in a burst.
  bool fresh = true;
  Clock::time_point deadline;
  while (!s.terminate) {
    if (!s.running) {
      s.cv.wait(lk, [&] { return s.terminate || s.running; });
      fresh = true;
      continue;
    }
    const auto now = Clock::now();
    const auto interval = std::chrono::milliseconds(s.interval);
    if (fresh)
      deadline = now + interval;
    else if (deadline < now)
      deadline = now;
    fresh = false;
    s.cv.wait_until(lk, deadline, [&] { return s.terminate || s.stop || !s.running; });
    if (s.terminate) break;
    if (s.stop) {
      s.stop = false;  // consumed; the next wait is a full interval
      fresh = true;
      continue;
    }
    if (!s.running) continue;
    deadline += interval;

    // The interval has passed: run the tick on the timer's thread and wait for
    // it. The timer's destructor ends this wait (terminate), and Qt drops a
    // queued tick whose timer has been destroyed.
    const uint64_t id = ++s.handedOver;
    QMetaObject::invokeMethod(
        FOwner,
        [owner = FOwner, shared = FShared, id, generation = s.generation] {
          owner->Tick(generation);
          // The handler may have destroyed the timer: only the shared state is touched now.
          std::lock_guard g(shared->m);
          shared->done = std::max(shared->done, id);
          shared->cv.notify_all();
        },
        Qt::QueuedConnection);
    s.cv.wait(lk, [&] { return s.terminate || s.done >= id; });
  }
}

TThreadedTimer::TThreadedTimer(QObject* AOwner)
    : QObject(AOwner), FShared(std::make_shared<Shared>()) {
  FTimerThread = std::make_unique<TTimerThread>(this, FShared);
}

TThreadedTimer::~TThreadedTimer() {
  FDestroying = true;
  FEnabled = false;
  {
    std::lock_guard g(FShared->m);
    FShared->terminate = true;
    FShared->running = false;
  }
  FShared->cv.notify_all();
  FTimerThread->wait();
}

uint32_t TThreadedTimer::Interval() const {
  std::lock_guard g(FShared->m);
  return FShared->interval;
}

void TThreadedTimer::setEnabled(bool v) {
  if (v == FEnabled) return;
  FEnabled = v;
  UpdateWorker();
}

void TThreadedTimer::setInterval(uint32_t v) {
  if (v == Interval()) return;
  const bool wasEnabled = FEnabled;
  setEnabled(false);
  {
    std::lock_guard g(FShared->m);
    FShared->interval = v;
  }
  setEnabled(wasEnabled);
}

void TThreadedTimer::setThreadPriority(QThread::Priority p) {
  FPriority = p;
  if (FTimerThread->isRunning()) FTimerThread->setPriority(p);
}

void TThreadedTimer::UpdateWorker() {
  bool run;
  {
    std::lock_guard g(FShared->m);
    // An interval of 0 ticks only when allowed; the timer then reads enabled but stays silent.
    run = FEnabled && (FShared->interval != 0 || FAllowZero);
    if (run) {
      FShared->stop = true;  // the first tick comes one full interval from now
      ++FShared->generation;
    }
    FShared->running = run;
  }
  FShared->cv.notify_all();
  if (run && !FTimerThread->isRunning()) FTimerThread->start(FPriority);
}

void TThreadedTimer::Tick(uint64_t generation) {
  if (!FEnabled || !FOnTimer || FDestroying) return;
  {
    // A tick handed over before the timer was last enabled belongs to an
    // earlier run: delivering it would cut the first interval short.
    std::lock_guard g(FShared->m);
    if (generation != FShared->generation) return;
  }
  // A copy: the handler may destroy this timer, and with it FOnTimer.
  const TNotifyEvent handler = FOnTimer;
  try {
    handler(this);
  } catch (...) {
    // A failing tick must not stop the clock or reach the event loop.
  }
}
