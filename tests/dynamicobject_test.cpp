// Dynamic objects: loading, failures, symbols, copies and the search path.
#include <dlfcn.h>

#include "kq_tdynamicobject.h"
#include "kq_tunknown.h"
#include "kq_turl.h"
#include "test_support.h"

namespace {

using kqtest::RaisedMessage;

bool IsLoaded(char const* path) {
  void* const handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

template <class Function>
Function Symbol(KQ_TDynamicObject const& module, char const* name) {
  return reinterpret_cast<Function>(module[name]);
}

using Count = std::int32_t (*)();
using PointIs = bool (*)(KQ_IInterface const*, std::int32_t, std::int32_t);

// Runs in a process of its own, in which the module has not been loaded.
void LoadTheSampleModuleLate() {
  ASSERT_EQ(KQ_TClass::FindClass("KQ_TSamplePoint"), nullptr);
  // The loader alone does not find the library the module needs.
  ASSERT_EQ(dlopen(KQ_SAMPLE_MODULE, RTLD_NOW), nullptr);

  // A point (3, -4) as another process would have packed it.
  kqtest::Bytes const content =
      kqtest::PackedBy([](KQ_TDataStream& data) { data << std::int32_t{3} << std::int32_t{-4}; });
  KQ_TUnknown sent("KQ_TSamplePoint", content.data(), static_cast<std::uint32_t>(content.size()));
  sent.SetLength(static_cast<std::uint32_t>(content.size()));
  kqtest::Input input(kqtest::Packed(sent));
  std::unique_ptr<KQ_IPackable> read(input.data.Extract(true));
  auto* const unknown = static_cast<KQ_TUnknown*>(read->KQ_Cast("KQ_TUnknown"));
  ASSERT_NE(unknown, nullptr);
  EXPECT_STREQ(unknown->ClassName(), "ILLEGAL");

  KQ_TDynamicObject module(KQ_SAMPLE_MODULE, "kq_samplemodule");
  EXPECT_EQ(Symbol<Count>(module, "SampleInitializations")(), 1);
  EXPECT_EQ(Symbol<Count>(module, "SampleNeighbourAnswer")(), 42);
  auto const pointIs = Symbol<PointIs>(module, "SamplePointIs");
  EXPECT_STREQ(unknown->ClassName(), "KQ_TSamplePoint");
  EXPECT_TRUE(pointIs(unknown, 3, -4));

  KQ_TClass const* const record = KQ_TClass::FindClass("KQ_TSamplePoint");
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->IsInitialized());
  std::unique_ptr<KQ_TObject> created(record->CreateInstance());
  EXPECT_TRUE(pointIs(created.get(), 0, 0));

  // Released, the module stays, and so do its records.
  module = KQ_TDynamicObject();
  EXPECT_TRUE(IsLoaded(KQ_SAMPLE_MODULE));
}

TEST(DynamicObject, AModuleLoadedLateBringsItsNeighbourAndItsClasses) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        LoadTheSampleModuleLate();
        std::exit(::testing::Test::HasFailure() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(DynamicObject, FailuresCarryTheLoadersTextAndLeaveNothingLoaded) {
  std::string const notAModule = ::testing::TempDir() + "kq_not_a_module.so";
  std::ofstream(notAModule) << std::string(200, 'x');
  struct Case {
    std::string path;
    char const* name;
    std::string message;
  };
  Case const cases[] = {
      {"/nonexistent/libkq_missing.so", "kq_missing",
       "KQ_ECouldNotLoadDynamicObject: /nonexistent/libkq_missing.so: cannot open shared object "
       "file: No such file or directory"},
      {notAModule, "", "KQ_ECouldNotLoadDynamicObject: " + notAModule + ": invalid ELF header"},
      {"", "", "KQ_ECouldNotLoadDynamicObject: No such file or directory"},
      {KQ_PLAIN_MODULE, "kq_plainmodule", "Initialization Failed"},
      {KQ_FAILING_MODULE, "kq_failingmodule", "Initialization Failed"},
      {KQ_SAMPLE_MODULE, "kq_othermodule", "Initialization Failed"},
  };
  for (Case const& c : cases) {
    KQ_TAny data;
    EXPECT_EQ(RaisedMessage([&] { KQ_TDynamicObject(KQ_TString(c.path.c_str()), c.name); }, &data),
              "KQ_ECouldNotLoadDynamicObject|" + c.message);
    EXPECT_TRUE(data == KQ_TAny(KQ_TString(c.path.c_str()))) << c.path;
  }
  std::remove(notAModule.c_str());
  EXPECT_FALSE(IsLoaded(KQ_PLAIN_MODULE));
  // A module whose classes registered stays, and so do its records.
  EXPECT_TRUE(IsLoaded(KQ_FAILING_MODULE));
  KQ_TClass const* const gadget = KQ_TClass::FindClass("KQ_TFailingGadget");
  ASSERT_NE(gadget, nullptr);
  EXPECT_STREQ(std::unique_ptr<KQ_TObject>(gadget->CreateInstance())->ClassName(),
               "KQ_TFailingGadget");
}

TEST(DynamicObject, SymbolsOfALoadedModuleAndAReferenceInEveryCopy) {
  KQ_TAny data;
  EXPECT_EQ(RaisedMessage([] { KQ_TDynamicObject()["PlainModuleValue"]; }, &data),
            "KQ_EDynamicObjectIsNotLoaded|KQ_EDynamicObjectIsNotLoaded");
  EXPECT_TRUE(data == KQ_TAny(KQ_TString("PlainModuleValue")));
  ASSERT_FALSE(IsLoaded(KQ_PLAIN_MODULE));
  {
    auto first = std::make_unique<KQ_TDynamicObject>(KQ_PLAIN_MODULE, "");
    KQ_TDynamicObject second(*first);
    KQ_TDynamicObject third;
    third = second;
    EXPECT_EQ(third.Path(), KQ_TString(KQ_PLAIN_MODULE));
    first.reset();
    second = KQ_TDynamicObject();
    EXPECT_TRUE(IsLoaded(KQ_PLAIN_MODULE));
    EXPECT_EQ(Symbol<int (*)()>(third, "PlainModuleValue")(), 7);
    EXPECT_EQ(RaisedMessage([&] { third["NoSuchSymbol"]; }, &data),
              std::string("KQ_EDynamicObjectSymbolNotFound|KQ_EDynamicObjectSymbolNotFound: ") +
                  KQ_PLAIN_MODULE + ": undefined symbol: NoSuchSymbol");
    EXPECT_TRUE(data == KQ_TAny(KQ_TString("NoSuchSymbol")));
  }
  EXPECT_FALSE(IsLoaded(KQ_PLAIN_MODULE));

  // Assigning a path initialises the module its file name gives.
  KQ_TDynamicObject probe(KQ_TURL::LocalToURL(KQ_SAMPLE_MODULE), "");
  std::int32_t const before = Symbol<Count>(probe, "SampleInitializations")();
  KQ_TDynamicObject byPath;
  byPath = KQ_TString(KQ_SAMPLE_MODULE);
  EXPECT_EQ(Symbol<Count>(probe, "SampleInitializations")(), before + 1);
  EXPECT_THROW(byPath = KQ_TString(KQ_PLAIN_MODULE), KQ_ECouldNotLoadDynamicObject);
  EXPECT_FALSE(byPath.IsLoaded());
}

TEST(DynamicObject, LoadingPutsTheModulesDirectoryInFrontOfPath) {
  char const* const saved = std::getenv("PATH");
  std::string const original = saved != nullptr ? saved : "";
  struct Case {
    char const* before;  // null: PATH unset
    char const* module;
    char const* after;
  };
  Case const cases[] = {
      {"/usr/bin:/bin", "/kq/mods/liba.so", "/kq/mods:/usr/bin:/bin"},
      {"/kq/mods:/usr/bin", "/kq/mods/libb.so", "/kq/mods:/usr/bin"},
      {"/usr/bin:/KQ/Mods", "/kq/mods/libb.so", "/usr/bin:/KQ/Mods"},
      {"/usr/kq/mods:/bin", "/kq/mods/libc.so", "/kq/mods:/usr/kq/mods:/bin"},
      {nullptr, "/kq/mods/libd.so", "/kq/mods"},
      {"/bin", "mods\\libe.so", "mods:/bin"},
      {"/bin", "/libroot.so", "/bin"},
      {"/bin", "/kq/a:b/libf.so", "/bin"},
      {"/bin", "libkq-nowhere.so", "/bin"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.module);
    if (c.before != nullptr) {
      setenv("PATH", c.before, 1);
    } else {
      unsetenv("PATH");
    }
    EXPECT_THROW(KQ_TDynamicObject(c.module, ""), KQ_ECouldNotLoadDynamicObject);
    char const* const now = std::getenv("PATH");
    EXPECT_STREQ(now != nullptr ? now : "(unset)", c.after);
  }
  setenv("PATH", original.c_str(), 1);
}

}  // namespace
