#include "kq_turl.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tany.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_titerator.h"
#include "kq_tunichar.h"

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
using Rule = KQ_TString::UTF8Rule;

// The bytes an encoder keeps, one table per set: bit c of the table is set
// when the ASCII byte c is kept.
struct ByteSet {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  constexpr bool Has(unsigned c) const {
    return c < 64 ? (low >> c) & 1 : c < 128 && ((high >> (c - 64)) & 1);
  }
};

constexpr ByteSet SetOf(char const* chars, char const* without = "") {
  ByteSet set;
  for (char const* p = chars; *p != '\0'; ++p) {
    bool excluded = false;
    for (char const* q = without; *q != '\0'; ++q) excluded = excluded || *q == *p;
    if (excluded) continue;
    auto const c = static_cast<unsigned>(*p);
    if (c < 64) {
      set.low |= std::uint64_t{1} << c;
    } else {
      set.high |= std::uint64_t{1} << (c - 64);
    }
  }
  return set;
}

constexpr char kPathChars[] =
    "*-./0123456789@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
constexpr ByteSet kPathSet = SetOf(kPathChars);
constexpr ByteSet kParamSet = SetOf(kPathChars, "/");
// User, password and host: the parser splits the authority at "@" and "/".
constexpr ByteSet kAuthoritySet = SetOf(kPathChars, "/@");
constexpr ByteSet kLegalSet =
    SetOf("*-./0123456789@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz=?+");

// The bytes of text by the kBytes rule, each kept or written "%XX".
template <class Unit>
void EncodeBytes(std::string& out, Unit const* bytes, std::size_t size, ByteSet const& keep) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.reserve(out.size() + size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    auto const b = static_cast<unsigned char>(bytes[i]);
    if (keep.Has(b)) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 15]);
    }
  }
}

void EncodeInto(std::string& out, KQ_TString const& text, ByteSet const& keep) {
  std::uint16_t const* units = text.Units();
  std::uint32_t ascii = 0;
  while (ascii < text.Length() && units[ascii] < 0x80) ++ascii;
  // ASCII text is its own UTF-8.
  if (ascii == text.Length()) return EncodeBytes(out, units, ascii, keep);
  std::string const bytes = text.ToUTF8(Rule::kBytes);
  EncodeBytes(out, bytes.data(), bytes.size(), keep);
}

KQ_TString Ascii(std::string const& text) {
  return KQ_TString(text.data(), static_cast<std::uint32_t>(text.size()));
}

KQ_TString Encode(KQ_TString const& text, ByteSet const& keep) {
  std::string out;
  EncodeInto(out, text, keep);
  return Ascii(out);
}

