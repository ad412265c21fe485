// KQ_IStream: the library's one abstract byte stream. Devices (memory,
// files, sockets) and filters (packing, text) implement it; code that
// serialises or parses never knows where its bytes end up.
//
// Only Close and Flush must be written by an implementation. Every other
// operation raises the exception naming the capability it lacks, so a
// stream overrides just what it can do and announces it through the four
// capability queries. Positions and counts are 32 bits wide; a mark is named
// by one byte (256 slots).
#pragma once

#include <cstdint>

#include "kq_iinterface.h"

class KQ_EXPORT KQ_IStream : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IStream, KQ_IInterface)
  // Ends the stream (a filter flushes and releases what it holds).
  virtual bool Close() = 0;
  // Pushes buffered bytes on to the device or bound stream.
  virtual bool Flush() = 0;

  virtual bool Readable() const;
  virtual bool Writable() const;
  virtual bool Markable() const;
  virtual bool Seekable() const;

  // Bytes that can be read without blocking or reaching the end.
  virtual std::uint32_t Available() const;
  // Reads at least minimum and at most maximum bytes; returns the count.
  virtual std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum);
  // Reads exactly count bytes.
  virtual KQ_IStream& Read(void* buffer, std::uint32_t count);
  virtual unsigned char Read();
  // Passes over count bytes; false when that many are not there.
  virtual bool Skip(std::uint32_t count);
  virtual KQ_IStream& Write(void const* buffer, std::uint32_t count);
  virtual KQ_IStream& Write(unsigned char byte);
  // Records the current position under mark id; the limit is passed on by
  // filters and not used by any stream of the library.
  virtual KQ_IStream& Mark(unsigned char id, std::uint32_t limit);
  virtual KQ_IStream& ClearMark(unsigned char id);
  // Returns to the position recorded under mark id.
  virtual KQ_IStream& Rewind(unsigned char id);
  virtual std::uint32_t Position() const;
  // Moves to an absolute position; returns the previous one.
  virtual std::uint32_t Seek(std::uint32_t position);
};
