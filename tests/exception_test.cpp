// Exceptions: raising, message completion, stack traces, the printed layout,
// packing through class sections and the whole exception tree.
#include <cerrno>

#include "kq_tstackentry.h"
#include "pathbridge.h"
#include "test_support.h"

namespace {

using kqtest::Printed;

// Sets KQ_STACKTRACE for one scope.
class StackTraceSetting {
 public:
  explicit StackTraceSetting(char const* value) {
    std::string assignment = std::string("KQ_STACKTRACE=") + value;
    putenv_utf8(assignment.c_str());
  }
  ~StackTraceSetting() { putenv_utf8("KQ_STACKTRACE=0"); }
};

int gRaiseLine = 0;

__attribute__((noinline)) void RaiseCouldNotOpenFile() {
  gRaiseLine = __LINE__ + 1;
  KQ_THROW(KQ_ECouldNotOpenFile("cannot open"));
}

KQ_TStackEntry const& EntryAt(KQ_TList const& trace, std::uint32_t index) {
  return *static_cast<KQ_TStackEntry const*>(trace.ObjectAt(index).KQ_Cast("KQ_TStackEntry"));
}

}  // namespace

TEST(Exception, RaisingCarriesThePlaceAndTheMostDerivedType) {
  StackTraceSetting off("0");
  try {
    RaiseCouldNotOpenFile();
    FAIL() << "no exception";
  } catch (KQ_EFileException const& e) {
    EXPECT_STREQ(e.ClassName(), "KQ_ECouldNotOpenFile");
    EXPECT_EQ(e.KQ_ExceptionLine(), static_cast<std::uint32_t>(gRaiseLine));
    EXPECT_EQ(e.KQ_ExceptionFile(), KQ_TString(__FILE__));
    EXPECT_EQ(e.KQ_Message(), KQ_TString("cannot open"));
    EXPECT_EQ(e.KQ_StackTrace().Entries(), 1u);
    EXPECT_EQ(EntryAt(e.KQ_StackTrace(), 0).FunctionName().Length(), 0u);
  }
}

TEST(Exception, EmptyMessagesAreCompletedFromThePendingError) {
  StackTraceSetting off("0");
  errno = 0;
  KQ_EStreamIOError plain;
  plain.__PREPARE_FOR_THROW__(1, "f");
  EXPECT_EQ(plain.KQ_Message(), KQ_TString("KQ_EStreamIOError"));

  EXPECT_EQ(std::fopen("/nonexistent/kqtypes/file", "r"), nullptr);
  ASSERT_EQ(errno, 2);
  KQ_ECouldNotOpenFile failed;
  failed.__PREPARE_FOR_THROW__(1, "f");
  EXPECT_EQ(failed.KQ_Message(), KQ_TString("KQ_ECouldNotOpenFile: No such file or directory"));
  EXPECT_EQ(errno, 0);

  // A message that is already there is never changed, and the error stays.
  errno = 2;
  KQ_ECouldNotOpenFile withMessage(KQ_TString("mine"));
  withMessage.__PREPARE_FOR_THROW__(1, "f");
  EXPECT_EQ(withMessage.KQ_Message(), KQ_TString("mine"));
  EXPECT_EQ(errno, 2);
  errno = 0;

  // Preparing twice rebuilds the trace instead of adding to it.
  withMessage.__PREPARE_FOR_THROW__(7, "g");
  EXPECT_EQ(withMessage.KQ_StackTrace().Entries(), 1u);
}

TEST(Exception, EveryExceptionIsAStdExceptionNamingItselfInUtf8) {
  StackTraceSetting off("0");
  std::uint16_t const umlaut[] = {u'\u00e4', 0xD83D, 0xDE00, 0};
  std::pair<std::function<void()>, char const*> const cases[] = {
      {[] { KQ_THROW(KQ_EStreamEndReached()); }, "KQ_EStreamEndReached"},
      {[&] { KQ_THROW(KQ_EHRSyntaxError(KQ_TString(umlaut))); },
       "KQ_EHRSyntaxError: \xC3\xA4\xF0\x9F\x98\x80"},
      {[] { KQ_THROW(KQ_EIllegalCast(KQ_TString("KQ_EIllegalCastX"))); },
       "KQ_EIllegalCast: KQ_EIllegalCastX"}};
  for (auto const& [raise, what] : cases) {
    try {
      raise();
      ADD_FAILURE() << "nothing raised";
    } catch (std::exception const& e) {
      EXPECT_STREQ(e.what(), what);
    }
  }
}

