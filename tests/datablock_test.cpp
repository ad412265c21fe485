// Data blocks and unknown values: the KiB reservation rule, growth by index,
// SetAt and Append, truncation, stealing, equality, the packed form and its
// reading from untrusted sizes; unknowns that keep an object of a missing
// class byte for byte, pack it back bounded by their block and turn into the
// real object once its class is known.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_memalloc.h"
#include "kq_tclass.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"

using Bytes = std::vector<unsigned char>;

namespace {

Bytes BytesOf(KQ_TDataBlock const& block) {
  return Bytes(block.Data(), block.Data() + block.Size());
}

Bytes BytesOf(KQ_TMemoryStream const& stream) {
  return Bytes(stream.Data(), stream.Data() + stream.Size());
}

Bytes Pattern(std::uint32_t size) {
  Bytes bytes(size);
  for (std::uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 13 + i / 256);
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (Bytes const& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Text(std::string const& text) { return Bytes(text.begin(), text.end()); }

Bytes BE32(std::uint32_t value) {
  return {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
          static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

// The packed form of a named object: tag 13, name, content, trailer.
Bytes NamedObject(std::string const& name, Bytes const& content) {
  return Concat(
      {{0x0D}, BE32(static_cast<std::uint32_t>(name.size())), Text(name), content, {0xFF}});
}

// Packs an object with a data stream over a memory stream.
Bytes PackObject(KQ_IPackable const& object) {
  KQ_TMemoryStream memory;
  KQ_TDataStream packer(memory);
  packer << object;
  return BytesOf(memory);
}

// A data stream over a read-only copy of bytes.
struct Source {
  explicit Source(Bytes const& data)
      : bytes(data),
        memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
               static_cast<std::uint32_t>(bytes.size())),
        stream(memory) {}
  Bytes bytes;
  KQ_TMemoryStream memory;
  KQ_TDataStream stream;
};

}  // namespace

// An unpacking stream that is not a data stream: it hands out one size and
// one packet and counts the packet reads.
class KQ_TSizedUnpacker : public KQ_TObject, public virtual KQ_IUnpacking {
  KQ_CLASS(KQ_TSizedUnpacker, KQ_TObject, KQ_IUnpacking)
  KQ_TSizedUnpacker(std::uint32_t size, Bytes packet) : fSize(size), fPacket(std::move(packet)) {}

  KQ_IUnpacking& operator>>(std::uint32_t& value) override {
    value = fSize;
    return *this;
  }
  std::uint32_t ReadPacket(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override {
    ++fPacketReads;
    auto const length = static_cast<std::uint32_t>(fPacket.size());
    if (length < minimum || length > maximum) KQ_THROW(KQ_EWrongPacketSize());
    if (length != 0) std::memcpy(buffer, fPacket.data(), length);
    return length;
  }
  KQ_IUnpacking& operator>>(KQ_IPackable&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(double&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(float&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(char&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(bool&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(std::uint64_t&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(std::uint16_t&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(std::uint8_t&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(std::int64_t&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(std::int32_t&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(std::int16_t&) override { return Wrong(); }
  KQ_IUnpacking& operator>>(std::int8_t&) override { return Wrong(); }
  KQ_IUnpacking& ReadRawPacket(void*, std::uint32_t) override { return Wrong(); }
  KQ_IUnpacking& ExtractClassHeader(char const*) override { return Wrong(); }
  KQ_IUnpacking& ExtractClassTrailer(char const*) override { return Wrong(); }
  void SkipData() override { Wrong(); }
  unsigned char Peek() override {
    Wrong();
    return 0;
  }
  KQ_IPackable* Extract(bool) override {
    Wrong();
    return nullptr;
  }

  std::uint32_t fSize = 0;
  Bytes fPacket;
  int fPacketReads = 0;

 private:
  KQ_IUnpacking& Wrong() {
    ADD_FAILURE() << "a data block reads only its size and its packet";
    KQ_THROW(KQ_EWrongPackedType());
  }
};
KQ_CLASS_IMPL(KQ_TSizedUnpacker)

// A packable class whose record exists only once something asks for it, as
// with a class loaded later in a process that already holds its objects.
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
  Case const cases[] = {{0, 0},       {1, 1024},    {1023, 1024}, {1024, 1024},
                        {1025, 2048}, {2048, 2048}, {2049, 3072}, {70000, 70656}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.size);
    KQ_TDataBlock sized(c.size);
    EXPECT_EQ(sized.Size(), c.size);
    EXPECT_EQ(sized.Capacity(), c.reserved);
    Bytes const bytes = Pattern(c.size);
    KQ_TDataBlock copied(bytes.data(), c.size);
    EXPECT_EQ(copied.Capacity(), c.reserved);
    EXPECT_EQ(BytesOf(copied), bytes);
    KQ_TDataBlock copy(copied);
    EXPECT_EQ(copy.Capacity(), c.reserved);
    EXPECT_EQ(BytesOf(copy), bytes);
    if (c.size != 0) {
      EXPECT_NE(copy.Data(), copied.Data());
    }
  }
  KQ_TDataBlock empty;
  EXPECT_EQ(empty.Size(), 0u);
  EXPECT_EQ(empty.Capacity(), 0u);
  EXPECT_EQ(empty.Data(), nullptr);
  KQ_TDataBlock undefined(nullptr, 5);
  EXPECT_EQ(undefined.Size(), 5u);
  EXPECT_EQ(undefined.Capacity(), 1024u);
}

TEST(DataBlock, IndexGrowsSizeAndReservation) {
  KQ_TDataBlock block;
  block[5000] = 0x5A;
  EXPECT_EQ(block.Size(), 5001u);
  EXPECT_EQ(block.Capacity(), 5120u);
  EXPECT_EQ(block.Data()[5000], 0x5A);
  block[3] = 7;
  EXPECT_EQ(block.Size(), 5001u);
  EXPECT_EQ(block.Data()[3], 7);
  block[5119] = 1;
  EXPECT_EQ(block.Capacity(), 5120u);
  block[5120] = 2;
  EXPECT_EQ(block.Capacity(), 6144u);
  EXPECT_EQ(block.Data()[5000], 0x5A);
  EXPECT_THROW(block[0xFFFFFFFFu], KQ_EOutOfMemory);
  EXPECT_EQ(block.Size(), 5121u);
  EXPECT_EQ(block.Capacity(), 6144u);
}

TEST(DataBlock, TruncAndSetDataNeverShrinkTheReservation) {
  KQ_TDataBlock four(Pattern(4).data(), 4);
  four.Trunc(10);
  EXPECT_EQ(BytesOf(four), Pattern(4));

  Bytes const twenty = Pattern(20);
  KQ_TDataBlock block(twenty.data(), 20);
  block.Trunc(10);
  EXPECT_EQ(BytesOf(block), Bytes(twenty.begin(), twenty.begin() + 10));
  EXPECT_EQ(block.Capacity(), 1024u);

  block.SetData(Pattern(3000).data(), 3000);
  EXPECT_EQ(block.Capacity(), 3072u);
  block.SetData(twenty.data(), 5);
  EXPECT_EQ(BytesOf(block), Bytes(twenty.begin(), twenty.begin() + 5));
  EXPECT_EQ(block.Capacity(), 3072u);
  // A null pointer sets the size and leaves the bytes alone.
  block.SetData(nullptr, 3);
  EXPECT_EQ(BytesOf(block), Bytes(twenty.begin(), twenty.begin() + 3));
  // A source inside the block may overlap its destination.
  block.SetData(twenty.data(), 20);
  block.SetData(block.Data() + 2, 10);
  EXPECT_EQ(BytesOf(block), Bytes(twenty.begin() + 2, twenty.begin() + 12));
  block.SetData(nullptr, 0);
  EXPECT_EQ(block.Size(), 0u);
  EXPECT_EQ(block.Capacity(), 3072u);
}

TEST(DataBlock, SetAtAndAppendGrowToWhatTheyWrite) {
  KQ_TDataBlock block(Text("abcd").data(), 4);
  block.SetAt(3000, "xy", 2);
  EXPECT_EQ(block.Size(), 3002u);
  EXPECT_EQ(block.Capacity(), 3072u);
  EXPECT_EQ(std::memcmp(block.Data(), "abcd", 4), 0);
  EXPECT_EQ(std::memcmp(block.Data() + 3000, "xy", 2), 0);
  // Inside the size: the size stays.
  block.SetAt(1, "Q", 1);
  EXPECT_EQ(block.Size(), 3002u);
  EXPECT_EQ(std::memcmp(block.Data(), "aQcd", 4), 0);
  // Without data only the size moves.
  block.SetAt(3002, nullptr, 70);
  EXPECT_EQ(block.Size(), 3072u);
  EXPECT_EQ(block.Capacity(), 3072u);
  EXPECT_THROW(block.SetAt(0xFFFFFFFFu, "ab", 2), KQ_EOutOfMemory);
  EXPECT_EQ(block.Size(), 3072u);

  KQ_TDataBlock appended;
  for (std::uint32_t i = 0; i < 1025; ++i) appended.Append(static_cast<unsigned char>(i * 13));
  EXPECT_EQ(appended.Capacity(), 2048u);
  Bytes expected(1025);
  for (std::uint32_t i = 0; i < 1025; ++i) expected[i] = static_cast<unsigned char>(i * 13);
  EXPECT_EQ(BytesOf(appended), expected);
  appended.Append("tail", 4).Append(nullptr, 0);
  EXPECT_EQ(appended.Size(), 1029u);
  EXPECT_EQ(std::memcmp(appended.Data() + 1025, "tail", 4), 0);

  // Appending the block to itself moves the buffer under the source.
  KQ_TDataBlock doubled(Pattern(1000).data(), 1000);
  ASSERT_EQ(doubled.Capacity(), 1024u);
  doubled.Append(doubled.Data(), doubled.Size());
  EXPECT_EQ(BytesOf(doubled), Concat({Pattern(1000), Pattern(1000)}));
}

TEST(DataBlock, StealDataHandsOverTheBuffer) {
  KQ_TDataBlock block(Text("stolen").data(), 6);
  unsigned char const* const before = block.Data();
  unsigned char* const stolen = block.StealData();
  EXPECT_EQ(stolen, before);
  EXPECT_EQ(std::memcmp(stolen, "stolen", 6), 0);
  EXPECT_EQ(block.Size(), 0u);
  EXPECT_EQ(block.Capacity(), 0u);
  EXPECT_EQ(block.Data(), nullptr);
  KQ_Free(stolen);
  block.Append('n');
  EXPECT_EQ(BytesOf(block), Text("n"));
  EXPECT_EQ(block.Capacity(), 1024u);
  EXPECT_EQ(KQ_TDataBlock().StealData(), nullptr);
}

TEST(DataBlock, EqualityCopiesAndIdentity) {
  KQ_TDataBlock a(Text("same").data(), 4);
  KQ_TDataBlock b(Text("same").data(), 4);
  KQ_TDataBlock c(Text("samE").data(), 4);
  KQ_TDataBlock d(Text("sam").data(), 3);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  EXPECT_TRUE(a != c);
  EXPECT_TRUE(a != d);
  EXPECT_TRUE(KQ_TDataBlock() == KQ_TDataBlock(nullptr, 0));
  // Reservation does not count.
  KQ_TDataBlock big(5000);
  big.SetData("same", 4);
  EXPECT_TRUE(a == big);

  EXPECT_TRUE(a.KQ_IsIdent(b));
  EXPECT_FALSE(a.KQ_IsIdent(c));
  EXPECT_FALSE(a.KQ_IsIdent(KQ_TString("same")));
  std::unique_ptr<KQ_IPackable> clone(a.KQ_Clone());
  EXPECT_TRUE(a.KQ_IsIdent(*clone));
  auto* cloned = static_cast<KQ_TDataBlock*>(clone->KQ_Cast("KQ_TDataBlock"));
  ASSERT_NE(cloned, nullptr);
  EXPECT_NE(cloned->Data(), a.Data());

  big = d;
  EXPECT_EQ(BytesOf(big), Text("sam"));
  EXPECT_EQ(big.Capacity(), 5120u);
  KQ_TDataBlock& self = big;
  big = self;
  EXPECT_EQ(BytesOf(big), Text("sam"));

  EXPECT_STREQ(a.ClassName(), "KQ_TDataBlock");
  EXPECT_TRUE(KQ_TDataBlock::KQ_HasInterface("KQ_IPackable"));
  EXPECT_TRUE(KQ_TDataBlock::KQ_HasInterface("KQ_IHumanReadable"));
  EXPECT_TRUE(a.KQ_HRMultiLine());
}

TEST(DataBlock, PacksItsSizeAndOnlyANonEmptyPacket) {
  KQ_TMemoryStream memory;
  KQ_TDataStream packer(memory);
  KQ_TDataBlock(Text("\x01\x02\x03").data(), 3).KQ_Pack(packer);
  EXPECT_EQ(BytesOf(memory), (Bytes{0x07, 0, 0, 0, 3, 0x0F, 0, 0, 0, 3, 1, 2, 3}));
  memory.Clear();
  KQ_TDataBlock().KQ_Pack(packer);
  EXPECT_EQ(BytesOf(memory), (Bytes{0x07, 0, 0, 0, 0}));
  // As an object the block is named.
  KQ_TDataBlock two(Text("hi").data(), 2);
  EXPECT_EQ(PackObject(two),
            NamedObject("KQ_TDataBlock", Concat({{0x07}, BE32(2), {0x0F}, BE32(2), Text("hi")})));
}

TEST(DataBlock, RoundTripsThroughADataStream) {
  for (std::uint32_t size : {0u, 1u, 1024u, 65536u, 65537u, 200000u}) {
    SCOPED_TRACE(size);
    KQ_TDataBlock original(Pattern(size).data(), size);
    Source source(PackObject(original));
    // The target's old contents are replaced.
    KQ_TDataBlock target(Text("old contents").data(), 12);
    source.stream >> target;
    EXPECT_TRUE(target == original);
    EXPECT_EQ(source.memory.Available(), 0u);
    if (size != 0) {
      EXPECT_GE(target.Capacity(), size);
      EXPECT_EQ(target.Capacity() % 1024, 0u);
    }

    // Extract makes a new block by its name.
    KQ_TDataBlock::KQ_ClassObject();
    Source again(source.bytes);
    std::unique_ptr<KQ_IPackable> extracted(again.stream.Extract(false));
    ASSERT_NE(extracted, nullptr);
    EXPECT_TRUE(original.KQ_IsIdent(*extracted));
  }
}

TEST(DataBlock, UnpackingTrustsNoSizeBeforeTheBytesArrive) {
  // A size of almost 4 GiB backed by three bytes: the stream runs dry
  // long before any large reservation.
  Bytes const claim = Concat({{0x07}, BE32(0xFFFFFFF0u), {0x0F}, BE32(0xFFFFFFF0u), {1, 2, 3}});
  KQ_TDataBlock block(Text("kept?").data(), 5);
  Source lying(claim);
  EXPECT_THROW(block.KQ_Unpack(lying.stream), KQ_EStreamEndReached);
  EXPECT_EQ(block.Size(), 0u);
  EXPECT_LE(block.Capacity(), 65536u);

  // The packet must say what the size said, and be a packet.
  Source mismatch(Concat({{0x07}, BE32(5), {0x0F}, BE32(4), {1, 2, 3, 4}}));
  EXPECT_THROW(block.KQ_Unpack(mismatch.stream), KQ_EWrongPacketSize);
  Source notPacket(Concat({{0x07}, BE32(1), {0x05, 9, 0, 0, 0}}));
  EXPECT_THROW(block.KQ_Unpack(notPacket.stream), KQ_EWrongPackedType);
  Source notSize(Concat({{0x03}, BE32(1), {0x0F}, BE32(1), {9}}));
  EXPECT_THROW(block.KQ_Unpack(notSize.stream), KQ_EWrongPackedType);

  // A size of 0 reads no packet: the next element stays in the stream.
  Source empty(Concat({{0x07}, BE32(0), {0x05, 0x2A}}));
  block.KQ_Unpack(empty.stream);
  EXPECT_EQ(block.Size(), 0u);
  std::uint8_t next = 0;
  empty.stream >> next;
  EXPECT_EQ(next, 0x2A);
}

TEST(DataBlock, OtherUnpackersFillAReservationMadeForTheSize) {
  Bytes const packet = Pattern(2000);
  KQ_TSizedUnpacker unpacker(2000, packet);
  KQ_TDataBlock block(Text("x").data(), 1);
  block.KQ_Unpack(unpacker);
  EXPECT_EQ(BytesOf(block), packet);
  EXPECT_EQ(block.Capacity(), 2048u);
  EXPECT_EQ(unpacker.fPacketReads, 1);

  KQ_TSizedUnpacker none(0, Bytes{});
  block.KQ_Unpack(none);
  EXPECT_EQ(block.Size(), 0u);
  EXPECT_EQ(none.fPacketReads, 0);

  KQ_TSizedUnpacker shorter(3, Bytes{1, 2});
  EXPECT_THROW(block.KQ_Unpack(shorter), KQ_EWrongPacketSize);
  EXPECT_EQ(block.Size(), 0u);
}

TEST(Unknown, WithoutTypeIdItCannotBePackedAndNoUnknownUnpacks) {
  KQ_TUnknown anonymous;
  EXPECT_THROW(anonymous.KQ_PackTypeID(), KQ_EIllegalCast);
  KQ_TMemoryStream memory;
  KQ_TDataStream packer(memory);
  EXPECT_THROW(anonymous.KQ_Pack(packer), KQ_EIllegalCast);
  EXPECT_EQ(anonymous.KQ_PackClassObject(), nullptr);

  KQ_TUnknown named("KQ_TSomething", "abc", 3);
  EXPECT_STREQ(named.KQ_PackTypeID(), "KQ_TSomething");
  EXPECT_EQ(named.KQ_PackClassObject(), nullptr);
  Source source(Concat({{0x07}, BE32(1)}));
  EXPECT_THROW(named.KQ_Unpack(source.stream), KQ_EIllegalCast);
  EXPECT_THROW(anonymous.KQ_Unpack(source.stream), KQ_EIllegalCast);

  for (std::uint32_t seed : {0u, 7u, 0xFFFFFFFFu}) {
    EXPECT_EQ(anonymous.KQ_HashValue(seed), seed);
    EXPECT_EQ(named.KQ_HashValue(seed), seed);
  }
  EXPECT_EQ(named.Offset(), 0u);
  EXPECT_EQ(named.Length(), 0u);
  EXPECT_EQ(BytesOf(named.DataBlock()), Text("abc"));
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
  EXPECT_TRUE(make(nullptr, 0, 0, "") == KQ_TUnknown());

  // Copies keep everything, and so are identical.
  KQ_TUnknown copy(base);
  EXPECT_TRUE(copy == base);
  EXPECT_STREQ(copy.KQ_PackTypeID(), "KQ_TA");
  EXPECT_EQ(copy.Offset(), 1u);
  EXPECT_EQ(copy.Length(), 2u);
  std::unique_ptr<KQ_IPackable> clone(base.KQ_Clone());
  EXPECT_TRUE(base.KQ_IsIdent(*clone));
  KQ_TUnknown assigned;
  assigned = base;
  EXPECT_TRUE(assigned == base);
  assigned.DataBlock().Append('!');
  EXPECT_TRUE(assigned != base);
  EXPECT_FALSE(base.KQ_IsIdent(assigned));
  EXPECT_FALSE(base.KQ_IsIdent(KQ_TDataBlock(Text("xyz").data(), 3)));
}

TEST(Unknown, PacksItsContentBoundedByTheBlock) {
  KQ_TUnknown unknown("X", "01234", 5);
  unknown.SetOffset(2).SetLength(2);
  EXPECT_EQ(PackObject(unknown), NamedObject("X", Text("23")));
  unknown.SetLength(10);
  EXPECT_EQ(PackObject(unknown), NamedObject("X", Text("234")));
  unknown.SetOffset(5);
  EXPECT_EQ(PackObject(unknown), NamedObject("X", Bytes{}));
  unknown.SetOffset(9);
  EXPECT_EQ(PackObject(unknown), NamedObject("X", Bytes{}));
}

TEST(Unknown, KeepsAnObjectOfAMissingClassAndInflatesOnceTheClassIsKnown) {
  Bytes const content = Concat({{0x03}, BE32(42)});
  Bytes const packed = NamedObject("KQ_TLateGadget", content);
  Source source(packed);
  std::unique_ptr<KQ_IPackable> extracted(source.stream.Extract(true));
  ASSERT_NE(extracted, nullptr);
  auto* unknown = static_cast<KQ_TUnknown*>(extracted->KQ_Cast("KQ_TUnknown"));
  ASSERT_NE(unknown, nullptr);
  EXPECT_STREQ(unknown->KQ_PackTypeID(), "KQ_TLateGadget");
  EXPECT_EQ(BytesOf(unknown->DataBlock()), packed);
  EXPECT_EQ(unknown->Offset(), 19u);
  EXPECT_EQ(unknown->Length(), 5u);
  EXPECT_EQ(PackObject(*unknown), packed);

  // Not inflated: the unknown answers for itself only, and keeps trying.
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(&unknown->ClassObject(), &KQ_TClass::IllegalClass());
    EXPECT_STREQ(unknown->ClassName(), "ILLEGAL");
    EXPECT_EQ(unknown->KQ_Cast("KQ_TLateGadget"), nullptr);
    EXPECT_FALSE(unknown->KQ_IsIdent(KQ_TLateGadget(42)));
  }
  EXPECT_EQ(unknown->KQ_Cast("KQ_TUnknown"), unknown);
  EXPECT_EQ(unknown->KQ_Cast("KQ_IHashable"), static_cast<KQ_IHashable*>(unknown));
  EXPECT_EQ(unknown->KQ_Cast(nullptr), nullptr);

  // The class arrives.
  KQ_TClass const* record = KQ_TLateGadget::KQ_ClassObject();
  EXPECT_EQ(&unknown->ClassObject(), record);
  EXPECT_STREQ(unknown->ClassName(), "KQ_TLateGadget");
  auto* gadget = static_cast<KQ_TLateGadget*>(unknown->KQ_Cast("KQ_TLateGadget"));
  ASSERT_NE(gadget, nullptr);
  EXPECT_EQ(gadget->fValue, 42);
  EXPECT_EQ(unknown->KQ_Cast("KQ_TLateGadget"), gadget);
  EXPECT_TRUE(unknown->KQ_IsIdent(KQ_TLateGadget(42)));
  EXPECT_FALSE(unknown->KQ_IsIdent(KQ_TLateGadget(7)));
  // Its own parts still come first, and it still packs its bytes.
  EXPECT_EQ(unknown->KQ_Cast("KQ_IPackable"), static_cast<KQ_IPackable*>(unknown));
  EXPECT_EQ(PackObject(*unknown), packed);

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
  // A name length that runs past the block, a known class with broken
  // content, and an empty block.
  std::vector<Bytes> const broken = {
      Concat({{0x0D}, BE32(50), Text("KQ_TData")}),
      NamedObject("KQ_TDataBlock", Concat({{0x07}, BE32(4), {0x0F}, BE32(3), {1, 2, 3}})),
      NamedObject("KQ_TDataBlock", Concat({{0x05, 1}})),
      Bytes{},
  };
  KQ_TDataBlock::KQ_ClassObject();
  for (Bytes const& bytes : broken) {
    KQ_TUnknown unknown("KQ_TDataBlock", bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(&unknown.ClassObject(), &KQ_TClass::IllegalClass());
    EXPECT_EQ(unknown.KQ_Cast("KQ_TDataBlock"), nullptr);
    EXPECT_FALSE(unknown.KQ_IsIdent(KQ_TDataBlock()));
  }

  // The same name with sound content inflates, and lends the block's
  // interfaces that the unknown lacks.
  Bytes const sound =
      NamedObject("KQ_TDataBlock", Concat({{0x07}, BE32(2), {0x0F}, BE32(2), {0xAA, 0xBB}}));
  KQ_TUnknown unknown("KQ_TDataBlock", sound.data(), static_cast<std::uint32_t>(sound.size()));
  EXPECT_EQ(&unknown.ClassObject(), KQ_TDataBlock::KQ_ClassObject());
  auto* block = static_cast<KQ_TDataBlock*>(unknown.KQ_Cast("KQ_TDataBlock"));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(BytesOf(*block), (Bytes{0xAA, 0xBB}));
  EXPECT_NE(unknown.KQ_Cast("KQ_IHumanReadable"), nullptr);
  EXPECT_TRUE(unknown.KQ_IsIdent(KQ_TDataBlock(Bytes{0xAA, 0xBB}.data(), 2)));
}
