// Scaffolding shared by the container tests: which exception left a call,
// the printed, packed and text forms of an object and the way back, and the
// packed pieces the exact-byte checks are built from.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmemorystream.h"

namespace kqtest {

using Bytes = std::vector<unsigned char>;

// Runs f and reports which exception left it: "" for none, the library
// class name for a library exception, "foreign" for anything else.
template <class F>
std::string Raised(F&& f) {
  try {
    f();
  } catch (KQ_EException const& e) {
    return e.ClassName();
  } catch (...) {
    return "foreign";
  }
  return "";
}

inline std::string Printed(KQ_IPrintable const& object) {
  std::ostringstream os;
  object.PrintOn(os);
  return os.str();
}

// What a memory stream holds.
inline Bytes Contents(KQ_TMemoryStream const& memory) {
  return memory.Size() == 0 ? Bytes() : Bytes(memory.Data(), memory.Data() + memory.Size());
}

// The object as the data stream packs it.
inline Bytes Packed(KQ_IPackable const& object) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  data << object;
  return Contents(memory);
}

// The object packed in bytes, read with Extract (null when Extract gives
// none).
inline std::unique_ptr<KQ_IPackable> Extracted(Bytes bytes) {
  KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(bytes.size()));
  KQ_TDataStream data(memory);
  return std::unique_ptr<KQ_IPackable>(data.Extract(false));
}

// The bytes read into an existing object with operator>>.
inline void ReadInto(KQ_IPackable& object, Bytes bytes) {
  KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(bytes.size()));
  KQ_TDataStream data(memory);
  data >> object;
}

// The extracted object as a T; std::runtime_error when it is none or not a T.
template <class T>
T const& As(std::unique_ptr<KQ_IPackable> const& object) {
  auto const* cast =
      object == nullptr ? nullptr : static_cast<T const*>(object->KQ_Cast(T::KQ_ClassName()));
  if (cast == nullptr) throw std::runtime_error(std::string("not a ") + T::KQ_ClassName());
  return *cast;
}

inline Bytes Join(std::vector<Bytes> const& parts) {
  Bytes all;
  for (Bytes const& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A tag followed by a 32-bit number, most significant byte first.
inline Bytes Number(unsigned char tag, std::uint32_t u) {
  return {tag, static_cast<unsigned char>(u >> 24), static_cast<unsigned char>(u >> 16),
          static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)};
}

// An Any holding a 32-bit signed integer.
inline Bytes AnyInt(std::int32_t v) {
  return Join({{0x40, 0x05, 0x04}, Number(0x03, static_cast<std::uint32_t>(v))});
}

// Extracting damaged packed data raises nothing but library exceptions:
// every cut of bytes short of its end raises one, and bytes with a single
// byte set to one of values either read or raise one.
inline void ExpectDamageRaisesOnlyLibraryExceptions(Bytes const& bytes,
                                                    std::vector<unsigned char> const& values) {
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    Bytes const cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    std::string const raised = Raised([&] { Extracted(cut); });
    EXPECT_NE(raised, "") << "prefix of " << n << " bytes";
    EXPECT_NE(raised, "foreign") << "prefix of " << n << " bytes";
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (unsigned char value : values) {
      Bytes changed = bytes;
      changed[i] = value;
      EXPECT_NE(Raised([&] { Extracted(changed); }), "foreign")
          << "byte " << i << " set to " << int{value};
    }
  }
}

// The value in the human-readable text form, and the way back.
inline std::string Text(KQ_IHumanReadable const& value) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  stream << value;
  return memory.Size() == 0
             ? std::string()
             : std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size());
}

inline void ReadText(KQ_IHumanReadable& value, std::string text) {
  KQ_TMemoryStream memory(text.data(), static_cast<std::uint32_t>(text.size()),
                          static_cast<std::uint32_t>(text.size()));
  KQ_THumanReadableStream stream(memory);
  stream >> value;
}

}  // namespace kqtest