int HexValue(std::uint16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// HexDecode of units [begin, end).
KQ_TString Decode(std::uint16_t const* units, std::uint32_t begin, std::uint32_t end) {
  std::uint32_t plain = begin;
  while (plain < end && units[plain] != '+' &&
         (units[plain] == '?' || kPathSet.Has(units[plain]))) {
    ++plain;
  }
  // Nothing to decode: the units are the result.
  if (plain == end) return KQ_TString(units + begin, end - begin);
  std::string bytes;
  bytes.reserve(end - begin);
  for (std::uint32_t i = begin; i < end; ++i) {
    std::uint16_t const c = units[i];
    if (c == '%' && end - i > 2 && HexValue(units[i + 1]) >= 0 && HexValue(units[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(HexValue(units[i + 1]) * 16 + HexValue(units[i + 2])));
      i += 2;
    } else if (c == '+') {
      bytes.push_back(' ');
    } else if (c == '%' || c == '?' || kPathSet.Has(c)) {
      bytes.push_back(static_cast<char>(c));
    } else {
      KQ_THROW(KQ_EIllegalURLEncoding());
    }
  }
  return KQ_TString::FromUTF8(bytes.data(), static_cast<std::uint32_t>(bytes.size()), Rule::kBytes);
}

// The first unit c in [from, end), or kNone.
std::uint32_t FindUnit(std::uint16_t const* units, std::uint16_t c, std::uint32_t from,
                       std::uint32_t end) {
  for (std::uint32_t i = from; i < end; ++i) {
    if (units[i] == c) return i;
  }
  return kNone;
}

std::uint32_t FindUnit(KQ_TString const& text, std::uint16_t c, std::uint32_t from = 0) {
  return FindUnit(text.Units(), c, from, text.Length());
}

std::uint32_t FindLastUnit(KQ_TString const& text, std::uint16_t c) {
  for (std::uint32_t i = text.Length(); i > 0; --i) {
    if (text.Units()[i - 1] == c) return i - 1;
  }
  return kNone;
}

bool HasUnit(KQ_TString const& text, std::uint16_t c) { return FindUnit(text, c) != kNone; }

KQ_TString Sub(KQ_TString const& text, std::uint32_t begin, std::uint32_t end) {
  return text.Substring(static_cast<std::int32_t>(begin), static_cast<std::int32_t>(end - begin));
}

// Units [0, n) of a and b equal after lower-casing.
bool SameFolded(std::uint16_t const* a, std::uint16_t const* b, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) {
    if (a[i] != b[i] && Unicode_ToLower(a[i]) != Unicode_ToLower(b[i])) return false;
  }
  return true;
}

bool SameFolded(KQ_TString const& a, KQ_TString const& b) {
  return a.Length() == b.Length() && SameFolded(a.Units(), b.Units(), a.Length());
}

bool SameUnits(std::uint16_t const* a, std::uint16_t const* b, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The port text as strtoul(text, NULL, 0) reads it with a 32-bit unsigned
// long: white space, a sign, a base prefix, digits up to the first other
// character; too large a number gives the largest one.
std::uint32_t ParsePort(std::uint16_t const* units, std::uint32_t begin, std::uint32_t end) {
  std::uint32_t i = begin;
  auto const at = [&](std::uint32_t k) -> std::uint16_t { return k < end ? units[k] : 0; };
  while (at(i) == ' ' || (at(i) >= '\t' && at(i) <= '\r')) ++i;
  bool const negative = at(i) == '-';
  if (at(i) == '-' || at(i) == '+') ++i;
  int base = 10;
  if (at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X') && HexValue(at(i + 2)) >= 0) {
    base = 16;
    i += 2;
  } else if (at(i) == '0') {
    base = 8;
  }
  std::uint64_t value = 0;
  bool overflow = false;
  for (int digit = HexValue(at(i)); digit >= 0 && digit < base; digit = HexValue(at(++i))) {
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) {
      overflow = true;
      value = 0xFFFFFFFFu;
    }
  }
  if (overflow) return 0xFFFFFFFFu;
  auto const result = static_cast<std::uint32_t>(value);
  return negative ? 0u - result : result;
}

// Path normalisation: segments split at "/", empty ones and "." dropped,
// ".." takes back the segment before it (KQ_EURLTopReached when there is
// none), joined with "/".
// True when no segment of the path is empty, "." or "..".
bool IsNormal(std::uint16_t const* units, std::uint32_t n) {
  std::uint32_t begin = 0;
  while (begin <= n) {
    std::uint32_t end = FindUnit(units, '/', begin, n);
    if (end == kNone) end = n;
    std::uint32_t const length = end - begin;
    if (length == 0 ? n != 0 : length <= 2 && units[begin] == '.' && units[end - 1] == '.') {
      return false;
    }
    begin = end + 1;
  }
  return true;
}

KQ_TString Normalise(KQ_TString const& path) {
  std::uint16_t const* units = path.Units();
  std::uint32_t const n = path.Length();
  if (IsNormal(units, n)) return path;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> kept;
  std::uint32_t begin = 0;
  while (begin <= n) {
    std::uint32_t end = FindUnit(units, '/', begin, n);
    if (end == kNone) end = n;
    std::uint32_t const length = end - begin;
    bool const dot = length == 1 && units[begin] == '.';
    bool const dotDot = length == 2 && units[begin] == '.' && units[begin + 1] == '.';
    if (dotDot) {
      if (kept.empty()) KQ_THROW(KQ_EURLTopReached());
      kept.pop_back();
    } else if (length != 0 && !dot) {
      kept.emplace_back(begin, length);
    }
    begin = end + 1;
  }
  KQ_TString result(n);
  for (auto const& [start, length] : kept) {
    if (result.Length() != 0) result += '/';
    result += Sub(path, start, start + length);
  }
  return result;
}

// The length of the first path segment (the whole path without a "/").
std::uint32_t FirstSegmentLength(KQ_TString const& path) {
  std::uint32_t const slash = FindUnit(path, '/');
  return slash == kNone ? path.Length() : slash;
}

// The path before its last "/"; empty when it has none.
KQ_TString DirectoryOf(KQ_TString const& path) {
  std::uint32_t const slash = FindLastUnit(path, '/');
  return slash == kNone ? KQ_TString() : Sub(path, 0, slash);
}

KQ_TString JoinPath(KQ_TString const& directory, KQ_TString const& name) {
  return Normalise(directory + "/" + name);
}

// Calls visit(name, value, hasValue) for each "&"-separated item of the
// parameter text, undecoded, in order; stops when visit returns false.
template <class Visit>
void ForEachParam(KQ_TString const& params, Visit visit) {
  std::uint16_t const* units = params.Units();
  std::uint32_t const n = params.Length();
  std::uint32_t begin = 0;
  while (begin < n) {
    std::uint32_t end = FindUnit(units, '&', begin, n);
    if (end == kNone) end = n;
    if (end > begin) {
      std::uint32_t const equals = FindUnit(units, '=', begin, end);
      bool const hasValue = equals != kNone;
      std::uint32_t const nameEnd = hasValue ? equals : end;
      if (!visit(std::make_pair(begin, nameEnd),
                 std::make_pair(hasValue ? equals + 1 : end, end))) {
        return;
      }
    }
    begin = end + 1;
  }
}

// A path decoded and normalised.
KQ_TString DecodePath(std::uint16_t const* units, std::uint32_t begin, std::uint32_t end) {
  KQ_TString path = Decode(units, begin, end);
  if (!IsNormal(path.Units(), path.Length())) path = Normalise(path);
  return path;
}

}  // namespace

