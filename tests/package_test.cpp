// Packages: the shared position, assignment and conversion of basic values,
// lent buffers, the packed form of a package and its travel inside other
// packed data (a package, an Any, a data stream), and the errors that pass
// through from the data stream and the memory stream.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tmemorystream.h"
#include "kq_tpackage.h"
#include "kq_tstring.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes BytesOf(KQ_TPackage const& package) {
  unsigned char const* data = package.Data();
  return data == nullptr ? Bytes{} : Bytes(data, data + package.Size());
}

Bytes BytesOf(KQ_TMemoryStream const& memory) {
  unsigned char const* data = memory.Data();
  return data == nullptr ? Bytes{} : Bytes(data, data + memory.Size());
}

class PackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

TEST_F(PackageTest, ReadingAndWritingShareOnePosition) {
  KQ_TPackage five(std::int32_t{5});
  EXPECT_EQ(five.Size(), 5u);
  EXPECT_EQ(five.Position(), 5u);
  EXPECT_THROW(static_cast<void>(static_cast<std::int32_t>(five)), KQ_EStreamEndReached);
  five.Rewind(0);
  EXPECT_EQ(static_cast<std::int32_t>(five), 5);

  KQ_TPackage package;
  EXPECT_EQ(package.Size(), 0u);
  package << std::int32_t{1} << std::int32_t{2};
  EXPECT_EQ(package.Size(), 10u);
  EXPECT_EQ(BytesOf(package), (Bytes{3, 0, 0, 0, 1, 3, 0, 0, 0, 2}));
  package.Rewind(0);
  std::int32_t a = 0;
  std::int32_t b = 0;
  package >> a >> b;
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_THROW(package >> a, KQ_EStreamEndReached);

  // Writing after a partial read writes at the shared position and ends the
  // package there.
  package.Rewind(5);
  package << 'x';
  EXPECT_EQ(package.Size(), 7u);
  package.Rewind();
  EXPECT_EQ(static_cast<std::int32_t>(package), 1);
  EXPECT_EQ(static_cast<char>(package), 'x');
}

TEST_F(PackageTest, PeekDoesNotMoveThePosition) {
  KQ_TPackage package;
  package << std::int32_t{1} << std::int32_t{2};
  package.Rewind(0);
  EXPECT_EQ(static_cast<std::int32_t>(package), 1);
  EXPECT_EQ(package.Peek(), 0x03);
  EXPECT_EQ(package.Position(), 5u);
  // A write after a Peek lands at the shared position, not after the
  // peeked byte.
  package << std::int32_t{7};
  EXPECT_EQ(package.Size(), 10u);
  EXPECT_EQ(package.Position(), 10u);
  package.Rewind(0);
  EXPECT_EQ(package.Peek(), 0x03);
  package.Rewind(5);
  EXPECT_EQ(static_cast<std::int32_t>(package), 7);
  // The copy of a package that peeked starts where it stood.
  package.Rewind(0);
  package.Peek();
  KQ_TPackage copy(package);
  EXPECT_EQ(copy.Position(), 0u);
  EXPECT_EQ(static_cast<std::int32_t>(copy), 1);
}

