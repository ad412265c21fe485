// The text format across classes: random values of every kind the text
// represents exactly read back identical to what was written; lists,
// dictionaries and data blocks are laid out line by line as the format
// prescribes; damaged container texts raise syntax errors on the right line
// and never leak what was built before the damage.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tclass.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_thumanreadablestream.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tqueue.h"
#include "kq_tstring.h"
#include "kq_ttree.h"
#include "kq_tunknown.h"

namespace {

std::string Contents(KQ_TMemoryStream const& memory) {
  return memory.Size() == 0
             ? std::string()
             : std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size());
}

std::string Text(KQ_IHumanReadable const& value, std::uint32_t indentation = 0) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  for (std::uint32_t i = 0; i < indentation; i += 2) stream.Indent();
  stream << value;
  EXPECT_EQ(stream.Indentation(), indentation) << "the writer left the indentation unbalanced";
  return Contents(memory);
}

std::string PackedText(KQ_IPackable const& value) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  stream.WritePackable(value);
  return Contents(memory);
}

// A human-readable stream over a copy of text.
class Reader {
 public:
  explicit Reader(std::string text)
      : fText(std::move(text)),
        fMemory(fText.data(), static_cast<std::uint32_t>(fText.size()),
                static_cast<std::uint32_t>(fText.size())),
        fStream(fMemory) {}
  Reader(Reader const&) = delete;
  Reader& operator=(Reader const&) = delete;

  KQ_THumanReadableStream& Stream() { return fStream; }
  std::unique_ptr<KQ_IHumanReadable> Extract() {
    return std::unique_ptr<KQ_IHumanReadable>(fStream.Extract());
  }
  // Whether only white space is left.
  bool AtEnd() {
    while (fStream.Available() > 0) {
      unsigned char const c = fStream.Read();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
        fStream.Unread(c);
        return false;
      }
    }
    return true;
  }

 private:
  std::string fText;
  KQ_TMemoryStream fMemory;
  KQ_THumanReadableStream fStream;
};

KQ_IPackable const& Packable(KQ_IHumanReadable const& value) {
  auto const* packable = static_cast<KQ_IPackable const*>(value.KQ_Cast("KQ_IPackable"));
  if (packable == nullptr) throw std::logic_error("an extracted value is not packable");
  return *packable;
}

// The names of every exception class but the root.
std::vector<char const*> const& ExceptionClassNames() {
#define KQ_TEST_EXCEPTION_NAME_(X, Parent) #X,
  static std::vector<char const*> const names{KQ_EXCEPTION_TREE(KQ_TEST_EXCEPTION_NAME_)};
#undef KQ_TEST_EXCEPTION_NAME_
  return names;
}

