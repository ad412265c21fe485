// The text stream: UTF-8 decoding of good and malformed bytes, the pushback
// stack and the line count, the three scanners, and the forwarding of the
// stream operations to the bound stream (or their refusal while unbound).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_ttextstream.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::u16string U(KQ_TString const& s) {
  return std::u16string(reinterpret_cast<char16_t const*>(s.Units()), s.Length());
}

// A memory stream holding a copy of text.
class Source {
 public:
  explicit Source(std::string const& text) {
    fMemory.Write(text.data(), Length(text));
    fMemory.Seek(0);
  }
  explicit Source(Bytes const& bytes) {
    fMemory.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    fMemory.Seek(0);
  }
  KQ_TMemoryStream& Memory() { return fMemory; }

  static std::uint32_t Length(std::string const& text) {
    return static_cast<std::uint32_t>(text.size());
  }

 private:
  KQ_TMemoryStream fMemory;
};

// Every unit ReadChar delivers until the bound stream ends.
std::u16string ReadAll(KQ_TTextStream& text) {
  std::u16string units;
  for (;;) {
    try {
      units += static_cast<char16_t>(std::uint16_t{text.ReadChar()});
    } catch (KQ_EStreamEndReached const&) {
      return units;
    }
  }
}

class TextStreamTest : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }

  // Binds text to source directly (the memory fast path) or, for the
  // parameter true, through a second text stream, so that every byte takes
  // the general path through the stream interface.
  void Bind(KQ_TTextStream& text, Source& source) {
    if (GetParam()) {
      fMiddle = source.Memory();
      text = static_cast<KQ_IStream&>(fMiddle);
    } else {
      text = source.Memory();
    }
  }

  KQ_TTextStream fMiddle;
};

TEST_P(TextStreamTest, DecodesUtf8AndPassesMalformedBytesThrough) {
  struct Case {
    Bytes bytes;
    std::u16string expected;
  };
  Case const cases[] = {
      {{'a', 'b'}, u"ab"},
      {{0xC3, 0xA4}, u"\u00E4"},
      {{0xC3, 0x41}, u"\u00C3A"},
      {{0xE2, 0x82, 0xAC}, u"\u20AC"},
      {{0xEF, 0xBF, 0xBF}, u"\uFFFF"},
      // A three-byte lead whose third byte is no continuation: both later
      // bytes are read again.
      {{0xE2, 0x82, 0x41}, u"\u00E2\u0082A"},
      // A lead byte followed by another lead.
      {{0xE2, 0xC3, 0xA4}, u"\u00E2\u00E4"},
      {{0x80, 0x41}, u"\u0080A"},
      {{0xBF, 0xFF, 0x41}, u"\u00BF\u00FFA"},
      // Four-byte sequences are not decoded: each byte comes alone.
      {{0xF0, 0x9F, 0x98, 0x80, 'x'}, u"\u00F0\u009F\u0098\u0080x"},
      // Overlong forms decode by the bit rules.
      {{0xC1, 0x81}, u"A"},
      {{0xE0, 0x80, 0x80, 'z'}, std::u16string(1, u'\0') + u"z"},
  };
  for (Case const& c : cases) {
    Source source(c.bytes);
    KQ_TTextStream text;
    Bind(text, source);
    EXPECT_EQ(ReadAll(text), c.expected) << "case of " << c.bytes.size() << " bytes";
  }
}

TEST_P(TextStreamTest, LeadByteAtTheEndRaisesEndReached) {
  Source source(Bytes{'A', 0xC3});
  KQ_TTextStream text;
  Bind(text, source);
  EXPECT_EQ(std::uint16_t{text.ReadUTF8Char()}, u'A');
  EXPECT_THROW(text.ReadUTF8Char(), KQ_EStreamEndReached);
  Source three(Bytes{0xE2, 0x82});
  Bind(text, three);
  EXPECT_THROW(text.ReadChar(), KQ_EStreamEndReached);
}

