// A timer whose clock runs on its own thread, so that ticks keep their pace
// while the user-interface thread is busy, and whose ticks still run on the
// thread the timer lives on. The worker waits for the interval, hands the tick
// over and waits until it has run, so ticks never pile up; deadlines follow a
// fixed cadence, so a tick that takes part of the interval does not slow the
// rate, and one slower than the interval delays the next instead of bursting.
#pragma once

#include <QObject>
#include <QThread>
#include <cstdint>
#include <functional>
#include <memory>

class TThreadedTimer;

namespace thdtimer_detail {
struct Shared;
}

// The worker thread of a TThreadedTimer.
class TTimerThread : public QThread {
 public:
  explicit TTimerThread(TThreadedTimer* owner, std::shared_ptr<thdtimer_detail::Shared> shared);

 protected:
  void run() override;

 private:
  TThreadedTimer* FOwner;
  std::shared_ptr<thdtimer_detail::Shared> FShared;
};

class TThreadedTimer : public QObject {
  Q_OBJECT

 public:
  using TNotifyEvent = std::function<void(TThreadedTimer* sender)>;

  explicit TThreadedTimer(QObject* AOwner = nullptr);
  // Stops the worker and joins it. A tick handed over but not yet run is
  // dropped; the worker never waits on this thread after this point.
  ~TThreadedTimer() override;

  bool Enabled() const { return FEnabled; }
  // Enabling starts a fresh wait, so the first tick comes one full interval later.
  void setEnabled(bool v);

  // Milliseconds between ticks (default 1000). Changing it while enabled
  // restarts the wait with the new interval.
  uint32_t Interval() const;
  void setInterval(uint32_t v);

  QThread::Priority ThreadPriority() const { return FPriority; }
  void setThreadPriority(QThread::Priority p);

  const TNotifyEvent& OnTimer() const { return FOnTimer; }
  void setOnTimer(TNotifyEvent handler) { FOnTimer = std::move(handler); }

  // Whether an interval of 0 may tick (as fast as ticks can run).
  bool AllowZero() const { return FAllowZero; }
  void setAllowZero(bool v) { FAllowZero = v; }

 private:
  friend class TTimerThread;
  void Tick(uint64_t generation);  // on the timer's thread
  void UpdateWorker();             // tells the worker whether to run

  TNotifyEvent FOnTimer;
  std::shared_ptr<thdtimer_detail::Shared> FShared;
  std::unique_ptr<TTimerThread> FTimerThread;
  QThread::Priority FPriority = QThread::NormalPriority;
  bool FEnabled = false;
  bool FAllowZero = false;
  bool FDestroying = false;
};
