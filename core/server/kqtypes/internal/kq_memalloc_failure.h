// A switch for white-box tests that makes the library's own heap requests
// fail as an exhausted heap would, so that every path which allocates can be
// driven into KQ_EOutOfMemory one request at a time.
#pragma once

namespace kq {
namespace heap {

// Asked before every system-heap request of KQ_Alloc, KQ_CAlloc, KQ_Realloc
// and the pool (its blocks and its slabs of value cells); true fails the
// request. Null, the default, lets every request through. The predicate may
// be called from any thread at once.
using FailurePredicate = bool (*)();
void SetFailurePredicate(FailurePredicate predicate);

}  // namespace heap
}  // namespace kq
