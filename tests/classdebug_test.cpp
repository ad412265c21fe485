// The class-registration debug switch is read once per process, when the
// first record is registered while the library loads, so this program runs
// with DEBUG_KQTCLASS set from the start (see tests/CMakeLists.txt).
#include <gtest/gtest.h>

#include <string>

#include "kq_tclass.h"
#include "kq_tobject.h"

class KQ_TDebugProbe : public KQ_TObject {
  KQ_CLASS(KQ_TDebugProbe, KQ_TObject)
};
KQ_CLASS_IMPL(KQ_TDebugProbe)

TEST(ClassDebugSwitch, FirstRegistrationOfANameIsReported) {
  // Registered while the program loaded: known by name before any use.
  EXPECT_NE(KQ_TClass::FindClass("KQ_TDebugProbe"), nullptr);
  testing::internal::CaptureStdout();
  KQ_TClass::GetClassObject(false, "KQ_TDebugProbeLate", 0, nullptr, nullptr, nullptr);
  // Looking up an existing record prints nothing.
  KQ_TClass::GetClassObject(false, "KQ_TDebugProbeLate", 0, nullptr, nullptr, nullptr);
  KQ_TDebugProbe probe;
  EXPECT_STREQ(probe.ClassName(), "KQ_TDebugProbe");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetClassObject KQ_TDebugProbeLate\n");
}