// Random values built from everything the text form represents exactly:
// every basic kind at its edges and in between, ILLEGAL and NULL, strings
// of any characters, data blocks, exceptions and unknown objects (as packed
// blocks), and lists and dictionaries nesting all of them.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : fRandom(seed) {}

  // Whether a dictionary of more than one entry was made since the last
  // call: its entries may read back in another order, so its text need not
  // repeat exactly.
  bool TakeUnorderedFlag() { return std::exchange(fUnordered, false); }

  std::uint32_t Below(std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(fRandom);
  }

  template <class T>
  T Integer() {
    switch (Below(4)) {
      case 0:
        return std::numeric_limits<T>::min();
      case 1:
        return std::numeric_limits<T>::max();
      case 2:
        return static_cast<T>(static_cast<int>(Below(21)) - 10);
      default:
        return static_cast<T>(fRandom());
    }
  }

  // At most six decimals: an integer scaled down by a power of ten.
  double Double() {
    static double const kScale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};
    auto const n = static_cast<double>(static_cast<std::int64_t>(fRandom() % 200000000000000) -
                                       100000000000000);
    return n / kScale[Below(7)];
  }
  // A float exactly representable with six decimals: a multiple of 1/64.
  float Float() {
    return static_cast<float>(static_cast<std::int32_t>(Below(1u << 22)) - (1 << 21)) /
           static_cast<float>(1u << Below(7));
  }

  KQ_TString String() {
    static char16_t const kAwkward[] = {u'"',   u'\\',  u'\'', u'\n', u'\r', u'\t',  u'\b',  0x01,
                                        0x1F,   0x7F,   0x80,  0xE4,  0x3A9, 0x20AC, 0x4E2D, 0xFEFF,
                                        0xFFFD, 0xFFFF, u'{',  u'}',  u'[',  u']',   u' ',   u'='};
    std::u16string units;
    std::uint32_t const length = Below(4) == 0 ? 0 : Below(24);
    while (units.size() < length) {
      switch (Below(4)) {
        case 0:
          units += static_cast<char16_t>(0x20 + Below(0x5F));
          break;
        case 1:
          units += kAwkward[Below(sizeof kAwkward / sizeof kAwkward[0])];
          break;
        case 2: {
          // Any unit of the basic plane outside the surrogates.
          std::uint32_t unit = Below(0xF800);
          if (unit >= 0xD800) unit += 0x800;
          units += static_cast<char16_t>(unit);
          break;
        }
        default: {
          // A character beyond the basic plane, as a surrogate pair.
          std::uint32_t const code = 0x10000 + Below(0x100000);
          units += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
          units += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
          break;
        }
      }
    }
    return KQ_TString(units.data(), static_cast<std::uint32_t>(units.size()));
  }

  KQ_TDataBlock Block() {
    KQ_TDataBlock block;
    std::uint32_t const size = Below(3) == 0 ? Below(3) : Below(70);
    for (std::uint32_t i = 0; i < size; ++i) block.Append(static_cast<unsigned char>(fRandom()));
    return block;
  }

  // An exception of a random class of the tree, prepared as if raised, with
  // a message and data.
  std::unique_ptr<KQ_EException> Exception(int depth) {
    auto const& names = ExceptionClassNames();
    char const* const name = names[Below(static_cast<std::uint32_t>(names.size()))];
    std::unique_ptr<KQ_TObject> object(KQ_TClass::FindClass(name)->CreateInstance());
    auto* exception = static_cast<KQ_EException*>(object->KQ_Cast("KQ_EException"));
    object.release();
    std::unique_ptr<KQ_EException> owned(exception);
    owned->KQ_Message() = String();
    if (Below(2) == 0) owned->KQ_Data() = Value(depth + 1);
    owned->__PREPARE_FOR_THROW__(Below(5000), Below(2) == 0 ? "raiser.cpp" : "");
    return owned;
  }

  // An object of a class no process knows, as a data stream makes it from
  // packed bytes: its content is a few packed values.
  std::unique_ptr<KQ_IPackable> Unknown() {
    KQ_TMemoryStream content;
    {
      KQ_TDataStream data(content);
      for (std::uint32_t n = Below(3); n > 0; --n) data << KQ_TAny(Integer<std::int32_t>());
      data << String();
    }
    KQ_TUnknown made("KQ_TNoSuchTextClass", content.Data(), content.Size());
    made.SetLength(content.Size());
    KQ_TMemoryStream packed;
    KQ_TDataStream writer(packed);
    writer << made;
    packed.Seek(0);
    KQ_TDataStream reader(packed);
    return std::unique_ptr<KQ_IPackable>(reader.Extract(true));
  }

  KQ_TAny Value(int depth) {
    std::uint32_t const choices = depth >= 4 ? 18 : 24;
    switch (Below(choices)) {
      case 0:
        return KQ_TAny();
      case 1:
        return KQ_TAny(nullptr);
      case 2:
        return KQ_TAny(Integer<std::int8_t>());
      case 3:
        return KQ_TAny(Integer<std::int16_t>());
      case 4:
        return KQ_TAny(Integer<std::int32_t>());
      case 5:
        return KQ_TAny(Integer<std::int64_t>());
      case 6:
        return KQ_TAny(Integer<std::uint8_t>());
      case 7:
        return KQ_TAny(Integer<std::uint16_t>());
      case 8:
        return KQ_TAny(Integer<std::uint32_t>());
      case 9:
        return KQ_TAny(Integer<std::uint64_t>());
      case 10:
        return KQ_TAny(Below(2) == 0);
      case 11:
        return KQ_TAny(static_cast<char>(Below(256)));
      case 12:
        return KQ_TAny(Float());
      case 13:
        return KQ_TAny(Double());
      case 14:
      case 15:
        return KQ_TAny(String());
      case 16:
        return KQ_TAny(Block());
      case 17:
        if (Below(2) == 0) return KQ_TAny(*Unknown());
        return KQ_TAny(*Exception(depth));
      case 18:
      case 19:
        return KQ_TAny(List(depth + 1));
      case 20:
        return KQ_TAny(Dict(depth + 1));
      case 21:
        return KQ_TAny(Array(depth + 1));
      case 22:
        return KQ_TAny(Tree(depth + 1));
      default:
        return KQ_TAny(Queue(depth + 1));
    }
  }

  // Bounds anywhere around zero and ILLEGAL slots inside: the text leaves
  // ILLEGAL slots out, so the first and the last slot hold values.
  KQ_TArray Array(int depth) {
    if (Below(8) == 0) return KQ_TArray();
    auto const first = static_cast<std::int32_t>(Below(20)) - 10;
    KQ_TArray array(first, first + static_cast<std::int32_t>(Below(6)));
    for (std::int32_t i = array.LowerBound(); i <= array.UpperBound(); ++i) {
      bool const edge = i == array.LowerBound() || i == array.UpperBound();
      do {
        array[i] = Value(depth);
      } while (edge && array[i].IsIllegal());
      if (!edge && Below(3) == 0) array[i] = KQ_TAny();
    }
    return array;
  }

  KQ_TTree Tree(int depth) {
    KQ_TTree tree;
    std::uint32_t const count = Below(5);
    for (std::uint32_t n = count; n > 0; --n) {
      KQ_TString const key = String();
      tree[key] = Below(3) == 0 ? KQ_TAny(Tree(depth + 1)) : Value(depth);
    }
    // Entries() counts the values of the subtrees too; the order of this
    // level's keys is what may change.
    if (count > 1) fUnordered = true;
    return tree;
  }

  // Priorities that tie now and then, so the first-in first-out order of
  // equal priorities is written and read back too.
  KQ_TQueue Queue(int depth) {
    KQ_TQueue queue;
    for (std::uint32_t n = Below(6); n > 0; --n) {
      queue.Add(Value(depth), static_cast<std::int32_t>(Below(4)) - 2);
    }
    return queue;
  }

  KQ_TList List(int depth) {
    KQ_TList list;
    for (std::uint32_t n = Below(7); n > 0; --n) list.AddAtTail(Value(depth));
    return list;
  }

  // Keys of every hashable kind with a text form: strings (as strings and
  // as Anys holding them) and basic values.
  KQ_TDict Dict(int depth) {
    KQ_TDict dict(Below(3) == 0 ? 1 + Below(300) : 0);
    for (std::uint32_t n = Below(7); n > 0; --n) {
      KQ_TAny const value = Value(depth);
      switch (Below(4)) {
        case 0:
          dict.Add(String(), value);
          break;
        case 1:
          dict.Add(KQ_TAny(String()), value);
          break;
        default: {
          KQ_TAny key = Value(4);
          // Floating keys stay: they are numbers with at most six decimals.
          if (key.Kind() == KQ_TAny::kObject && key->KQ_Cast("KQ_IHashable") == nullptr) {
            key = Integer<std::int32_t>();
          }
          dict.Add(key, value);
          break;
        }
      }
    }
    if (dict.Entries() > 1) fUnordered = true;
    return dict;
  }

 private:
  std::mt19937_64 fRandom;
  bool fUnordered = false;
};

