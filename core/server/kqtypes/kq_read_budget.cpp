#include "internal/kq_read_budget.h"

#include <limits>

namespace kq {

namespace {

thread_local ReadBudget* tOpen = nullptr;

}  // namespace

ReadBudget::ReadBudget(void const* reader, Consumed consumed, Overdrawn overdrawn,
                       std::uint64_t perByte, std::uint64_t fixed)
    : fOpened(tOpen == nullptr),
      fReader(reader),
      fConsumed(consumed),
      fOverdrawn(overdrawn),
      fStart(0),
      fPerByte(perByte),
      fFixed(fixed),
      fCharged(0) {
  if (!fOpened) return;
  fStart = consumed(reader);
  tOpen = this;
}

ReadBudget::~ReadBudget() {
  if (fOpened) tOpen = nullptr;
}

// Saturates: a budget raised to the largest values never runs out.
std::uint64_t ReadBudget::Allowance() const {
  constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t const now = fConsumed(fReader);
  std::uint64_t const consumed = now > fStart ? now - fStart : 0;
  if (consumed != 0 && fPerByte > (kAll - fFixed) / consumed) return kAll;
  return fPerByte * consumed + fFixed;
}

void ReadBudget::Charge(std::uint64_t bytes) {
  ReadBudget* const open = tOpen;
  if (open == nullptr) return;
  open->fCharged = bytes > std::numeric_limits<std::uint64_t>::max() - open->fCharged
                       ? std::numeric_limits<std::uint64_t>::max()
                       : open->fCharged + bytes;
  if (open->fCharged > open->Allowance()) open->fOverdrawn(open->fReader);
}

}  // namespace kq
