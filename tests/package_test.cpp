// Packages: one position for reading and writing, basic values in and out
// every way, lent buffers, the packed form and its travel in other packed data.
#include <gtest/gtest.h>

#include <tuple>

#include "kq_tany.h"
#include "kq_tdict.h"
#include "kq_tpackage.h"
#include "kq_tstring.h"
#include "test_support.h"

using namespace kqtest;

namespace {

class PackageTest : public InitializedTest {};

// One value of every basic type a package takes.
auto const kValues = std::make_tuple(
    std::int8_t{-8}, std::int16_t{-1600}, std::int32_t{-320000}, std::int64_t{-6400000000LL},
    std::uint8_t{250}, std::uint16_t{65000}, std::uint32_t{4000000000u},
    std::uint64_t{18000000000000000000ull}, true, 'q', 1.5f, -2.25);

template <class T>
Bytes PackedValue(T value) {
  return PackedBy([&](KQ_TDataStream& data) { data << value; });
}

TEST_F(PackageTest, EveryBasicValueGoesInAndComesBackAtTheSharedPosition) {
  KQ_TPackage package;
  std::apply([&](auto... value) { ((package << value), ...); }, kValues);
  EXPECT_EQ(BytesIn(package), PackedBy([&](KQ_TDataStream& data) {
              std::apply([&](auto... value) { ((data << value), ...); }, kValues);
            }));
  EXPECT_EQ(package.Position(), package.Size());
  package.Rewind();
  std::apply([&](auto... value) { (ExpectNext(package, value), ...); }, kValues);

  auto const one = [&](auto value) {
    SCOPED_TRACE(Hex(PackedValue(value)));
    // Made from the value, and assigned over old contents.
    EXPECT_EQ(BytesIn(KQ_TPackage(value)), PackedValue(value));
    package = value;
    EXPECT_EQ(BytesIn(package), PackedValue(value));
    // Written after a Peek: at the shared position, not after the peeked
    // byte, and the package ends there.
    package << std::int32_t{1} << std::int32_t{2};
    auto const second = static_cast<std::uint32_t>(PackedValue(value).size() + 5);
    package.Rewind(second);
    EXPECT_EQ(package.Peek(), 0x03);
    EXPECT_EQ(package.Position(), second);
    package << value;
    EXPECT_EQ(BytesIn(package), Join({PackedValue(value), Number(0x03, 1), PackedValue(value)}));
    EXPECT_EQ(package.Position(), package.Size());
  };
  std::apply([&](auto... value) { (one(value), ...); }, kValues);
}

TEST_F(PackageTest, ObjectsCopiesAndIdentity) {
  KQ_TDict dict;
  dict["k"] = KQ_TAny(std::int32_t{9});
  KQ_TPackage package(KQ_TString("ab"));
  EXPECT_EQ(package.Position(), package.Size());
  // An object written after a Peek goes at the shared position: over the 'x'.
  package << 'x';
  package.Rewind(package.Size() - 2);
  package.Peek();
  package << dict;
  package.Rewind(0);
  KQ_TString text;
  package >> text;
  EXPECT_EQ(text, KQ_TString("ab"));
  std::unique_ptr<KQ_IPackable> object(static_cast<KQ_IPackable*>(package));
  EXPECT_TRUE(dict.KQ_IsIdent(As<KQ_TDict>(object)));
  EXPECT_EQ(Raised([&] { object.reset(static_cast<KQ_IPackable*>(package)); }),
            "KQ_EStreamEndReached");

  // Assigning or appending a package to itself packs its old bytes.
  KQ_TPackage self(std::uint8_t{4});
  Bytes const before = BytesIn(self);
  self = static_cast<KQ_IPackable const&>(self);
  self << static_cast<KQ_IPackable const&>(self);
  self.Rewind(0);
  KQ_TPackage inner;
  self >> inner;
  EXPECT_EQ(BytesIn(inner), before);
  self >> inner;
  EXPECT_EQ(BytesIn(inner), Packed(KQ_TPackage(std::uint8_t{4})));

  // The copy of a package that peeked starts where it stood, and owns its
  // bytes; identity goes by the bytes.
  package.Rewind(0);
  package.Peek();
  KQ_TPackage copy(package);
  EXPECT_EQ(copy.Position(), 0u);
  EXPECT_NE(copy.Data(), package.Data());
  EXPECT_TRUE(std::unique_ptr<KQ_IPackable>(package.KQ_Clone())->KQ_IsIdent(copy));
  copy.SetSize(copy.Size() - 1);
  EXPECT_FALSE(copy.KQ_IsIdent(package));
  EXPECT_FALSE(package.KQ_IsIdent(KQ_TString("x")));
  KQ_TPackage assigned(true);
  assigned = copy;
  assigned = std::as_const(assigned);
  EXPECT_EQ(BytesIn(assigned), BytesIn(copy));
}

TEST_F(PackageTest, PackedFormOfAPackageAndItsTravelInsideOtherPackedData) {
  EXPECT_EQ(Hex(PackedBy([](KQ_TDataStream& data) { KQ_TPackage().KQ_Pack(data); })),
            "07 00 00 00 00 0F 00 00 00 00");
  KQ_TPackage const two(std::uint8_t{0xAB});
  Bytes const packed = PackedBy([&](KQ_TDataStream& data) { two.KQ_Pack(data); });
  EXPECT_EQ(Hex(packed), "07 00 00 00 02 0F 00 00 00 02 05 AB");
  EXPECT_EQ(Packed(two), Join({Header(0x0D, "KQ_TPackage"), packed, {0xFF}}));

  // Unpacked, it replaces the contents and stands at position 0; forged
  // lengths leave it empty.
  struct Case {
    Bytes bytes;
    char const* raised;
  } const cases[] = {
      {packed, ""},
      {Join({Number(0x07, 0xFFFFFFF0u), Number(0x0F, 0xFFFFFFF0u), {1, 2}}),
       "KQ_EStreamEndReached"},
      {Join({Number(0x07, 1), Number(0x0F, 2), {1, 2}}), "KQ_EWrongPacketSize"},
  };
  for (Case const& c : cases) {
    KQ_TPackage back(1.0);
    Input in(c.bytes);
    EXPECT_EQ(Raised([&] { back.KQ_Unpack(in.data); }), c.raised);
    EXPECT_EQ(BytesIn(back), *c.raised ? Bytes() : BytesIn(two));
    EXPECT_EQ(back.Position(), 0u);
  }

  // Inside a package, read by a package.
  KQ_TPackage outer;
  outer << 'a' << static_cast<KQ_IPackable const&>(two) << 'z';
  outer.Rewind(0);
  EXPECT_EQ(static_cast<char>(outer), 'a');
  KQ_TPackage got;
  outer >> got;
  EXPECT_TRUE(got.KQ_IsIdent(two));
  EXPECT_EQ(static_cast<char>(outer), 'z');
}

TEST_F(PackageTest, LentBuffersAndSetDataAndSetSize) {
  unsigned char buffer[5] = {9, 9, 9, 9, 9};
  KQ_TPackage package(buffer, sizeof buffer);
  package << std::int32_t{0x01020304};
  EXPECT_EQ(Hex(Bytes(buffer, buffer + 5)), "03 01 02 03 04");
  EXPECT_EQ(Raised([&] { package << 'x'; }), "KQ_EStreamEndReached");
  // SetBuffer lends another buffer for reading; Clear keeps it.
  unsigned char lent[2] = {0x05, 0x7F};
  package.SetBuffer(lent, 2);
  EXPECT_EQ(package.Position(), 0u);
  EXPECT_EQ(static_cast<std::uint8_t>(package), 0x7F);
  package.Clear();
  package << std::uint8_t{0x11};
  EXPECT_EQ(lent[1], 0x11);
  EXPECT_EQ(Raised([&] { package << std::uint8_t{0x22}; }), "KQ_EStreamEndReached");

  // SetData copies, also from the package's own buffer, and rewinds.
  unsigned char const bytes[] = {0x09, 0x01, 0x0A, 'k'};
  KQ_TPackage copied(2.0);
  copied.SetData(bytes, sizeof bytes);
  EXPECT_EQ(copied.Position(), 0u);
  EXPECT_TRUE(static_cast<bool>(copied));
  copied.SetData(copied.Data() + 2, 2);
  EXPECT_EQ(Hex(BytesIn(copied)), "0A 6B");
  EXPECT_EQ(static_cast<char>(copied), 'k');
  copied.SetSize(1);
  EXPECT_EQ(copied.Position(), 1u);
  copied.Rewind(0);
  EXPECT_EQ(Raised([&] { static_cast<void>(static_cast<char>(copied)); }), "KQ_EStreamEndReached");
}

}  // namespace
