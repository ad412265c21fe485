// What a program finds ready once the library is loaded, without calling
// the initialisation function: a program of its own, so that nothing else
// has initialised anything first.
#include <gtest/gtest.h>

#include <memory>

#include "kq_ipackable.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"

namespace {

// Only its protocol lines name it: nothing in this program uses it by type.
class KQ_TLoadedProbe : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(KQ_TLoadedProbe, KQ_TObject, KQ_IPackable)
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fValue; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fValue; }
  KQ_IPackable* KQ_Clone(void* = nullptr) const override { return new KQ_TLoadedProbe(*this); }
  bool KQ_IsIdent(KQ_IPackable const&) const override { return false; }
  std::int32_t fValue = 0;
};

}  // namespace

KQ_CLASS_IMPL(KQ_TLoadedProbe)

TEST(Loading, ClassesAndPackingCodesAreReadyWithoutAnyCall) {
  EXPECT_NE(KQ_TClass::FindClass("KQ_TLoadedProbe"), nullptr);
  EXPECT_TRUE(KQ_TClass::Initialized());
  EXPECT_EQ(KQ_TDataStream::SpecificType(65), KQ_TClass::FindClass("KQ_TString"));
  EXPECT_EQ(KQ_TDataStream::SpecificType(69), KQ_TClass::FindClass("KQ_TDict"));
  EXPECT_EQ(KQ_TDataStream::SpecificType(66), KQ_TClass::FindClass("KQ_TFileInfo"));
  for (char const* name : {"KQ_TProcess", "KQ_TFile", "KQ_TBlockStream", "KQ_TBufferedStream",
                           "KQ_TDynamicObject", "KQ_TSocket", "KQ_TURL"}) {
    KQ_TClass const* record = KQ_TClass::FindClass(name);
    ASSERT_NE(record, nullptr) << name;
    EXPECT_TRUE(record->IsInitialized()) << name;
  }
  // A packed dictionary reads back in its short form, and an object of the
  // probe's class comes back as that class although it is named by bytes.
  unsigned char const bytes[] = {0x45, 0x07, 0,    0,   0,   0,  // an empty dictionary
                                 0x0D, 0,    0,    0,   15,  'K', 'Q', '_', 'T',
                                 'L',  'o',  'a',  'd', 'e', 'd', 'P', 'r', 'o',
                                 'b',  'e',  0x03, 0,   0,   0,   42,  0xFF};
  KQ_TMemoryStream memory(const_cast<unsigned char*>(bytes), sizeof bytes, sizeof bytes);
  KQ_TDataStream data(memory);
  std::unique_ptr<KQ_IPackable> dict(data.Extract(true));
  EXPECT_NE(dict->KQ_Cast("KQ_TDict"), nullptr);
  std::unique_ptr<KQ_IPackable> probe(data.Extract(true));
  EXPECT_STREQ(probe->ClassName(), "KQ_TLoadedProbe");
}
