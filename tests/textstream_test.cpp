// The text stream: UTF-8 decoding, pushback and line count, the scanners, and
// the stream operations forwarded to the bound stream.
#include <gtest/gtest.h>

#include <list>
#include <map>

#include "kq_initialization.h"
#include "kq_tstring.h"
#include "kq_ttextstream.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

std::u16string U(KQ_TString const& s) {
  return std::u16string(reinterpret_cast<char16_t const*>(s.Units()), s.Length());
}

char16_t Unit(KQ_TUniChar c) { return static_cast<char16_t>(std::uint16_t{c}); }

class TextStreamTest : public ::testing::TestWithParam<bool> {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }

  // Binds fText to memory holding bytes: directly (the fast path) or, for the
  // parameter true, through a second text stream (the general path).
  KQ_TTextStream& Bind(std::string const& bytes) {
    KQ_TMemoryStream& memory = fSources.emplace_back();
    kqtest::WriteText(memory, bytes);
    memory.Seek(0);
    return Bind(memory);
  }
  KQ_TTextStream& Bind(KQ_TMemoryStream& memory) {
    if (GetParam()) {
      fMiddle = memory;
      fText = static_cast<KQ_IStream&>(fMiddle);
    } else {
      fText = memory;
    }
    return fText;
  }

  // Every unit ReadChar delivers until the bound stream ends.
  std::u16string ReadAll() {
    std::u16string units;
    while (fText.Available() > 0) units += Unit(fText.ReadChar());
    return units;
  }

  std::list<KQ_TMemoryStream> fSources;
  KQ_TTextStream fMiddle;
  KQ_TTextStream fText;
};

TEST_P(TextStreamTest, DecodesUtf8AndPassesMalformedBytesThrough) {
  struct Case {
    std::string bytes;
    std::u16string expected;
  };
  Case const cases[] = {{"\xC3\xA4", u"\u00E4"},
                        {"\xC3\x41", u"\u00C3A"},
                        {"\xE2\x82\xAC", u"\u20AC"},
                        // A bad third byte: both later bytes are read again.
                        {"\xE2\x82\x41", u"\u00E2\u0082A"},
                        // A lead byte followed by another lead.
                        {"\xE2\xC3\xA4", u"\u00E2\u00E4"},
                        // Four-byte sequences are not decoded: each byte comes alone.
                        {"\xF0\x9F\x98\x80x", u"\u00F0\u009F\u0098\u0080x"},
                        // Overlong forms decode by the bit rules.
                        {"\xC1\x81", u"A"},
                        {"\xE0\x80\x80z", u"\0z"s}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.bytes);
    Bind(c.bytes);
    EXPECT_EQ(ReadAll(), c.expected);
  }
  // A sequence cut by the end raises rather than give its lead alone.
  Bind("A\xC3");
  EXPECT_EQ(Unit(fText.ReadUTF8Char()), u'A');
  EXPECT_THROW(fText.ReadUTF8Char(), KQ_EStreamEndReached);
}

TEST_P(TextStreamTest, LineCountFollowsReadsAndPushback) {
  KQ_TTextStream& text = Bind("a\nb");
  EXPECT_EQ(text.Read(), 'a');
  EXPECT_EQ(text.LineNr(), 0u);
  EXPECT_EQ(text.Read(), '\n');
  EXPECT_EQ(text.LineNr(), 1u);
  text.Unread(static_cast<unsigned char>('\n'));
  EXPECT_EQ(text.LineNr(), 0u);
  EXPECT_EQ(text.Read(), '\n');
  EXPECT_EQ(text.Read(), 'b');
  EXPECT_EQ(text.LineNr(), 1u);
  // Giving back more line feeds than were counted stops at 0.
  text.Unread("\n\n\n", 3);
  EXPECT_EQ(text.LineNr(), 0u);
  char back[3];
  text.Read(back, 3);
  EXPECT_EQ(text.LineNr(), 3u);

  // A line feed ending a broken sequence is counted when read for itself.
  Bind("\xC3\nx");
  EXPECT_EQ(Unit(text.ReadChar()), 0xC3);
  EXPECT_EQ(text.LineNr(), 0u);
  EXPECT_EQ(Unit(text.ReadChar()), u'\n');
  EXPECT_EQ(text.LineNr(), 1u);
}

