#include "internal/kq_read_budget.h"

#include <limits>

namespace kq {

// The library is loaded with the program, so its thread-local data can sit
// in the static block, reached without a call.
__attribute__((tls_model("initial-exec"))) thread_local ReadBudget* ReadBudget::tOpen = nullptr;

ReadBudget::ReadBudget(void const* reader, Consumed consumed, Overdrawn overdrawn,
                       ReadBudgetSetting const& setting)
    : fOpened(tOpen == nullptr),
      fReader(reader),
      fConsumed(consumed),
      fOverdrawn(overdrawn),
      fStart(0),
      fPerByte(setting.PerByte()),
      fFixed(setting.Fixed()),
      fCharged(0),
      fKnownAllowance(fFixed) {
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

void ReadBudget::ChargeBeyondKnown() {
  fKnownAllowance = Allowance();
  if (fCharged > fKnownAllowance) fOverdrawn(fReader);
}

}  // namespace kq
