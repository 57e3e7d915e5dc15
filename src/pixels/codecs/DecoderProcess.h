// A decoder process kept for the calling thread, for a library that cannot be
// trusted with crafted input (OpenJPH 0.9 overruns its heap on some packet
// headers): what goes wrong in it stays there, and it is started once per
// thread rather than once per frame, so a frame costs its decode.
//
// The process is a program of its own (started with posix_spawn, so nothing
// of a large parent's memory is shared or kept alive by it). It gets:
//   fd 3  the shared block (a memfd) both sides map,
//   fd 4  one end of a socket pair: it reads the block's size (8 bytes) per
//         job, maps that much of fd 3, does the job in place (the job's own
//         header in the block says what it covers) and writes one byte back;
//         end of input means the parent is done.
// It dies with the thread that started it (PR_SET_PDEATHSIG; argv[1] is the
// parent's pid, to catch a parent gone before that was set).
//
// A process that crashes, or runs past its time limit (it is then killed), is
// reaped at once and replaced on the thread's next job; one left at thread
// exit is told to stop and reaped, so no zombie stays behind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace codecs {

enum class JobEnd { kDone, kCrashed, kTimedOut, kNotStarted };

// The calling thread's shared block, at least `bytes` long (contents are
// kept only up to the previous size); null when it cannot be had.
uint8_t* JobBuffer(size_t bytes);

// Runs one job of `program` on the block (filled by the caller; `bytes` is
// what it needs, at most what JobBuffer gave) in the calling thread's process of that program,
// starting it when there is none (or it runs another program).
JobEnd RunJob(const std::string& program, size_t bytes, int timeoutMs);

// The calling thread's process: its pid (0: none running) and how many
// processes this thread has started, for diagnostics and tests.
pid_t JobProcessId();
int JobProcessStarts();

// The side of the decoder program: serves jobs on fds 3 and 4 until the parent
// closes its end, calling `job(block, bytes)` for each. Returns the program's
// exit status.
int ServeJobs(int argc, char** argv, void (*job)(uint8_t* block, size_t bytes));

}  // namespace codecs
