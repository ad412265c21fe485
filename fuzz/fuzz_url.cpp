// URL text through the parser: every input gives a URL or a KQ_EURLException
// child. A URL is formatted and parsed again, and must come back equal with
// the same text and hash; it is resolved against a relative reference, and
// the reference back from it must resolve to the same URL.
//
// The input is the URL text, optionally followed by a line feed and the
// relative reference; bytes are read by the kBytes rule, so any unit a file
// name can give reaches the parser.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kq_eexception.h"
#include "kq_tstring.h"
#include "kq_turl.h"

namespace {

KQ_TString Text(std::uint8_t const* data, std::size_t size) {
  return KQ_TString::FromUTF8(reinterpret_cast<char const*>(data), static_cast<std::uint32_t>(size),
                              KQ_TString::UTF8Rule::kBytes);
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void Resolve(KQ_TURL const& base, KQ_TString const& relative) {
  try {
    KQ_TURL const resolved(base, relative);
    Check(base.IsAncestorOf(resolved) == resolved.IsDescendantOf(base));
    KQ_TString const back = base.Relative(resolved);
    Check(KQ_TURL(base, back) == resolved);
  } catch (KQ_EURLException const&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  auto const* newline = static_cast<std::uint8_t const*>(std::memchr(data, '\n', size));
  std::size_t const textSize = newline == nullptr ? size : static_cast<std::size_t>(newline - data);
  KQ_TString const text = Text(data, textSize);
  KQ_TString const relative =
      newline == nullptr ? KQ_TString() : Text(newline + 1, size - textSize - 1);
  try {
    KQ_TURL::HexDecode(text);
  } catch (KQ_EURLException const&) {
  }
  KQ_TURL url;
  try {
    url = text;
  } catch (KQ_EURLException const&) {
    return 0;
  }
  KQ_TString const formatted(url);
  KQ_TURL const again(formatted);
  Check(again == url);
  Check(KQ_TString(again) == formatted);
  Check(again.KQ_HashValue(7) == url.KQ_HashValue(7));
  Check(KQ_TURL::HexDecode(KQ_TURL::HexEncode(url.Path())) == url.Path());
  try {
    url.ParamDict();
  } catch (KQ_EURLException const&) {
  }
  Resolve(url, relative);
  return 0;
}
