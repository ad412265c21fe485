#include "kq_initialization.h"

#include <atomic>
#include <mutex>

#include "kq_eexception.h"
#include "kq_iiteratable.h"
#include "kq_ipacking.h"
#include "kq_irunnable.h"
#include "kq_istream.h"
#include "kq_iunpacking.h"
#include "kq_tarray.h"
#include "kq_tblockstream.h"
#include "kq_tbufferedstream.h"
#include "kq_tcxxstream.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tdynamicobject.h"
#include "kq_tevent.h"
#include "kq_tfile.h"
#include "kq_tfileinfo.h"
#include "kq_thumanreadablestream.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tmutex.h"
#include "kq_tpackage.h"
#include "kq_tprocess.h"
#include "kq_tqueue.h"
#include "kq_trwlock.h"
#include "kq_tsemaphore.h"
#include "kq_tsocket.h"
#include "kq_tsocketpair.h"
#include "kq_tsocketset.h"
#include "kq_tstackentry.h"
#include "kq_ttextstream.h"
#include "kq_tthread.h"
#include "kq_ttime.h"
#include "kq_ttree.h"
#include "kq_tunknown.h"
#include "kq_turl.h"
#include "kq_tuserinfo.h"
#include "kq_tvolumeinfo.h"

namespace {

using Accessor = KQ_TClass const* (*)();

// One step of the initialisation order: a class's record, or a whole
// exception family, which is its root followed by every class the exception
// table places below it (each child in table order, with its own family).
struct Step {
  Accessor fRecord;
  bool fFamily;
};

template <class X>
constexpr Step Record() {
  return Step{&X::KQ_ClassObject, false};
}

template <class Root>
constexpr Step Family() {
  return Step{&Root::KQ_ClassObject, true};
}

// The records in the order they are initialised: the interfaces, strings and
// variants first (they register packing codes that everything after them
// relies on), then each family of exceptions before the classes that raise
// them. A class's parent and interfaces are initialised before it anyway, so
// the order matters only between classes without such a link.
constexpr Step kOrder[] = {
    Record<KQ_IInterface>(),
    Record<KQ_TObject>(),
    Record<KQ_IThrowable>(),
    Record<KQ_IPackable>(),
    Record<KQ_IPacking>(),
    Record<KQ_IUnpacking>(),
    Record<KQ_IPrintable>(),
    Record<KQ_IHashable>(),
    Record<KQ_IScanable>(),
    Record<KQ_IHumanReadable>(),
    Record<KQ_TString>(),
    Record<KQ_TAny>(),
    Record<KQ_IIterationInfo>(),
    Record<KQ_IIteratable>(),
    Record<KQ_TList>(),
    Record<KQ_TStackEntry>(),
    Record<KQ_EException>(),
    Family<KQ_EOutOfMemory>(),
    Family<KQ_EPackingException>(),
    Record<KQ_IRunnable>(),
    Family<KQ_EStreamException>(),
    Record<KQ_IStream>(),
    Family<KQ_EIllegalCast>(),
    Family<KQ_EStringException>(),
    Family<KQ_EAnyException>(),
    Family<KQ_EIteratorException>(),
    Family<KQ_EDictException>(),
    Record<KQ_TDict>(),
    Family<KQ_EListException>(),
    Family<KQ_EUserInfoException>(),
    Record<KQ_TUserInfo>(),
    Family<KQ_EThreadException>(),
    Record<KQ_TThread>(),
    Family<KQ_EProcessException>(),
    Record<KQ_TProcess>(),
    Family<KQ_ESemaphoreException>(),
    Record<KQ_TSemaphore>(),
    Family<KQ_EMutexException>(),
    Record<KQ_TMutex>(),
    Family<KQ_EEventException>(),
    Record<KQ_TEvent>(),
    Family<KQ_ERWLockException>(),
    Record<KQ_TRWLock>(),
    Record<KQ_TDataStream>(),
    Record<KQ_TMemoryStream>(),
    Family<KQ_EPackageException>(),
    Record<KQ_TPackage>(),
    Family<KQ_ESocketException>(),
    Record<KQ_TSocket>(),
    Record<KQ_TSocketPair>(),
    Record<KQ_TSocketSet>(),
    Record<KQ_TTextStream>(),
    Record<KQ_TCxxStream>(),
    Family<KQ_EHRException>(),
    Record<KQ_THumanReadableStream>(),
    Record<KQ_TBufferedStream>(),
    Family<KQ_ETreeException>(),
    Record<KQ_TTree>(),
    Family<KQ_EQueueException>(),
    Record<KQ_TQueue>(),
    Family<KQ_EArrayException>(),
    Record<KQ_TArray>(),
    Family<KQ_ETimeException>(),
    Record<KQ_TTime>(),
    Record<KQ_TInterval>(),
    Record<KQ_TConstIterator>(),
    Record<KQ_TIterator>(),
    Family<KQ_EURLException>(),
    Record<KQ_TURL>(),
    Family<KQ_EFileException>(),
    Record<KQ_TFile>(),
    Record<KQ_TDataBlock>(),
    Record<KQ_TUnknown>(),
    Family<KQ_EFileInfoException>(),
    Record<KQ_TFileInfo>(),
    Family<KQ_EVolumeInfoException>(),
    Record<KQ_TVolumeInfo>(),
    Record<KQ_TBlockStream>(),
    Family<KQ_EDynamicObjectException>(),
    Record<KQ_TDynamicObject>(),
    Record<KQ_TDictIterationInfo>(),
    Record<KQ_TListIterationInfo>(),
    Record<KQ_TArrayIterationInfo>(),
    Record<KQ_TTreeIterationInfo>(),
    Record<KQ_TQueueIterationInfo>(),
};

// The exception table as (class, parent) records, in table order.
struct ExceptionRow {
  Accessor fRecord;
  Accessor fParent;
};

#define KQ_EXCEPTION_ROW_(X, Parent) ExceptionRow{&X::KQ_ClassObject, &Parent::KQ_ClassObject},
constexpr ExceptionRow kExceptionTable[] = {KQ_EXCEPTION_TREE(KQ_EXCEPTION_ROW_)};
#undef KQ_EXCEPTION_ROW_

// visit(accessor) for the record and, when family is set, for the classes
// below it; false as soon as a visit is.
template <class Visit>
bool VisitStep(Accessor record, bool family, Visit& visit) {
  if (!visit(record)) return false;
  if (!family) return true;
  for (ExceptionRow const& row : kExceptionTable) {
    if (row.fParent == record && !VisitStep(row.fRecord, true, visit)) return false;
  }
  return true;
}

// visit(accessor) for every record of the library in the initialisation
// order; false as soon as a visit is.
template <class Visit>
bool VisitInOrder(Visit visit) {
  for (Step const& step : kOrder) {
    if (!VisitStep(step.fRecord, step.fFamily, visit)) return false;
  }
  return true;
}

}  // namespace

// One call at a time runs the sequence; calls that come while it runs wait
// for it. A failed run is not remembered, so the next call runs it again;
// after a successful one every call returns true at once.
extern "C" bool __KQ_INITIALIZATION_FUNCTION_kqtypes__() {
  static std::atomic<bool> initialized{false};
  if (initialized.load(std::memory_order_acquire)) return true;
  static std::mutex running;
  std::lock_guard<std::mutex> const lock(running);
  if (initialized.load(std::memory_order_relaxed)) return true;
  if (!VisitInOrder([](Accessor accessor) { return accessor()->Initialize(); })) return false;
  initialized.store(true, std::memory_order_release);
  return true;
}

namespace {

// The library initialises itself while it is loaded, so that a program that
// only uses the classes finds every record and packing code in place; the
// explicit call above stays for programs that make it.
struct InitializedOnLoad {
  InitializedOnLoad() { __KQ_INITIALIZATION_FUNCTION_kqtypes__(); }
};
InitializedOnLoad const gInitializedOnLoad;

}  // namespace