TEST_F(PackageTest, MixedValuesRoundTrip) {
  KQ_TDict dict;
  dict["k"] = KQ_TAny(std::int32_t{9});
  KQ_TPackage package;
  package << std::int8_t{-8} << std::int16_t{-1600} << std::int32_t{-320000}
          << std::int64_t{-6400000000LL} << std::uint8_t{250} << std::uint16_t{65000}
          << std::uint32_t{4000000000u} << std::uint64_t{18000000000000000000ull} << true << 'q'
          << 1.5f << -2.25 << KQ_TString("t\u00E9xt") << dict << 7LL;
  package.Rewind(0);
  EXPECT_EQ(static_cast<std::int8_t>(package), -8);
  EXPECT_EQ(static_cast<std::int16_t>(package), -1600);
  EXPECT_EQ(static_cast<std::int32_t>(package), -320000);
  EXPECT_EQ(static_cast<std::int64_t>(package), -6400000000LL);
  EXPECT_EQ(static_cast<std::uint8_t>(package), 250);
  EXPECT_EQ(static_cast<std::uint16_t>(package), 65000);
  EXPECT_EQ(static_cast<std::uint32_t>(package), 4000000000u);
  EXPECT_EQ(static_cast<std::uint64_t>(package), 18000000000000000000ull);
  EXPECT_TRUE(static_cast<bool>(package));
  EXPECT_EQ(static_cast<char>(package), 'q');
  EXPECT_EQ(static_cast<float>(package), 1.5f);
  EXPECT_EQ(static_cast<double>(package), -2.25);
  KQ_TString text;
  package >> text;
  EXPECT_TRUE(text == KQ_TString("t\u00E9xt"));
  std::unique_ptr<KQ_IPackable> object(static_cast<KQ_IPackable*>(package));
  ASSERT_NE(object, nullptr);
  EXPECT_STREQ(object->ClassName(), "KQ_TDict");
  EXPECT_TRUE(dict.KQ_IsIdent(*object));
  long long last = 0;
  package >> last;
  EXPECT_EQ(last, 7);
  EXPECT_EQ(package.Position(), package.Size());
}

TEST_F(PackageTest, WrongTypeRaisesAndEndOfDataRaises) {
  KQ_TPackage package(2.5);
  package.Rewind(0);
  EXPECT_THROW(static_cast<void>(static_cast<float>(package)), KQ_EWrongPackedType);
  package.Rewind(0);
  std::int32_t wrong = 0;
  EXPECT_THROW(package >> wrong, KQ_EWrongPackedType);
  package.Rewind(0);
  EXPECT_EQ(static_cast<double>(package), 2.5);
  KQ_TString text;
  EXPECT_THROW(package >> text, KQ_EStreamEndReached);
  KQ_TPackage empty;
  EXPECT_THROW(static_cast<void>(static_cast<KQ_IPackable*>(empty)), KQ_EStreamEndReached);
}

TEST_F(PackageTest, AssignmentReplacesTheContents) {
  KQ_TPackage package;
  package << std::int32_t{1} << 2.0 << 'c';
  package = std::int16_t{7};
  EXPECT_EQ(BytesOf(package), (Bytes{2, 0, 7}));
  EXPECT_EQ(package.Position(), 3u);
  package = KQ_TString("ab");
  package.Rewind(0);
  KQ_TString text;
  package >> text;
  EXPECT_TRUE(text == KQ_TString("ab"));
  EXPECT_EQ(package.Position(), package.Size());

  // Assigning a package to itself as a packable packs its old bytes.
  KQ_TPackage self(std::uint8_t{4});
  Bytes const before = BytesOf(self);
  self = static_cast<KQ_IPackable const&>(self);
  self.Rewind(0);
  KQ_TPackage inner;
  self >> inner;
  EXPECT_EQ(BytesOf(inner), before);

  // Other integer types take the fixed width of their size.
  KQ_TPackage wide(5LL);
  EXPECT_EQ(BytesOf(wide), (Bytes{4, 0, 0, 0, 0, 0, 0, 0, 5}));
  wide = 6u;
  EXPECT_EQ(BytesOf(wide), (Bytes{7, 0, 0, 0, 6}));

  KQ_TPackage copied;
  copied << true;
  copied.Rewind(0);
  copied = wide;
  EXPECT_EQ(BytesOf(copied), BytesOf(wide));
  EXPECT_EQ(copied.Position(), wide.Position());
  copied.Clear();
  EXPECT_EQ(copied.Size(), 0u);
  EXPECT_EQ(copied.Position(), 0u);
  EXPECT_EQ(BytesOf(wide), (Bytes{7, 0, 0, 0, 6}));
}