TEST_P(TextStreamTest, BlockReadsTakePushbackFirstAndCountEveryLineFeed) {
  KQ_TTextStream& text = Bind("\nyz\nrest");
  text.Unread("x\n", 2);
  EXPECT_EQ(text.Available(), 10u);
  char buffer[16];
  text.Read(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "x\n\nyz");
  EXPECT_EQ(text.LineNr(), 2u);

  // The pushback may satisfy Read(buffer, min, max); the rest comes after.
  text.Unread("ab", 2);
  EXPECT_EQ(text.Read(buffer, 0, 2), 2u);
  EXPECT_EQ(std::string(buffer, 2), "ab");
  EXPECT_EQ(text.Available(), 5u);
  // One byte of the minimum comes from the pushback: four of the five left.
  text.Unread("c", 1);
  EXPECT_EQ(text.Read(buffer, 5, 16), 6u);
  EXPECT_EQ(std::string(buffer, 6), "c\nrest");
  EXPECT_EQ(text.LineNr(), 3u);
  text.Unread("q", 1);
  EXPECT_THROW(text.Read(buffer, 2, 16), KQ_EStreamEndReached);
  EXPECT_THROW(text.Read(buffer, 1), KQ_EStreamEndReached);
}

TEST_P(TextStreamTest, UnreadRestoresOrderAndEncodesCharacters) {
  KQ_TTextStream& text = Bind("tail");
  text.Unread(KQ_TUniChar(std::uint16_t{0x20AC}));
  text.Unread(KQ_TUniChar(std::uint16_t{0x00E4}));
  text.Unread(KQ_TUniChar(u'a'));
  EXPECT_EQ(text.Available(), 10u);
  EXPECT_EQ(ReadAll(), u"a\u00E4\u20ACtail");

  // A long pushback (far beyond any initial room) comes back in order.
  Bind("");
  std::string big;
  for (int i = 0; i < 10000; ++i) big += static_cast<char>('a' + i % 26);
  text.Unread(big.data(), static_cast<std::uint32_t>(big.size()));
  std::string back(big.size(), '\0');
  text.Read(&back[0], static_cast<std::uint32_t>(back.size()));
  EXPECT_EQ(back, big);
}

// A scanner with its set, limit and result; a single read; or the line count.
struct Step {
  char op;  // T ReadToken, S ReadSpan, N ReadNCSpan, b Read, c ReadChar, l LineNr
  std::u16string set;
  std::u16string want;                           // for b and c the unit
  std::uint32_t max = KQ_TTextStream::kNoLimit;  // for l the line
};

TEST_P(TextStreamTest, ScannersStopAtTheFirstCharacterOutsideTheirSet) {
  struct Script {
    std::string bytes;
    std::vector<Step> steps;
  };
  std::string const longDigits(1000, '5');
  Script const scripts[] = {
      // A non-white delimiter first gives an empty token and stays unread.
      {"{x", {{'T', u" {", u""}, {'c', u"", u"{"}}},
      // Leading blanks that are no delimiter are the token's; delimiting ones
      // are skipped while it is empty.
      {"  ab,\t\tcd ,",
       {{'T', u",", u"  ab"}, {'b', u"", u","}, {'T', u",\t ", u"cd"}, {'b', u"", u" "}}},
      // The limit; a zero character is dropped and ends a non-empty token.
      {"abcdef\0\0gh;"s,
       {{'T', u";", u"abcd", 4},
        {'T', u";", u"ef"},
        {'T', u";", u"gh"},
        {'b', u"", u";"},
        {'T', u";", u"", 0}}},
      // A non-blank outside the set ends even an empty span; blanks in it count.
      {"x1 2 3y",
       {{'S', u"0123456789", u""}, {'b', u"", u"x"}, {'S', u"123 ", u"1 2 3"}, {'b', u"", u"y"}}},
      // Spans longer than the gathering piece, with and without a limit.
      {longDigits + "." + longDigits + ".",
       {{'S', u"0123456789", std::u16string(1000, u'5')},
        {'b', u"", u"."},
        {'S', u"0123456789", std::u16string(300, u'5'), 300},
        {'S', u"0123456789", std::u16string(700, u'5')}}},
      // Set members beyond ASCII, and a malformed byte that is not one.
      {"\xC3\xA4\xC3\xB6\xC3z", {{'S', u"\u00E4\u00F6", u"\u00E4\u00F6"}, {'c', u"", u"\u00C3"}}},
      // ReadNCSpan lowers the set and the input, and keeps the input's case.
      {"\xC3\x84\xC3\xA4\xCE\xA3x",
       {{'N', u"\u00E4\u03C3", u"\u00C4\u00E4\u03A3"}, {'b', u"", u"x"}}},
      {"ABCD", {{'N', u"abcd", u"AB", 2}, {'S', u"abcd", u"", 2}, {'b', u"", u"C"}}}};
  using Limited = KQ_TString (KQ_TTextStream::*)(std::uint32_t, KQ_TString const&);
  using Unlimited = KQ_TString (KQ_TTextStream::*)(KQ_TString const&);
  std::map<char, std::pair<Limited, Unlimited>> const scanners = {
      {'T', {&KQ_TTextStream::ReadToken, &KQ_TTextStream::ReadToken}},
      {'S', {&KQ_TTextStream::ReadSpan, &KQ_TTextStream::ReadSpan}},
      {'N', {&KQ_TTextStream::ReadNCSpan, &KQ_TTextStream::ReadNCSpan}}};
  for (Script const& script : scripts) {
    SCOPED_TRACE(script.bytes.substr(0, 20));
    KQ_TTextStream& text = Bind(script.bytes);
    for (Step const& step : script.steps) {
      SCOPED_TRACE(step.op);
      KQ_TString const set(reinterpret_cast<std::uint16_t const*>(step.set.data()),
                           static_cast<std::uint32_t>(step.set.size()));
      auto const scan = scanners.find(step.op);
      if (scan != scanners.end()) {
        auto const [limited, unlimited] = scan->second;
        EXPECT_EQ(U(step.max == KQ_TTextStream::kNoLimit ? (text.*unlimited)(set)
                                                         : (text.*limited)(step.max, set)),
                  step.want);
      } else if (step.op == 'l') {
        EXPECT_EQ(text.LineNr(), step.max);
      } else {
        EXPECT_EQ(step.op == 'b' ? text.Read() : Unit(text.ReadChar()), step.want[0]);
      }
    }
  }
  // The end of the data raises, also in the middle of a token.
  KQ_TTextStream& text = Bind("abc");
  EXPECT_THROW(text.ReadToken(KQ_TString(" ")), KQ_EStreamEndReached);
}