// Where the fields of a URL text lie; each range [begin, end) is still
// encoded. The port range is empty without a port, the parameters range
// without a "?".
struct KQ_TURL::Layout {
  std::uint32_t protocolEnd = 0;
  std::uint32_t userBegin = 0, userEnd = 0;
  std::uint32_t passwordBegin = 0, passwordEnd = 0;
  std::uint32_t hostBegin = 0, hostEnd = 0;
  std::uint32_t portBegin = 0, portEnd = 0;
  std::uint32_t pathBegin = 0, pathEnd = 0;
  std::uint32_t paramsBegin = 0, paramsEnd = 0;

  // Finds the fields; KQ_EIllegalURLName for a text outside the grammar.
  explicit Layout(KQ_TString const& text) {
    std::uint16_t const* s = text.Units();
    std::uint32_t const n = text.Length();
    protocolEnd = FindUnit(s, ':', 0, n);
    if (protocolEnd == kNone || n - protocolEnd < 3 || s[protocolEnd + 1] != '/' ||
        s[protocolEnd + 2] != '/') {
      KQ_THROW(KQ_EIllegalURLName(KQ_TString(), KQ_TAny(text)));
    }
    std::uint32_t i = protocolEnd + 3;
    std::uint32_t const slash = FindUnit(s, '/', i, n);
    std::uint32_t authorityEnd = slash;
    std::uint32_t question = kNone;
    if (slash == kNone) {
      // No path: the host ends at the parameters or at the end.
      question = FindUnit(s, '?', i, n);
      authorityEnd = question == kNone ? n : question;
      pathBegin = pathEnd = authorityEnd;
    } else {
      question = FindUnit(s, '?', slash + 1, n);
      pathBegin = slash + 1;
      pathEnd = question == kNone ? n : question;
    }
    std::uint32_t const at = FindUnit(s, '@', i, authorityEnd);
    if (at != kNone) {
      std::uint32_t const split = FindUnit(s, ':', i, at);
      userBegin = i;
      userEnd = split == kNone ? at : split;
      passwordBegin = split == kNone ? at : split + 1;
      passwordEnd = at;
      i = at + 1;
    }
    std::uint32_t const portColon = FindUnit(s, ':', i, pathEnd);
    if (portColon != kNone && portColon > authorityEnd) {
      KQ_THROW(KQ_EIllegalURLName(KQ_TString(), KQ_TAny(text)));
    }
    hostBegin = i;
    hostEnd = portColon == kNone ? authorityEnd : portColon;
    portBegin = portColon == kNone ? authorityEnd : portColon + 1;
    portEnd = authorityEnd;
    paramsBegin = paramsEnd = n;
    if (question != kNone) {
      if (FindUnit(s, '/', question + 1, n) != kNone) {
        KQ_THROW(KQ_EIllegalURLName(KQ_TString(), KQ_TAny(text)));
      }
      paramsBegin = question + 1;
    }
  }
};

