// The class-registration debug switch is read once per process, so it is
// tested in a program of its own.
#include <gtest/gtest.h>

#include <string>

#include "kq_tobject.h"
#include "pathbridge.h"

class KQ_TDebugProbe : public KQ_TObject {
  KQ_CLASS(KQ_TDebugProbe, KQ_TObject)
};
KQ_CLASS_IMPL(KQ_TDebugProbe)

TEST(ClassDebugSwitch, FirstRegistrationOfANameIsReported) {
  ASSERT_EQ(putenv_utf8("DEBUG_KQTCLASS=1yes"), 0);
  testing::internal::CaptureStdout();
  KQ_TDebugProbe probe;
  EXPECT_STREQ(probe.ClassName(), "KQ_TDebugProbe");
  EXPECT_STREQ(KQ_TDebugProbe::KQ_ClassName(), "KQ_TDebugProbe");
  // Looking up an existing record prints nothing.
  KQ_TClass::GetClassObject(false, "KQ_TDebugProbe", 0, nullptr, nullptr, nullptr);
  std::string const out = testing::internal::GetCapturedStdout();
  std::string const line = "GetClassObject KQ_TDebugProbe\n";
  std::size_t const at = out.find(line);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.find(line, at + 1), std::string::npos) << out;
}
