// A module built on the library, as the dynamic-object tests load it: it
// registers a packable class of its own, counts how often its
// initialisation function ran, and needs a library that lies next to it.
#include <cstdint>

#include "kq_ipackable.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tobject.h"

extern "C" int SampleDependencyAnswer();

class KQ_TSamplePoint : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(KQ_TSamplePoint, KQ_TObject, KQ_IPackable)
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fX << fY; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fX >> fY; }
  KQ_IPackable* KQ_Clone(void*) const override { return new KQ_TSamplePoint(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* point = static_cast<KQ_TSamplePoint const*>(other.KQ_Cast("KQ_TSamplePoint"));
    return point != nullptr && point->fX == fX && point->fY == fY;
  }
  std::int32_t fX = 0;
  std::int32_t fY = 0;
};
KQ_CLASS_IMPL(KQ_TSamplePoint)

namespace {

std::int32_t gInitializations = 0;

}  // namespace

extern "C" KQ_EXPORT bool __KQ_INITIALIZATION_FUNCTION_kq_samplemodule__() {
  ++gInitializations;
  return KQ_TSamplePoint::KQ_ClassObject()->Initialize();
}

extern "C" KQ_EXPORT std::int32_t SampleInitializations() { return gInitializations; }

// Whether object is (or stands for) a sample point at x, y.
extern "C" KQ_EXPORT bool SamplePointIs(KQ_IInterface const* object, std::int32_t x,
                                        std::int32_t y) {
  auto const* point = static_cast<KQ_TSamplePoint const*>(object->KQ_Cast("KQ_TSamplePoint"));
  return point != nullptr && point->fX == x && point->fY == y;
}

extern "C" KQ_EXPORT int SampleNeighbourAnswer() { return SampleDependencyAnswer(); }
