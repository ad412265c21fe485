#include "kq_tstackentry.h"

#include "kq_ipacking.h"
#include "kq_iunpacking.h"

KQ_CLASS_IMPL(KQ_TStackEntry)

KQ_TStackEntry::KQ_TStackEntry() : fLine(0) {}

KQ_TStackEntry::KQ_TStackEntry(char const* function, char const* file, std::uint32_t line)
    : fFunction(function), fFile(file), fLine(line) {}

KQ_TStackEntry::KQ_TStackEntry(KQ_TString const& function, KQ_TString const& file,
                               std::uint32_t line)
    : fFunction(function), fFile(file), fLine(line) {}

KQ_TStackEntry::~KQ_TStackEntry() = default;

bool KQ_TStackEntry::operator==(KQ_TStackEntry const& other) const {
  return fLine == other.fLine && fFunction == other.fFunction && fFile == other.fFile;
}

void KQ_TStackEntry::KQ_Pack(KQ_IPacking& packer) const { packer << fFunction << fFile << fLine; }

void KQ_TStackEntry::KQ_Unpack(KQ_IUnpacking& unpacker) { unpacker >> fFunction >> fFile >> fLine; }

KQ_IPackable* KQ_TStackEntry::KQ_Clone(void*) const { return new KQ_TStackEntry(*this); }

bool KQ_TStackEntry::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* entry = static_cast<KQ_TStackEntry const*>(other.KQ_Cast("KQ_TStackEntry"));
  return entry != nullptr && *this == *entry;
}

void KQ_TStackEntry::PrintOn(std::ostream& os) const {
  if (fFunction.Length() == 0) {
    os << "<unnamed>";
  } else {
    os << fFunction.UTF8();
  }
  if (fFile.Length() != 0) os << " in " << fFile.UTF8();
  if (fLine != 0) os << " at line " << fLine;
}
