// Data blocks (reservations in whole KiB, growth, truncation, stealing,
// equality, reading untrusted sizes) and unknowns, which keep an object of a
// missing class byte for byte and become it once the class is known.
#include <gtest/gtest.h>

#include "kq_memalloc.h"
#include "kq_tdatablock.h"
#include "kq_tpackage.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"
#include "test_support.h"

using namespace kqtest;

namespace {

Bytes Pattern(std::uint32_t size) {
  Bytes bytes(size);
  for (std::uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 13 + i / 256);
  return bytes;
}

KQ_TDataBlock Block(Bytes const& bytes) {
  return KQ_TDataBlock(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// The packed form of a named object.
Bytes NamedObject(std::string const& name, Bytes const& content) {
  return Join({Header(0x0D, name), content, {0xFF}});
}

// A package without a growing read of its own, counting its packet reads.
class WholePacketPackage : public KQ_TPackage {
 public:
  using KQ_TPackage::ReadPacket;
  std::uint32_t ReadPacket(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override {
    ++fPacketReads;
    return KQ_TPackage::ReadPacket(buffer, minimum, maximum);
  }
  std::uint32_t ReadPacketGrowing(std::uint32_t size, PacketSink sink, void* context) override {
    return KQ_IUnpacking::ReadPacketGrowing(size, sink, context);
  }
  int fPacketReads = 0;
};

}  // namespace

// A class whose record exists once something asks for it, as with a class
// loaded after its objects arrived.
class KQ_TLateGadget : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(KQ_TLateGadget, KQ_TObject, KQ_IPackable)
  KQ_TLateGadget() = default;
  explicit KQ_TLateGadget(std::int32_t value) : fValue(value) {}
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fValue; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fValue; }
  KQ_IPackable* KQ_Clone(void*) const override { return new KQ_TLateGadget(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* gadget = static_cast<KQ_TLateGadget const*>(other.KQ_Cast("KQ_TLateGadget"));
    return gadget != nullptr && gadget->fValue == fValue;
  }
  std::int32_t fValue = 0;
};
KQ_CLASS_IMPL_ON_FIRST_USE(KQ_TLateGadget)

TEST(DataBlock, ReservesWholeKiBForWhatItHolds) {
  struct Case {
    std::uint32_t size, reserved;
  };
  Case const cases[] = {{0, 0}, {1, 1024}, {1024, 1024}, {1025, 2048}, {70000, 70656}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.size);
    KQ_TDataBlock sized(c.size);
    EXPECT_EQ(sized.Size(), c.size);
    EXPECT_EQ(sized.Capacity(), c.reserved);
    KQ_TDataBlock const copied = Block(Pattern(c.size));
    KQ_TDataBlock const copy(copied);
    for (KQ_TDataBlock const* block : {&copied, &copy}) {
      EXPECT_EQ(block->Capacity(), c.reserved);
      EXPECT_EQ(BytesIn(*block), Pattern(c.size));
    }
    EXPECT_TRUE(c.size == 0 || copy.Data() != copied.Data());
  }
  EXPECT_EQ(KQ_TDataBlock(nullptr, 5).Capacity(), 1024u);
}

TEST(DataBlock, IndexSetAtAndAppendGrowToWhatTheyWrite) {
  KQ_TDataBlock block;
  block[5000] = 0x5A;
  EXPECT_EQ(block.Size(), 5001u);
  EXPECT_EQ(block.Capacity(), 5120u);
  block[5120] = 2;
  EXPECT_EQ(block.Capacity(), 6144u);
  EXPECT_EQ(block.Data()[5000], 0x5A);
  EXPECT_EQ(Raised([&] { block[0xFFFFFFFFu]; }), "KQ_EOutOfMemory");
  EXPECT_EQ(block.Size(), 5121u);

  KQ_TDataBlock set = Block(Raw("abcd"));
  set.SetAt(3000, "xy", 2);
  EXPECT_EQ(set.Size(), 3002u);
  EXPECT_EQ(set.Capacity(), 3072u);
  EXPECT_EQ(Chars(set).substr(0, 4) + Chars(set).substr(3000), "abcdxy");
  // Without data only the size moves.
  set.SetAt(3002, nullptr, 70);
  EXPECT_EQ(set.Size(), 3072u);
  EXPECT_EQ(set.Capacity(), 3072u);
  EXPECT_EQ(Raised([&] { set.SetAt(0xFFFFFFFFu, "ab", 2); }), "KQ_EOutOfMemory");
  EXPECT_EQ(set.Size(), 3072u);

  KQ_TDataBlock appended;
  for (std::uint32_t i = 0; i < 1025; ++i) appended.Append(Pattern(1025)[i]);
  EXPECT_EQ(appended.Capacity(), 2048u);
  EXPECT_EQ(BytesIn(appended), Pattern(1025));
  // Appending the block to itself moves the buffer under the source.
  KQ_TDataBlock doubled = Block(Pattern(1000));
  ASSERT_EQ(doubled.Capacity(), 1024u);
  doubled.Append(doubled.Data(), doubled.Size());
  EXPECT_EQ(BytesIn(doubled), Join({Pattern(1000), Pattern(1000)}));
}

TEST(DataBlock, TruncSetDataAndStealNeverShrinkAReservationTheyKeep) {
  Bytes const twenty = Pattern(20);
  KQ_TDataBlock block = Block(twenty);
  block.Trunc(10);
  EXPECT_EQ(BytesIn(block), Bytes(twenty.begin(), twenty.begin() + 10));
  block.SetData(Pattern(3000).data(), 3000);
  EXPECT_EQ(block.Capacity(), 3072u);
  block.SetData(twenty.data(), 5);
  EXPECT_EQ(BytesIn(block), Bytes(twenty.begin(), twenty.begin() + 5));
  EXPECT_EQ(block.Capacity(), 3072u);
  // A source inside the block may overlap its destination.
  block.SetData(twenty.data(), 20);
  block.SetData(block.Data() + 2, 10);
  EXPECT_EQ(BytesIn(block), Bytes(twenty.begin() + 2, twenty.begin() + 12));

  unsigned char const* const before = block.Data();
  unsigned char* const stolen = block.StealData();
  EXPECT_EQ(stolen, before);
  EXPECT_EQ(block.Size() + block.Capacity(), 0u);
  KQ_Free(stolen);
  block.Append('n');
  EXPECT_EQ(Chars(block), "n");
  EXPECT_EQ(block.Capacity(), 1024u);
  EXPECT_EQ(KQ_TDataBlock().StealData(), nullptr);
}

TEST(DataBlock, EqualityCopiesAndIdentityGoByTheBytes) {
  KQ_TDataBlock const a = Block(Raw("same"));
  KQ_TDataBlock big(5000);
  big.SetData("same", 4);
  EXPECT_TRUE(a == big && !(a != big));  // the reservation does not count
  EXPECT_TRUE(a != Block(Raw("samE")) && a != Block(Raw("sam")));
  EXPECT_TRUE(a.KQ_IsIdent(big));
  EXPECT_FALSE(a.KQ_IsIdent(Block(Raw("samE"))) || a.KQ_IsIdent(KQ_TString("same")));
  big = Block(Raw("sam"));
  EXPECT_EQ(Chars(big), "sam");
  EXPECT_EQ(big.Capacity(), 5120u);
}

TEST(DataBlock, UnpackingTrustsNoSizeBeforeTheBytesArrive) {
  struct Case {
    char const* what;
    Bytes bytes;
    char const* raised;
  } const cases[] = {
      // Almost 4 GiB backed by three bytes: no large reservation is made.
      {"forged size", Join({Number(0x07, 0xFFFFFFF0u), Number(0x0F, 0xFFFFFFF0u), {1, 2, 3}}),
       "KQ_EStreamEndReached"},
      // The packet must say what the size said, and be a packet.
      {"other length", Join({Number(0x07, 5), Number(0x0F, 4), {1, 2, 3, 4}}),
       "KQ_EWrongPacketSize"},
      {"no size", Join({Number(0x03, 1), Number(0x0F, 1), {9}}), "KQ_EWrongPackedType"},
  };
  for (Case const& c : cases) {
    KQ_TDataBlock block = Block(Raw("kept?"));
    Input in(c.bytes);
    EXPECT_EQ(Raised([&] { block.KQ_Unpack(in.data); }), c.raised) << c.what;
    EXPECT_EQ(block.Size(), 0u) << c.what;
    EXPECT_LE(block.Capacity(), 65536u) << c.what;
  }
  // A size of 0 reads no packet: the next element stays in the stream.
  KQ_TDataBlock block = Block(Raw("x"));
  Input empty(Join({Number(0x07, 0), {0x05, 0x2A}}));
  block.KQ_Unpack(empty.data);
  EXPECT_EQ(block.Size(), 0u);
  ExpectNext(empty.data, std::uint8_t{0x2A});

  // Other unpackers fill a reservation made for the size in one piece.
  struct Other {
    std::uint32_t size;
    Bytes packet;
    char const* raised;
    int packetReads;
  } const others[] = {
      {2000, Pattern(2000), "", 1},
      {0, {}, "", 0},
      {3, {1, 2}, "KQ_EWrongPacketSize", 1},
  };
  for (Other const& o : others) {
    WholePacketPackage unpacker;
    unpacker << o.size;
    if (!o.packet.empty()) {
      unpacker.WritePacket(o.packet.data(), static_cast<std::uint32_t>(o.packet.size()));
    }
    unpacker.Rewind(0);
    EXPECT_EQ(Raised([&] { block.KQ_Unpack(unpacker); }), o.raised);
    EXPECT_EQ(unpacker.fPacketReads, o.packetReads);
    EXPECT_EQ(BytesIn(block), *o.raised ? Bytes() : o.packet);
    EXPECT_EQ(block.Capacity(), 2048u);
  }
}

TEST(Unknown, WithoutTypeIdItCannotBePackedAndNoUnknownUnpacks) {
  KQ_TUnknown anonymous;
  KQ_TUnknown named("KQ_TSomething", "abc", 3);
  EXPECT_EQ(Raised([&] { anonymous.KQ_PackTypeID(); }), "KQ_EIllegalCast");
  EXPECT_EQ(Raised([&] { Packed(anonymous); }), "KQ_EIllegalCast");
  EXPECT_STREQ(named.KQ_PackTypeID(), "KQ_TSomething");
  Input in(Number(0x07, 1));
  EXPECT_EQ(Raised([&] { named.KQ_Unpack(in.data); }), "KQ_EIllegalCast");
}

TEST(Unknown, EqualityComparesNameOffsetLengthAndBytes) {
  auto make = [](char const* name, std::uint32_t offset, std::uint32_t length, char const* data) {
    KQ_TUnknown unknown(name, data, static_cast<std::uint32_t>(std::strlen(data)));
    unknown.SetOffset(offset).SetLength(length);
    return unknown;
  };
  KQ_TUnknown const base = make("KQ_TA", 1, 2, "xyz");
  EXPECT_TRUE(base == make("KQ_TA", 1, 2, "xyz"));
  EXPECT_TRUE(base != make("KQ_TB", 1, 2, "xyz"));
  EXPECT_TRUE(base != make(nullptr, 1, 2, "xyz"));
  EXPECT_TRUE(base != make("KQ_TA", 0, 2, "xyz"));
  EXPECT_TRUE(base != make("KQ_TA", 1, 3, "xyz"));
  EXPECT_TRUE(base != make("KQ_TA", 1, 2, "xyZ"));
}

TEST(Unknown, PacksItsContentBoundedByTheBlock) {
  KQ_TUnknown unknown("X", "01234", 5);
  struct Case {
    std::uint32_t offset, length;
    char const* content;
  } const cases[] = {{2, 2, "23"}, {2, 10, "234"}, {9, 10, ""}};
  for (Case const& c : cases) {
    unknown.SetOffset(c.offset).SetLength(c.length);
    EXPECT_EQ(Packed(unknown), NamedObject("X", Raw(c.content))) << c.offset << "+" << c.length;
  }
}

TEST(Unknown, KeepsAnObjectOfAMissingClassAndInflatesOnceTheClassIsKnown) {
  Bytes const packed = NamedObject("KQ_TLateGadget", Number(0x03, 42));
  std::unique_ptr<KQ_IPackable> const extracted(Input(packed).data.Extract(true));
  auto* unknown = static_cast<KQ_TUnknown*>(extracted->KQ_Cast("KQ_TUnknown"));
  ASSERT_NE(unknown, nullptr);

  // Not inflated: the unknown answers for itself only.
  EXPECT_EQ(&unknown->ClassObject(), &KQ_TClass::IllegalClass());
  EXPECT_EQ(unknown->KQ_Cast("KQ_TLateGadget"), nullptr);
  EXPECT_FALSE(unknown->KQ_IsIdent(KQ_TLateGadget(42)));
  EXPECT_EQ(unknown->KQ_Cast("KQ_IHashable"), static_cast<KQ_IHashable*>(unknown));

  // The class arrives.
  EXPECT_EQ(&unknown->ClassObject(), KQ_TLateGadget::KQ_ClassObject());
  auto* gadget = static_cast<KQ_TLateGadget*>(unknown->KQ_Cast("KQ_TLateGadget"));
  ASSERT_NE(gadget, nullptr);
  EXPECT_EQ(unknown->KQ_Cast("KQ_TLateGadget"), gadget);
  EXPECT_TRUE(unknown->KQ_IsIdent(KQ_TLateGadget(42)));
  EXPECT_FALSE(unknown->KQ_IsIdent(KQ_TLateGadget(7)));
  // Its own parts still come first, and it still packs its bytes.
  EXPECT_EQ(unknown->KQ_Cast("KQ_IPackable"), static_cast<KQ_IPackable*>(unknown));
  EXPECT_EQ(Packed(*unknown), packed);

  // A copy inflates on its own; an equal unknown is identical.
  KQ_TUnknown copy(*unknown);
  EXPECT_TRUE(copy.KQ_IsIdent(*unknown));
  auto* copied = static_cast<KQ_TLateGadget*>(copy.KQ_Cast("KQ_TLateGadget"));
  ASSERT_NE(copied, nullptr);
  EXPECT_NE(copied, gadget);
  copy = KQ_TUnknown("KQ_TOther");
  EXPECT_EQ(copy.KQ_Cast("KQ_TLateGadget"), nullptr);
}

TEST(Unknown, BytesThatDoNotMakeAnObjectLeaveItUninflated) {
  KQ_TDataBlock::KQ_ClassObject();
  // A name length that runs past the block, a known class with broken
  // content, and an empty block.
  for (Bytes const& bytes : {Join({Number(0x0D, 50), Raw("KQ_TData")}),
                             NamedObject("KQ_TDataBlock", {0x05, 1}), Bytes{}}) {
    KQ_TUnknown unknown("KQ_TDataBlock", bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(unknown.KQ_Cast("KQ_TDataBlock"), nullptr);
  }
  // The same name with sound content inflates, and lends the block's
  // interfaces that the unknown lacks.
  Bytes const sound =
      NamedObject("KQ_TDataBlock", Join({Number(0x07, 2), Number(0x0F, 2), {0xAA, 0xBB}}));
  KQ_TUnknown unknown("KQ_TDataBlock", sound.data(), static_cast<std::uint32_t>(sound.size()));
  EXPECT_EQ(&unknown.ClassObject(), KQ_TDataBlock::KQ_ClassObject());
  auto* block = static_cast<KQ_TDataBlock*>(unknown.KQ_Cast("KQ_TDataBlock"));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(Hex(BytesIn(*block)), "AA BB");
  EXPECT_NE(unknown.KQ_Cast("KQ_IHumanReadable"), nullptr);
}