KQ_TURL::KQ_TURL(KQ_TString const& text, Layout const& at)
    : fProtocol(Decode(text.Units(), 0, at.protocolEnd)),
      fUser(Decode(text.Units(), at.userBegin, at.userEnd)),
      fPassword(Decode(text.Units(), at.passwordBegin, at.passwordEnd)),
      fHost(Decode(text.Units(), at.hostBegin, at.hostEnd)),
      fPort(at.portBegin == at.portEnd ? 0 : ParsePort(text.Units(), at.portBegin, at.portEnd)),
      fPath(DecodePath(text.Units(), at.pathBegin, at.pathEnd)),
      fParams(Sub(text, at.paramsBegin, at.paramsEnd)) {}

KQ_CLASS_IMPL(KQ_TURL)

bool KQ_TURL::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

KQ_TURL::KQ_TURL() : fPort(0) {}

KQ_TURL::KQ_TURL(KQ_TURL const& other) = default;

KQ_TURL::KQ_TURL(KQ_TString const& text) : KQ_TURL(text, Layout(text)) {}

KQ_TURL::KQ_TURL(KQ_TString const& protocol, KQ_TString const& user, KQ_TString const& password,
                 KQ_TString const& host, std::uint32_t port, KQ_TString const& path,
                 KQ_TString const& params)
    : fPort(0) {
  SetParams(params);
  fProtocol = protocol;
  fHost = host;
  fPort = port;
  SetPath(path);
  fUser = user;
  fPassword = password;
}

KQ_TURL::KQ_TURL(KQ_TURL const& base, KQ_TString const& relative) : KQ_TURL(base) {
  std::uint16_t const* units = relative.Units();
  std::uint32_t const n = relative.Length();
  std::uint32_t begin = 0;
  while (begin < n) {
    std::uint32_t end = FindUnit(units, '/', begin, n);
    if (end == kNone) end = n;
    std::uint32_t const length = end - begin;
    if (length == 0) {
      fPath = KQ_TString();
    } else if (length == 2 && units[begin] == '.' && units[begin + 1] == '.') {
      *this = Parent();
    } else if (length != 1 || units[begin] != '.') {
      *this = Child(Sub(relative, begin, end));
    }
    begin = end + 1;
  }
}

KQ_TURL::~KQ_TURL() = default;

KQ_TURL& KQ_TURL::operator=(KQ_TURL const& other) {
  fProtocol = other.fProtocol;
  fUser = other.fUser;
  fPassword = other.fPassword;
  fHost = other.fHost;
  fPort = other.fPort;
  fPath = other.fPath;
  fParams = other.fParams;
  return *this;
}

KQ_TURL& KQ_TURL::operator=(KQ_TString const& text) { return *this = KQ_TURL(text); }

KQ_IPackable& KQ_TURL::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

KQ_TURL::operator KQ_TString() const {
  std::string out;
  EncodeInto(out, fProtocol, kPathSet);
  out += "://";
  if (fUser.Length() != 0 || fPassword.Length() != 0) {
    EncodeInto(out, fUser, kAuthoritySet);
    if (fPassword.Length() != 0) {
      out += ':';
      EncodeInto(out, fPassword, kAuthoritySet);
    }
    out += '@';
  }
  EncodeInto(out, fHost, kAuthoritySet);
  if (fPort != 0) {
    out += ':';
    out += std::to_string(fPort);
  }
  out += '/';
  EncodeInto(out, fPath, kPathSet);
  KQ_TString result = Ascii(out);
  if (fParams.Length() != 0) {
    result += '?';
    result += fParams;
  }
  return result;
}

