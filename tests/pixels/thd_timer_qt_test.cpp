#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <functional>
#include <stdexcept>

#include "pixels/ThdTimer.h"
#include "support/qt_wait.h"

using testsupport::BeforeDelivery;
using testsupport::RunEventsFor;
using testsupport::WaitUntil;

namespace {

// A timer's tick reaches its thread as a queued call.
BeforeDelivery OnHandOver(TThreadedTimer* timer, std::function<bool()> action) {
  return BeforeDelivery(timer, QEvent::MetaCall, std::move(action));
}

// A second timer that counts its own ticks: a window measured in ticks of
// the same machinery, so a silent timer is checked over as many periods as
// a working one would have ticked, however loaded the machine.
struct Reference {
  explicit Reference(uint32_t interval, bool allowZero = false) {
    timer.setInterval(interval);
    timer.setAllowZero(allowZero);
    timer.setOnTimer([this](TThreadedTimer*) { ++ticks; });
    timer.setEnabled(true);
  }
  bool WaitTicks(int n) {
    return WaitUntil([&] { return ticks >= n; });
  }
  TThreadedTimer timer;
  int ticks = 0;
};

}  // namespace

TEST(ThreadedTimer, Defaults) {
  TThreadedTimer t;
  EXPECT_FALSE(t.Enabled());
  EXPECT_EQ(t.Interval(), 1000u);
  EXPECT_EQ(t.ThreadPriority(), QThread::NormalPriority);
  EXPECT_FALSE(t.AllowZero());
}

TEST(ThreadedTimer, FirstTickAfterOneFullIntervalOnTheTimersThread) {
  TThreadedTimer t;
  t.setInterval(150);
  QElapsedTimer clock;
  qint64 first = -1;
  bool onOwnThread = false;
  t.setOnTimer([&](TThreadedTimer* sender) {
    if (first < 0) first = clock.elapsed();
    onOwnThread = QThread::currentThread() == sender->thread();
  });
  clock.start();
  t.setEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return first >= 0; }, 5000));
  EXPECT_GE(first, 149);
  EXPECT_TRUE(onOwnThread);
}

TEST(ThreadedTimer, IntervalChangeWhileEnabledTakesEffectAtOnce) {
  TThreadedTimer t;
  std::atomic<int> ticks{0};
  t.setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t.setInterval(10000);
  t.setEnabled(true);
  // Time for the worker to start its long wait (nothing can tick in it): a
  // change that comes before would test less, never fail.
  RunEventsFor(30);
  t.setInterval(20);
  EXPECT_TRUE(t.Enabled());
  EXPECT_EQ(t.Interval(), 20u);
  EXPECT_TRUE(WaitUntil([&] { return ticks >= 3; }, 5000));  // not 10 s

  // Changing the interval of a disabled timer leaves it disabled.
  t.setEnabled(false);
  t.setInterval(30);
  EXPECT_FALSE(t.Enabled());
}

TEST(ThreadedTimer, DisableStopsTicks) {
  TThreadedTimer t;
  int ticks = 0;
  t.setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t.setInterval(10);
  t.setEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticks >= 3; }, 5000));
  t.setEnabled(false);
  const int seen = ticks;
  Reference reference(10);
  ASSERT_TRUE(reference.WaitTicks(10));
  EXPECT_EQ(ticks, seen);

  // Enabled again it ticks again.
  t.setEnabled(true);
  EXPECT_TRUE(WaitUntil([&] { return ticks > seen; }, 5000));
}

TEST(ThreadedTimer, TickHandedOverButNotRunIsDroppedWhenDisabled) {
  TThreadedTimer t;
  int ticks = 0;
  t.setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t.setInterval(5);
  auto handedOver = OnHandOver(&t, [&] {
    t.setEnabled(false);
    return false;  // the tick goes on to the timer, which must drop it
  });
  t.setEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return handedOver.fired; }));
  EXPECT_EQ(ticks, 0);
  EXPECT_FALSE(t.Enabled());
}

TEST(ThreadedTimer, DestroyingWhileATickIsPendingNeitherHangsNorDelivers) {
  // Destroyed itself, or with its owner, while its worker waits for a tick
  // handed over to this thread.
  for (const bool byOwner : {false, true}) {
    SCOPED_TRACE(byOwner ? "destroyed by its owner" : "destroyed");
    int ticks = 0;
    auto* owner = byOwner ? new QObject : nullptr;
    auto* t = new TThreadedTimer(owner);
    t->setOnTimer([&](TThreadedTimer*) { ++ticks; });
    t->setInterval(5);
    qint64 destroyMs = -1;
    auto handedOver = OnHandOver(t, [&] {
      QElapsedTimer clock;
      clock.start();
      if (owner)
        delete owner;
      else
        delete t;
      destroyMs = clock.elapsed();
      return true;
    });
    t->setEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return handedOver.fired; }));
    EXPECT_GE(destroyMs, 0);
    EXPECT_LT(destroyMs, 1000);  // the worker does not wait on this thread any more
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 0);
  }
}

