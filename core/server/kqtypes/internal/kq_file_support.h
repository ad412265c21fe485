// What KQ_TFile and KQ_TFileInfo share: local names as the file system takes
// them, and the raising of exceptions about a file.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "kq_eexception.h"
#include "kq_tany.h"
#include "kq_tstring.h"
#include "platform/kq_sys_error.h"

namespace kq {

// The bytes of a local name (KQ_TString's kBytes rule, so that every name a
// file system holds passes unchanged). False, with the pending error set,
// for a name the system cannot open as meant (a zero byte inside, the
// network form of another host).
bool FileSystemName(KQ_TString const& name, std::string* bytes);
// A name read from the file system.
KQ_TString FromFileSystem(std::string const& bytes);

}  // namespace kq

// Raises the exception class E about a file: value (the file's URL or name)
// as its value and an empty message, which preparation completes from error
// (nothing is added for 0). error is taken before value is computed, since
// computing it may set the pending error again.
#define KQ_THROW_FILE_ERROR_(E, value, error)                                         \
  do {                                                                                \
    std::uint32_t const kq_error_ = (error);                                          \
    E kq_raised_{KQ_TString(), KQ_TAny(value)};                                       \
    ::kq::sys::SetLastError(kq_error_);                                               \
    kq_raised_.__PREPARE_FOR_THROW__(static_cast<std::uint32_t>(__LINE__), __FILE__); \
    static_cast<KQ_IThrowable const&>(kq_raised_).KQ_Throw();                         \
    ::std::abort(); /* KQ_Throw always throws */                                      \
  } while (false)

// A system call failed: the message gets the system's text of its error.
#define KQ_THROW_SYSTEM_ERROR(E, value) KQ_THROW_FILE_ERROR_(E, value, ::kq::sys::LastError())
// Not the system's fault (nothing open, the wrong mode, the end reached).
#define KQ_THROW_FILE_FAULT(E, value) KQ_THROW_FILE_ERROR_(E, value, 0)
