// KQ_TAny: the library's variant. One Any holds nothing (ILLEGAL or NULL),
// one value of a basic type, a raw or interface pointer that it does not own,
// or one packable object that it owns. The containers store their keys and
// elements as Anys, so an Any is hashable, packable and printable itself.
//
// Representation: every Any owns one value cell, a kind number followed by
// an 8-byte value slot, taken from the small-block pool's class of
// headerless 16-byte cells. A string of up to kShortUnits units is kept in
// the cell itself (a 48-byte one) rather than as an object: copying,
// comparing and hashing it read the units there, and the KQ_TString object
// is made once, the first time one is asked for (operator*, operator->,
// KQ_Cast, packing, printing), and from then on stands for the value. Such
// an Any still is of kind 18 and holds a KQ_TString for every observer.
// Assignment overwrites the cell in place where it can; Swap exchanges the
// cells of two Anys.
//
// Conversions only widen within one signedness (a short converts to a 32- or
// 64-bit signed integer, never to an unsigned one); every other conversion
// raises KQ_EIllegalCastFromAny and leaves the Any unchanged.
//
// Integer arguments pick their kind by size and signedness: `int` is the
// 32-bit kind, `long long` (and, where it is 64 bits wide, `long`) the 64-bit
// kind, `unsigned` the unsigned 32-bit kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "kq_ihashable.h"
#include "kq_ihumanreadable.h"
#include "kq_iprintable.h"
#include "kq_tobject.h"

class KQ_TDataStream;
class KQ_TString;

