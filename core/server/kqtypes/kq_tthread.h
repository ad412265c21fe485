// KQ_TThread: one operating-system thread. Either a thread that the object
// starts (running a plain function, a KQ_IRunnable or the object's own
// Run), or a thread that the library meets for the first time (the main
// thread, a thread started elsewhere), adopted by CurrentThread().
//
// Threads form a tree. Every thread object records the thread whose object
// created it as its parent, and every thread object lists the thread objects
// it created and that still exist, so a thread can wait for all of them
// (JoinChildren). When an inner node is destroyed its children move up to
// its parent (or have no parent when it had none). One library-wide mutex
// guards every parent and children field.
//
// Each object also carries a property dictionary that its own thread uses
// through CurrentThread(): the library keeps per-thread state there, such as
// the print indentation of KQ_IPrintable under "KQ_IPrintable_Indentation".
// The dictionary is not locked; other threads leave it alone.
//
// States: kNotStarted --Start--> kStarting --> kRunning --> kFinished when
// the code returns, kFailed when there is no code or the code raises. Stop,
// and destroying the last object of a running thread, move kNotStarted,
// kStarting and kRunning to kFailed. After a normal end the thread id stays
// set, so the code can neither be replaced nor started again; after Stop it
// can. An adopted thread is kRunning for as long as it runs.
//
// Code that raises: whatever leaves the thread code -- a library exception,
// a standard exception or anything else -- is caught on the thread and ends
// it in kFailed (HasFailed()); Result() keeps the value it had (0 unless an
// earlier run set it), and the process goes on. The exception itself is
// dropped: code that wants to report it catches it itself. A thread that
// ends itself through the C library (pthread_exit) also ends in kFailed.
//
// Ending at once: Stop, and destroying the last object of a running thread
// from another thread, end the thread wherever it is, without unwinding its
// stack. The library mutexes (KQ_TMutex) it holds become abandoned; any
// other lock it holds stays held, so this is a last resort. A thread that
// stops itself ends at once too. A thread object destroyed on its own
// thread while the code runs (delete of CurrentThread()) does not end the
// thread: the code runs on and the thread's record goes when it returns.
//
// Auto-free: when set, the thread deletes its own object after the code
// has returned (the destructor runs on that thread); the object then
// belongs to the thread and nobody else may destroy it.
//
// Copies: a copy refers to the same thread; the thread is released (and
// stopped, when it still runs) with the last of them. A copy has the
// source's parent and is listed among that parent's children itself; the
// source's children stay with the source, so a copy starts without any.
//
// Adopted threads: the object that CurrentThread() makes for a thread that
// the library did not start lives until that thread ends (for the process's
// initial thread, until the process ends). Join on it raises
// KQ_EThreadException, and Stop only marks it kFailed: the library never
// ends a thread it did not start.
//
// Priorities use the scale -100..100 in seven steps (see SetPriority),
// mapped onto per-thread nice values: -100 idle = 19, -66 = 10, -33 = 5,
// 0 = 0, 33 = -5, 66 = -10, 100 = -20. Only privileged processes (or those
// whose RLIMIT_NICE allows it) may lower a nice value; without that right a
// request for more than the allowed priority gets the most allowed, and
// Priority() tells what the thread really has.
//
// Thread ids are the library's own: numbered from 1 in the order in which
// threads are started or adopted; starting a thread again gives a new id.
#pragma once

#include <cstdint>
#include <type_traits>

#include "kq_iiterationinfo.h"
#include "kq_irunnable.h"
#include "kq_tany.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tobject.h"
#include "kq_tstring.h"
#include "kq_tuserinfo.h"

class KQ_EXPORT KQ_TThread : public virtual KQ_TObject, public virtual KQ_IRunnable {
  KQ_CLASS(KQ_TThread, KQ_TObject, KQ_IRunnable)
  using Function_t = std::int32_t (*)(void* argument);

  enum State : std::int32_t {
    kNotStarted = 0,
    kStarting = 1,
    kRunning = 2,
    kFinished = 3,
    kFailed = 4,
  };