TEST_P(TextStreamTest, LineCountFollowsReadsAndPushback) {
  Source source(std::string("a\nb"));
  KQ_TTextStream text;
  Bind(text, source);
  EXPECT_EQ(text.Read(), 'a');
  EXPECT_EQ(text.LineNr(), 0u);
  EXPECT_EQ(text.Read(), '\n');
  EXPECT_EQ(text.LineNr(), 1u);
  text.Unread(static_cast<unsigned char>('\n'));
  EXPECT_EQ(text.LineNr(), 0u);
  EXPECT_EQ(text.Read(), '\n');
  EXPECT_EQ(text.LineNr(), 1u);
  EXPECT_EQ(text.Read(), 'b');
  EXPECT_EQ(text.LineNr(), 1u);

  // Giving back more line feeds than were counted stops at 0.
  text.Unread("\n\n\n", 3);
  EXPECT_EQ(text.LineNr(), 0u);
  char back[3];
  text.Read(back, 3);
  EXPECT_EQ(text.LineNr(), 3u);

  // A line feed read as the second byte of a broken sequence is given back
  // uncounted and counted when it is read for itself.
  Source broken(Bytes{0xC3, '\n', 'x'});
  Bind(text, broken);
  EXPECT_EQ(std::uint16_t{text.ReadChar()}, 0xC3);
  EXPECT_EQ(text.LineNr(), 0u);
  EXPECT_EQ(std::uint16_t{text.ReadChar()}, u'\n');
  EXPECT_EQ(text.LineNr(), 1u);

  // A character given back counts its line feed off.
  text.Unread(KQ_TUniChar(u'\n'));
  EXPECT_EQ(text.LineNr(), 0u);
}

TEST_P(TextStreamTest, BlockReadsTakePushbackFirstAndCountEveryLineFeed) {
  Source source(std::string("\nyz\nrest"));
  KQ_TTextStream text;
  Bind(text, source);
  text.Unread("x\n", 2);
  EXPECT_EQ(text.Available(), 10u);
  char buffer[5];
  text.Read(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "x\n\nyz");
  EXPECT_EQ(text.LineNr(), 2u);

  // Read(buffer, minimum, maximum): the pushback alone may satisfy it, and
  // the bound stream is asked only for what is still missing.
  text.Unread("ab", 2);
  char more[16];
  EXPECT_EQ(text.Read(more, 0, 2), 2u);
  EXPECT_EQ(std::string(more, 2), "ab");
  EXPECT_EQ(text.Available(), 5u);
  text.Unread("c", 1);
  EXPECT_EQ(text.Read(more, 3, 16), 6u);
  EXPECT_EQ(std::string(more, 6), "c\nrest");
  EXPECT_EQ(text.LineNr(), 3u);

  text.Unread("q", 1);
  EXPECT_THROW(text.Read(more, 2, 16), KQ_EStreamEndReached);
  EXPECT_THROW(text.Read(more, 1), KQ_EStreamEndReached);
}

TEST_P(TextStreamTest, UnreadRestoresOrderAndEncodesCharacters) {
  Source source(std::string("tail"));
  KQ_TTextStream text;
  Bind(text, source);
  text.Unread(KQ_TUniChar(std::uint16_t{0x20AC}));
  EXPECT_EQ(text.Available(), 7u);
  text.Unread(KQ_TUniChar(std::uint16_t{0x00E4}));
  text.Unread(KQ_TUniChar(u'a'));
  EXPECT_EQ(text.Available(), 10u);
  EXPECT_EQ(ReadAll(text), u"a\u00E4\u20ACtail");

  // A long pushback (far beyond any initial room) comes back in order.
  Source empty(std::string{});
  Bind(text, empty);
  std::string big;
  for (int i = 0; i < 10000; ++i) big += static_cast<char>('a' + i % 26);
  text.Unread(big.data(), Source::Length(big));
  text.Unread(static_cast<unsigned char>('!'));
  std::string back(big.size() + 1, '\0');
  text.Read(&back[0], Source::Length(back));
  EXPECT_EQ(back, "!" + big);
  EXPECT_EQ(text.Available(), 0u);
}

TEST_P(TextStreamTest, ReadTokenStopsAtDelimiters) {
  KQ_TTextStream text;
  {
    Source source(std::string(" Name{"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadToken(KQ_TString(" {"))), u"Name");
    EXPECT_EQ(std::uint16_t{text.ReadChar()}, u'{');
  }
  {
    // A non-white delimiter first gives an empty token and stays unread.
    Source source(std::string("{x"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadToken(KQ_TString(" {"))), u"");
    EXPECT_EQ(std::uint16_t{text.ReadChar()}, u'{');
  }
  {
    // Leading white space that is no delimiter belongs to the token;
    // white space among the delimiters is skipped only while it is empty.
    Source source(std::string("  ab,\t\tcd ,"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadToken(KQ_TString(","))), u"  ab");
    EXPECT_EQ(text.Read(), ',');
    EXPECT_EQ(U(text.ReadToken(KQ_TString(",\t "))), u"cd");
    EXPECT_EQ(text.Read(), ' ');
  }
  {
    // The limit, and a zero character: dropped, and ending a non-empty
    // token without being given back.
    Source source(std::string("abcdef\0\0gh;", 11));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadToken(4, KQ_TString(";"))), u"abcd");
    EXPECT_EQ(U(text.ReadToken(KQ_TString(";"))), u"ef");
    EXPECT_EQ(U(text.ReadToken(KQ_TString(";"))), u"gh");
    EXPECT_EQ(text.Read(), ';');
    EXPECT_EQ(U(text.ReadToken(0, KQ_TString(";"))), u"");
  }
  {
    // Non-ASCII delimiters and token characters.
    Source source(
        std::string("gr\xC3\xBC\xC3\x9F\xE2\x82\xAC"
                    "e"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadToken(KQ_TString(u"\u20AC"))), u"gr\u00FC\u00DF");
    EXPECT_EQ(text.LineNr(), 0u);
    EXPECT_EQ(std::uint16_t{text.ReadChar()}, 0x20AC);
  }
  {
    // The end of the data raises, also in the middle of a token.
    Source source(std::string("abc"));
    Bind(text, source);
    EXPECT_THROW(text.ReadToken(KQ_TString(" ")), KQ_EStreamEndReached);
  }
}

