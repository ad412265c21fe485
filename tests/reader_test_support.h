// Scaffolding shared by the tests of the readers of outside data (the data
// stream and the human-readable stream): a class that input may name but
// that no reader may instantiate, a way to run a read on a thread with a
// small stack, and a change of the readers' memory budget.
//
// A test program includes this header from one source file only: it defines
// the class's record.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

#include "kq_tclass.h"
#include "kq_tobject.h"

namespace kqtest {

// Stack of the threads on which the nesting tests read: far below the
// system's default, as a program with many connections might choose.
constexpr std::size_t kSmallStack = 256 * 1024;

// Runs body on a new thread whose stack holds stackBytes and waits for it;
// an exception leaving body is raised again here. False when the thread
// could not be started.
inline bool RunOnStack(std::size_t stackBytes, std::function<void()> const& body) {
  struct Call {
    std::function<void()> const* body;
    std::exception_ptr raised;
  } call{&body, nullptr};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_t thread;
  bool const started = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                       pthread_create(
                           &thread, &attributes,
                           [](void* argument) -> void* {
                             auto* const c = static_cast<Call*>(argument);
                             try {
                               (*c->body)();
                             } catch (...) {
                               c->raised = std::current_exception();
                             }
                             return nullptr;
                           },
                           &call) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) return false;
  pthread_join(thread, nullptr);
  if (call.raised) std::rethrow_exception(call.raised);
  return true;
}

// Sets the memory budget of Stream's readers for the life of the object and
// then restores the one before.
template <class Stream>
class ReadBudgetChange {
 public:
  ReadBudgetChange(std::uint64_t perByte, std::uint64_t fixed)
      : fPerByte(Stream::ReadBudgetPerByte()), fFixed(Stream::ReadBudgetFixed()) {
    Stream::SetReadBudget(perByte, fixed);
  }
  ReadBudgetChange(ReadBudgetChange const&) = delete;
  ReadBudgetChange& operator=(ReadBudgetChange const&) = delete;
  ~ReadBudgetChange() { Stream::SetReadBudget(fPerByte, fFixed); }

 private:
  std::uint64_t fPerByte;
  std::uint64_t fFixed;
};

}  // namespace kqtest

// A class with a factory that is neither packable nor human-readable, and
// counts the instances made of it: a reader given its name must refuse it
// without creating one (as it must for a thread, a lock or a socket).
class ReaderUnpackable : public KQ_TObject {
  KQ_CLASS(ReaderUnpackable, KQ_TObject)
  ReaderUnpackable() { ++sMade; }
  static inline std::atomic<int> sMade{0};
};
KQ_CLASS_IMPL(ReaderUnpackable)