  // Every public constructor makes the calling thread's object (adopting
  // the calling thread when it has none) the parent of the new one.
  //
  // The thread will run the object's own Run(argument), so a derived class
  // overrides Run.
  explicit KQ_TThread(void* argument = nullptr);
  // The thread will run runnable.Run(argument); runnable is not owned.
  explicit KQ_TThread(KQ_IRunnable& runnable, void* argument = nullptr);
  // The thread will run function(argument).
  explicit KQ_TThread(Function_t function, void* argument = nullptr);
  // See "Copies" above.
  KQ_TThread(KQ_TThread const& other);
  // Takes the other's properties, parent and thread; the thread this object
  // referred to is released as by destruction when this was its last
  // object.
  KQ_TThread& operator=(KQ_TThread const& other);
  // Children move to this object's parent, then the thread is released
  // (see above).
  ~KQ_TThread() override;

  // SetThreadCode(function or runnable, null).
  virtual KQ_TThread& operator=(Function_t function);
  virtual KQ_TThread& operator=(KQ_IRunnable& runnable);
  // Replaces the thread code and its argument. KQ_EThreadAlreadyStarted
  // while the thread id is set.
  virtual KQ_TThread& SetThreadCode(Function_t function, void* argument);
  virtual KQ_TThread& SetThreadCode(KQ_IRunnable& runnable, void* argument);

  // Starts the thread. KQ_EThreadAlreadyStarted while the thread id is set;
  // KQ_ECouldNotCreateThread when the system refuses (the object stays as
  // it was and may be started again).
  virtual KQ_TThread& Start();
  // Ends the thread at once (see above), marks it kFailed unless it had
  // finished and clears the thread id, so that it can be started again.
  // Nothing happens to a thread without an id.
  virtual KQ_TThread& Stop();
  // Waits until the thread code has returned; at once for a thread that is
  // not starting or running. KQ_EThreadException when the calling thread
  // would wait for itself, and for an adopted thread.
  virtual KQ_TThread& Join();
  // Joins children that are starting or running, until none is left.
  virtual KQ_TThread& JoinChildren();

  // kStarting or kRunning.
  virtual bool IsRunning() const;
  virtual bool IsFinished() const;
  virtual bool HasFailed() const;
  // What the thread code returned; 0 until it returns.
  virtual std::int32_t Result() const;

  // The priority on the scale -100..100: of the thread itself while it
  // runs, otherwise the one asked for (0 when none was).
  virtual signed char Priority() const;
  // p <= -100: idle (-100); -99..-66: lowest (-66); -65..-33: below normal
  // (-33); -32..32: normal (0); 33..65: above normal (33); 66..99: highest
  // (66); p >= 100: time critical (100). A thread not running yet gets the
  // priority when it starts.
  virtual KQ_TThread& SetPriority(signed char priority);
  // Any other integer, clamped to -128..127 first.
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, signed char> &&
                                          !std::is_same_v<T, bool>,
                                      int> = 0>
  KQ_TThread& SetPriority(T priority) {
    if constexpr (std::is_signed_v<T>) {
      if (priority < -128) return SetPriority(static_cast<signed char>(-128));
    }
    return SetPriority(static_cast<signed char>(priority > 127 ? 127 : priority));
  }
  virtual bool AutoFree() const;
  virtual KQ_TThread& SetAutoFree(bool autoFree);

  // The property dictionary, as KQ_TDict has it (text keys become
  // KQ_TString keys). The non-const operator[] adds a missing key.
  virtual bool HasKey(wchar_t const* key) const;
  virtual bool HasKey(char const* key) const;
  virtual bool HasKey(KQ_IHashable const& key) const;
  virtual bool Contains(KQ_TAny const& value) const;
  // KQ_ENoMatchingDictValue when no entry holds value.
  virtual KQ_IHashable const& KeyOf(KQ_TAny const& value) const;
  virtual KQ_TAny const& operator[](wchar_t const* key) const;
  virtual KQ_TAny& operator[](wchar_t const* key);
  virtual KQ_TAny const& operator[](char const* key) const;
  virtual KQ_TAny& operator[](char const* key);
  virtual KQ_TAny const& operator[](KQ_IHashable const& key) const;
  virtual KQ_TAny& operator[](KQ_IHashable const& key);
  // Null when the key is absent.
  virtual KQ_TAny* ValueOfKey(wchar_t const* key);
  virtual KQ_TAny* ValueOfKey(char const* key);
  virtual KQ_TAny* ValueOfKey(KQ_IHashable const& key);
  virtual KQ_TThread& Add(wchar_t const* key, KQ_TAny const& value);
  virtual KQ_TThread& Add(char const* key, KQ_TAny const& value);
  virtual KQ_TThread& Add(KQ_IHashable const& key, KQ_TAny const& value);
  virtual KQ_TThread& Remove(wchar_t const* key);
  virtual KQ_TThread& Remove(char const* key);
  virtual KQ_TThread& Remove(KQ_IHashable const& key);
  // A cursor over the properties, owned by the caller.
  virtual KQ_IIterationInfo* CreateIterationInfo() const;

