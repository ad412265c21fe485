#include "kq_tcxxstream.h"

#include <ios>
#include <iostream>
#include <istream>
#include <ostream>
#include <streambuf>

#include "kq_eexception.h"
#include "platform/kq_sys_terminal.h"

KQ_CLASS_IMPL(KQ_TCxxStream)

KQ_TCxxStream::KQ_TCxxStream() : fKind(kUnbound), fInput(nullptr), fOutput(nullptr) {}

KQ_TCxxStream::KQ_TCxxStream(std::iostream& stream) : KQ_TCxxStream() { *this = stream; }

KQ_TCxxStream::KQ_TCxxStream(std::istream& stream) : KQ_TCxxStream() { *this = stream; }

KQ_TCxxStream::KQ_TCxxStream(std::ostream& stream) : KQ_TCxxStream() { *this = stream; }

KQ_TCxxStream::KQ_TCxxStream(KQ_TCxxStream const& other) = default;

KQ_TCxxStream::~KQ_TCxxStream() = default;

KQ_TCxxStream& KQ_TCxxStream::operator=(KQ_TCxxStream const& other) {
  Bind(other.fKind, other.fInput, other.fOutput);
  return *this;
}

KQ_TCxxStream& KQ_TCxxStream::operator=(std::iostream& stream) {
  Bind(kInOut, &stream, &stream);
  return *this;
}

KQ_TCxxStream& KQ_TCxxStream::operator=(std::istream& stream) {
  Bind(kIn, &stream, nullptr);
  return *this;
}

KQ_TCxxStream& KQ_TCxxStream::operator=(std::ostream& stream) {
  Bind(kOut, nullptr, &stream);
  return *this;
}

bool KQ_TCxxStream::IsTerminal(std::ios const& stream) {
  using kq::sys::StandardChannel;
  if (&stream == &std::cin) return kq::sys::IsTerminal(StandardChannel::kInput);
  if (&stream == &std::cout) return kq::sys::IsTerminal(StandardChannel::kOutput);
  if (&stream == &std::cerr || &stream == &std::clog) {
    return kq::sys::IsTerminal(StandardChannel::kError);
  }
  return false;
}

void KQ_TCxxStream::Bind(Kind kind, std::istream* input, std::ostream* output) {
  fKind = kind;
  fInput = input;
  fOutput = output;
}

void KQ_TCxxStream::RequireBound() const {
  if (fKind == kUnbound) KQ_THROW(KQ_EStreamIsNotBound());
}

std::istream& KQ_TCxxStream::Input() const {
  RequireBound();
  if (fInput == nullptr) KQ_THROW(KQ_EStreamIsNotReadable());
  return *fInput;
}

std::ostream& KQ_TCxxStream::Output() const {
  RequireBound();
  if (fOutput == nullptr) KQ_THROW(KQ_EStreamIsNotWritable());
  return *fOutput;
}

bool KQ_TCxxStream::IsGood() const {
  // Both sides of a bidirectional stream share one state.
  return fInput != nullptr ? fInput->good() : fOutput->good();
}

void KQ_TCxxStream::RequireGood() const {
  if (!IsGood()) KQ_THROW(KQ_EStreamIOError());
}

bool KQ_TCxxStream::Close() { return Flush(); }

bool KQ_TCxxStream::Flush() {
  RequireBound();
  if (fOutput != nullptr) fOutput->flush();
  return true;
}

bool KQ_TCxxStream::Readable() const {
  RequireBound();
  return fInput != nullptr;
}

bool KQ_TCxxStream::Writable() const {
  RequireBound();
  return fOutput != nullptr;
}

bool KQ_TCxxStream::Markable() const { return false; }

bool KQ_TCxxStream::Seekable() const { return false; }

std::uint32_t KQ_TCxxStream::Available() const {
  RequireBound();
  return fInput != nullptr && fInput->good() ? 1 : 0;
}

std::uint32_t KQ_TCxxStream::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  std::istream& input = Input();
  if (minimum > maximum) minimum = maximum;
  auto* const bytes = static_cast<char*>(buffer);
  std::uint32_t count = 0;
  if (minimum > 0) {
    input.read(bytes, minimum);
    count = static_cast<std::uint32_t>(input.gcount());
    if (count < minimum) KQ_THROW(KQ_EStreamIOError());
  }
  // readsome takes only what the buffer holds or the device has ready; it
  // gives 0 once nothing more is there without waiting.
  while (count < maximum && input.good()) {
    std::streamsize const got = input.readsome(bytes + count, maximum - count);
    if (got <= 0) break;
    count += static_cast<std::uint32_t>(got);
  }
  return count;
}

KQ_IStream& KQ_TCxxStream::Read(void* buffer, std::uint32_t count) {
  std::istream& input = Input();
  input.read(static_cast<char*>(buffer), count);
  if (static_cast<std::uint32_t>(input.gcount()) < count) KQ_THROW(KQ_EStreamIOError());
  return *this;
}

unsigned char KQ_TCxxStream::Read() {
  std::istream& input = Input();
  std::istream::int_type const c = input.get();
  if (std::istream::traits_type::eq_int_type(c, std::istream::traits_type::eof())) {
    KQ_THROW(KQ_EStreamEndReached());
  }
  return static_cast<unsigned char>(std::istream::traits_type::to_char_type(c));
}

bool KQ_TCxxStream::Skip(std::uint32_t count) {
  RequireBound();
  auto const offset = static_cast<std::streamoff>(count);
  bool moveInput = fInput != nullptr;
  if (fOutput != nullptr) {
    // A file stream keeps one position for both directions: when moving the
    // output position moved the input position too, it is not moved again.
    std::streambuf* const buffer = fOutput->rdbuf();
    std::streampos const before = moveInput && buffer != nullptr
                                      ? buffer->pubseekoff(0, std::ios_base::cur, std::ios_base::in)
                                      : std::streampos(-1);
    fOutput->seekp(offset, std::ios_base::cur);
    RequireGood();
    if (moveInput && before != std::streampos(-1)) {
      moveInput = buffer->pubseekoff(0, std::ios_base::cur, std::ios_base::in) == before;
    }
  }
  if (moveInput) {
    fInput->seekg(offset, std::ios_base::cur);
    RequireGood();
  }
  return true;
}

KQ_IStream& KQ_TCxxStream::Write(void const* buffer, std::uint32_t count) {
  std::ostream& output = Output();
  output.write(static_cast<char const*>(buffer), count);
  RequireGood();
  return *this;
}

KQ_IStream& KQ_TCxxStream::Write(unsigned char byte) {
  std::ostream& output = Output();
  output.put(static_cast<char>(byte));
  RequireGood();
  return *this;
}

KQ_IStream& KQ_TCxxStream::Mark(unsigned char id, std::uint32_t limit) {
  RequireBound();
  return KQ_IStream::Mark(id, limit);
}

KQ_IStream& KQ_TCxxStream::ClearMark(unsigned char id) {
  RequireBound();
  return KQ_IStream::ClearMark(id);
}

KQ_IStream& KQ_TCxxStream::Rewind(unsigned char id) {
  RequireBound();
  return KQ_IStream::Rewind(id);
}

std::uint32_t KQ_TCxxStream::Position() const {
  RequireBound();
  return KQ_IStream::Position();
}

std::uint32_t KQ_TCxxStream::Seek(std::uint32_t position) {
  RequireBound();
  return KQ_IStream::Seek(position);
}
