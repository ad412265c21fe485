#include "kq_istream.h"

#include "kq_eexception.h"

KQ_INTERFACE_IMPL(KQ_IStream)

bool KQ_IStream::Readable() const { return false; }
bool KQ_IStream::Writable() const { return false; }
bool KQ_IStream::Markable() const { return false; }
bool KQ_IStream::Seekable() const { return false; }

std::uint32_t KQ_IStream::Available() const { KQ_THROW(KQ_EStreamIsNotReadable()); }

std::uint32_t KQ_IStream::Read(void*, std::uint32_t, std::uint32_t) {
  KQ_THROW(KQ_EStreamIsNotReadable());
}

KQ_IStream& KQ_IStream::Read(void*, std::uint32_t) { KQ_THROW(KQ_EStreamIsNotReadable()); }

unsigned char KQ_IStream::Read() { KQ_THROW(KQ_EStreamIsNotReadable()); }

bool KQ_IStream::Skip(std::uint32_t) { KQ_THROW(KQ_EStreamIsNotReadable()); }

KQ_IStream& KQ_IStream::Write(void const*, std::uint32_t) { KQ_THROW(KQ_EStreamIsNotWritable()); }

KQ_IStream& KQ_IStream::Write(unsigned char) { KQ_THROW(KQ_EStreamIsNotWritable()); }

KQ_IStream& KQ_IStream::Mark(unsigned char, std::uint32_t) { KQ_THROW(KQ_EStreamIsNotMarkable()); }

KQ_IStream& KQ_IStream::ClearMark(unsigned char) { KQ_THROW(KQ_EStreamIsNotMarkable()); }

KQ_IStream& KQ_IStream::Rewind(unsigned char) { KQ_THROW(KQ_EStreamIsNotMarkable()); }

std::uint32_t KQ_IStream::Position() const { KQ_THROW(KQ_EStreamIsNotSeekable()); }

std::uint32_t KQ_IStream::Seek(std::uint32_t) { KQ_THROW(KQ_EStreamIsNotSeekable()); }