// The text of value, then its parse, must be identical to it; writing the
// parse again gives the same text unless a dictionary may have reordered.
// The text is read with a line end after it: a number at the very end of
// the input would run into the end while its token is scanned.
void CheckRoundTrip(KQ_IPackable const& original, std::string const& text, bool ordered,
                    std::uint32_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed) + ", text:\n" + text);
  Reader reader(text + "\n");
  std::unique_ptr<KQ_IHumanReadable> const parsed = reader.Extract();
  ASSERT_NE(parsed, nullptr);
  EXPECT_TRUE(reader.AtEnd()) << "the value ends before the text";
  EXPECT_TRUE(original.KQ_IsIdent(Packable(*parsed)));
  EXPECT_TRUE(Packable(*parsed).KQ_IsIdent(original));

  std::string const again = Text(*parsed);
  if (ordered) {
    EXPECT_EQ(again, text);
  } else {
    Reader second(again + "\n");
    std::unique_ptr<KQ_IHumanReadable> const reparsed = second.Extract();
    EXPECT_TRUE(original.KQ_IsIdent(Packable(*reparsed)));
  }
}

class TextFormatTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

TEST_F(TextFormatTest, RandomValuesReadBackIdentical) {
  for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
    Generator generate(seed);
    switch (generate.Below(6)) {
      case 0: {
        KQ_TAny const value = generate.Value(0);
        CheckRoundTrip(value, Text(value), !generate.TakeUnorderedFlag(), seed);
        break;
      }
      case 1: {
        KQ_TString const value = generate.String();
        CheckRoundTrip(value, Text(value), true, seed);
        break;
      }
      case 2: {
        KQ_TList const value = generate.List(0);
        CheckRoundTrip(value, Text(value), !generate.TakeUnorderedFlag(), seed);
        break;
      }
      case 3: {
        KQ_TDict const value = generate.Dict(0);
        CheckRoundTrip(value, Text(value), !generate.TakeUnorderedFlag(), seed);
        break;
      }
      case 4: {
        KQ_TDataBlock const value = generate.Block();
        CheckRoundTrip(value, Text(value), true, seed);
        break;
      }
      default: {
        std::unique_ptr<KQ_EException> const value = generate.Exception(0);
        std::string const text = PackedText(*value);
        CheckRoundTrip(*value, text, !generate.TakeUnorderedFlag(), seed);
        break;
      }
    }
    if (HasFatalFailure() || HasNonfatalFailure()) break;
  }
}