KQ_TString const& KQ_TURL::Protocol() const { return fProtocol; }
KQ_TString const& KQ_TURL::User() const { return fUser; }
KQ_TString const& KQ_TURL::Password() const { return fPassword; }
KQ_TString const& KQ_TURL::Host() const { return fHost; }
KQ_TString const& KQ_TURL::Path() const { return fPath; }
KQ_TString const& KQ_TURL::Params() const { return fParams; }
std::uint32_t KQ_TURL::Port() const { return fPort; }

KQ_TDict KQ_TURL::ParamDict() const {
  KQ_TDict result;
  std::uint16_t const* units = fParams.Units();
  ForEachParam(fParams, [&](auto name, auto value) {
    result.Add(Decode(units, name.first, name.second),
               KQ_TAny(Decode(units, value.first, value.second)));
    return true;
  });
  return result;
}

KQ_TString KQ_TURL::Param(KQ_TString const& name) const {
  KQ_TString value;
  if (!GetParam(name, value)) KQ_THROW(KQ_EURLParameterNotSet(KQ_TString(), KQ_TAny(name)));
  return value;
}

bool KQ_TURL::GetParam(KQ_TString const& name, KQ_TString& value) const {
  std::uint16_t const* units = fParams.Units();
  bool found = false;
  ForEachParam(fParams, [&](auto itemName, auto itemValue) {
    if (Decode(units, itemName.first, itemName.second) != name) return true;
    value = Decode(units, itemValue.first, itemValue.second);
    found = true;
    return false;
  });
  return found;
}

KQ_TURL& KQ_TURL::SetProtocol(KQ_TString const& protocol) {
  fProtocol = protocol;
  return *this;
}

KQ_TURL& KQ_TURL::SetUser(KQ_TString const& user) {
  fUser = user;
  return *this;
}

KQ_TURL& KQ_TURL::SetPassword(KQ_TString const& password) {
  fPassword = password;
  return *this;
}

KQ_TURL& KQ_TURL::SetHost(KQ_TString const& host) {
  fHost = host;
  return *this;
}

KQ_TURL& KQ_TURL::SetPort(std::uint32_t port) {
  fPort = port;
  return *this;
}

KQ_TURL& KQ_TURL::SetPath(KQ_TString const& path) {
  fPath = Normalise(path);
  return *this;
}

KQ_TURL& KQ_TURL::SetParams(KQ_TString const& params) {
  if (HasUnit(params, '/')) KQ_THROW(KQ_EIllegalURLParams());
  fParams = params;
  return *this;
}

KQ_TURL& KQ_TURL::SetParamDict(KQ_TDict const& params) {
  std::string out;
  KQ_TConstIterator it(params);
  for (it.Start(); !it.IsDone(); it.Next()) {
    auto const* key = static_cast<KQ_TString const*>(it.Key().KQ_Cast("KQ_TString"));
    if (key == nullptr) KQ_THROW(KQ_EIllegalURLParams());
    if (!out.empty()) out += '&';
    EncodeInto(out, *key, kParamSet);
    KQ_TAny const& value = it.Value();
    if (value.Kind() != KQ_TAny::kObject) continue;
    auto const* text = static_cast<KQ_TString const*>(value->KQ_Cast("KQ_TString"));
    if (text == nullptr) continue;
    out += '=';
    EncodeInto(out, *text, kParamSet);
  }
  fParams = Ascii(out);
  return *this;
}

KQ_TURL& KQ_TURL::SetParam(KQ_TString const& name, KQ_TString const& value) {
  KQ_TDict params = ParamDict();
  params.Add(name, KQ_TAny(value));
  return SetParamDict(params);
}

KQ_TURL KQ_TURL::Parent() const {
  if (fPath.Length() == 0) KQ_THROW(KQ_EURLTopReached());
  KQ_TURL result(*this);
  result.fPath = DirectoryOf(fPath);
  return result;
}

KQ_TURL KQ_TURL::Child(KQ_TString const& name) const {
  KQ_TURL result(*this);
  result.fPath = JoinPath(fPath, name);
  return result;
}

