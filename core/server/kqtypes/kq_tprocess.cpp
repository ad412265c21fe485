#include "kq_tprocess.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_memalloc.h"
#include "platform/kq_sys_error.h"
#include "platform/kq_sys_process.h"
#include "platform/kq_sys_thread.h"

// The process an object stands for, shared by its copies.
struct KQ_TProcess::Record {
  std::atomic<std::uint32_t> references{1};
  // Null when Find could not reach the process.
  kq::sys::Process* process = nullptr;
  std::uint32_t processId = 0;
  // The first thread's id; 0 when unknown.
  std::uint32_t threadId = 0;
};

KQ_CLASS_IMPL(KQ_TProcess)

namespace {

constexpr std::int32_t kKilledExitCode = 1;
constexpr std::int32_t kSignalExitBase = 128;

// How the process ended; false while it runs, when it cannot be reached or
// when its end is unknown.
bool Ended(kq::sys::Process* process, kq::sys::ProcessEnd* end) {
  return process != nullptr && kq::sys::QueryProcess(process, end) == kq::sys::ProcessState::kEnded;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The words of a command line, by the rules in the header.
std::vector<std::string> SplitCommandLine(char const* line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  bool quoted = false;
  std::size_t const length = std::strlen(line);
  std::size_t i = 0;
  while (i < length) {
    char const c = line[i];
    if (!quoted && IsBlank(c)) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
      ++i;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      std::size_t run = 0;
      while (line[i + run] == '\\') ++run;
      bool const beforeQuote = line[i + run] == '"';
      word.append(beforeQuote ? run / 2 : run, '\\');
      i += run;
      // An odd run escapes the quote; after an even one the quote counts.
      if (beforeQuote && run % 2 == 1) {
        word += '"';
        ++i;
      }
    } else if (c == '"') {
      if (quoted && line[i + 1] == '"') {
        word += '"';
        ++i;
      } else {
        quoted = !quoted;
      }
      ++i;
    } else {
      word += c;
      ++i;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

}  // namespace

KQ_TProcess::KQ_TProcess() : fRecord(nullptr) {}

KQ_TProcess::KQ_TProcess(char const* commandLine) : KQ_TProcess() { *this = commandLine; }

KQ_TProcess::KQ_TProcess(Record* record) : fRecord(record) {}

KQ_TProcess::KQ_TProcess(KQ_TProcess const& other) : KQ_TProcess() { *this = other; }

KQ_TProcess& KQ_TProcess::operator=(KQ_TProcess const& other) {
  if (other.fRecord != nullptr) other.fRecord->references.fetch_add(1, std::memory_order_relaxed);
  Drop(fRecord);
  fRecord = other.fRecord;
  return *this;
}

KQ_TProcess::~KQ_TProcess() { Drop(fRecord); }

void KQ_TProcess::Drop(Record* record) {
  if (record == nullptr || record->references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    return;
  }
  kq::sys::CloseProcess(record->process);
  record->~Record();
  KQ_Free(record);
}

KQ_TProcess& KQ_TProcess::operator=(char const* commandLine) {
  char const* const line = commandLine != nullptr ? commandLine : "";
  if (fRecord != nullptr) {
    // No system error lies behind this one: none may complete its message.
    kq::sys::SetLastError(0);
    KQ_THROW(KQ_EProcessAlreadyBound(KQ_TString(), KQ_TAny(line)));
  }
  std::vector<std::string> const words = SplitCommandLine(line);
  std::vector<char const*> arguments;
  arguments.reserve(words.size() + 1);
  for (std::string const& word : words) arguments.push_back(word.c_str());
  arguments.push_back(nullptr);
  auto* const record = new (KQ_Alloc(sizeof(Record))) Record();
  record->process = kq::sys::StartProcess(arguments.data());
  if (record->process == nullptr) {
    int const error = errno;
    Drop(record);
    errno = error;
    KQ_THROW(KQ_ECouldNotCreateProcess(KQ_TString(), KQ_TAny(line)));
  }
  record->processId = kq::sys::ProcessId(record->process);
  fRecord = record;
  return *this;
}

KQ_TProcess::Record& KQ_TProcess::Bound() const {
  if (fRecord == nullptr) {
    kq::sys::SetLastError(0);
    KQ_THROW(KQ_EProcessNotBound());
  }
  return *fRecord;
}

void KQ_TProcess::RequireOther(Record const& record) const {
  if (record.processId == kq::sys::CurrentProcessId()) {
    KQ_THROW(KQ_EProcessException(KQ_TString("A process cannot wait for itself")));
  }
}

KQ_TProcess& KQ_TProcess::Join() {
  Join(kWaitForever);
  return *this;
}

bool KQ_TProcess::Join(std::uint32_t milliseconds) {
  Record& record = Bound();
  RequireOther(record);
  return record.process != nullptr && kq::sys::WaitForProcess(record.process, milliseconds);
}

KQ_TProcess& KQ_TProcess::Kill() {
  Record& record = Bound();
  if (record.processId == kq::sys::CurrentProcessId()) kq::sys::ExitProcess(kKilledExitCode);
  if (record.process != nullptr) kq::sys::KillProcess(record.process);
  return *this;
}

bool KQ_TProcess::IsRunning() const {
  Record& record = Bound();
  return record.process == nullptr ||
         kq::sys::QueryProcess(record.process, nullptr) == kq::sys::ProcessState::kRunning;
}

std::int32_t KQ_TProcess::Result() const {
  kq::sys::ProcessEnd end;
  if (!Ended(Bound().process, &end)) return 0;
  if (end.killed) return kKilledExitCode;
  if (end.signal > 0) return kSignalExitBase + end.signal;
  return end.exitCode > 0 ? end.exitCode : 0;
}

std::int32_t KQ_TProcess::Signal() const {
  kq::sys::ProcessEnd end;
  return Ended(Bound().process, &end) && end.signal > 0 ? end.signal : 0;
}

KQ_TAny KQ_TProcess::ProcessID() const { return KQ_TAny(Bound().processId); }

KQ_TProcess* KQ_TProcess::Find(KQ_TAny const& processId) {
  auto const id = static_cast<std::uint32_t>(processId);
  auto* const record = new (KQ_Alloc(sizeof(Record))) Record();
  record->process = kq::sys::WatchProcess(id);
  record->processId = id;
  try {
    return new KQ_TProcess(record);
  } catch (...) {
    Drop(record);
    throw;
  }
}

KQ_TProcess& KQ_TProcess::CurrentProcess() {
  static std::mutex lock;
  static KQ_TProcess* const current = new KQ_TProcess();
  std::lock_guard<std::mutex> const guard(lock);
  std::uint32_t const id = kq::sys::CurrentProcessId();
  if (current->fRecord == nullptr || current->fRecord->processId != id) {
    // First use, or the first in a child made by fork: the record still
    // describes the parent.
    auto* const record = new (KQ_Alloc(sizeof(Record))) Record();
    record->process = kq::sys::WatchProcess(id);
    record->processId = id;
    record->threadId = static_cast<std::uint32_t>(kq::sys::SystemThreadId());
    Drop(current->fRecord);
    current->fRecord = record;
  }
  return *current;
}
