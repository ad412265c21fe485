// The reader-writer lock under KQ_TRWLock.
//
// Any number of readers, or one writer. Readers never wait for one another:
// a reader waits only while another thread is the writer. A writer waits
// until no reader is registered and no other thread is the writer. Read
// registrations belong to no thread (any thread may end one); the write lock
// belongs to its thread, which may take it again (and must release it as
// often) and may register as a reader while it writes. A writer that ends
// without releasing leaves the write lock free for the next thread.
#pragma once

#include <cstdint>

#include "kq_types.h"

namespace kq::sys {

class RWLock;

enum class RWLockResult {
  kDone,
  // ReadUnlock: no reader is registered. WriteUnlock: the caller is not the
  // writer.
  kNotHeld,
  // WriteLock by the writer while readers are registered: those can only be
  // its own, so it would wait for itself for ever.
  kDeadLock,
  // The reader count or the writer's recursion depth is at its limit.
  kTooMany,
};

// Most readers that can be registered at once.
inline constexpr std::uint32_t kMaximumReaders = 0x7FFFFFFFu;

// A new, free lock, or null when the system cannot provide one.
RWLock* NewRWLock() noexcept;
// Frees the lock. A write lock still held by another live thread stays on
// that thread's list and is left to the process.
void DeleteRWLock(RWLock* lock) noexcept;
// Registers a reader, waiting while another thread is the writer.
RWLockResult ReadLock(RWLock* lock) noexcept;
// Ends one read registration.
RWLockResult ReadUnlock(RWLock* lock) noexcept;
// Makes the caller the writer, waiting until no reader is registered and no
// other thread writes.
RWLockResult WriteLock(RWLock* lock) noexcept;
// Releases one level of the caller's write lock.
RWLockResult WriteUnlock(RWLock* lock) noexcept;

}  // namespace kq::sys