  // The same with UTF-16 keys.
  virtual bool HasKey(char16_t const* key) const;
  virtual KQ_TAny const& operator[](char16_t const* key) const;
  virtual KQ_TAny& operator[](char16_t const* key);
  virtual KQ_TAny* ValueOfKey(char16_t const* key);
  virtual KQ_TThread& Add(char16_t const* key, KQ_TAny const& value);
  virtual KQ_TThread& Remove(char16_t const* key);

  // Returns 0: the code of a thread object made without other code.
  std::int32_t Run(void* argument) override;

  // ValueOfKey(key) through a one-entry cache, for a caller that reads the
  // same property very often: while key is the same object as at the last
  // call, the answer costs one comparison. key must stay alive (a static).
  // Creating a cursor over the properties turns the cache off for good.
  KQ_TAny* CachedValueOfKey(KQ_TString const& key);

  // The state (a State), the thread id (0 while not started).
  std::int32_t ThreadState() const;
  std::uint32_t ThreadID() const;
  // The parent, and the children as KQ_TAny values holding the children's
  // addresses (void*): a snapshot, whose objects may go meanwhile.
  KQ_TThread* Parent() const;
  KQ_TList Children() const;

  // Suspends the calling thread for the given milliseconds; 0 lets another
  // ready thread run.
  static void Sleep(std::uint32_t milliseconds);
  // The calling thread's object, adopting the thread on first use. On a
  // thread that the library started it is the object that started it.
  static KQ_TThread& CurrentThread();
  // KQ_TUserInfo::CurrentUser().
  static KQ_TUserInfo CurrentUser();
  // Runs the calling thread, and no other, under user's account, after
  // checking password with the system's authentication service. The user's
  // domain must be empty, ".", the host name or the NIS domain (see
  // KQ_TUserInfo). KQ_EThreadIllegalUserOrPassword for an unknown account,
  // another domain or a wrong password; KQ_EThreadAccountDisabled for a
  // locked or expired account; KQ_EThreadNotPrivileged when the process may
  // not change a thread's credentials. A thread that already runs under
  // another account switches from its original one, and stays as it was
  // when the switch fails. Returns the account the thread ran under before.
  static KQ_TUserInfo SetCurrentUser(KQ_TUserInfo const& user, KQ_TString const& password);
  // Gives the calling thread back its original account (nothing happens
  // when it has not switched). KQ_EThreadNotPrivileged when the system
  // refuses. Returns the account the thread ran under before.
  static KQ_TUserInfo RevertToOriginalUser();

 private:
  struct Record;
  struct AdoptTag {};

  // The object of a thread that CurrentThread() adopts: no parent.
  explicit KQ_TThread(AdoptTag);
  // A new thread object that runs runnable or function with argument.
  KQ_TThread(KQ_IRunnable* runnable, Function_t function, void* argument);

  static Record* NewRecord(KQ_TThread* owner);
  // Gives up one reference; the last one releases the system thread and
  // frees the record.
  static void DropRecord(Record* record);
  // The system part of Stop.
  static void ReleaseSystemThread(Record* record);
  static void Entry(void* record);
  static void Leave(Record* record, bool finished);
  static void AdoptedThreadEnded(void* record);
  static KQ_TThread& Adopt();

  // Makes the calling thread's object the parent; frees the record when
  // that fails.
  void LinkToCreator();
  // Under the thread-tree lock: link to parent's children (nothing for a
  // null parent), unlink from them.
  void LinkTo(KQ_TThread* parent);
  void UnlinkFromParent();
  void ForgetCachedValue() const { fCachedKey = nullptr; }

  KQ_TDict fProperties;
  KQ_TThread* fParent;
  KQ_TList fChildren;
  Record* fRecord;
  // The one-entry cache of CachedValueOfKey.
  mutable KQ_TString const* fCachedKey;
  mutable KQ_TAny* fCachedValue;
  mutable bool fCacheDisabled;
};
