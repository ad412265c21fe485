#include "kq_initialization.h"

#include "kq_eexception.h"
#include "kq_iiteratable.h"
#include "kq_ipacking.h"
#include "kq_irunnable.h"
#include "kq_istream.h"
#include "kq_iunpacking.h"
#include "kq_tarray.h"
#include "kq_tcxxstream.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tevent.h"
#include "kq_thumanreadablestream.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tmutex.h"
#include "kq_tpackage.h"
#include "kq_tqueue.h"
#include "kq_trwlock.h"
#include "kq_tsemaphore.h"
#include "kq_tstackentry.h"
#include "kq_ttextstream.h"
#include "kq_tthread.h"
#include "kq_ttime.h"
#include "kq_ttree.h"
#include "kq_tunknown.h"
#include "kq_tuserinfo.h"

namespace {

using Accessor = KQ_TClass const* (*)();

// Every record of the library in the order it is initialised: the
// interfaces, strings and variants first (they register packing codes that
// everything after them relies on), then the exception families (root before
// children) and the remaining classes.
Accessor const kRecordsInOrder[] = {
    &KQ_IInterface::KQ_ClassObject,
    &KQ_TObject::KQ_ClassObject,
    &KQ_IThrowable::KQ_ClassObject,
    &KQ_IPackable::KQ_ClassObject,
    &KQ_IPacking::KQ_ClassObject,
    &KQ_IUnpacking::KQ_ClassObject,
    &KQ_IPrintable::KQ_ClassObject,
    &KQ_IHashable::KQ_ClassObject,
    &KQ_IScanable::KQ_ClassObject,
    &KQ_IHumanReadable::KQ_ClassObject,
    &KQ_TString::KQ_ClassObject,
    &KQ_TAny::KQ_ClassObject,
    &KQ_IIterationInfo::KQ_ClassObject,
    &KQ_IIteratable::KQ_ClassObject,
    &KQ_TList::KQ_ClassObject,
    &KQ_TStackEntry::KQ_ClassObject,
    &KQ_EException::KQ_ClassObject,
    &KQ_EOutOfMemory::KQ_ClassObject,
    &KQ_EPackingException::KQ_ClassObject,
    &KQ_EWrongPackedType::KQ_ClassObject,
    &KQ_EWrongPacketSize::KQ_ClassObject,
    &KQ_IRunnable::KQ_ClassObject,
    &KQ_EStreamException::KQ_ClassObject,
    &KQ_EStreamIsNotBound::KQ_ClassObject,
    &KQ_EStreamIsNotReadable::KQ_ClassObject,
    &KQ_EStreamIsNotWritable::KQ_ClassObject,
    &KQ_EStreamIsNotMarkable::KQ_ClassObject,
    &KQ_EStreamIsNotSeekable::KQ_ClassObject,
    &KQ_EStreamIOError::KQ_ClassObject,
    &KQ_EStreamEndReached::KQ_ClassObject,
    &KQ_EIllegalStreamMark::KQ_ClassObject,
    &KQ_IStream::KQ_ClassObject,
    &KQ_EIllegalCast::KQ_ClassObject,
    &KQ_EStringException::KQ_ClassObject,
    &KQ_EIllegalUnicodeMapping::KQ_ClassObject,
    &KQ_EStringFormatException::KQ_ClassObject,
    &KQ_EIllegalUTF8Character::KQ_ClassObject,
    &KQ_EAnyException::KQ_ClassObject,
    &KQ_EIllegalCastFromAny::KQ_ClassObject,
    &KQ_EAnyContainsUnpackableType::KQ_ClassObject,
    &KQ_EAnyContainsUnhashableType::KQ_ClassObject,
    &KQ_EIteratorException::KQ_ClassObject,
    &KQ_EIteratorNotInitialized::KQ_ClassObject,
    &KQ_EIteratorOutOfBounds::KQ_ClassObject,
    &KQ_EDictException::KQ_ClassObject,
    &KQ_ENoMatchingDictKey::KQ_ClassObject,
    &KQ_ENoMatchingDictValue::KQ_ClassObject,
    &KQ_TDict::KQ_ClassObject,
    &KQ_EListException::KQ_ClassObject,
    &KQ_EOutOfBoundsOfList::KQ_ClassObject,
    &KQ_EElementNotInList::KQ_ClassObject,
    &KQ_EUserInfoException::KQ_ClassObject,
    &KQ_ENoSuchUser::KQ_ClassObject,
    &KQ_ENoSuchDomain::KQ_ClassObject,
    &KQ_ENotLoggedOn::KQ_ClassObject,
    &KQ_EThreadException::KQ_ClassObject,
    &KQ_ECouldNotCreateThread::KQ_ClassObject,
    &KQ_ECouldNotStartThread::KQ_ClassObject,
    &KQ_EThreadAlreadyStarted::KQ_ClassObject,
    &KQ_EThreadAccountDisabled::KQ_ClassObject,
    &KQ_EThreadIllegalUserOrPassword::KQ_ClassObject,
    &KQ_EThreadNotPrivileged::KQ_ClassObject,
    &KQ_EProcessException::KQ_ClassObject,
    &KQ_EProcessNotBound::KQ_ClassObject,
    &KQ_EProcessAlreadyBound::KQ_ClassObject,
    &KQ_ECouldNotCreateProcess::KQ_ClassObject,
    &KQ_ECouldNotFindProcess::KQ_ClassObject,
    &KQ_ECouldNotKillProcess::KQ_ClassObject,
    &KQ_ESemaphoreException::KQ_ClassObject,
    &KQ_ECouldNotCreateSemaphore::KQ_ClassObject,
    &KQ_ECouldNotLockSemaphore::KQ_ClassObject,
    &KQ_ECouldNotUnlockSemaphore::KQ_ClassObject,
    &KQ_TSemaphore::KQ_ClassObject,
    &KQ_EMutexException::KQ_ClassObject,
    &KQ_ECouldNotCreateMutex::KQ_ClassObject,
    &KQ_ECouldNotLockMutex::KQ_ClassObject,
    &KQ_ECouldNotUnlockMutex::KQ_ClassObject,
    &KQ_TMutex::KQ_ClassObject,
    &KQ_TDataStream::KQ_ClassObject,
    &KQ_TMemoryStream::KQ_ClassObject,
    &KQ_EEventException::KQ_ClassObject,
    &KQ_ECouldNotCreateEvent::KQ_ClassObject,
    &KQ_ECouldNotWaitOnEvent::KQ_ClassObject,
    &KQ_ECouldNotSignalEvent::KQ_ClassObject,
    &KQ_ECouldNotLockEvent::KQ_ClassObject,
    &KQ_ECouldNotUnlockEvent::KQ_ClassObject,
    &KQ_ERWLockException::KQ_ClassObject,
    &KQ_ENoActiveReadLocks::KQ_ClassObject,
    &KQ_ENoActiveWriteLocks::KQ_ClassObject,
    &KQ_EDeadLock::KQ_ClassObject,
    &KQ_EPackageException::KQ_ClassObject,
    &KQ_EEndOfPackageReached::KQ_ClassObject,
    &KQ_EWrongTypeInPackage::KQ_ClassObject,
    &KQ_ESocketException::KQ_ClassObject,
    &KQ_ECouldNotCreateSocket::KQ_ClassObject,
    &KQ_ENoConnectionForAccept::KQ_ClassObject,
    &KQ_ECouldNotReadFromSocket::KQ_ClassObject,
    &KQ_ECouldNotWriteToSocket::KQ_ClassObject,
    &KQ_ECouldNotBindSocket::KQ_ClassObject,
    &KQ_ECouldNotListenOnSocket::KQ_ClassObject,
    &KQ_EHRException::KQ_ClassObject,
    &KQ_EHRSyntaxError::KQ_ClassObject,
    &KQ_ETreeException::KQ_ClassObject,
    &KQ_ENoMatchingTreeKey::KQ_ClassObject,
    &KQ_EEntryIsNotASubtree::KQ_ClassObject,
    &KQ_ENoMatchingTreeValue::KQ_ClassObject,
    &KQ_EQueueException::KQ_ClassObject,
    &KQ_EOutOfBoundsOfQueue::KQ_ClassObject,
    &KQ_EElementNotInQueue::KQ_ClassObject,
    &KQ_EArrayException::KQ_ClassObject,
    &KQ_EOutOfBoundsOfArray::KQ_ClassObject,
    &KQ_ETimeException::KQ_ClassObject,
    &KQ_ECouldNotGetTime::KQ_ClassObject,
    &KQ_EIllegalTime::KQ_ClassObject,
    &KQ_TConstIterator::KQ_ClassObject,
    &KQ_TIterator::KQ_ClassObject,
    &KQ_EURLException::KQ_ClassObject,
    &KQ_EIllegalURLName::KQ_ClassObject,
    &KQ_EIllegalURLParams::KQ_ClassObject,
    &KQ_EIllegalURLFileName::KQ_ClassObject,
    &KQ_EIllegalURLExtension::KQ_ClassObject,
    &KQ_EIllegalURLEncoding::KQ_ClassObject,
    &KQ_EURLIsNoRelative::KQ_ClassObject,
    &KQ_EURLTopReached::KQ_ClassObject,
    &KQ_ENotALocalURL::KQ_ClassObject,
    &KQ_EURLParameterNotSet::KQ_ClassObject,
    &KQ_ERemovableMediumChanged::KQ_ClassObject,
    &KQ_EFileException::KQ_ClassObject,
    &KQ_ECouldNotOpenFile::KQ_ClassObject,
    &KQ_ECouldNotRemoveFile::KQ_ClassObject,
    &KQ_ECouldNotRenameFile::KQ_ClassObject,
    &KQ_TDataBlock::KQ_ClassObject,
    &KQ_TUnknown::KQ_ClassObject,
    &KQ_TTextStream::KQ_ClassObject,
    &KQ_TPackage::KQ_ClassObject,
    &KQ_THumanReadableStream::KQ_ClassObject,
    &KQ_TCxxStream::KQ_ClassObject,
    &KQ_TTime::KQ_ClassObject,
    &KQ_TInterval::KQ_ClassObject,
    &KQ_TUserInfo::KQ_ClassObject,
    &KQ_TThread::KQ_ClassObject,
    &KQ_TEvent::KQ_ClassObject,
    &KQ_TRWLock::KQ_ClassObject,
    &KQ_EFileInfoException::KQ_ClassObject,
    &KQ_ECouldNotGetFileInfo::KQ_ClassObject,
    &KQ_ENotADirectory::KQ_ClassObject,
    &KQ_EVolumeInfoException::KQ_ClassObject,
    &KQ_ENoSuchDevice::KQ_ClassObject,
    &KQ_EDynamicObjectException::KQ_ClassObject,
    &KQ_ECouldNotLoadDynamicObject::KQ_ClassObject,
    &KQ_ECouldNotCopyDynamicObject::KQ_ClassObject,
    &KQ_ECouldNotUnloadDynamicObject::KQ_ClassObject,
    &KQ_EDynamicObjectIsNotLoaded::KQ_ClassObject,
    &KQ_EDynamicObjectSymbolNotFound::KQ_ClassObject,
    &KQ_TDictIterationInfo::KQ_ClassObject,
    &KQ_TListIterationInfo::KQ_ClassObject,
    &KQ_TArray::KQ_ClassObject,
    &KQ_TArrayIterationInfo::KQ_ClassObject,
    &KQ_TTree::KQ_ClassObject,
    &KQ_TTreeIterationInfo::KQ_ClassObject,
    &KQ_TQueue::KQ_ClassObject,
    &KQ_TQueueIterationInfo::KQ_ClassObject,
};

}  // namespace

extern "C" bool __KQ_INITIALIZATION_FUNCTION_kqtypes__() {
  static bool initialized = false;
  if (initialized) return true;
  for (Accessor accessor : kRecordsInOrder) {
    if (!accessor()->Initialize()) return false;
  }
  initialized = true;
  return true;
}