TEST_P(TextStreamTest, ReadSpanTakesMembersOfTheSet) {
  KQ_TTextStream text;
  KQ_TString const digits("0123456789");
  {
    Source source(std::string("  42,"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadSpan(digits)), u"42");
    // The comma was read and given back: the bound stream stands after it.
    EXPECT_EQ(text.Position(), 5u);
    EXPECT_EQ(text.Available(), 1u);
    EXPECT_EQ(text.Read(), ',');
  }
  {
    // A character outside the set that is not white space ends even an
    // empty span; white space inside the set is taken.
    Source source(std::string("x1 2 3y"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadSpan(digits)), u"");
    EXPECT_EQ(text.Read(), 'x');
    EXPECT_EQ(U(text.ReadSpan(KQ_TString("123 "))), u"1 2 3");
    EXPECT_EQ(text.Read(), 'y');
  }
  {
    // Line feeds skipped before the span are counted; the one that ends it
    // is given back and not counted.
    Source source(std::string("\n\n7\n"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadSpan(digits)), u"7");
    EXPECT_EQ(text.LineNr(), 2u);
    EXPECT_EQ(text.Read(), '\n');
    EXPECT_EQ(text.LineNr(), 3u);
  }
  {
    // Spans longer than the gathering piece, with and without a limit.
    std::string const longDigits(1000, '5');
    Source source(longDigits + "." + longDigits + ".");
    Bind(text, source);
    EXPECT_EQ(U(text.ReadSpan(digits)), std::u16string(1000, u'5'));
    EXPECT_EQ(text.Read(), '.');
    EXPECT_EQ(U(text.ReadSpan(300, digits)), std::u16string(300, u'5'));
    EXPECT_EQ(U(text.ReadSpan(digits)), std::u16string(700, u'5'));
  }
  {
    // Set members beyond ASCII, and a malformed byte that is not one.
    Source source(std::string("\xC3\xA4\xC3\xB6\xC3z"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadSpan(KQ_TString(u"\u00E4\u00F6"))), u"\u00E4\u00F6");
    EXPECT_EQ(std::uint16_t{text.ReadChar()}, 0xC3);
  }
}

TEST_P(TextStreamTest, ReadNCSpanComparesInLowerCase) {
  KQ_TTextStream text;
  {
    Source source(std::string("CAB "));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadNCSpan(KQ_TString("abc"))), u"CAB");
    EXPECT_EQ(text.Read(), ' ');
  }
  {
    // The set is lowered too, and the characters keep their own case.
    Source source(std::string("tRuE;"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadNCSpan(KQ_TString("TRUE"))), u"tRuE");
    EXPECT_EQ(text.Read(), ';');
  }
  {
    Source source(std::string("\xC3\x84\xC3\xA4\xCE\xA3x"));  // Ä ä Σ x
    Bind(text, source);
    EXPECT_EQ(U(text.ReadNCSpan(KQ_TString(u"\u00E4\u03C3"))), u"\u00C4\u00E4\u03A3");
    EXPECT_EQ(text.Read(), 'x');
  }
  {
    Source source(std::string("ABCD"));
    Bind(text, source);
    EXPECT_EQ(U(text.ReadNCSpan(2, KQ_TString("abcd"))), u"AB");
    EXPECT_EQ(U(text.ReadSpan(2, KQ_TString("abcd"))), u"");
    EXPECT_EQ(text.Read(), 'C');
  }
}

TEST_P(TextStreamTest, WritingCountsLineFeedsAndForwardsTheBytes) {
  KQ_TMemoryStream target;
  KQ_TTextStream text;
  if (GetParam()) {
    fMiddle = target;
    text = static_cast<KQ_IStream&>(fMiddle);
  } else {
    text = target;
  }
  text << "one\ntwo\n";
  EXPECT_EQ(text.LineNr(), 2u);
  text.Write(static_cast<unsigned char>('\n'));
  text.Write("x\ny", 3);
  text << static_cast<char const*>(nullptr);
  EXPECT_EQ(text.LineNr(), 4u);
  EXPECT_EQ(target.Size(), 12u);
  EXPECT_EQ(std::memcmp(target.Data(), "one\ntwo\n\nx\ny", 12), 0);
  EXPECT_TRUE(text.Flush());
}

