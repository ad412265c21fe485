// Processes on Linux: posix_spawn and waitid, with a pidfd where the kernel
// has them. The pidfd lets a wait time out, lets a process that is no child
// be watched until it ends, and makes sure that a signal or a wait never
// reaches another process that has taken over a reused id. Without pidfds a
// child is still safe (its id stays reserved until it is reaped, which only
// happens under the Process's lock), and a watch falls back to probing the
// id with kill(id, 0).
//
// Waiting for a child happens in two steps: the waiter sleeps with WNOWAIT,
// which leaves the ended child in place, and then reaps it under the lock,
// so that several threads may wait at once and all of them learn the end.
#include "kq_sys_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "kq_sys_errno_posix.h"

extern char** environ;

class kq::sys::Process {
 public:
  pid_t pid = 0;
  bool child = false;
  // -1 where the kernel has no pidfds.
  int pidfd = -1;
  std::mutex lock;
  // Under lock.
  ProcessState state = ProcessState::kRunning;
  ProcessEnd end;
};

namespace kq::sys {

namespace {

int OpenPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::int64_t NowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Children that were given up while they still ran, reaped once they end.
// Made on first use and never destroyed, so that processes closed while the
// program ends find it.
struct Abandoned {
  std::mutex lock;
  std::vector<pid_t> pids;
};

Abandoned& AbandonedChildren() {
  static Abandoned* const abandoned = new Abandoned();
  return *abandoned;
}

void ReapAbandoned() {
  Abandoned& abandoned = AbandonedChildren();
  std::lock_guard<std::mutex> const guard(abandoned.lock);
  std::vector<pid_t>& pids = abandoned.pids;
  for (std::size_t i = pids.size(); i > 0; --i) {
    pid_t const reaped = waitpid(pids[i - 1], nullptr, WNOHANG);
    if (reaped != 0 && (reaped > 0 || errno == ECHILD)) {
      pids[i - 1] = pids.back();
      pids.pop_back();
    }
  }
}

void Abandon(pid_t pid) {
  Abandoned& abandoned = AbandonedChildren();
  std::lock_guard<std::mutex> const guard(abandoned.lock);
  try {
    abandoned.pids.push_back(pid);
  } catch (std::bad_alloc const&) {
    // Without memory the child is left to be reaped when this process ends.
  }
}

void RecordEnd(Process* process, siginfo_t const& info) {
  process->state = ProcessState::kEnded;
  if (info.si_code == CLD_EXITED) {
    process->end.exitCode = info.si_status;
    process->end.signal = 0;
  } else {
    process->end.exitCode = -1;
    process->end.signal = info.si_status;
    process->end.killed = info.si_status == SIGKILL;
  }
}

int WaitId(Process const* process, siginfo_t* info, int options) {
  *info = siginfo_t{};
  return process->pidfd >= 0 ? waitid(P_PIDFD, static_cast<id_t>(process->pidfd), info, options)
                             : waitid(P_PID, static_cast<id_t>(process->pid), info, options);
}

// Under the lock: waitid without waiting, options added. True when the
// process has ended, with info filled; otherwise errno tells ECHILD (no
// child of the caller, or reaped already) from a child still running (0).
bool EndedChild(Process* process, int options, siginfo_t* info) {
  errno = 0;
  return WaitId(process, info, WEXITED | WNOHANG | options) == 0 && info->si_pid != 0;
}

// Under the lock: brings the state of a process still thought running up to
// date. A child is reaped when it has ended; a watch only looks, and learns
// how a child of the caller ended without reaping it.
void Refresh(Process* process) {
  siginfo_t info;
  if (process->child) {
    if (EndedChild(process, 0, &info)) {
      RecordEnd(process, info);
    } else if (errno == ECHILD) {
      // Someone else reaped it.
      process->state = ProcessState::kUnknown;
    }
    return;
  }
  bool ended;
  if (process->pidfd >= 0) {
    pollfd watch{process->pidfd, POLLIN, 0};
    ended = poll(&watch, 1, 0) > 0;
  } else {
    ended = EndedChild(process, WNOWAIT, &info) || (kill(process->pid, 0) != 0 && errno == ESRCH);
  }
  if (!ended) return;
  process->state = ProcessState::kEnded;
  if (EndedChild(process, WNOWAIT, &info)) RecordEnd(process, info);
}

// Sleeps until the pidfd reports the end or milliseconds have passed.
bool PollPidfd(int pidfd, std::uint32_t milliseconds) {
  std::int64_t const deadline = NowMilliseconds() + milliseconds;
  for (;;) {
    int timeout = -1;
    if (milliseconds != kWaitForProcessForever) {
      std::int64_t const left = deadline - NowMilliseconds();
      timeout = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    pollfd watch{pidfd, POLLIN, 0};
    int const ready = poll(&watch, 1, timeout);
    if (ready > 0) return true;
    if (ready == 0 && timeout == 0) return false;
    if (ready < 0 && errno != EINTR) return true;
  }
}

}  // namespace

Process* StartProcess(char const* const* arguments) noexcept {
  ReapAbandoned();
  if (arguments == nullptr || arguments[0] == nullptr) {
    errno = ENOENT;
    return nullptr;
  }
  auto* process = new (std::nothrow) Process();
  if (process == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int const result = posix_spawnp(&process->pid, arguments[0], nullptr, &attributes,
                                  const_cast<char* const*>(arguments), environ);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    delete process;
    errno = result;
    return nullptr;
  }
  process->child = true;
  ErrnoKeeper const keep;
  process->pidfd = OpenPidfd(process->pid);
  return process;
}

Process* WatchProcess(std::uint32_t id) noexcept {
  if (id == 0 || id > INT_MAX) {
    errno = ESRCH;
    return nullptr;
  }
  auto const pid = static_cast<pid_t>(id);
  int const pidfd = OpenPidfd(pid);
  if (pidfd < 0 && (errno == ESRCH || (kill(pid, 0) != 0 && errno != EPERM))) return nullptr;
  auto* process = new (std::nothrow) Process();
  if (process == nullptr) {
    if (pidfd >= 0) close(pidfd);
    errno = ENOMEM;
    return nullptr;
  }
  process->pid = pid;
  process->pidfd = pidfd;
  return process;
}

void CloseProcess(Process* process) noexcept {
  if (process == nullptr) return;
  ErrnoKeeper const keep;
  if (process->child) {
    std::lock_guard<std::mutex> const guard(process->lock);
    if (process->state == ProcessState::kRunning) Refresh(process);
    if (process->state == ProcessState::kRunning) Abandon(process->pid);
  }
  if (process->pidfd >= 0) close(process->pidfd);
  delete process;
  ReapAbandoned();
}

std::uint32_t ProcessId(Process const* process) noexcept {
  return static_cast<std::uint32_t>(process->pid);
}

bool WaitForProcess(Process* process, std::uint32_t milliseconds) noexcept {
  ErrnoKeeper const keep;
  if (process->child && milliseconds == kWaitForProcessForever) {
    // Sleeps without the lock and without reaping; QueryProcess reaps.
    siginfo_t info;
    while (WaitId(process, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
  } else if (process->pidfd >= 0) {
    if (!PollPidfd(process->pidfd, milliseconds)) return false;
  } else {
    // No pidfds: look, and sleep a little longer each time.
    std::int64_t const deadline = NowMilliseconds() + milliseconds;
    std::uint32_t step = 1;
    while (QueryProcess(process, nullptr) == ProcessState::kRunning) {
      std::int64_t const left = deadline - NowMilliseconds();
      if (milliseconds != kWaitForProcessForever && left <= 0) return false;
      std::uint32_t const nap = milliseconds == kWaitForProcessForever || step < left
                                    ? step
                                    : static_cast<std::uint32_t>(left);
      timespec const pause{static_cast<time_t>(nap / 1000),
                           static_cast<long>(nap % 1000) * 1000000};
      nanosleep(&pause, nullptr);
      if (step < 50) step *= 2;
    }
  }
  return QueryProcess(process, nullptr) != ProcessState::kRunning;
}

ProcessState QueryProcess(Process* process, ProcessEnd* end) noexcept {
  ErrnoKeeper const keep;
  std::lock_guard<std::mutex> const guard(process->lock);
  if (process->state == ProcessState::kRunning) Refresh(process);
  if (end != nullptr) *end = process->end;
  return process->state;
}

bool KillProcess(Process* process) noexcept {
  std::lock_guard<std::mutex> const guard(process->lock);
  if (process->state == ProcessState::kRunning) Refresh(process);
  if (process->state != ProcessState::kRunning) return true;
  if (process->pidfd >= 0) {
    return syscall(SYS_pidfd_send_signal, process->pidfd, SIGKILL, nullptr, 0) == 0;
  }
  return kill(process->pid, SIGKILL) == 0;
}

std::uint32_t CurrentProcessId() noexcept { return static_cast<std::uint32_t>(getpid()); }

void ExitProcess(int code) noexcept { _exit(code); }

}  // namespace kq::sys
