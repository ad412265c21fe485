// KQ_TStackEntry: one frame of an exception's stack trace: function, source
// file (or module image) and line.
#pragma once

#include <cstdint>
#include <ostream>

#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

class KQ_EXPORT KQ_TStackEntry : public KQ_TObject,
                                 public virtual KQ_IPackable,
                                 public virtual KQ_IPrintable {
  KQ_CLASS(KQ_TStackEntry, KQ_TObject, KQ_IPackable, KQ_IPrintable)
  // Empty names and line 0.
  KQ_TStackEntry();
  KQ_TStackEntry(char const* function, char const* file, std::uint32_t line);
  KQ_TStackEntry(KQ_TString const& function, KQ_TString const& file, std::uint32_t line);
  KQ_TStackEntry(KQ_TStackEntry const& other) = default;
  KQ_TStackEntry& operator=(KQ_TStackEntry const& other) = default;
  ~KQ_TStackEntry() override;

  bool operator==(KQ_TStackEntry const& other) const;
  bool operator!=(KQ_TStackEntry const& other) const { return !(*this == other); }

  KQ_TString const& FunctionName() const { return fFunction; }
  KQ_TString const& FileName() const { return fFile; }
  std::uint32_t LineNr() const { return fLine; }

  // Function name, file name and line, in this order.
  void KQ_Pack(KQ_IPacking& packer) const override;
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // "<unnamed>" for an empty function name, then " in " and the file when
  // there is one, then " at line " and the line when it is not 0.
  void PrintOn(std::ostream& os) const override;

 private:
  KQ_TString fFunction;
  KQ_TString fFile;
  std::uint32_t fLine;
};