TEST_F(PackageTest, PackedFormOfAPackage) {
  KQ_TMemoryStream memory;
  KQ_TDataStream stream(memory);
  KQ_TPackage empty;
  empty.KQ_Pack(stream);
  EXPECT_EQ(BytesOf(memory), (Bytes{0x07, 0, 0, 0, 0, 0x0F, 0, 0, 0, 0}));

  memory.Clear();
  stream = static_cast<KQ_IStream&>(memory);
  KQ_TPackage two(std::uint8_t{0xAB});
  two.KQ_Pack(stream);
  EXPECT_EQ(BytesOf(memory), (Bytes{0x07, 0, 0, 0, 2, 0x0F, 0, 0, 0, 2, 0x05, 0xAB}));

  // Unpacked, it equals the original and stands at position 0.
  memory.Seek(0);
  KQ_TPackage back;
  back << 1.0 << 2.0;
  back.KQ_Unpack(stream);
  EXPECT_TRUE(back.KQ_IsIdent(two));
  EXPECT_TRUE(two.KQ_IsIdent(back));
  EXPECT_EQ(back.Position(), 0u);
  EXPECT_EQ(static_cast<std::uint8_t>(back), 0xAB);

  // Inside other packed data it is an object named by its class.
  memory.Clear();
  stream = static_cast<KQ_IStream&>(memory);
  stream << static_cast<KQ_IPackable const&>(two);
  Bytes const named = BytesOf(memory);
  ASSERT_GE(named.size(), 5u);
  EXPECT_EQ(named[0], 0x0D);
  EXPECT_EQ(named[4], 11);
  EXPECT_EQ(std::memcmp(named.data() + 5, "KQ_TPackage", 11), 0);
  EXPECT_EQ(named.back(), 0xFF);
  memory.Seek(0);
  std::unique_ptr<KQ_IPackable> extracted(stream.Extract(true));
  ASSERT_NE(extracted, nullptr);
  EXPECT_STREQ(extracted->ClassName(), "KQ_TPackage");
  EXPECT_TRUE(extracted->KQ_IsIdent(two));
}

TEST_F(PackageTest, PackageInsidePackageAndAny) {
  KQ_TPackage inner;
  inner << std::int32_t{42} << KQ_TString("inner");
  KQ_TPackage outer;
  outer << 'a' << static_cast<KQ_IPackable const&>(inner) << 'z';
  // A package appended to itself packs the bytes it had before.
  outer << static_cast<KQ_IPackable const&>(outer);
  Bytes const outerBefore = BytesOf(outer);
  outer.Rewind(0);
  EXPECT_EQ(static_cast<char>(outer), 'a');
  KQ_TPackage got;
  outer >> got;
  EXPECT_TRUE(got.KQ_IsIdent(inner));
  EXPECT_EQ(static_cast<std::int32_t>(got), 42);
  EXPECT_EQ(static_cast<char>(outer), 'z');
  std::unique_ptr<KQ_IPackable> snapshot(static_cast<KQ_IPackable*>(outer));
  ASSERT_NE(snapshot, nullptr);
  auto const* old = static_cast<KQ_TPackage const*>(snapshot->KQ_Cast("KQ_TPackage"));
  ASSERT_NE(old, nullptr);
  EXPECT_GT(outerBefore.size(), old->Size());
  EXPECT_EQ(Bytes(outerBefore.begin(), outerBefore.begin() + old->Size()), BytesOf(*old));

  // In an Any, which itself travels in a package.
  KQ_TAny any(inner);
  KQ_TPackage carrier(static_cast<KQ_IPackable const&>(any));
  carrier.Rewind(0);
  KQ_TAny back;
  carrier >> back;
  EXPECT_TRUE(back == any);
  EXPECT_TRUE((*back).KQ_IsIdent(inner));
  EXPECT_FALSE((*back).KQ_IsIdent(outer));

  // A package unpacked from another package directly.
  KQ_TPackage source;
  inner.KQ_Pack(source);
  source.Rewind(0);
  KQ_TPackage direct;
  direct.KQ_Unpack(source);
  EXPECT_TRUE(direct.KQ_IsIdent(inner));
}

