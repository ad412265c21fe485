// KQ_TCxxStream: lets a standard-library stream serve as a KQ_IStream, so
// that packing and printing can go to and come from files, string streams
// and the console streams of the standard library.
//
// The adapter is bound to one of three kinds of standard stream, chosen by
// the constructor or assignment used: a std::iostream (read and write), a
// std::istream (read only) or a std::ostream (write only). A std::fstream or
// std::stringstream binds as a std::iostream, an input-only stream as a
// std::istream and an output-only stream as a std::ostream. The standard
// stream is not owned: copies refer to the same one, and neither the
// destructor nor Close closes it (Close and Flush only flush an output
// stream).
//
// Every operation but Markable and Seekable raises KQ_EStreamIsNotBound while
// no stream is bound. Marks and positions are not supported. The standard
// stream's error state is left as the standard stream sets it; the adapter
// never clears it, so after the end was reached the caller clears it before
// using the stream again.
//
// Available() is 1 while the standard stream's state is good and 0 otherwise
// (0 for an output stream): a standard stream cannot tell how many bytes are
// waiting. Read of a range reads the minimum with a blocking read and then
// only what the stream buffer holds or the device has ready (readsome), up to
// the maximum, so that a pipe or a terminal never keeps it waiting for more
// than the minimum.
//
// One thread at a time; nothing else may use the standard stream meanwhile.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "kq_istream.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TCxxStream : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_TCxxStream, KQ_TObject, KQ_IStream)
  // Unbound.
  KQ_TCxxStream();
  explicit KQ_TCxxStream(std::iostream& stream);
  explicit KQ_TCxxStream(std::istream& stream);
  explicit KQ_TCxxStream(std::ostream& stream);
  // Refers to the same standard stream, with the same kind.
  KQ_TCxxStream(KQ_TCxxStream const& other);
  // Nothing is flushed or closed.
  ~KQ_TCxxStream() override;

  KQ_TCxxStream& operator=(KQ_TCxxStream const& other);
  // Rebinds to another standard stream.
  KQ_TCxxStream& operator=(std::iostream& stream);
  KQ_TCxxStream& operator=(std::istream& stream);
  KQ_TCxxStream& operator=(std::ostream& stream);

  // Whether stream is one of the standard streams std::cin, std::cout,
  // std::cerr and std::clog and the process's channel under it (standard
  // input, output or error) is connected to a terminal rather than a file or
  // a pipe: for programs that show progress or colour only to a person
  // watching. False for every other stream, even one that shares a standard
  // stream's buffer. Leaves the pending system error as it is.
  static bool IsTerminal(std::ios const& stream);

  // Flush an output stream; true for an input stream too.
  bool Close() override;
  bool Flush() override;
  bool Readable() const override;
  bool Writable() const override;
  bool Markable() const override;
  bool Seekable() const override;
  std::uint32_t Available() const override;
  // Raises KQ_EStreamIOError when fewer than minimum bytes arrive.
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  // Raises KQ_EStreamIOError when fewer than count bytes arrive.
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  // Raises KQ_EStreamEndReached at the end of the input.
  unsigned char Read() override;
  // Moves relatively by count: the output position of an output stream, the
  // input position of an input stream, and both positions of a
  // bidirectional one (once only when the standard stream keeps one position
  // for both, as a file stream does). Raises KQ_EStreamIOError when the
  // standard stream refuses; otherwise true.
  bool Skip(std::uint32_t count) override;
  // Raise KQ_EStreamIOError when the standard stream's state is not good
  // afterwards.
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;
  // Raise KQ_EStreamIsNotBound or, once bound, the capability exception.
  KQ_IStream& Mark(unsigned char id, std::uint32_t limit) override;
  KQ_IStream& ClearMark(unsigned char id) override;
  KQ_IStream& Rewind(unsigned char id) override;
  std::uint32_t Position() const override;
  std::uint32_t Seek(std::uint32_t position) override;

 private:
  // What the adapter is bound to.
  enum Kind : unsigned char { kUnbound = 0, kInOut = 1, kIn = 2, kOut = 3 };

  // Raises KQ_EStreamIsNotBound while unbound.
  void RequireBound() const;
  // The bound stream's input or output side; they raise KQ_EStreamIsNotBound
  // while unbound and the capability exception for the wrong kind.
  std::istream& Input() const;
  std::ostream& Output() const;
  // Raises KQ_EStreamIOError unless the standard stream's state is good.
  void RequireGood() const;
  bool IsGood() const;

  // Binds to the input side, the output side or both of one stream.
  void Bind(Kind kind, std::istream* input, std::ostream* output);

  Kind fKind;
  // The bound stream's sides, not owned: both for a bidirectional stream,
  // one of them for the other kinds, none while unbound.
  std::istream* fInput;
  std::ostream* fOutput;
};