TEST_F(TextFormatTest, SeveralValuesFollowOneAnother) {
  KQ_TList list;
  list.Add(1);
  KQ_TDataBlock const block("\xAB", 1);
  KQ_TDict dict;
  dict.Add("k", 'v');
  Reader reader(Text(list) + Text(block) + "\n" + Text(dict) + " 7UB\n");
  EXPECT_TRUE(list.KQ_IsIdent(Packable(*reader.Extract())));
  EXPECT_TRUE(block.KQ_IsIdent(Packable(*reader.Extract())));
  EXPECT_TRUE(dict.KQ_IsIdent(Packable(*reader.Extract())));
  EXPECT_TRUE(KQ_TAny(std::uint8_t{7}).KQ_IsIdent(Packable(*reader.Extract())));
  EXPECT_TRUE(reader.AtEnd());
}

TEST_F(TextFormatTest, ListLayout) {
  KQ_TList inner;
  inner.Add(2);
  inner.Add("two");
  KQ_TList list;
  list.Add(1);
  list.Add(inner);
  list.Add(KQ_TList());
  list.Add(1.5);
  list.Add(KQ_TAny());
  list.Add(nullptr);

  EXPECT_EQ(Text(KQ_TList()), "KQ_TList {  }");
  char const* const expected =
      "KQ_TList {\n"
      "  1\n"
      "  KQ_TList {\n"
      "    2\n"
      "    \"two\"\n"
      "  }\n"
      "  KQ_TList {  }\n"
      "  1.500000\n"
      "  ILLEGAL\n"
      "  NULL\n"
      "}";
  EXPECT_EQ(Text(list), expected);
  // Written at a deeper indentation, the first line carries no prefix (the
  // writer before it placed it) and every other line two more spaces.
  EXPECT_EQ(Text(inner, 4),
            "KQ_TList {\n"
            "      2\n"
            "      \"two\"\n"
            "    }");

  // Reading is free in its white space, and replaces what the list held.
  KQ_TList read;
  read.Add("old");
  Reader reader("KQ_TList{1 KQ_TList\t{2\r\n\"two\"}KQ_TList{}1.5 illegal Null}");
  reader.Stream() >> read;
  EXPECT_TRUE(read == list);
  EXPECT_TRUE(reader.AtEnd());
}

