// KQ_EException and the whole tree of the library's exceptions.
//
// Every failure of the library is an object of this tree. An exception
// carries a message, an optional value and a stack trace whose first entry is
// the place where it was raised. Every exception is also a std::exception,
// whose what() gives the class name and the message in UTF-8. Raising sites use KQ_THROW, which
// prepares the exception with the site's own file and line and throws it as its most derived type,
// so a handler for any ancestor catches it:
//
//   KQ_THROW(KQ_EIllegalUTF8Character());
//   KQ_THROW(KQ_EIllegalCast(KQ_TString::Format("...", ...)));
#pragma once

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <ostream>
#include <string>

#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_ithrowable.h"
#include "kq_tany.h"
#include "kq_tlist.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

class KQ_EXPORT KQ_EException : public KQ_TObject,
                                public virtual KQ_IThrowable,
                                public virtual KQ_IPackable,
                                public virtual KQ_IPrintable,
                                public std::exception {
  KQ_CLASS(KQ_EException, KQ_TObject, KQ_IThrowable, KQ_IPackable, KQ_IPrintable)
  // An empty message, no data (ILLEGAL) and one empty stack entry.
  KQ_EException();
  explicit KQ_EException(KQ_TString const& message);
  KQ_EException(KQ_TString const& message, KQ_TAny const& data);
  // A copy of an exception without data, such as the out-of-memory one,
  // takes no memory beyond its stack trace.
  KQ_EException(KQ_EException const& other);
  KQ_EException& operator=(KQ_EException const& other);
  ~KQ_EException() override;

  // Completes an empty message (class name, then the pending system error)
  // and rebuilds the stack trace: one entry for (file, line), or the real
  // call stack when KQ_STACKTRACE is set to a non-zero number. It never
  // raises: a step that runs out of memory is left undone. An exception
  // raised while another one is built, prepared or thrown on the same
  // thread stays bare (empty message and trace), so that running out of
  // memory there cannot raise without end.
  KQ_EException& __PREPARE_FOR_THROW__(std::uint32_t line, char const* file);

  // The place of the first stack entry (0 and empty when there is none).
  virtual std::uint32_t KQ_ExceptionLine() const;
  virtual KQ_TString const& KQ_ExceptionFile() const;
  // A list of KQ_TAny, each holding a KQ_TStackEntry.
  virtual KQ_TList const& KQ_StackTrace() const;
  virtual KQ_TString const& KQ_Message() const;
  virtual KQ_TString& KQ_Message();
  virtual KQ_TAny const& KQ_Data() const;
  virtual KQ_TAny& KQ_Data();

  void KQ_Throw() const override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // True for another exception with an equal stack trace and message; the
  // data are not compared.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  void KQ_Pack(KQ_IPacking& packer) const override;
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  void PrintOn(std::ostream& os) const override;

  // "Class: message" (the message alone when it starts with the class name,
  // the class name alone when it is empty), valid while the exception
  // lives and its message is unchanged.
  char const* what() const noexcept override;

 private:
  KQ_TList fStackTrace;
  KQ_TString fMessage;
  // Null while the data are ILLEGAL, so that an exception without data
  // needs no value cell.
  std::unique_ptr<KQ_TAny> fData;
  mutable std::string fWhat;
};

// Prepares the exception with the raising site's file and line and throws it.
#define KQ_THROW(exception)                                                           \
  do {                                                                                \
    auto kq_raised_ = exception;                                                      \
    kq_raised_.__PREPARE_FOR_THROW__(static_cast<std::uint32_t>(__LINE__), __FILE__); \
    static_cast<KQ_IThrowable const&>(kq_raised_).KQ_Throw();                         \
    ::std::abort(); /* KQ_Throw always throws */                                      \
  } while (false)