TEST(ThreadedTimer, HandlerMayDestroyItsTimer) {
  auto* t = new TThreadedTimer;
  bool destroyed = false;
  QObject::connect(t, &QObject::destroyed, [&] { destroyed = true; });
  t->setInterval(10);
  t->setOnTimer([](TThreadedTimer* sender) { delete sender; });
  t->setEnabled(true);
  EXPECT_TRUE(WaitUntil([&] { return destroyed; }, 5000));
  QCoreApplication::processEvents();  // whatever the tick left queued
}

TEST(ThreadedTimer, SlowOrFailingTicksNeitherOverlapNorStopTheClock) {
  TThreadedTimer t;
  int ticks = 0;
  int running = 0;
  bool overlapped = false;
  t.setOnTimer([&](TThreadedTimer*) {
    overlapped = overlapped || running > 0;
    ++running;
    ++ticks;
    QThread::msleep(30);                // slower than the interval
    QCoreApplication::processEvents();  // lets pending events in, as a frame load does
    --running;
    if (ticks == 1) throw std::runtime_error("swallowed");
  });
  t.setInterval(5);
  t.setEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticks >= 4; }, 5000));
  t.setEnabled(false);
  EXPECT_FALSE(overlapped);
}

TEST(ThreadedTimer, ZeroIntervalTicksOnlyWhenAllowed) {
  TThreadedTimer t;
  int ticks = 0;
  t.setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t.setInterval(0);
  t.setEnabled(true);
  EXPECT_TRUE(t.Enabled());
  {
    Reference allowed(0, true);
    ASSERT_TRUE(allowed.WaitTicks(20));
  }
  EXPECT_EQ(ticks, 0);

  t.setEnabled(false);
  t.setAllowZero(true);
  t.setEnabled(true);
  EXPECT_TRUE(WaitUntil([&] { return ticks >= 5; }, 5000));
  t.setEnabled(false);
}

TEST(ThreadedTimer, PriorityIsKept) {
  TThreadedTimer t;
  t.setThreadPriority(QThread::HighPriority);
  EXPECT_EQ(t.ThreadPriority(), QThread::HighPriority);
  t.setInterval(10);
  t.setEnabled(true);
  t.setThreadPriority(QThread::LowPriority);
  EXPECT_EQ(t.ThreadPriority(), QThread::LowPriority);
}

TEST(ThreadedTimer, TicksKeepTheirCadenceWhileTheyTakeTime) {
  TThreadedTimer t;
  QElapsedTimer clock;
  int ticks = 0;
  qint64 first = 0, last = 0;
  t.setOnTimer([&](TThreadedTimer*) {
    if (ticks++ == 0) first = clock.elapsed();
    last = clock.elapsed();
    QThread::msleep(15);  // well inside the interval, but not nothing
  });
  t.setInterval(25);
  clock.start();
  t.setEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticks >= 21; }, 10000));
  t.setEnabled(false);
  // Twenty periods of 25 ms, not of 25 ms plus the tick's 15, nor shorter
  // (the first tick may have come late, hence the margin below).
  EXPECT_LT((last - first) / 20.0, 36.0);
  EXPECT_GT((last - first) / 20.0, 20.0);
}

TEST(ThreadedTimer, TickHandedOverBeforeReenablingIsNotDelivered) {
  TThreadedTimer t;
  int ticks = 0;
  qint64 first = -1;
  QElapsedTimer reenabled;
  t.setOnTimer([&](TThreadedTimer*) {
    if (ticks++ == 0) first = reenabled.elapsed();
  });
  t.setInterval(5);
  auto handedOver = OnHandOver(&t, [&] {
    t.setEnabled(false);
    t.setInterval(400);
    t.setEnabled(true);
    reenabled.start();
    return false;  // the stale tick goes on to the timer
  });
  t.setEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return handedOver.fired; }));
  EXPECT_EQ(ticks, 0);
  // The first tick comes a full interval after enabling.
  ASSERT_TRUE(WaitUntil([&] { return ticks > 0; }));
  EXPECT_GE(first, 399);
}