TEST_F(TextFormatTest, DictLayout) {
  EXPECT_EQ(Text(KQ_TDict()), "KQ_TDict {  }");

  KQ_TDict single;
  single.Add("a", 1);
  EXPECT_EQ(Text(single), "KQ_TDict {\n  [ \"a\" ] = 1\n}");

  // Every item of key and value that spans lines sits one level deeper than
  // the line it started on.
  KQ_TList list;
  list.Add(1);
  list.Add(2);
  KQ_TDict nested;
  nested.Add("k", list);
  EXPECT_EQ(Text(nested),
            "KQ_TDict {\n"
            "  [ \"k\" ] = KQ_TList {\n"
            "        1\n"
            "        2\n"
            "      }\n"
            "}");
  KQ_TDict outer;
  outer.Add(KQ_TAny('x'), single);
  EXPECT_EQ(Text(outer),
            "KQ_TDict {\n"
            "  [ 'x' ] = KQ_TDict {\n"
            "        [ \"a\" ] = 1\n"
            "      }\n"
            "}");

  // Entries in the packing order: buckets from the last to the first.
  KQ_TDict two;
  KQ_TAny const first(std::int64_t{1});
  KQ_TAny const second(std::int16_t{-3});
  two.Add(first, true).Add(second, false);
  std::uint32_t const firstBucket = first.KQ_HashValue(0) % two.BucketCount();
  std::uint32_t const secondBucket = second.KQ_HashValue(0) % two.BucketCount();
  ASSERT_NE(firstBucket, secondBucket);
  std::string const firstLine = "[ 1X ] = TRUE";
  std::string const secondLine = "[ -3S ] = FALSE";
  EXPECT_EQ(Text(two), "KQ_TDict {\n  " +
                           (firstBucket > secondBucket ? firstLine + "\n  " + secondLine
                                                       : secondLine + "\n  " + firstLine) +
                           "\n}");

  // Reading replaces the entries; a repeated key keeps the later value.
  KQ_TDict read;
  read.Add("old", 0);
  Reader reader("KQ_TDict{[\"a\"]=0[ \"a\" ]\n=\n1}");
  reader.Stream() >> read;
  EXPECT_TRUE(read == single);
  EXPECT_TRUE(reader.AtEnd());
}

TEST_F(TextFormatTest, DictKeyWithoutTextFormTravelsPacked) {
  Generator generate(7);
  std::unique_ptr<KQ_IPackable> const unknown = generate.Unknown();
  ASSERT_NE(unknown->KQ_Cast("KQ_TUnknown"), nullptr);
  KQ_TDict dict;
  dict.Add(*static_cast<KQ_IHashable const*>(unknown->KQ_Cast("KQ_IHashable")), "value");
  std::string const text = Text(dict);
  EXPECT_EQ(text.rfind("KQ_TDict {\n  [ KQ_IPackable {\n      ", 0), 0u) << text;
  EXPECT_NE(text.find("\n    } ] = \"value\"\n}"), std::string::npos) << text;

  Reader reader(text);
  std::unique_ptr<KQ_IHumanReadable> const parsed = reader.Extract();
  auto const* read = static_cast<KQ_TDict const*>(parsed->KQ_Cast("KQ_TDict"));
  ASSERT_NE(read, nullptr);
  EXPECT_TRUE(*read == dict);
}

