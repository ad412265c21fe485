// KQ_TArray: an array of KQ_TAny elements indexed by signed 32-bit integers
// between a lower and an upper bound that need not start at 0.
//
// Each side is either fixed (an index beyond it raises
// KQ_EOutOfBoundsOfArray) or open (writing an index beyond it moves the
// bound). An element holding ILLEGAL is an empty slot: iteration passes over
// it, and deleting an element through a cursor makes it ILLEGAL.
//
// Storage. The elements live in a window of storage indexes that always
// covers the bounds. An open side widens the window in steps of 8 indexes:
// touching index 5 of an empty array gives a window up to index 8, touching
// index -3 afterwards one from index -8; a fixed side widens it exactly to
// the new bound. Beneath the window the raw block keeps room that doubles
// when it runs out, so adding elements one by one at either end costs
// amortised constant time. An index that a moving bound brings back into
// range is always ILLEGAL, whatever it held before.
//
// The exclusive upper bound is a 32-bit signed number too, so the index
// 2147483647 is never valid.
#pragma once

#include <cstdint>
#include <ostream>

#include "kq_ihumanreadable.h"
#include "kq_iiteratable.h"
#include "kq_iiterationinfo.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tany.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TArray : public KQ_TObject,
                            public virtual KQ_IPackable,
                            public virtual KQ_IIteratable,
                            public virtual KQ_IPrintable,
                            public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TArray, KQ_TObject, KQ_IPackable, KQ_IIteratable, KQ_IPrintable, KQ_IHumanReadable)
  // Registers the class with the data stream under packing code 70.
  static bool KQ_Initialize();

  // Empty: bounds 0..0 exclusive, no storage, both sides open.
  KQ_TArray();
  // n ILLEGAL elements at the indexes 0 to n - 1, both sides fixed.
  // KQ_EOutOfBoundsOfArray when n exceeds 2147483647.
  explicit KQ_TArray(std::uint32_t n);
  // ILLEGAL elements from the smaller to the larger index, both included,
  // both sides fixed.
  KQ_TArray(std::int32_t first, std::int32_t last);
  // Same bounds, flags and element values (held objects are cloned).
  KQ_TArray(KQ_TArray const& other);
  ~KQ_TArray() override;

  // Takes the other's bounds, flags and copies of its elements; the array
  // is unchanged when copying fails.
  virtual KQ_TArray& operator=(KQ_TArray const& other);
  // Unpacks the array from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  // The number of indexes in range (the last valid index - LowerBound() + 1).
  virtual std::uint32_t Size() const;
  // The first and the last valid index; an empty array's last valid index
  // is LowerBound() - 1.
  virtual std::int32_t LowerBound() const;
  virtual std::int32_t UpperBound() const;
  // SetUpperBound(LowerBound() + n - 1, true), then the lower side is fixed
  // too. Size 0 is allowed.
  virtual KQ_TArray& SetSize(std::uint32_t n);
  // Moves one bound so that index becomes the first / last valid index and
  // sets that side's flag to fixed. Growing brings ILLEGAL elements into
  // range; shrinking keeps the elements in storage but out of range. Moving
  // a bound past the opposite one (leaving less than an empty array) raises
  // KQ_EOutOfBoundsOfArray when the opposite side is fixed; when it is open
  // every element becomes ILLEGAL and the array is left empty at the new
  // bound.
  virtual KQ_TArray& SetLowerBound(std::int32_t index, bool fixed);
  virtual KQ_TArray& SetUpperBound(std::int32_t index, bool fixed);
  virtual bool LowerFixed() const;
  virtual bool UpperFixed() const;
  virtual KQ_TArray& SetLowerFixed(bool fixed);
  virtual KQ_TArray& SetUpperFixed(bool fixed);

  // The element at index. The const form never grows: an index outside the
  // bounds raises KQ_EOutOfBoundsOfArray. The non-const form moves an open
  // bound out to the index first (an index beyond a fixed bound raises).
  virtual KQ_TAny const& operator[](std::int32_t index) const;
  virtual KQ_TAny& operator[](std::int32_t index);
  // Assigns value at UpperBound() + 1 through the non-const operator[], so an
  // upper-fixed array raises.
  virtual KQ_TArray& operator+=(KQ_TAny const& value);
  // The same bounds and equal elements (KQ_TAny::operator==) at every index.
  virtual bool operator==(KQ_TArray const& other) const;
  virtual bool operator!=(KQ_TArray const& other) const;

  // The storage window: the first index it covers and the index after the
  // last. Both equal LowerBound() while nothing was ever stored.
  std::int64_t StorageLower() const { return fStorageLower; }
  std::int64_t StorageUpper() const { return fStorageUpper; }

  // A new KQ_TArrayIterationInfo standing on the first element that is not
  // ILLEGAL.
  KQ_IIterationInfo* CreateIterationInfo() const override;

  // The lower bound and the exclusive upper bound as 32-bit signed numbers,
  // the lower-fixed and the upper-fixed flag, then every element in range
  // from the lowest index as a packable object.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Empties the array, reads bounds and flags, then the elements one by one.
  // The bounds are not trusted: storage grows only as elements arrive, so a
  // stream that ends early raises its own exception, with the array holding
  // the elements read so far from the lower bound. An exclusive upper bound
  // below the lower one raises KQ_EWrongPackedType.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another array equal by operator==.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // "ARRAY", a line break, then at the current indentation "{", one line two
  // spaces deeper per index in range ("[index] = value", the value's nested
  // lines two spaces deeper still), and "}" with no line break after it.
  void PrintOn(std::ostream& os) const override;
  // One line per element written, from the lower bound up: "[index] =" and
  // the value in its text form. ILLEGAL elements are left out, except the
  // one at the lower bound, which is always written so that the lower bound
  // comes back. Returns false: the framing writes and reads the closing
  // brace.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Empties the array, opens both sides and stores every "[index] = value"
  // read up to the closing brace, which it consumes, through the non-const
  // operator[]: the bounds come from the indexes read, the first one
  // starting the array. Returns true. A missing "[", "]" or "=" raises
  // KQ_EHRSyntaxError with the elements read before kept, and so do indexes
  // that would make the array wider than 1048576: the text leaves ILLEGAL
  // elements out, so a short text could otherwise ask for any width.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;
  // True unless the array is empty.
  bool KQ_HRMultiLine() const override;

 private:
  friend class KQ_TArrayIterationInfo;

  // The element at an index inside the storage window.
  KQ_TAny& At(std::int64_t index) const { return fRaw[index - fRawLower]; }
  // Moves the exclusive upper bound to upper (the lower bound to lower)
  // without touching the flags; raises as SetUpperBound (SetLowerBound).
  void MoveUpper(std::int64_t upper, bool exact);
  void MoveLower(std::int64_t lower, bool exact);
  // Widens the window to cover [from, to), which includes it, with ILLEGAL
  // elements. When an allocation fails nothing has changed.
  void Widen(std::int64_t from, std::int64_t to);
  // Moves the window (all of its elements become ILLEGAL) so that it starts
  // at start; the raw block stays.
  void ShiftWindow(std::int64_t start);
  // Sets the elements of [from, to) to ILLEGAL.
  void Reset(std::int64_t from, std::int64_t to);
  // Destroys every element and the raw block; the array is left empty at
  // index at, both sides open.
  void Clear(std::int32_t at);
  void Swap(KQ_TArray& other);

  // The raw block: fRawCapacity slots, the first for index fRawLower. Only
  // the slots of the window [fStorageLower, fStorageUpper) hold elements.
  KQ_TAny* fRaw;
  std::int64_t fRawLower;
  std::uint32_t fRawCapacity;
  std::int64_t fStorageLower;
  std::int64_t fStorageUpper;
  // The bounds in use, the upper one exclusive; always inside the window.
  std::int32_t fLower;
  std::int32_t fUpper;
  bool fLowerFixed;
  bool fUpperFixed;
};

