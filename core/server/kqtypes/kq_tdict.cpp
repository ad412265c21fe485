#include "kq_tdict.h"

#include <utility>

#include "internal/kq_tdict_table.h"
#include "kq_eexception.h"
#include "kq_tdatastream.h"
#include "kq_tstring.h"

KQ_CLASS_IMPL(KQ_TDict)
KQ_CLASS_IMPL(KQ_TDictIterationInfo)

// The table's functions, each given the dictionary's table record.
using Table = kq::DictTableOps;

namespace {

constexpr unsigned char kPackingCode = 69;

}  // namespace

bool KQ_TDict::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

KQ_TDict::KQ_TDict() : KQ_TDict(kDefaultBuckets) {}

KQ_TDict::KQ_TDict(std::uint32_t buckets) : fTable(buckets, kMaxGrownBuckets) {}

// Delegating first makes the dictionary complete, so that a failing copy of
// an entry destroys the entries copied before it.
KQ_TDict::KQ_TDict(KQ_TDict const& other, std::uint32_t buckets) : KQ_TDict(buckets) {
  *this += other;
}

KQ_TDict::~KQ_TDict() = default;

KQ_TDict& KQ_TDict::operator=(KQ_TDict const& other) {
  if (this == &other) return *this;
  KQ_TDict copy(other, fTable.fBucketCount);
  Table::Swap(fTable, copy.fTable);
  return *this;
}

KQ_IPackable& KQ_TDict::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TDict::IsEmpty() const { return fTable.fEntries == 0; }

std::uint32_t KQ_TDict::Entries() const { return fTable.fEntries; }

bool KQ_TDict::HasKey(wchar_t const* key) const { return HasKey(KQ_TString(key)); }

bool KQ_TDict::HasKey(char const* key) const { return HasKey(KQ_TString(key)); }

bool KQ_TDict::HasKey(char16_t const* key) const { return HasKey(KQ_TString(key)); }

bool KQ_TDict::HasKey(KQ_IHashable const& key) const { return Table::Find(fTable, key) != nullptr; }

bool KQ_TDict::Contains(KQ_TAny const& value) const {
  return Table::FindValue(fTable, value) != nullptr;
}

KQ_IHashable const& KQ_TDict::KeyOf(KQ_TAny const& value) const {
  kq::DictNode const* node = Table::FindValue(fTable, value);
  if (node == nullptr) KQ_THROW(KQ_ENoMatchingDictValue());
  return node->Key();
}