TEST_P(TextStreamTest, WritingCountsLineFeedsAndForwardsTheBytes) {
  KQ_TMemoryStream target;
  KQ_TTextStream& text = Bind(target);
  text << "one\ntwo\n";
  EXPECT_EQ(text.LineNr(), 2u);
  text.Write(static_cast<unsigned char>('\n'));
  text.Write("x\ny", 3);
  EXPECT_EQ(text.LineNr(), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char const*>(target.Data()), target.Size()),
            "one\ntwo\n\nx\ny");
}

INSTANTIATE_TEST_SUITE_P(DirectAndChained, TextStreamTest, ::testing::Bool());

TEST(TextStream, UnboundStreamRefusesEveryByteOperation) {
  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  KQ_TTextStream text;
  kqtest::ExpectUnboundRefuses(
      text, {[&] { text.ReadChar(); }, [&] { text.ReadUTF8Char(); },
             [&] { text.ReadToken(KQ_TString(" ")); }, [&] { text.ReadSpan(KQ_TString("a")); },
             [&] { text << "x"; }});
  // Pushback bytes do not make an unbound stream readable.
  unsigned char byte = 'a';
  text.Unread(byte);
  EXPECT_EQ(kqtest::Raised([&] { text.Read(&byte, 1); }), "KQ_EStreamIsNotBound");
}

TEST(TextStream, BindingForwardingAndClosing) {
  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  KQ_TMemoryStream memory;
  memory.Write("ab\ncd\nef", 8);
  memory.Seek(0);
  KQ_TTextStream text(memory);
  EXPECT_TRUE(text.Readable() && text.Seekable());

  // Skip reads byte by byte, so it counts line feeds.
  EXPECT_TRUE(text.Skip(4));
  EXPECT_EQ(text.LineNr(), 1u);

  // Marks and positions are the bound stream's; pushback and lines stay.
  text.Unread(static_cast<unsigned char>('Z'));
  EXPECT_EQ(text.Position(), 4u);
  text.Mark(3, 0);
  EXPECT_EQ(text.Seek(7), 4u);
  EXPECT_EQ(text.Read(), 'Z');
  EXPECT_EQ(text.Read(), 'f');
  text.Rewind(3);
  EXPECT_EQ(text.Read(), 'd');

  // Rebinding resets lines and pushback; binding to itself changes nothing.
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
  EXPECT_EQ(text.Read(), 'k');

  // Close empties the pushback and closes the bound stream.
  other.Write("lm", 2);
  other.Seek(1);
  text.Unread("xyz", 3);
  EXPECT_EQ(text.Available(), 5u);
  EXPECT_TRUE(text.Close());
  EXPECT_EQ(text.Available(), other.Available());
}

}  // namespace