KQ_TString KQ_TURL::Relative(KQ_TURL const& other) const {
  if (!SameFolded(fProtocol, other.fProtocol) || !SameFolded(fHost, other.fHost) ||
      fPort != other.fPort) {
    KQ_THROW(KQ_EURLIsNoRelative());
  }
  std::uint16_t const* mine = fPath.Units();
  std::uint16_t const* theirs = other.fPath.Units();
  std::uint32_t const length = fPath.Length();
  std::uint32_t const otherLength = other.fPath.Length();
  std::uint32_t n = 0;
  while (n < length && n < otherLength && mine[n] == theirs[n]) ++n;
  if (n == length) {
    if (n == otherLength) return KQ_TString(".");
    if (n != 0 && theirs[n] == '/') return Sub(other.fPath, n + 1, otherLength);
  }
  if (n == 0) return "/" + other.fPath;
  // Back to the last directory both paths share: a "/" in both, or a "/"
  // of this path where the other one ends.
  while (n > 0 && !(n < length && mine[n] == '/' && (n >= otherLength || theirs[n] == '/'))) --n;
  if (n == 0) KQ_THROW(KQ_EURLIsNoRelative());
  KQ_TString result("..");
  for (std::uint32_t i = n + 1; i < length; ++i) {
    if (mine[i] == '/') result += "/..";
  }
  if (n + 1 < otherLength) result += "/" + Sub(other.fPath, n + 1, otherLength);
  return result;
}

bool KQ_TURL::IsAncestorOf(KQ_TURL const& other) const {
  if (!SameFolded(fProtocol, other.fProtocol) || !SameFolded(fHost, other.fHost) ||
      fPort != other.fPort) {
    return false;
  }
  std::uint32_t const m = fPath.Length();
  if (m == 0) return true;
  if (other.fPath.Length() < m || (other.fPath.Length() > m && other.fPath.Units()[m] != '/')) {
    return false;
  }
  std::uint32_t const first = FirstSegmentLength(fPath);
  return SameFolded(fPath.Units(), other.fPath.Units(), first) &&
         SameUnits(fPath.Units() + first, other.fPath.Units() + first, m - first);
}

bool KQ_TURL::IsDescendantOf(KQ_TURL const& other) const { return other.IsAncestorOf(*this); }

KQ_TString KQ_TURL::PathName() const {
  if (fPath.Length() == 0) KQ_THROW(KQ_EURLTopReached());
  return DirectoryOf(fPath);
}

KQ_TString KQ_TURL::FileName() const {
  std::uint32_t const slash = FindLastUnit(fPath, '/');
  return slash == kNone ? fPath : Sub(fPath, slash + 1, fPath.Length());
}

KQ_TString KQ_TURL::FilePart() const {
  KQ_TString const name = FileName();
  std::uint32_t const dot = FindLastUnit(name, '.');
  return dot == kNone ? name : Sub(name, 0, dot);
}

KQ_TString KQ_TURL::Extension() const {
  KQ_TString const name = FileName();
  std::uint32_t const dot = FindLastUnit(name, '.');
  return dot == kNone ? KQ_TString() : Sub(name, dot, name.Length());
}

KQ_TURL& KQ_TURL::SetPathName(KQ_TString const& p) {
  fPath = JoinPath(p, FileName());
  return *this;
}

KQ_TURL& KQ_TURL::SetFileName(KQ_TString const& name) {
  if (HasUnit(name, '/')) KQ_THROW(KQ_EIllegalURLFileName());
  fPath = JoinPath(DirectoryOf(fPath), name);
  return *this;
}

KQ_TURL& KQ_TURL::SetFilePart(KQ_TString const& name) {
  if (HasUnit(name, '/')) KQ_THROW(KQ_EIllegalURLFileName());
  fPath = JoinPath(DirectoryOf(fPath), name + Extension());
  return *this;
}

KQ_TURL& KQ_TURL::SetExtension(KQ_TString const& extension) {
  if (HasUnit(extension, '/') || FindUnit(extension, '.', 1) != kNone) {
    KQ_THROW(KQ_EIllegalURLExtension());
  }
  KQ_TString name = FilePart();
  if (extension.Length() != 0 && extension.Units()[0] != '.') name += '.';
  fPath = JoinPath(DirectoryOf(fPath), name + extension);
  return *this;
}

KQ_TURL KQ_TURL::operator*() const { return Parent(); }

KQ_TURL KQ_TURL::operator+(KQ_TString const& name) const { return Child(name); }