// Every exception class below KQ_EException: (class, parent), family roots
// before their children. Each packs its parent's part inside a class section
// named after the parent.
#define KQ_EXCEPTION_TREE(X)                                     \
  X(KQ_EOutOfMemory, KQ_EException)                              \
  X(KQ_EPackingException, KQ_EException)                         \
  X(KQ_EWrongPackedType, KQ_EPackingException)                   \
  X(KQ_EWrongPacketSize, KQ_EPackingException)                   \
  X(KQ_EStreamException, KQ_EException)                          \
  X(KQ_EStreamIsNotBound, KQ_EStreamException)                   \
  X(KQ_EStreamIsNotReadable, KQ_EStreamException)                \
  X(KQ_EStreamIsNotWritable, KQ_EStreamException)                \
  X(KQ_EStreamIsNotMarkable, KQ_EStreamException)                \
  X(KQ_EStreamIsNotSeekable, KQ_EStreamException)                \
  X(KQ_EStreamIOError, KQ_EStreamException)                      \
  X(KQ_EStreamEndReached, KQ_EStreamException)                   \
  X(KQ_EIllegalStreamMark, KQ_EStreamException)                  \
  X(KQ_EIllegalCast, KQ_EException)                              \
  X(KQ_EStringException, KQ_EException)                          \
  X(KQ_EIllegalUnicodeMapping, KQ_EStringException)              \
  X(KQ_EStringFormatException, KQ_EStringException)              \
  X(KQ_EIllegalUTF8Character, KQ_EStringException)               \
  X(KQ_EAnyException, KQ_EException)                             \
  X(KQ_EIllegalCastFromAny, KQ_EAnyException)                    \
  X(KQ_EAnyContainsUnpackableType, KQ_EAnyException)             \
  X(KQ_EAnyContainsUnhashableType, KQ_EAnyException)             \
  X(KQ_EIteratorException, KQ_EException)                        \
  X(KQ_EIteratorNotInitialized, KQ_EIteratorException)           \
  X(KQ_EIteratorOutOfBounds, KQ_EIteratorException)              \
  X(KQ_EDictException, KQ_EException)                            \
  X(KQ_ENoMatchingDictKey, KQ_EDictException)                    \
  X(KQ_ENoMatchingDictValue, KQ_EDictException)                  \
  X(KQ_EListException, KQ_EException)                            \
  X(KQ_EOutOfBoundsOfList, KQ_EListException)                    \
  X(KQ_EElementNotInList, KQ_EListException)                     \
  X(KQ_EUserInfoException, KQ_EException)                        \
  X(KQ_ENoSuchUser, KQ_EUserInfoException)                       \
  X(KQ_ENoSuchDomain, KQ_EUserInfoException)                     \
  X(KQ_ENotLoggedOn, KQ_EUserInfoException)                      \
  X(KQ_EThreadException, KQ_EException)                          \
  X(KQ_ECouldNotCreateThread, KQ_EThreadException)               \
  X(KQ_ECouldNotStartThread, KQ_EThreadException)                \
  X(KQ_EThreadAlreadyStarted, KQ_EThreadException)               \
  X(KQ_EThreadAccountDisabled, KQ_EThreadException)              \
  X(KQ_EThreadIllegalUserOrPassword, KQ_EThreadException)        \
  X(KQ_EThreadNotPrivileged, KQ_EThreadException)                \
  X(KQ_EProcessException, KQ_EException)                         \
  X(KQ_EProcessNotBound, KQ_EProcessException)                   \
  X(KQ_EProcessAlreadyBound, KQ_EProcessException)               \
  X(KQ_ECouldNotCreateProcess, KQ_EProcessException)             \
  X(KQ_ECouldNotFindProcess, KQ_EProcessException)               \
  X(KQ_ECouldNotKillProcess, KQ_EProcessException)               \
  X(KQ_ESemaphoreException, KQ_EException)                       \
  X(KQ_ECouldNotCreateSemaphore, KQ_ESemaphoreException)         \
  X(KQ_ECouldNotLockSemaphore, KQ_ESemaphoreException)           \
  X(KQ_ECouldNotUnlockSemaphore, KQ_ESemaphoreException)         \
  X(KQ_EMutexException, KQ_EException)                           \
  X(KQ_ECouldNotCreateMutex, KQ_EMutexException)                 \
  X(KQ_ECouldNotLockMutex, KQ_EMutexException)                   \
  X(KQ_ECouldNotUnlockMutex, KQ_EMutexException)                 \
  X(KQ_EEventException, KQ_EException)                           \
  X(KQ_ECouldNotCreateEvent, KQ_EEventException)                 \
  X(KQ_ECouldNotWaitOnEvent, KQ_EEventException)                 \
  X(KQ_ECouldNotSignalEvent, KQ_EEventException)                 \
  X(KQ_ECouldNotLockEvent, KQ_EEventException)                   \
  X(KQ_ECouldNotUnlockEvent, KQ_EEventException)                 \
  X(KQ_ERWLockException, KQ_EException)                          \
  X(KQ_ENoActiveReadLocks, KQ_ERWLockException)                  \
  X(KQ_ENoActiveWriteLocks, KQ_ERWLockException)                 \
  X(KQ_EDeadLock, KQ_ERWLockException)                           \
  X(KQ_EPackageException, KQ_EException)                         \
  X(KQ_EEndOfPackageReached, KQ_EPackageException)               \
  X(KQ_EWrongTypeInPackage, KQ_EPackageException)                \
  X(KQ_ESocketException, KQ_EException)                          \
  X(KQ_ECouldNotCreateSocket, KQ_ESocketException)               \
  X(KQ_ENoConnectionForAccept, KQ_ESocketException)              \
  X(KQ_ECouldNotReadFromSocket, KQ_ESocketException)             \
  X(KQ_ECouldNotWriteToSocket, KQ_ESocketException)              \
  X(KQ_ECouldNotBindSocket, KQ_ESocketException)                 \
  X(KQ_ECouldNotListenOnSocket, KQ_ESocketException)             \
  X(KQ_EHRException, KQ_EException)                              \
  X(KQ_EHRSyntaxError, KQ_EHRException)                          \
  X(KQ_ETreeException, KQ_EException)                            \
  X(KQ_ENoMatchingTreeKey, KQ_ETreeException)                    \
  X(KQ_EEntryIsNotASubtree, KQ_ETreeException)                   \
  X(KQ_ENoMatchingTreeValue, KQ_ETreeException)                  \
  X(KQ_EQueueException, KQ_EException)                           \
  X(KQ_EOutOfBoundsOfQueue, KQ_EQueueException)                  \
  X(KQ_EElementNotInQueue, KQ_EQueueException)                   \
  X(KQ_EArrayException, KQ_EException)                           \
  X(KQ_EOutOfBoundsOfArray, KQ_EArrayException)                  \
  X(KQ_ETimeException, KQ_EException)                            \
  X(KQ_ECouldNotGetTime, KQ_ETimeException)                      \
  X(KQ_EIllegalTime, KQ_ETimeException)                          \
  X(KQ_EURLException, KQ_EException)                             \
  X(KQ_EIllegalURLName, KQ_EURLException)                        \
  X(KQ_EIllegalURLParams, KQ_EURLException)                      \
  X(KQ_EIllegalURLFileName, KQ_EURLException)                    \
  X(KQ_EIllegalURLExtension, KQ_EURLException)                   \
  X(KQ_EIllegalURLEncoding, KQ_EURLException)                    \
  X(KQ_EURLIsNoRelative, KQ_EURLException)                       \
  X(KQ_EURLTopReached, KQ_EURLException)                         \
  X(KQ_ENotALocalURL, KQ_EURLException)                          \
  X(KQ_EURLParameterNotSet, KQ_EURLException)                    \
  X(KQ_ERemovableMediumChanged, KQ_EURLException)                \
  X(KQ_EFileException, KQ_EException)                            \
  X(KQ_ECouldNotOpenFile, KQ_EFileException)                     \
  X(KQ_ECouldNotRemoveFile, KQ_EFileException)                   \
  X(KQ_ECouldNotRenameFile, KQ_EFileException)                   \
  X(KQ_EFileInfoException, KQ_EException)                        \
  X(KQ_ECouldNotGetFileInfo, KQ_EFileInfoException)              \
  X(KQ_ENotADirectory, KQ_EFileInfoException)                    \
  X(KQ_EVolumeInfoException, KQ_EException)                      \
  X(KQ_ENoSuchDevice, KQ_EVolumeInfoException)                   \
  X(KQ_EDynamicObjectException, KQ_EException)                   \
  X(KQ_ECouldNotLoadDynamicObject, KQ_EDynamicObjectException)   \
  X(KQ_ECouldNotCopyDynamicObject, KQ_EDynamicObjectException)   \
  X(KQ_ECouldNotUnloadDynamicObject, KQ_EDynamicObjectException) \
  X(KQ_EDynamicObjectIsNotLoaded, KQ_EDynamicObjectException)    \
  X(KQ_EDynamicObjectSymbolNotFound, KQ_EDynamicObjectException)

// The members every exception class below KQ_EException carries.
#define KQ_DECLARE_EXCEPTION_(X, Parent)                                         \
  class KQ_EXPORT X : public Parent {                                            \
    KQ_CLASS(X, Parent)                                                          \
    X() = default;                                                               \
    explicit X(KQ_TString const& message) : Parent(message) {}                   \
    X(KQ_TString const& message, KQ_TAny const& data) : Parent(message, data) {} \
    X(X const&) = default;                                                       \
    X& operator=(X const&) = default;                                            \
    ~X() override;                                                               \
    void KQ_Throw() const override;                                              \
    KQ_IPackable* KQ_Clone(void* where = nullptr) const override;                \
    void KQ_Pack(KQ_IPacking& packer) const override;                            \
    void KQ_Unpack(KQ_IUnpacking& unpacker) override;                            \
  };

KQ_EXCEPTION_TREE(KQ_DECLARE_EXCEPTION_)
