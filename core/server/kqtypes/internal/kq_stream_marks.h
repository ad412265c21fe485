// The mark table of the library's markable streams: 256 positions, one per
// mark id, allocated zero-filled by the first Mark and copied along with the
// stream. A stream keeps the table as a plain pointer, null until then.
#pragma once

#include <cstdint>

namespace kq {

// Records position under id, allocating the table on first use.
void SetStreamMark(std::uint32_t*& marks, unsigned char id, std::uint32_t position);
// The position recorded under id (0 for an id never marked); raises
// KQ_EIllegalStreamMark while there is no table.
std::uint32_t& StreamMark(std::uint32_t* marks, unsigned char id);
// A copy of the table, or null for none.
std::uint32_t* CopyStreamMarks(std::uint32_t const* marks);
// Frees the table and leaves the pointer null.
void FreeStreamMarks(std::uint32_t*& marks);

}  // namespace kq
