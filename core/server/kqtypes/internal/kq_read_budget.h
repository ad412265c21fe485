// The memory one read of outside data may claim for what it builds. A few
// bytes of input can describe far more than they hold (a sparse array index
// in the text format opens every slot below it), so every top-level read
// opens a budget that grows with the bytes it has consumed, and the
// containers charge it before they grow. A read nested in another one on the
// same thread (a packed block inside text, an object inside a container)
// spends the outer read's budget: its bytes were consumed by the outer read.
#pragma once

#include <atomic>
#include <cstdint>

namespace kq {

// A format's budget for the whole process: set by its stream's
// SetReadBudget, read as each top-level read opens.
class ReadBudgetSetting {
 public:
  constexpr ReadBudgetSetting(std::uint64_t perByte, std::uint64_t fixed)
      : fPerByte(perByte), fFixed(fixed) {}
  void Set(std::uint64_t perByte, std::uint64_t fixed) {
    fPerByte.store(perByte, std::memory_order_relaxed);
    fFixed.store(fixed, std::memory_order_relaxed);
  }
  std::uint64_t PerByte() const { return fPerByte.load(std::memory_order_relaxed); }
  std::uint64_t Fixed() const { return fFixed.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> fPerByte;
  std::atomic<std::uint64_t> fFixed;
};

class ReadBudget {
 public:
  // The bytes the reader has consumed so far, asked at every charge.
  using Consumed = std::uint64_t (*)(void const* reader);
  // Raises the reader's exception for an overdrawn budget; never returns.
  using Overdrawn = void (*)(void const* reader);

  // Opens the budget of a top-level read unless the calling thread has one
  // open: the setting's bytes per byte the reader consumes from now on, plus
  // its fixed part.
  ReadBudget(void const* reader, Consumed consumed, Overdrawn overdrawn,
             ReadBudgetSetting const& setting);
  ReadBudget(ReadBudget const&) = delete;
  ReadBudget& operator=(ReadBudget const&) = delete;
  ~ReadBudget();

  // Charges bytes to the read open on the calling thread, raising through
  // its Overdrawn when they pass its allowance; nothing without a read open
  // (a container unpacked by a caller's own code). Charged for every entry
  // a container reads, so the allowance is asked of the reader only when
  // the charges reach the last one known: it never shrinks.
  static void Charge(std::uint64_t bytes) {
    ReadBudget* const open = tOpen;
    if (open == nullptr) return;
    open->fCharged =
        bytes > ~std::uint64_t{0} - open->fCharged ? ~std::uint64_t{0} : open->fCharged + bytes;
    if (open->fCharged > open->fKnownAllowance) open->ChargeBeyondKnown();
  }

 private:
  // The read open on the calling thread, if any.
  static __attribute__((tls_model("initial-exec"))) thread_local ReadBudget* tOpen;

  std::uint64_t Allowance() const;
  void ChargeBeyondKnown();

  bool fOpened;
  void const* fReader;
  Consumed fConsumed;
  Overdrawn fOverdrawn;
  std::uint64_t fStart;
  std::uint64_t fPerByte;
  std::uint64_t fFixed;
  std::uint64_t fCharged;
  // The allowance when it was last asked for.
  std::uint64_t fKnownAllowance;
};

}  // namespace kq