class KQ_EXPORT KQ_TAny : public KQ_TObject,
                          public virtual KQ_IHashable,
                          public virtual KQ_IPrintable,
                          public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TAny, KQ_TObject, KQ_IHashable, KQ_IPrintable, KQ_IHumanReadable)
  // Registers the class with the data stream under packing code 64.
  static bool KQ_Initialize();

  // The kind numbers. They are part of the packed format (one byte) and
  // index the basic-type class records.
  enum KindNumber : std::uint32_t {
    kIllegal = 0,
    kNull,
    kInt8,
    kInt16,
    kInt32,
    kInt64,
    kUInt8,
    kUInt16,
    kUInt32,
    kUInt64,
    kBool,
    kChar,
    kFloat,
    kDouble,
    kPointer,
    kCPointer,
    kInterface,
    kCInterface,
    kObject
  };

  // ILLEGAL: no value.
  KQ_TAny();
  // NULL: an explicit null. A bare `nullptr` would otherwise match every
  // pointer kind at once.
  KQ_TAny(std::nullptr_t);
  KQ_TAny(std::int8_t value);
  KQ_TAny(std::int16_t value);
  KQ_TAny(std::int32_t value);
  KQ_TAny(std::int64_t value);
  KQ_TAny(std::uint8_t value);
  KQ_TAny(std::uint16_t value);
  KQ_TAny(std::uint32_t value);
  KQ_TAny(std::uint64_t value);
  KQ_TAny(bool value);
  KQ_TAny(char value);
  KQ_TAny(float value);
  KQ_TAny(double value);
  // Raw pointers, neither owned nor followed.
  KQ_TAny(void* pointer);
  KQ_TAny(void const* pointer);
  // Interface pointers: stored, not cloned, not owned.
  KQ_TAny(KQ_IInterface* object);
  KQ_TAny(KQ_IInterface const* object);
  // Texts are held as a new KQ_TString (kind 18): UTF-8, wide and UTF-16
  // texts alike, so that u"..." is a string rather than a raw pointer. A
  // null text gives the empty string.
  KQ_TAny(char const* text);
  KQ_TAny(wchar_t const* text);
  KQ_TAny(char16_t const* text);
  // Holds the object's KQ_Clone.
  KQ_TAny(KQ_IPackable const& object);
  // Copies the value; an owned object is cloned.
  KQ_TAny(KQ_TAny const& other);
  // Any other integer type: the fixed-width kind of its size and signedness.
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  KQ_TAny(T value) : KQ_TAny(static_cast<kq::FixedInt<T>>(value)) {}
  ~KQ_TAny() override;

  // Constant Anys of kind ILLEGAL and NULL.
  static KQ_TAny const& Illegal();
  static KQ_TAny const& Null();

  std::uint32_t Kind() const { return fCell->fKind; }
  bool IsIllegal() const { return fCell->fKind == kIllegal; }
  bool IsNull() const { return fCell->fKind == kNull; }

  // The record of the contents: a basic-type record, the pointed or held
  // object's own record (NULL for a null interface pointer), ILLEGAL for an
  // unknown kind. KQ_DynamicInfo(nullptr) still gives KQ_TAny's record.
  KQ_TClass const& ClassObject() const override;
  // KQ_TAny's own record: a packed Any is always read back as an Any.
  KQ_TClass const* KQ_PackClassObject() const override;
  // The Any's own class and interfaces first, then KQ_Cast_Contents.
  void* KQ_Cast(char const* name) const override;

  // A pointer into the contents, typed by class name. Basic values answer
  // their record's name with the address of the stored value. Interface
  // pointers also answer "Name *" and "const Name *" with the address of a
  // result slot that holds the pointer cast to Name (null when the pointer
  // is null or the cast fails). There is one slot per pointer kind and
  // thread, and each call overwrites the calling thread's slot; read it
  // before the next call. A malformed pointer name, or a non-const name for
  // a const pointer, raises KQ_EIllegalCastFromAny.
  virtual void* KQ_Cast_Contents(char const* name) const;

  // Each assignment releases an owned object and then sets kind and value.
  // Assigning an Any to itself does nothing.
  virtual KQ_TAny& operator=(KQ_TAny const& other);
  virtual KQ_TAny& operator=(KQ_IPackable const& object);
  virtual KQ_TAny& operator=(wchar_t const* text);
  virtual KQ_TAny& operator=(char const* text);
  virtual KQ_TAny& operator=(KQ_IInterface const* object);
  virtual KQ_TAny& operator=(KQ_IInterface* object);
  virtual KQ_TAny& operator=(void const* pointer);
  virtual KQ_TAny& operator=(void* pointer);
  virtual KQ_TAny& operator=(double value);
  virtual KQ_TAny& operator=(float value);
  virtual KQ_TAny& operator=(char value);
  virtual KQ_TAny& operator=(bool value);
  virtual KQ_TAny& operator=(std::uint64_t value);
  virtual KQ_TAny& operator=(std::uint32_t value);
  virtual KQ_TAny& operator=(std::uint16_t value);
  virtual KQ_TAny& operator=(std::uint8_t value);
  virtual KQ_TAny& operator=(std::int64_t value);
  virtual KQ_TAny& operator=(std::int32_t value);
  virtual KQ_TAny& operator=(std::int16_t value);
  virtual KQ_TAny& operator=(std::int8_t value);
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  KQ_TAny& operator=(T value) {
    return *this = static_cast<kq::FixedInt<T>>(value);
  }

  virtual operator std::int8_t() const;
  virtual operator std::int16_t() const;
  virtual operator std::int32_t() const;
  virtual operator std::int64_t() const;
  virtual operator std::uint8_t() const;
  virtual operator std::uint16_t() const;
  virtual operator std::uint32_t() const;
  virtual operator std::uint64_t() const;
  virtual operator bool() const;
  virtual operator char() const;
  virtual operator float() const;
  virtual operator double() const;
  virtual operator void*() const;
  virtual operator void const*() const;
  virtual operator KQ_IInterface*() const;
  virtual operator KQ_IInterface const*() const;
  // The held string's text as a temporary (UTF-8, or wide); a held object
  // that is not a KQ_TString raises KQ_EIllegalCast.
  virtual operator char*() const;
  virtual operator wchar_t*() const;
  template <class T, kq::EnableIfOtherInteger<T> = 0>
  operator T() const {
    return static_cast<T>(static_cast<kq::FixedInt<T>>(*this));
  }

  // The held object (kind 18 only).
  virtual KQ_IPackable const& operator*() const;
  virtual KQ_IPackable& operator*();
  virtual KQ_IPackable const* operator->() const;
  virtual KQ_IPackable* operator->();

  // Releases an owned object and takes object over without cloning it. A
  // null object gives NULL.
  virtual KQ_TAny& Assign(KQ_IPackable* object);
  // Exchanges the value cells; nothing is copied or cloned.
  virtual KQ_TAny& Swap(KQ_TAny& other);

  // Anys of different kinds are never equal (a 32-bit 5 is not a 64-bit 5).
  // Floating values compare as numbers (NaN is unequal to itself, +0 equals
  // -0); held objects compare with their KQ_IsIdent.
  virtual bool operator==(KQ_TAny const& other) const;
  virtual bool operator!=(KQ_TAny const& other) const;
  // NULL, and a UTF-16 text held as a KQ_TString.
  virtual KQ_TAny& operator=(std::nullptr_t);
  virtual KQ_TAny& operator=(char16_t const* text);

  // seed + v + k in 32-bit arithmetic, v from the value and k per kind; a
  // held object gives its own KQ_HashValue(seed) and must be hashable.
  // Pointers contribute the low 32 bits of their address.
  std::uint32_t KQ_HashValue(std::uint32_t seed) const override;
  // The kind and the value's bytes (a zero of either sign as +0, since the
  // two are equal); a held object gives its own and must be hashable.
  std::uint64_t KQ_ContentHash() const override;
  // The kind as one byte, then the value in its exact packed type. Pointer
  // kinds raise KQ_EAnyContainsUnpackableType after the kind byte.
  void KQ_Pack(KQ_IPacking& packer) const override;
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  // A new Any copied from this one; the argument is ignored.
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // The held object's KQ_IsIdent, or operator== with another Any.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  void PrintOn(std::ostream& os) const override;
  // The text format: ILLEGAL, NULL, a basic value in the stream's form of
  // its exact type, a held object in its own text form or else as a packed
  // block. An unknown kind is written as ILLEGAL; pointer kinds raise
  // KQ_EAnyContainsUnpackableType. Returns true.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // One value of any form (the stream's Extract): an Any read becomes this
  // Any's value, any other packable object is held. Returns false: it reads
  // no closing brace, so the framed form KQ_TAny { 5 } needs its own.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;
  // An Any is its value alone, without class name or braces.
  void KQ_WriteTo(KQ_THumanReadableStream& stream) const override;
  void KQ_ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  union Value {
    std::uint64_t fRaw;
    std::int8_t fInt8;
    std::int16_t fInt16;
    std::int32_t fInt32;
    std::int64_t fInt64;
    std::uint8_t fUInt8;
    std::uint16_t fUInt16;
    std::uint32_t fUInt32;
    std::uint64_t fUInt64;
    bool fBool;
    char fChar;
    float fFloat;
    double fDouble;
    void* fPointer;
    void const* fCPointer;
    KQ_IInterface* fInterface;
    KQ_IInterface const* fCInterface;
    KQ_IPackable* fObject;
    // The object made of a short string, once made (see ShortCell).
    KQ_TString* fString;
  };
  struct Cell {
    std::uint32_t fKind;
    // The length of a short string plus one in a ShortCell, else 0.
    std::uint32_t fShort;
    Value fValue;
  };
  // The longest string kept in a cell.
  static constexpr std::uint32_t kShortUnits = 16;
  struct ShortCell;
  // The element of a basic value written straight into the stream's memory,
  // else value through operator<<.
  static void PackElementOf(Cell const& cell, KQ_TAny const& value, KQ_TDataStream& stream,
                            unsigned char code);

 public:
  // The binary format's direct path for the elements of containers. An Any
  // is written as its packing code (code) and then what KQ_Pack writes; a
  // basic value goes between its cell and the stream's memory in one step
  // when the stream allows it (KQ_TDataStream::WriteRoom and Lookahead),
  // and every other value and stream takes operator<< and operator>>. The
  // bytes are the same either way, and so is every exception.
  void KQ_PackElement(KQ_TDataStream& stream, unsigned char code) const;
  void KQ_UnpackElement(KQ_TDataStream& stream, unsigned char code);

  // A value noted some time before it is written: writing it reads the
  // value's cell without reaching the Any again, which saves a cache miss
  // to a container whose Anys lie scattered.
  class Noted {
   public:
    explicit Noted(KQ_TAny const& value) : fValue(&value), fCell(value.fCell) {}
    KQ_TAny const& Value() const { return *fValue; }
    // Starts bringing the cell into the cache, for a caller that knows which
    // value it writes a little later.
    void Prefetch() const { KQ_PREFETCH(fCell); }
    // As KQ_TAny::KQ_PackElement.
    void KQ_PackElement(KQ_TDataStream& stream, unsigned char code) const;

   private:
    KQ_TAny const* fValue;
    Cell const* fCell;
  };

  // For an owner that frees an Any's memory without running its destructor
  // (a container emptying a block of elements at once): gives back what any
  // owns, its object and its cell. The Any must not be used afterwards.
  static void Abandon(KQ_TAny& any);

 private:
  // New cells for the constructors: an empty cell of a kind, a cell that
  // owns object (NULL when it is null; the object is destroyed when no cell
  // can be had), a copy of another cell with its object cloned. The helpers
  // marked inline are defined in the source only, so that the constructors
  // and assignments call them directly instead of through the library's
  // exported symbols.
  static inline Cell* NewCell(std::uint32_t kind);
  static Cell* NewObjectCell(KQ_IPackable* object);
  static inline Cell* NewCopyCell(Cell const& source);
  // A cell holding a copy of text: a ShortCell when it is short enough.
  static Cell* NewStringCell(KQ_TString const& text);
  // A cell holding a copy of object: a string as above, else its clone.
  static Cell* NewCloneCell(KQ_IPackable const& object);
  // Gives back cell and what it owns.
  static void DestroyCell(Cell* cell);
  // Puts cell in place of this Any's own, which is then destroyed.
  void ReplaceCell(Cell* cell);
  // Destroys an owned object and gives the cell the kind with a zero value.
  inline Value& Reset(std::uint32_t kind);
  // Reset, then hold object (NULL when it is null). Taking the object already
  // held changes nothing.
  void TakeObject(KQ_IPackable* object);
  // The held object, made first for a short string; raises
  // KQ_EIllegalCastFromAny for other kinds.
  KQ_IPackable* HeldObject() const;

  Cell* fCell;
};
