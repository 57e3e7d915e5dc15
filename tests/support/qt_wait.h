// Waiting in Qt tests for what a test waits for rather than for a fixed time:
// the event loop runs until the condition holds, checked after every batch of
// events, and gives up only after a timeout generous enough for a loaded
// machine. A fault that keeps the condition from holding still fails, at
// the timeout; a passing run takes only as long as the behaviour itself.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <functional>
#include <utility>

namespace testsupport {

// Runs the event loop until done() holds; false when timeoutMs passed first.
template <typename Condition>
bool WaitUntil(Condition done, int timeoutMs = 10000) {
  const QDeadlineTimer deadline(timeoutMs);
  // Wakes the loop for conditions that other threads change without posting.
  QTimer poll;
  poll.start(5);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Runs the event loop for ms: only for checking that something does not
// happen within a window, never for letting something happen.
inline void RunEventsFor(int ms) {
  WaitUntil([] { return false; }, ms);
}

// Runs action when the first event of a type reaches target, before target
// sees it: for queued calls (a timer's tick), the moment it has been handed
// over to this thread and has not run. action returns true when it consumed
// the event (it must when it destroyed target).
class BeforeDelivery : public QObject {
 public:
  BeforeDelivery(QObject* target, QEvent::Type type, std::function<bool()> action)
      : type_(type), action_(std::move(action)) {
    target->installEventFilter(this);
  }
  bool fired = false;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (fired || event->type() != type_) return false;
    fired = true;
    return action_();
  }

 private:
  QEvent::Type type_;
  std::function<bool()> action_;
};

}  // namespace testsupport