TEST_F(TextFormatTest, DataBlockLayout) {
  EXPECT_EQ(Text(KQ_TDataBlock()), "KQ_TDataBlock {\n  \n}");
  EXPECT_EQ(Text(KQ_TDataBlock("\x01\x02\x03", 3)), "KQ_TDataBlock {\n  0102 03\n}");
  EXPECT_EQ(Text(KQ_TDataBlock("\xFE\xFF", 2)), "KQ_TDataBlock {\n  feff \n}");

  std::vector<unsigned char> bytes;
  for (unsigned char b = 0; b < 18; ++b) bytes.push_back(b);
  EXPECT_EQ(Text(KQ_TDataBlock(bytes.data(), 18)),
            "KQ_TDataBlock {\n"
            "  0001 0203 0405 0607 0809 0a0b 0c0d 0e0f \n"
            "  1011 \n"
            "}");
  EXPECT_EQ(Text(KQ_TDataBlock(bytes.data(), 17), 2),
            "KQ_TDataBlock {\n"
            "    0001 0203 0405 0607 0809 0a0b 0c0d 0e0f \n"
            "    10\n"
            "  }");
  EXPECT_EQ(Text(KQ_TDataBlock(bytes.data(), 16)),
            "KQ_TDataBlock {\n  0001 0203 0405 0607 0809 0a0b 0c0d 0e0f \n}");

  // Either case and any white space between bytes; the old bytes go.
  KQ_TDataBlock read("old", 3);
  Reader reader("KQ_TDataBlock {AB cD\n\t0F}");
  reader.Stream() >> read;
  EXPECT_TRUE(read == KQ_TDataBlock("\xAB\xCD\x0F", 3));
  EXPECT_TRUE(reader.AtEnd());
}

TEST_F(TextFormatTest, ObjectsWithoutTextFormAreWrittenPacked) {
  KQ_ECouldNotOpenFile raised("no such file", KQ_TAny(42));
  raised.__PREPARE_FOR_THROW__(120, "opener.cpp");
  KQ_TList list;
  list.Add(raised);
  std::string const text = Text(list);
  ASSERT_EQ(text.rfind("KQ_TList {\n  KQ_IPackable {\n", 0), 0u) << text;
  ASSERT_EQ(text.substr(text.size() - 6), "\n  }\n}") << text;
  // The packed lines, two levels deep: 64 bytes each but the last.
  std::string const lines = text.substr(28, text.size() - 28 - 6);
  std::size_t start = 0;
  for (;;) {
    std::size_t const end = lines.find('\n', start);
    std::string const line = lines.substr(start, end == std::string::npos ? end : end - start);
    ASSERT_EQ(line.substr(0, 4), "    ");
    ASSERT_EQ(line.find_first_not_of("0123456789abcdef", 4), std::string::npos) << line;
    if (end == std::string::npos) {
      EXPECT_LE(line.size(), 4u + 128u);
      break;
    }
    EXPECT_EQ(line.size(), 4u + 128u);
    start = end + 1;
  }

  Reader reader(text);
  std::unique_ptr<KQ_IHumanReadable> const parsed = reader.Extract();
  auto const* read = static_cast<KQ_TList const*>(parsed->KQ_Cast("KQ_TList"));
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->Entries(), 1u);
  KQ_TAny const& held = read->Head();
  ASSERT_EQ(held.Kind(), KQ_TAny::kObject);
  EXPECT_STREQ(held->ClassName(), "KQ_ECouldNotOpenFile");
  auto const* exception = static_cast<KQ_EException const*>(held->KQ_Cast("KQ_EException"));
  ASSERT_NE(exception, nullptr);
  EXPECT_STREQ(exception->KQ_Message().UTF8(), "no such file");
  EXPECT_EQ(exception->KQ_ExceptionLine(), 120u);
  EXPECT_STREQ(exception->KQ_ExceptionFile().UTF8(), "opener.cpp");
  EXPECT_TRUE(exception->KQ_Data() == KQ_TAny(42));
}

