// KQ_IHumanReadable: objects with a form in the library's indented text
// format, written and parsed by KQ_THumanReadableStream.
//
// A class supplies its contents (WriteTo, ReadFrom); the framing around
// them is the interface's: by default the class name and the contents in
// braces, on one line when KQ_HRMultiLine() is false and otherwise over
// several lines with the contents indented:
//
//   KQ_TUserInfo { "bob" }         KQ_TList {
//                                    1
//                                    2
//                                  }
//
// A class with a form of its own (a string is just its quoted text)
// overrides KQ_WriteTo and KQ_ReadFrom.
#pragma once

#include "kq_iinterface.h"

class KQ_THumanReadableStream;

class KQ_EXPORT KQ_IHumanReadable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IHumanReadable, KQ_IInterface)
  // Writes the object's own contents. Content over several lines puts the
  // stream's cr manipulator between its items, so that every line gets the
  // indentation. The result is the class's own (see ReadFrom).
  virtual bool WriteTo(KQ_THumanReadableStream& stream) const = 0;
  // Reads the contents back; true when it has consumed the closing brace of
  // the framing itself.
  virtual bool ReadFrom(KQ_THumanReadableStream& stream) = 0;
  // True (the default) when the object is written over several lines.
  virtual bool KQ_HRMultiLine() const;
  // Writes the class name and the contents in braces.
  virtual void KQ_WriteTo(KQ_THumanReadableStream& stream) const;
  // Reads what KQ_WriteTo writes: the class name (KQ_EHRSyntaxError for
  // another), "{", the contents and, unless ReadFrom took it, "}".
  virtual void KQ_ReadFrom(KQ_THumanReadableStream& stream);
};
