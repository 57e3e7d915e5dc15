#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <functional>
#include <stdexcept>

#include "pixels/ThdTimer.h"

namespace {

// Runs the event loop until `done` holds or `ms` have passed.
bool SpinUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

void Spin(int ms) {
  SpinUntil([] { return false; }, ms);
}

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
  ASSERT_TRUE(SpinUntil([&] { return first >= 0; }, 5000));
  EXPECT_GE(first, 149);
  EXPECT_TRUE(onOwnThread);
}

TEST(ThreadedTimer, IntervalChangeWhileEnabledTakesEffectAtOnce) {
  TThreadedTimer t;
  std::atomic<int> ticks{0};
  t.setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t.setInterval(10000);
  t.setEnabled(true);
  Spin(30);
  t.setInterval(20);
  EXPECT_TRUE(t.Enabled());
  EXPECT_EQ(t.Interval(), 20u);
  EXPECT_TRUE(SpinUntil([&] { return ticks >= 3; }, 5000));

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
  ASSERT_TRUE(SpinUntil([&] { return ticks >= 3; }, 5000));
  t.setEnabled(false);
  const int seen = ticks;
  Spin(150);
  EXPECT_EQ(ticks, seen);

  // Enabled again it ticks again.
  t.setEnabled(true);
  EXPECT_TRUE(SpinUntil([&] { return ticks > seen; }, 5000));
}

TEST(ThreadedTimer, TickHandedOverButNotRunIsDroppedWhenDisabled) {
  TThreadedTimer t;
  int ticks = 0;
  t.setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t.setInterval(5);
  t.setEnabled(true);
  QThread::msleep(100);  // the worker hands a tick over and waits for this thread
  t.setEnabled(false);
  Spin(50);
  EXPECT_EQ(ticks, 0);
}

TEST(ThreadedTimer, DestroyingWhileATickIsPendingNeitherHangsNorDelivers) {
  std::atomic<int> ticks{0};
  auto* t = new TThreadedTimer;
  t->setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t->setInterval(5);
  t->setEnabled(true);
  QThread::msleep(100);  // a tick is now queued for this thread
  QElapsedTimer clock;
  clock.start();
  delete t;
  EXPECT_LT(clock.elapsed(), 1000);
  Spin(50);
  EXPECT_EQ(ticks, 0);

  // Destroyed by its owner, the same.
  auto* owner = new QObject;
  auto* owned = new TThreadedTimer(owner);
  owned->setOnTimer([&](TThreadedTimer*) { ++ticks; });
  owned->setInterval(5);
  owned->setEnabled(true);
  QThread::msleep(50);
  delete owner;
  Spin(50);
  EXPECT_EQ(ticks, 0);
}

TEST(ThreadedTimer, HandlerMayDestroyItsTimer) {
  auto* t = new TThreadedTimer;
  bool destroyed = false;
  QObject::connect(t, &QObject::destroyed, [&] { destroyed = true; });
  t->setInterval(10);
  t->setOnTimer([](TThreadedTimer* sender) { delete sender; });
  t->setEnabled(true);
  EXPECT_TRUE(SpinUntil([&] { return destroyed; }, 5000));
  Spin(30);
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
    QThread::msleep(30);  // slower than the interval
    Spin(0);              // lets pending events in, as a frame load does
    --running;
    if (ticks == 1) throw std::runtime_error("swallowed");
  });
  t.setInterval(5);
  t.setEnabled(true);
  ASSERT_TRUE(SpinUntil([&] { return ticks >= 4; }, 5000));
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
  Spin(50);
  EXPECT_EQ(ticks, 0);

  t.setEnabled(false);
  t.setAllowZero(true);
  t.setEnabled(true);
  EXPECT_TRUE(SpinUntil([&] { return ticks >= 5; }, 5000));
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
  ASSERT_TRUE(SpinUntil([&] { return ticks >= 21; }, 10000));
  t.setEnabled(false);
  // Twenty periods of 25 ms, not of 25 ms plus the tick's 15.
  EXPECT_LT((last - first) / 20.0, 36.0);
}

TEST(ThreadedTimer, TickHandedOverBeforeReenablingIsNotDelivered) {
  TThreadedTimer t;
  int ticks = 0;
  t.setOnTimer([&](TThreadedTimer*) { ++ticks; });
  t.setInterval(5);
  t.setEnabled(true);
  QThread::msleep(100);  // a tick waits in this thread's queue
  t.setEnabled(false);
  t.setInterval(400);
  t.setEnabled(true);
  Spin(100);
  EXPECT_EQ(ticks, 0);  // the first tick comes a full interval after enabling
}
