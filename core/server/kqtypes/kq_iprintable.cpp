#include "kq_iprintable.h"

#include <cstring>

#include "kq_memalloc.h"
#include "kq_tany.h"
#include "kq_tstring.h"
#include "kq_tthread.h"

KQ_INTERFACE_IMPL(KQ_IPrintable)

namespace {

// The one place that knows where a thread keeps its indentation: in the
// current thread's properties, as a KQ_TAny holding an unsigned 32-bit
// number. The thread's one-entry cache makes a repeated read cost a pointer
// comparison instead of a dictionary lookup.
KQ_TString const& IndentationKey() {
  // Never destroyed: printing may go on while the process ends.
  static KQ_TString const* const key = new KQ_TString(L"KQ_IPrintable_Indentation");
  return *key;
}

std::uint32_t LoadIndentation() {
  KQ_TAny const* value = KQ_TThread::CurrentThread().CachedValueOfKey(IndentationKey());
  return value != nullptr && value->Kind() == KQ_TAny::kUInt32 ? static_cast<std::uint32_t>(*value)
                                                               : 0;
}

void StoreIndentation(std::uint32_t spaces) {
  KQ_TThread& thread = KQ_TThread::CurrentThread();
  if (KQ_TAny* value = thread.CachedValueOfKey(IndentationKey())) {
    *value = spaces;
  } else {
    thread.Add(IndentationKey(), KQ_TAny(spaces));
  }
}

constexpr std::uint32_t kStaticSpaces = 40;
char const kSpaces[kStaticSpaces + 1] = "                                        ";

}  // namespace

std::uint32_t KQ_IPrintable::Indentation() { return LoadIndentation(); }

void KQ_IPrintable::SetIndentation(std::uint32_t spaces) { StoreIndentation(spaces); }

void KQ_IPrintable::Indent() { StoreIndentation(LoadIndentation() + 2); }

void KQ_IPrintable::ReverseIndent() {
  std::uint32_t const current = LoadIndentation();
  StoreIndentation(current <= 2 ? 0 : current - 2);
}

char const* KQ_IPrintable::Prefix() {
  std::uint32_t const spaces = LoadIndentation();
  if (spaces <= kStaticSpaces) return kSpaces + (kStaticSpaces - spaces);
  auto* prefix = static_cast<char*>(KQ_AllocTemp(spaces + 1));
  std::memset(prefix, ' ', spaces);
  prefix[spaces] = '\0';
  return prefix;
}

std::ostream& operator<<(std::ostream& os, KQ_IPrintable const& object) {
  object.PrintOn(os);
  return os;
}
