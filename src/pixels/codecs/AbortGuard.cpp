#include "pixels/codecs/AbortGuard.h"

#include <csetjmp>
#include <csignal>
#include <mutex>

namespace codecs {
namespace {

// glibc's abort() releases its lock and resets its stage before it raises
// SIGABRT, so a handler may leave by siglongjmp and abort() works again later.
// An integer division by zero (SIGFPE) has changed nothing yet when it traps.
thread_local sigjmp_buf* tBack = nullptr;
struct sigaction gAbortBefore, gFpeBefore;

void OnSignal(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* back = tBack) {
    tBack = nullptr;
    siglongjmp(*back, 1);
  }
  struct sigaction& before = sig == SIGFPE ? gFpeBefore : gAbortBefore;
  if (before.sa_flags & SA_SIGINFO) {
    if (before.sa_sigaction) {
      before.sa_sigaction(sig, info, context);
      return;
    }
  } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(sig);
    return;
  }
  if (sig == SIGFPE) {
    // The fault would trap again on return: take the default action now.
    signal(SIGFPE, SIG_DFL);
    raise(SIGFPE);
  }
  // Returning from SIGABRT lets abort() raise again with the default action.
}

void Install() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction act {};
    act.sa_sigaction = OnSignal;
    act.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&act.sa_mask);
    sigaction(SIGABRT, &act, &gAbortBefore);
    sigaction(SIGFPE, &act, &gFpeBefore);
  });
}

}  // namespace

bool RunAbortGuarded(void (*body)(void*), void* context) {
  Install();
  sigjmp_buf back;
  sigjmp_buf* const outer = tBack;  // a guarded body may guard again
  if (sigsetjmp(back, 1) != 0) {
    tBack = outer;
    return false;
  }
  tBack = &back;
  body(context);
  tBack = outer;
  return true;
}

}  // namespace codecs
