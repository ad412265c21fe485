// KQ_TInterval: a signed span of time in seconds and microseconds, the
// difference of two KQ_TTime values and the step by which a time moves.
//
// Both fields carry the sign of the span: 1.5 s is (1, 500000), -1.5 s is
// (-1, -500000) and -0.5 s is (0, -500000). Every operation that combines
// spans brings them into this form (see Normalise), except that a micros
// field of exactly 1000000 (or -1000000) stays as it is. Seconds are 32 bits:
// spans wrap beyond about 68 years.
//
// The header also gives KQ_TTime, with which the interval's operators work.
#pragma once

#include <cstdint>
#include <ostream>

#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

class KQ_TTime;

class KQ_EXPORT KQ_TInterval : public KQ_TObject,
                               public virtual KQ_IPackable,
                               public virtual KQ_IPrintable,
                               public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TInterval, KQ_TObject, KQ_IPackable, KQ_IPrintable, KQ_IHumanReadable)

  static constexpr std::int32_t kMicrosPerSecond = 1000000;

  // 0 s.
  KQ_TInterval();
  // The span seconds + micros / 1000000, normalised.
  KQ_TInterval(std::int32_t seconds, std::int32_t micros);
  // a - b.
  KQ_TInterval(KQ_TTime const& a, KQ_TTime const& b);
  KQ_TInterval(KQ_TInterval const& other) = default;
  ~KQ_TInterval() override = default;

  virtual KQ_TInterval& operator=(KQ_TInterval const& other);
  // Unpacks the interval from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;
  // Sums and differences, normalised.
  virtual KQ_TInterval& operator+=(KQ_TInterval const& other);
  virtual KQ_TInterval& operator-=(KQ_TInterval const& other);
  // time + this.
  virtual KQ_TTime operator+(KQ_TTime const& time) const;
  virtual KQ_TInterval operator+(KQ_TInterval const& other) const;
  virtual KQ_TInterval operator-(KQ_TInterval const& other) const;
  // Ordered by seconds, then micros, both signed.
  virtual bool operator==(KQ_TInterval const& other) const;
  virtual bool operator!=(KQ_TInterval const& other) const;
  virtual bool operator<=(KQ_TInterval const& other) const;
  virtual bool operator>=(KQ_TInterval const& other) const;
  virtual bool operator<(KQ_TInterval const& other) const;
  virtual bool operator>(KQ_TInterval const& other) const;
  // Minutes, seconds and micros as 2":05.000300' (a leading minus sign for
  // a negative span); raises KQ_EStringFormatException when the text cannot
  // be formatted.
  virtual operator KQ_TString() const;
  virtual std::int32_t Seconds() const;
  virtual std::int32_t Micros() const;
  // Sets the seconds; the sub-second part keeps its place within the second
  // (5 s set on -2.3 s gives 5.7 s).
  virtual KQ_TInterval& SetSeconds(std::int32_t seconds);
  // Sets the micros; whole seconds in them carry into the seconds, and a
  // micros field whose sign disagrees with non-zero seconds borrows or gives
  // back one second (-300 set on 5 s gives 4.9997 s).
  virtual KQ_TInterval& SetMicros(std::int32_t micros);

  // Writes the text form.
  void PrintOn(std::ostream& os) const override;
  // Seconds, then micros, each as a signed 32-bit number.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Reads what KQ_Pack writes and normalises it.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // True when other is an interval equal to this one.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // One double, the span in seconds (six decimals). Returns false.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Reads that double, rounded to the nearest microsecond; a number beyond
  // the 32-bit seconds (or not a number) is a syntax error of the stream.
  // Returns false.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  friend class KQ_TTime;

  // The span seconds + micros / 1000000 (wrapped to 32-bit seconds) in the
  // form described above the class; micros of exactly 1000000 (-1000000)
  // with seconds of 0 or more (below 0) are kept as they are.
  void Normalise(std::int64_t seconds, std::int64_t micros);

  std::int32_t fSeconds;
  std::int32_t fMicros;
};

#include "kq_ttime.h"