TEST_F(PackageTest, CopiesAndIdentity) {
  KQ_TPackage original;
  original << std::int32_t{1} << 'b';
  KQ_TPackage copy(original);
  EXPECT_EQ(BytesOf(copy), BytesOf(original));
  EXPECT_NE(copy.Data(), original.Data());
  std::unique_ptr<KQ_IPackable> clone(original.KQ_Clone());
  EXPECT_TRUE(clone->KQ_IsIdent(original));
  copy << 'c';
  EXPECT_EQ(original.Size(), 7u);
  EXPECT_FALSE(copy.KQ_IsIdent(original));
  EXPECT_FALSE(original.KQ_IsIdent(copy));

  // Same size, other bytes; and an object of another class.
  KQ_TPackage one(std::int32_t{1});
  KQ_TPackage two(std::int32_t{2});
  EXPECT_FALSE(one.KQ_IsIdent(two));
  EXPECT_TRUE(KQ_TPackage().KQ_IsIdent(KQ_TPackage()));
  EXPECT_FALSE(one.KQ_IsIdent(KQ_TString("x")));
}

TEST_F(PackageTest, LentBufferIsUsedInPlaceAndCannotGrow) {
  unsigned char buffer[5] = {9, 9, 9, 9, 9};
  KQ_TPackage package(buffer, sizeof buffer);
  EXPECT_EQ(package.Size(), 5u);
  EXPECT_EQ(package.Data(), buffer);
  package << std::int32_t{0x01020304};
  EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{3, 1, 2, 3, 4}));
  EXPECT_THROW(package << 'x', KQ_EStreamEndReached);
  package.Rewind(0);
  EXPECT_EQ(static_cast<std::int32_t>(package), 0x01020304);

  // SetBuffer lends another buffer for reading; Clear keeps it.
  unsigned char packed[2] = {0x05, 0x7F};
  package.SetBuffer(packed, 2);
  EXPECT_EQ(package.Position(), 0u);
  EXPECT_EQ(static_cast<std::uint8_t>(package), 0x7F);
  package.Clear();
  package << std::uint8_t{0x11};
  EXPECT_EQ(packed[1], 0x11);
  EXPECT_THROW(package << std::uint8_t{0x22}, KQ_EStreamEndReached);
}

TEST_F(PackageTest, SetDataAndSetSize) {
  unsigned char const bytes[] = {0x09, 0x01, 0x0A, 'k'};
  KQ_TPackage package(2.0);
  package.SetData(bytes, sizeof bytes);
  EXPECT_EQ(package.Position(), 0u);
  EXPECT_EQ(BytesOf(package), Bytes(bytes, bytes + 4));
  EXPECT_NE(package.Data(), bytes);
  EXPECT_TRUE(static_cast<bool>(package));
  EXPECT_EQ(static_cast<char>(package), 'k');

  // Bytes taken from the package's own buffer.
  package.SetData(package.Data() + 2, 2);
  EXPECT_EQ(BytesOf(package), (Bytes{0x0A, 'k'}));
  EXPECT_EQ(static_cast<char>(package), 'k');

  package.SetSize(1);
  EXPECT_EQ(package.Size(), 1u);
  EXPECT_EQ(package.Position(), 1u);
  package.Rewind(0);
  EXPECT_THROW(static_cast<void>(static_cast<char>(package)), KQ_EStreamEndReached);
}

TEST_F(PackageTest, ForgedLengthsFailWithoutLargeAllocations) {
  // A packed package that claims far more bytes than follow.
  KQ_TMemoryStream memory;
  unsigned char const forged[] = {0x07, 0xFF, 0xFF, 0xFF, 0xF0, 0x0F, 0xFF, 0xFF, 0xFF, 0xF0, 1, 2};
  memory.Write(forged, sizeof forged);
  memory.Seek(0);
  KQ_TDataStream stream(memory);
  KQ_TPackage package(std::int32_t{3});
  EXPECT_THROW(package.KQ_Unpack(stream), KQ_EStreamEndReached);
  EXPECT_EQ(package.Size(), 0u);

  // The count and the packet disagree.
  unsigned char const mismatched[] = {0x07, 0, 0, 0, 1, 0x0F, 0, 0, 0, 2, 1, 2};
  memory.Clear();
  memory.Write(mismatched, sizeof mismatched);
  memory.Seek(0);
  stream = static_cast<KQ_IStream&>(memory);
  EXPECT_THROW(package.KQ_Unpack(stream), KQ_EWrongPacketSize);
  EXPECT_EQ(package.Size(), 0u);
}

}  // namespace
