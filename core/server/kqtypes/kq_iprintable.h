// KQ_IPrintable: objects that print themselves on a narrow standard output
// stream, and the calling thread's print indentation that multi-line
// printing uses.
#pragma once

#include <cstdint>
#include <ostream>

#include "kq_iinterface.h"

class KQ_EXPORT KQ_IPrintable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IPrintable, KQ_IInterface)
  virtual void PrintOn(std::ostream& os) const = 0;

  // The calling thread's indentation in spaces (0 until set).
  static std::uint32_t Indentation();
  static void SetIndentation(std::uint32_t spaces);
  // Two more spaces.
  static void Indent();
  // Two fewer spaces, never below 0.
  static void ReverseIndent();
  // Exactly Indentation() spaces. Up to 40 spaces point into a static
  // string; longer prefixes are temporaries (see KQ_AllocTemp).
  static char const* Prefix();

  // One level more (Indent) for the lifetime of the guard, and one level
  // less (ReverseIndent) when it goes, also when printing raises:
  //
  //   os << Prefix() << "{\n";
  //   {
  //     KQ_IPrintable::IndentLevel const deeper;
  //     ... one line per element, each starting with Prefix() ...
  //   }
  //   os << Prefix() << '}';
  class IndentLevel {
   public:
    IndentLevel() { Indent(); }
    ~IndentLevel() { ReverseIndent(); }
    IndentLevel(IndentLevel const&) = delete;
    IndentLevel& operator=(IndentLevel const&) = delete;
  };
};

// Prints the object with its PrintOn.
KQ_EXPORT std::ostream& operator<<(std::ostream& os, KQ_IPrintable const& object);