KQ_TAny const& KQ_TDict::operator[](wchar_t const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TDict::operator[](char const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TDict::operator[](char16_t const* key) const {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny const& KQ_TDict::operator[](KQ_IHashable const& key) const {
  kq::DictNode const* node = Table::Find(fTable, key);
  return node != nullptr ? node->fValue : KQ_TAny::Illegal();
}

KQ_TAny& KQ_TDict::operator[](wchar_t const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TDict::operator[](char const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TDict::operator[](char16_t const* key) {
  return (*this)[static_cast<KQ_IHashable const&>(KQ_TString(key))];
}

KQ_TAny& KQ_TDict::operator[](KQ_IHashable const& key) { return Table::Slot(fTable, key)->fValue; }

KQ_TAny const* KQ_TDict::ValueOfKey(wchar_t const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TDict::ValueOfKey(char const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TDict::ValueOfKey(char16_t const* key) const {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny const* KQ_TDict::ValueOfKey(KQ_IHashable const& key) const {
  kq::DictNode const* node = Table::Find(fTable, key);
  return node != nullptr ? &node->fValue : nullptr;
}

KQ_TAny* KQ_TDict::ValueOfKey(wchar_t const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TDict::ValueOfKey(char const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TDict::ValueOfKey(char16_t const* key) {
  return ValueOfKey(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TAny* KQ_TDict::ValueOfKey(KQ_IHashable const& key) {
  kq::DictNode* node = Table::Find(fTable, key);
  return node != nullptr ? &node->fValue : nullptr;
}

KQ_TDict& KQ_TDict::Add(wchar_t const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TDict& KQ_TDict::Add(char const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TDict& KQ_TDict::Add(char16_t const* key, KQ_TAny const& value) {
  return Add(static_cast<KQ_IHashable const&>(KQ_TString(key)), value);
}

KQ_TDict& KQ_TDict::Add(KQ_IHashable const& key, KQ_TAny const& value) {
  (*this)[key] = value;
  return *this;
}

KQ_TDict& KQ_TDict::Remove(wchar_t const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TDict& KQ_TDict::Remove(char const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TDict& KQ_TDict::Remove(char16_t const* key) {
  return Remove(static_cast<KQ_IHashable const&>(KQ_TString(key)));
}

KQ_TDict& KQ_TDict::Remove(KQ_IHashable const& key) {
  Table::Remove(fTable, key);
  return *this;
}

bool KQ_TDict::operator==(KQ_TDict const& other) const {
  return Entries() == other.Entries() && IsSubsetOf(other);
}

bool KQ_TDict::operator!=(KQ_TDict const& other) const { return !(*this == other); }

bool KQ_TDict::operator<=(KQ_TDict const& other) const {
  return Entries() <= other.Entries() && IsSubsetOf(other);
}

bool KQ_TDict::operator>=(KQ_TDict const& other) const { return other <= *this; }

KQ_TDict& KQ_TDict::operator+=(KQ_TDict const& other) {
  // Adding to itself walks a copy: a key that is not identical to itself
  // (an Any holding NaN) adds a new entry each time, which must not land in
  // the table being walked.
  if (this == &other) return *this += KQ_TDict(other);
  Table::ForEach(other.fTable, [this](kq::DictNode const& node) {
    Table::Slot(fTable, node.Key(), node.Hashes())->fValue = node.fValue;
  });
  return *this;
}

KQ_IIterationInfo* KQ_TDict::CreateIterationInfo() const {
  return new KQ_TDictIterationInfo(*this);
}

void KQ_TDict::KQ_Pack(KQ_IPacking& packer) const { Table::Pack(fTable, packer); }

void KQ_TDict::KQ_Unpack(KQ_IUnpacking& unpacker) { Table::Unpack(fTable, unpacker); }

KQ_IPackable* KQ_TDict::KQ_Clone(void*) const { return new KQ_TDict(*this); }

bool KQ_TDict::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* dict = static_cast<KQ_TDict const*>(other.KQ_Cast(KQ_ClassName()));
  return dict != nullptr && *this == *dict;
}

void KQ_TDict::PrintOn(std::ostream& os) const { Table::Print(fTable, os, "DICT"); }

bool KQ_TDict::KQ_HRMultiLine() const { return !IsEmpty(); }

bool KQ_TDict::WriteTo(KQ_THumanReadableStream& stream) const {
  Table::Write(fTable, stream);
  return false;
}

bool KQ_TDict::ReadFrom(KQ_THumanReadableStream& stream) {
  Table::Read(fTable, stream);
  return true;
}

bool KQ_TDict::IsSubsetOf(KQ_TDict const& other) const {
  return Table::FindIf(fTable, [&other](kq::DictNode const& node) {
           kq::DictNode const* theirs = Table::Find(other.fTable, node.Key(), node.fTag);
           return theirs == nullptr || !node.fValue.KQ_IsIdent(theirs->fValue);
         }) == nullptr;
}

KQ_TDictIterationInfo::KQ_TDictIterationInfo() : DictTableCursor(nullptr) {}

KQ_TDictIterationInfo::KQ_TDictIterationInfo(KQ_TDict const& dict)
    : DictTableCursor(&dict.fTable) {}

KQ_TDictIterationInfo::~KQ_TDictIterationInfo() = default;

KQ_IIterationInfo* KQ_TDictIterationInfo::Clone() const { return new KQ_TDictIterationInfo(*this); }
