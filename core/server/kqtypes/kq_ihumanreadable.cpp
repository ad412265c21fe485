#include "kq_ihumanreadable.h"

KQ_INTERFACE_IMPL(KQ_IHumanReadable)

bool KQ_IHumanReadable::WriteTo(KQ_THumanReadableStream&) const { return false; }

bool KQ_IHumanReadable::ReadFrom(KQ_THumanReadableStream&) { return false; }

bool KQ_IHumanReadable::KQ_HRMultiLine() const { return true; }

void KQ_IHumanReadable::KQ_WriteTo(KQ_THumanReadableStream& stream) const { WriteTo(stream); }

void KQ_IHumanReadable::KQ_ReadFrom(KQ_THumanReadableStream& stream) { ReadFrom(stream); }