bool KQ_TURL::operator==(KQ_TURL const& other) const {
  if (fPort != other.fPort || fUser != other.fUser || fPassword != other.fPassword ||
      fParams != other.fParams || !SameFolded(fProtocol, other.fProtocol) ||
      !SameFolded(fHost, other.fHost) || fPath.Length() != other.fPath.Length()) {
    return false;
  }
  std::uint32_t const first = FirstSegmentLength(fPath);
  return first == FirstSegmentLength(other.fPath) &&
         SameFolded(fPath.Units(), other.fPath.Units(), first) &&
         SameUnits(fPath.Units() + first, other.fPath.Units() + first, fPath.Length() - first);
}

bool KQ_TURL::operator!=(KQ_TURL const& other) const { return !(*this == other); }

void KQ_TURL::ScanFrom(std::istream& is) { ScanFrom(is, KQ_THumanReadableStream::sWhiteSpace); }

void KQ_TURL::ScanFrom(std::istream& is, KQ_TString const& delimiters) {
  KQ_TString text;
  text.ScanFrom(is, delimiters);
  *this = text;
}

std::uint32_t KQ_TURL::Read(std::FILE* file, KQ_TString const& delimiters) {
  KQ_TString text;
  std::uint32_t const result = text.Read(file, delimiters);
  *this = text;
  return result;
}

KQ_TString KQ_TURL::HexEncode(KQ_TString const& text) { return Encode(text, kPathSet); }

KQ_TString KQ_TURL::HexEncodeParams(KQ_TString const& text) { return Encode(text, kParamSet); }

KQ_TString KQ_TURL::HexDecode(KQ_TString const& text) {
  return Decode(text.Units(), 0, text.Length());
}

bool KQ_TURL::IsLegal(KQ_TString const& text) {
  for (std::uint32_t i = 0; i < text.Length(); ++i) {
    if (!kLegalSet.Has(text.Units()[i])) return false;
  }
  return true;
}

void KQ_TURL::PrintOn(std::ostream& os) const { KQ_TString(*this).PrintOn(os); }

std::uint32_t KQ_TURL::KQ_HashValue(std::uint32_t seed) const {
  std::uint32_t const first = FirstSegmentLength(fPath);
  KQ_TString const path = Sub(fPath, 0, first).MakeLower() + Sub(fPath, first, fPath.Length());
  return fProtocol.ToLower().KQ_HashValue(seed) + fHost.ToLower().KQ_HashValue(seed) +
         fUser.KQ_HashValue(seed) + fPassword.KQ_HashValue(seed) + path.KQ_HashValue(seed) +
         fParams.KQ_HashValue(seed) + fPort;
}

void KQ_TURL::KQ_Pack(KQ_IPacking& packer) const {
  packer << fProtocol << fUser << fPassword << fHost << fPort << fPath << fParams;
}

void KQ_TURL::KQ_Unpack(KQ_IUnpacking& unpacker) {
  KQ_TURL read;
  KQ_TString path;
  KQ_TString params;
  unpacker >> read.fProtocol >> read.fUser >> read.fPassword >> read.fHost >> read.fPort >> path >>
      params;
  read.SetPath(path).SetParams(params);
  *this = read;
}

KQ_IPackable* KQ_TURL::KQ_Clone(void*) const { return new KQ_TURL(*this); }

bool KQ_TURL::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* url = static_cast<KQ_TURL const*>(other.KQ_Cast("KQ_TURL"));
  return url != nullptr && *this == *url;
}

bool KQ_TURL::WriteTo(KQ_THumanReadableStream& stream) const {
  stream << static_cast<KQ_IHumanReadable const&>(KQ_TString(*this));
  return true;
}

bool KQ_TURL::ReadFrom(KQ_THumanReadableStream& stream) {
  bool const local = stream.PeekNonWhite() != '"';
  if (local) {
    static KQ_TString const letters("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_");
    if (stream.ReadSpan(letters) != kLocalWord) stream.SyntaxError();
  }
  KQ_TString text;
  stream >> static_cast<KQ_IHumanReadable&>(text);
  *this = local ? LocalToURL(text) : KQ_TURL(text);
  return false;
}

bool KQ_TURL::KQ_HRMultiLine() const { return false; }
