#include "kq_iprintable.h"

#include <cstring>

#include "kq_memalloc.h"

KQ_INTERFACE_IMPL(KQ_IPrintable)

namespace {

// The one place that knows where a thread keeps its indentation.
thread_local std::uint32_t tIndentation = 0;

std::uint32_t LoadIndentation() { return tIndentation; }
void StoreIndentation(std::uint32_t spaces) { tIndentation = spaces; }

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