INSTANTIATE_TEST_SUITE_P(DirectAndChained, TextStreamTest, ::testing::Bool());

TEST(TextStream, UnboundStreamRefusesEveryByteOperation) {
  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  KQ_TTextStream text;
  unsigned char byte = 0;
  EXPECT_FALSE(text.Readable());
  EXPECT_FALSE(text.Writable());
  EXPECT_FALSE(text.Markable());
  EXPECT_FALSE(text.Seekable());
  EXPECT_EQ(text.BoundStream(), nullptr);
  EXPECT_THROW(text.Read(), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Read(&byte, 1), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Read(&byte, 0, 1), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.ReadChar(), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.ReadUTF8Char(), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.ReadToken(KQ_TString(" ")), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.ReadSpan(KQ_TString("a")), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.ReadNCSpan(KQ_TString("a")), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Skip(1), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Write(byte), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Write(&byte, 1), KQ_EStreamIsNotBound);
  EXPECT_THROW(text << "x", KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Available(), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Close(), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Flush(), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Mark(1, 0), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.ClearMark(1), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Rewind(1), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Position(), KQ_EStreamIsNotBound);
  EXPECT_THROW(text.Seek(0), KQ_EStreamIsNotBound);
  // Pushback bytes do not make an unbound stream readable.
  text.Unread(static_cast<unsigned char>('a'));
  EXPECT_THROW(text.Read(&byte, 1), KQ_EStreamIsNotBound);
}

TEST(TextStream, BindingForwardingAndClosing) {
  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  KQ_TMemoryStream memory;
  memory.Write("ab\ncd\nef", 8);
  memory.Seek(0);
  KQ_TTextStream text(memory);
  EXPECT_TRUE(text.Readable());
  EXPECT_TRUE(text.Seekable());
  EXPECT_EQ(text.BoundStream(), &memory);

  // Skip reads byte by byte, so it counts line feeds.
  EXPECT_TRUE(text.Skip(4));
  EXPECT_EQ(text.LineNr(), 1u);

  // Marks and positions are the bound stream's; pushback and line count
  // stay as they are.
  text.Unread(static_cast<unsigned char>('Z'));
  EXPECT_EQ(text.Position(), 4u);
  text.Mark(3, 0);
  EXPECT_EQ(text.Seek(7), 4u);
  EXPECT_EQ(text.Read(), 'Z');
  EXPECT_EQ(text.Read(), 'f');
  text.Rewind(3);
  EXPECT_EQ(text.Read(), 'd');
  EXPECT_EQ(text.LineNr(), 1u);
  text.ClearMark(3);

  // Rebinding resets the line count and the pushback; binding to itself
  // changes nothing.
  text.Unread(static_cast<unsigned char>('Q'));
  text = static_cast<KQ_IStream&>(text);
  EXPECT_EQ(text.LineNr(), 1u);
  EXPECT_EQ(text.Read(), 'Q');
  KQ_TMemoryStream other;
  other.Write("k", 1);
  other.Seek(0);
  text.Unread(static_cast<unsigned char>('Q'));
  text = other;
  EXPECT_EQ(text.LineNr(), 0u);
  EXPECT_EQ(text.Available(), 1u);
  EXPECT_EQ(text.Read(), 'k');

  // Close empties the pushback and closes the bound stream.
  other.Write("lm", 2);
  other.Seek(1);
  text.Unread("xyz", 3);
  EXPECT_EQ(text.Available(), 5u);
  EXPECT_TRUE(text.Close());
  EXPECT_EQ(text.Available(), other.Available());

  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t const*>(KQ_TTextStream::sWhiteSpace.Units()),
                           KQ_TTextStream::sWhiteSpace.Length()),
            u" \t\n\r");
}

TEST(TextStream, DataStreamAsBoundStream) {
  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  // A filter of another kind below the text stream: reads pass through it.
  KQ_TMemoryStream memory;
  memory.Write("\xE2\x82\xAC\n", 4);
  memory.Seek(0);
  KQ_TDataStream data(memory);
  KQ_TTextStream text(data);
  EXPECT_EQ(std::uint16_t{text.ReadChar()}, 0x20AC);
  EXPECT_EQ(std::uint16_t{text.ReadChar()}, u'\n');
  EXPECT_EQ(text.LineNr(), 1u);
}

}  // namespace