// Damaged container texts: the line of the error is the count of line
// feeds read up to the damage.
TEST_F(TextFormatTest, DamagedContainersReportTheirLine) {
  struct Case {
    char const* text;
    std::uint32_t line;
  };
  Case const cases[] = {
      {"KQ_TList {\n  1\n  @\n}", 2},
      {"KQ_TList {\n  1,\n  2\n}", 1},
      {"KQ_TList {\n  KQ_TList {\n    1\n  ]\n}", 3},
      {"KQ_TList {\n  1Q }\n", 1},
      {"KQ_TList [ 1 ]", 0},
      {"KQ_TDict {\n  [ \"a\" ] = 1\n  [ \"b\" ]  2\n}", 2},
      {"KQ_TDict {\n  [ \"a\" = 1\n}", 1},
      {"KQ_TDict {\n  \"a\" ] = 1\n}", 1},
      {"KQ_TDict {\n\n\n  [ KQ_TList {  } ] = 1\n}", 3},
      {"KQ_TDict {\n  [ KQ_TDataBlock {\n  00\n} ] = 1\n}", 3},
      {"KQ_TDict {\n  [ 1 ] = \n\n  ]\n}", 3},
      {"KQ_TDataBlock {\n  0102 0g\n}", 1},
      {"KQ_TDataBlock {\n  0102\n  030 }", 2},
      {"KQ_TDataBlock {\n  0102 -3\n}", 1},
      {"KQ_TList {\n  KQ_TDict {\n    [ 1 ] = KQ_TList {\n      2\n      KQ_TNoSuchClass { }\n    "
       "}\n  }\n}",
       4},
      {"KQ_TList {\n KQ_IPackable {\n  0g }\n}", 2},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.text);
    Reader reader(c.text);
    try {
      reader.Extract();
      ADD_FAILURE() << "no syntax error";
    } catch (KQ_EHRSyntaxError const& error) {
      EXPECT_EQ(error.KQ_Message(), KQ_TString::Format(" at line %u", c.line));
    }
  }
}

TEST_F(TextFormatTest, ReadingIntoAnObjectOfAnotherClassFails) {
  KQ_TList list;
  Reader dictText("KQ_TDict {  }");
  EXPECT_THROW(dictText.Stream() >> list, KQ_EHRSyntaxError);
  KQ_TDataBlock block;
  Reader listText("\n\nKQ_TList { 1 }");
  try {
    listText.Stream() >> block;
    ADD_FAILURE() << "no syntax error";
  } catch (KQ_EHRSyntaxError const& error) {
    EXPECT_EQ(error.KQ_Message(), KQ_TString(" at line 2"));
  }
}

// Reads one value from text, which must fail: with a syntax error or the
// end of the input, or where the damage lies inside a string or a packed
// block, with the error of the string's UTF-8 or of the packed data.
void ExpectCleanFailure(std::string const& text, bool truncated) {
  Reader reader(text);
  try {
    reader.Extract();
    if (truncated) ADD_FAILURE() << "read";
  } catch (KQ_EHRSyntaxError const&) {
  } catch (KQ_EStreamEndReached const&) {
  } catch (KQ_EStringException const& error) {
    if (truncated) ADD_FAILURE() << error.ClassName();
  } catch (KQ_EPackingException const& error) {
    if (truncated) ADD_FAILURE() << error.ClassName();
  } catch (KQ_EException const& error) {
    ADD_FAILURE() << error.ClassName() << ": " << error.KQ_Message().UTF8();
  }
}

// Every proper prefix of a text that nests every container ends too early
// (it lacks at least the outer closing brace), and every byte of it replaced
// by another character either still reads or fails cleanly; nothing read
// before the damage leaks.
TEST_F(TextFormatTest, TruncatedAndCorruptedTextsFailCleanly) {
  KQ_TDict dict;
  dict.Add("block", KQ_TDataBlock("\x01\x02\x03\x04\x05", 5));
  dict.Add(KQ_TAny(5), 'c');
  KQ_TList list;
  list.Add(dict);
  list.Add(KQ_TList());
  list.Add("s\\\"t\xC3\xA4");
  list.Add(std::uint64_t{7});
  list.Add(-1.25f);
  KQ_EOutOfBoundsOfList raised;
  raised.__PREPARE_FOR_THROW__(1, "f");
  list.Add(raised);
  std::string const text = Text(list);

  for (std::size_t length = 0; length < text.size(); ++length) {
    SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
    ExpectCleanFailure(text.substr(0, length), true);
  }
  char const kReplacements[] = {'}', '{',  '[', ']', '=', '"', '\'', '\\',
                                ' ', '\n', 'x', '0', '.', '-', '\0', '\xFF'};
  for (std::size_t at = 0; at < text.size(); ++at) {
    for (char const replacement : kReplacements) {
      SCOPED_TRACE("byte " + std::to_string(at) + " replaced by " +
                   std::to_string(static_cast<int>(replacement)));
      std::string damaged = text;
      damaged[at] = replacement;
      ExpectCleanFailure(damaged, false);
    }
  }
}

}  // namespace
