// A short tour of kqtypes: the object model, strings, a variant, a list and
// an exception, each printed.
#include <iostream>
#include <memory>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tstring.h"

namespace {

void Heading(char const* title) { std::cout << "\n== " << title << " ==\n"; }

}  // namespace

int main() {
  // Creating every class record up front is optional but makes start-up
  // deterministic.
  if (!__KQ_INITIALIZATION_FUNCTION_kqtypes__()) return 1;

  Heading("Object model");
  // Objects are created and cast by class name, without compiler RTTI.
  std::unique_ptr<KQ_TObject> object(KQ_TClass::FindClass("KQ_TString")->CreateInstance());
  std::cout << "created a " << object->ClassName()
            << "; implements KQ_IPackable: " << (object->Implements("KQ_IPackable") ? "yes" : "no")
            << "; superclass KQ_TObject: " << (object->HasSuperclass("KQ_TObject") ? "yes" : "no")
            << '\n';
  auto* text = static_cast<KQ_TString*>(object->DynamicCast("KQ_TString"));
  *text = "made by name";
  auto* hashable = static_cast<KQ_IHashable*>(object->KQ_Cast("KQ_IHashable"));
  std::cout << '"' << *text << "\" hashes to " << hashable->KQ_HashValue(0) << '\n';

  Heading("Strings");
  // UTF-8 at the boundary, UTF-16 code units inside.
  KQ_TString greeting("Καλημέρα, world");
  std::cout << greeting << ": " << greeting.Length() << " units, upper case " << greeting.ToUpper()
            << '\n';
  std::cout << "\"world\" found at unit " << greeting.Find("world", 0)
            << "; matches \"*(world|moon)\": "
            << (greeting.Matches(KQ_TString("*(world|moon)"), false) ? "yes" : "no") << '\n';
  std::cout << KQ_TString::Format("%s has %u units", "the greeting", greeting.Length()) << '\n';

  Heading("Any");
  // A variant of a basic value, or of one owned object.
  KQ_TAny number(static_cast<std::int16_t>(-2));
  KQ_TAny owned("a string inside an Any");
  std::cout << "a " << number.ClassObject().ClassName() << " holding " << number
            << " widens to a 64-bit " << static_cast<std::int64_t>(number) << '\n';
  std::cout << "a " << owned.ClassObject().ClassName() << " holding \"" << owned << "\"\n";

  Heading("List");
  KQ_TList list;
  list.AddAtTail(KQ_TAny(42));
  list.AddAtTail(KQ_TAny(2.5));
  list.AddAtTail(KQ_TAny(true));
  KQ_TList inner;
  inner.AddAtTail(KQ_TAny("nested"));
  list.AddAtTail(KQ_TAny(static_cast<KQ_IPackable const&>(inner)));
  list.PrintOn(std::cout);
  std::cout << '\n';
  std::cout << "walking it:";
  for (KQ_TIterator it(list); !it.IsDone(); it.Next())
    std::cout << ' ' << it.Value().ClassObject().ClassName();
  std::cout << '\n';

  Heading("Exception");
  // Every failure is an exception that knows where it was raised.
  try {
    KQ_TAny illegal;
    static_cast<void>(static_cast<std::int32_t>(illegal));
  } catch (KQ_EException const& e) {
    e.PrintOn(std::cout);
  }
  return 0;
}
