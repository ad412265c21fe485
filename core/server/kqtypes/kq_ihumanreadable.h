// KQ_IHumanReadable: objects with a form in the library's indented text
// format, written and parsed by KQ_THumanReadableStream.
//
// The text format itself comes with the human-readable stream. Until that
// stream exists no object of it can be made, and these members are only
// declared so that every class already names the interface it will carry.
#pragma once

#include "kq_iinterface.h"

class KQ_THumanReadableStream;

class KQ_EXPORT KQ_IHumanReadable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IHumanReadable, KQ_IInterface)
  // Writes the object's own contents; false when nothing was written.
  virtual bool WriteTo(KQ_THumanReadableStream& stream) const;
  // Reads the contents back; false when nothing was read.
  virtual bool ReadFrom(KQ_THumanReadableStream& stream);
  // True when the object is written over several lines.
  virtual bool KQ_HRMultiLine() const;
  // Writes and reads the object with its framing.
  virtual void KQ_WriteTo(KQ_THumanReadableStream& stream) const;
  virtual void KQ_ReadFrom(KQ_THumanReadableStream& stream);
};