TEST(Exception, StackTraceSwitch) {
  for (char const* off : {"0", "abc", ""}) {
    StackTraceSetting setting(off);
    KQ_EException e;
    e.__PREPARE_FOR_THROW__(3, "site.cpp");
    EXPECT_EQ(e.KQ_StackTrace().Entries(), 1u) << off;
  }
  for (char const* on : {"1", "7"}) {
    StackTraceSetting setting(on);
    try {
      RaiseCouldNotOpenFile();
    } catch (KQ_EException const& e) {
      ASSERT_GT(e.KQ_StackTrace().Entries(), 1u) << on;
      KQ_TStackEntry const& first = EntryAt(e.KQ_StackTrace(), 0);
      EXPECT_NE(std::string(first.FunctionName().UTF8()).find("RaiseCouldNotOpenFile"),
                std::string::npos);
      EXPECT_NE(std::string(first.FileName().UTF8()).find("exception_test.cpp"), std::string::npos);
      EXPECT_EQ(first.LineNr(), static_cast<std::uint32_t>(gRaiseLine));
      // The test body that called the raising function follows.
      std::string const caller = EntryAt(e.KQ_StackTrace(), 1).FunctionName().UTF8();
      EXPECT_NE(caller.find("StackTraceSwitch"), std::string::npos) << caller;
    }
  }
}

TEST(Exception, PrintedLayoutGivesClassPlaceMessageDataAndTrace) {
  StackTraceSetting off("0");
  KQ_ECouldNotOpenFile e(KQ_TString("M"));
  e.__PREPARE_FOR_THROW__(120, "F");
  EXPECT_EQ(Printed(e),
            "Exception of class KQ_ECouldNotOpenFile\nraised at line 120 of file \"F\"\n"
            "Additional message:\n  M\nStack trace:\n  [1] <unnamed> in F at line 120\n");

  // Indentation 4: every line but the first gets four blanks, the message
  // and the entries six; data come between message and trace.
  KQ_EIllegalCast withData(KQ_TString("M"), KQ_TAny(static_cast<std::int32_t>(17)));
  withData.__PREPARE_FOR_THROW__(9, "G");
  KQ_IPrintable::SetIndentation(4);
  std::string const printed = Printed(withData);
  KQ_IPrintable::SetIndentation(0);
  EXPECT_EQ(printed,
            "Exception of class KQ_EIllegalCast\n    raised at line 9 of file \"G\"\n"
            "    Additional message:\n      M\n    Additional data:\n      17\n"
            "    Stack trace:\n      [1] <unnamed> in G at line 9\n");
}

TEST(StackEntry, PrintingAndComparison) {
  EXPECT_EQ(Printed(KQ_TStackEntry()), "<unnamed>");
  EXPECT_EQ(Printed(KQ_TStackEntry("", "", 12)), "<unnamed> at line 12");
  KQ_TStackEntry a("f", "a.cpp", 3);
  EXPECT_EQ(a, KQ_TStackEntry(KQ_TString("f"), KQ_TString("a.cpp"), 3));
  EXPECT_NE(a, KQ_TStackEntry("f", "a.cpp", 4));
  EXPECT_FALSE(a.KQ_IsIdent(KQ_TString("f")));
}

// A new exception has no place, one empty trace entry and no data;
// identity ignores the data but not the message or the place.
TEST(Exception, IdentityIgnoresData) {
  StackTraceSetting off("0");
  KQ_EException a(KQ_TString("m"), KQ_TAny(static_cast<std::int32_t>(1)));
  KQ_EException b(KQ_TString("m"), KQ_TAny(static_cast<std::int32_t>(2)));
  EXPECT_TRUE(KQ_EException().KQ_Data().IsIllegal());
  EXPECT_TRUE(a.KQ_IsIdent(b));
  EXPECT_FALSE(a.KQ_IsIdent(KQ_EException(KQ_TString("other"))));
  b.__PREPARE_FOR_THROW__(5, "x");
  EXPECT_FALSE(a.KQ_IsIdent(b));
  EXPECT_FALSE(a.KQ_IsIdent(KQ_TString("m")));
  EXPECT_TRUE(std::unique_ptr<KQ_IPackable>(b.KQ_Clone())->KQ_IsIdent(b));
}

// Every class of the tree: its parent, its factory, a throw that a handler
// for the parent catches and its clone.
template <class X, class Parent>
void CheckTreeMember(char const* name, char const* parentName) {
  SCOPED_TRACE(name);
  EXPECT_STREQ(X::KQ_ParentClass()->ClassName(), parentName);
  std::unique_ptr<KQ_TObject> created(KQ_TClass::FindClass(name)->CreateInstance());
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(created->ClassName(), name);
  auto* throwable = static_cast<KQ_IThrowable*>(created->KQ_Cast("KQ_IThrowable"));
  ASSERT_NE(throwable, nullptr);
  EXPECT_THROW(throwable->KQ_Throw(), Parent);
  EXPECT_EQ(kqtest::Raised([throwable] { throwable->KQ_Throw(); }), name);
  std::unique_ptr<KQ_IPackable> clone(X(KQ_TString("m")).KQ_Clone());
  EXPECT_STREQ(clone->ClassName(), name);
}

TEST(ExceptionTree, EveryClassIsMadeByNameAndCaughtAsItsParent) {
#define KQ_CHECK_MEMBER_(X, Parent) CheckTreeMember<X, Parent>(#X, #Parent);
  KQ_EXCEPTION_TREE(KQ_CHECK_MEMBER_)
#undef KQ_CHECK_MEMBER_
}