// The cursor of an array: it stands on an index. Before the lower bound it
// is before the start, beyond the last valid index after the end; the
// stepping operations pass over ILLEGAL elements. A cursor made without an
// array raises KQ_EIteratorNotInitialized from every operation but Clone.
class KQ_EXPORT KQ_TArrayIterationInfo : public KQ_TObject, public virtual KQ_IIterationInfo {
  KQ_CLASS(KQ_TArrayIterationInfo, KQ_TObject, KQ_IIterationInfo)
  KQ_TArrayIterationInfo();
  // Positioned as by Start(). The array is not owned; the cursor may empty
  // its slots through DeleteItem.
  explicit KQ_TArrayIterationInfo(KQ_TArray const& array);
  KQ_TArrayIterationInfo(KQ_TArrayIterationInfo const& other) = default;
  KQ_TArrayIterationInfo& operator=(KQ_TArrayIterationInfo const& other) = default;
  ~KQ_TArrayIterationInfo() override;

  KQ_IIterationInfo* Clone() const override;
  // On the first (last) element that is not ILLEGAL; after the end (before
  // the start) when there is none.
  KQ_IIterationInfo& Start() override;
  KQ_IIterationInfo& End() override;
  // One index on (back), then on (back) over ILLEGAL elements. Stepping
  // stops one index beyond either end, so Prev() after the end acts as End()
  // and Next() before the start as Start().
  KQ_IIterationInfo& Next() override;
  KQ_IIterationInfo& Prev() override;
  bool IsBeforeStart() const override;
  bool IsAfterEnd() const override;
  // A KQ_TAny holding the current index as a 32-bit signed integer. It
  // belongs to a ring of 1024 per thread, shared by all array cursors of the
  // thread: it stays valid until 1024 further Key() calls of array cursors
  // on the same thread (or the thread's end), and the caller never frees it.
  KQ_IPackable& Key() override;
  // The current element itself.
  KQ_TAny& Value() override;
  // Sets the current element to ILLEGAL; the cursor does not move.
  KQ_IIterationInfo& DeleteItem() override;

 private:
  KQ_TArray& Array() const;
  // The current element; KQ_EIteratorOutOfBounds outside the bounds.
  KQ_TAny& Current() const;
  // From index on forwards (backwards), the first index that is not
  // ILLEGAL, or one beyond the end (before the start).
  void SeekForward(std::int64_t index);
  void SeekBackward(std::int64_t index);

  KQ_TArray* fArray;
  std::int64_t fIndex;
};
