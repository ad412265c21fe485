// KQ_TProcess: a program started as a child process that shares the
// caller's standard input, output and error, environment and working
// directory; or another process bound by its id (Find); or the calling
// process itself (CurrentProcess). The object waits for it, kills it, asks
// whether it still runs and reads its exit code.
//
// The command line: words are separated by blanks and tabs; double quotes
// make blanks part of a word (and may stand anywhere inside one); inside
// quotes two double quotes give one; a backslash before a double quote
// escapes it, and 2n backslashes before a double quote stand for n
// backslashes; other backslashes are taken as they are. The first word names
// the program: a name without "/" is looked up in PATH. So
//   "/opt/my tools/run" -v "it's \"here\""
// runs /opt/my tools/run with the arguments -v and it's "here". The child
// inherits only the descriptors the caller keeps open across exec; the
// library's own are closed there.
//
// How a process ended: Result() is the code it exited with. Kill() ends it
// with SIGKILL, which reads as exit code 1, as does any SIGKILL; a process
// ended by another signal (a crash, a SIGTERM) reads as 128 plus the signal
// number, as shells report it, and Signal() names that signal.
//
// Waiting: a child is reaped when it is found ended (Join, IsRunning,
// Result); when the last object of a child that still runs goes, the child
// runs on and the library reaps it once it has ended, so none stays a
// zombie. A process bound by Find is never waited for in that sense, even
// when it is the caller's own child: the object only watches until it has
// ended, and learns its exit code only when it is the caller's child.
//
// A process that Find cannot bind (no such process) gives an object whose
// process cannot be reached: IsRunning() answers true, Join() returns at
// once, Join(milliseconds) gives false, Result() is 0 and Kill() does
// nothing.
//
// Copies share one record, released with the last of them. The objects of
// one record may be used from several threads at once.
#pragma once

#include <cstdint>

#include "kq_tany.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TProcess : public KQ_TObject {
  KQ_CLASS(KQ_TProcess, KQ_TObject)
  // Milliseconds of Join that wait without limit.
  static constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

  // Unbound.
  KQ_TProcess();
  // Starts commandLine, as operator=.
  explicit KQ_TProcess(char const* commandLine);
  KQ_TProcess(KQ_TProcess const& other);
  KQ_TProcess& operator=(KQ_TProcess const& other);
  ~KQ_TProcess() override;

  // Starts the command line (see above). KQ_EProcessAlreadyBound on a bound
  // object; KQ_ECouldNotCreateProcess, with the system's reason, when the
  // program cannot be started. Both carry the command line as their value.
  virtual KQ_TProcess& operator=(char const* commandLine);

  // The operations below raise KQ_EProcessNotBound on an unbound object.
  //
  // Waits until the process has ended. KQ_EProcessException when it is the
  // calling process.
  virtual KQ_TProcess& Join();
  // Ends the process with SIGKILL; a failure is not reported. On the calling
  // process it ends the caller at once with exit code 1.
  virtual KQ_TProcess& Kill();
  // True until the process has ended.
  virtual bool IsRunning() const;
  // The exit code (see above); 0 while the process runs or when its end is
  // unknown (a process that is no child of the caller, or a child that
  // somebody else has waited for).
  virtual std::int32_t Result() const;
  // The process id as an unsigned 32-bit value.
  virtual KQ_TAny ProcessID() const;
  // Waits at most milliseconds (0 only looks, kWaitForever waits without
  // limit); true when the process has ended. KQ_EProcessException when it is
  // the calling process.
  virtual bool Join(std::uint32_t milliseconds);
  // The signal that ended the process; 0 while it runs, after a normal exit
  // or when its end is unknown.
  virtual std::int32_t Signal() const;

  // A new object, owned by the caller, bound to the process with that id.
  // It does not fail: a process that does not exist gives an object whose
  // process cannot be reached (see above).
  static KQ_TProcess* Find(KQ_TAny const& processId);
  // The library's object for the calling process (renewed in a child made
  // by fork). It runs as long as anyone can ask.
  static KQ_TProcess& CurrentProcess();

 private:
  struct Record;

  explicit KQ_TProcess(Record* record);
  Record& Bound() const;
  // Raises KQ_EProcessException when the record is the calling process.
  void RequireOther(Record const& record) const;
  static void Drop(Record* record);

  Record* fRecord;
};
