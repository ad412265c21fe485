// Processes under KQ_TProcess: start a program as a child, watch another
// process by its id, wait for either with or without a time-out, kill it,
// and learn how it ended.
//
// A child started here is waited for (reaped) by its Process, which keeps
// how it ended. A watched process is never waited for, even when it happens
// to be a child of the caller: whoever started it keeps its status, and the
// watch only learns that it has ended (and, for a child of the caller, how).
// Closing a child that still runs leaves it running; the layer reaps it
// once it has ended, at the latest on the next start or close of any
// process, so no child stays a zombie longer than that.
//
// A Process may be used from several threads at once.
#pragma once

#include <cstdint>

#include "kq_types.h"

namespace kq::sys {

class Process;

// Milliseconds of WaitForProcess that wait without limit.
constexpr std::uint32_t kWaitForProcessForever = 0xFFFFFFFFu;

enum class ProcessState {
  kRunning,
  // Ended; ProcessEnd tells how when known.
  kEnded,
  // The system cannot tell (a child that someone else has reaped).
  kUnknown,
};

// How a process ended: by exiting with a code, or by a signal (code then
// -1), killed telling whether that signal was the one KillProcess sends. A
// watched process that is no child of the caller ends with code and signal
// at -1: only its parent may learn more.
struct ProcessEnd {
  std::int32_t exitCode = -1;
  std::int32_t signal = -1;
  bool killed = false;
};

// Starts arguments[0] with the given arguments (a null-terminated array); a
// name without "/" is looked up in PATH. The child shares the caller's
// standard channels, environment and working directory, starts with no
// signal blocked and SIGPIPE at its default, and inherits only the
// descriptors that stay open across exec (the library opens every one of its
// own to close on exec). Null, with the last error set, when the program
// cannot be started.
Process* StartProcess(char const* const* arguments) noexcept;
// Watches the process with this id. Null, with the last error set (ESRCH
// for a process that does not exist), when it cannot be watched.
Process* WatchProcess(std::uint32_t id) noexcept;
// Gives the Process up. A child that has ended is reaped; one that still
// runs goes on running and is reaped later (see above).
void CloseProcess(Process* process) noexcept;

std::uint32_t ProcessId(Process const* process) noexcept;
// Waits until the process has ended, at most milliseconds (0 only looks).
// True when it has ended (or the system cannot tell), false when the time
// ran out.
bool WaitForProcess(Process* process, std::uint32_t milliseconds) noexcept;
// Whether the process runs, without waiting; end is filled once it has
// ended.
ProcessState QueryProcess(Process* process, ProcessEnd* end) noexcept;
// Sends SIGKILL unless the process has ended; false when that fails.
bool KillProcess(Process* process) noexcept;

std::uint32_t CurrentProcessId() noexcept;
// Ends the calling process at once with code, as _exit does.
[[noreturn]] void ExitProcess(int code) noexcept;

}  // namespace kq::sys
