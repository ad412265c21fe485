// KQ_TFileInfo: a value that describes one file or directory: its kind, URL,
// owner, size, three time stamps and a file-type word. It is filled by
// looking a path up, lists the entries of a directory with or without their
// information, removes files and directory trees, and is packable and
// printable like every value of the library.
//
// Two look-ups:
// - by local name (Lookup(KQ_TString), or a "file:" URL text) follows links
//   and gives whole seconds; the file type stays as it was;
// - by URL (Lookup(KQ_TURL)), and every entry of ChildrenInfo, describes the
//   entry itself (a link is a file: its size is that of the link, and a
//   link to a directory is removed, not descended into), gives times to the
//   millisecond, and sets the file type to "hidden" for a name that begins
//   with "." and to empty otherwise. The root directory "/" is a directory
//   of size 0 with the current time as all three times and no owner; its
//   file type stays as it was.
// A directory's size is 0. The creation time is the birth time where the
// file system keeps one (statx), else the time of the last status change.
// The owner is the account of the file's user id (a default user when the
// id has no account, or when the look-up was asked to skip owners).
//
// Time stamps of the look-up by URL and of listings are taken through the
// local calendar, as the local time they show: an instant in the hour that
// is repeated when the clock goes back becomes the earlier of the two
// instants with its fields. When the environment variable
// KQ_USE_UTC_TIMESTAMPS is present (any value) at class initialisation,
// they are taken as UTC instead, which keeps every instant. A time that no
// KQ_TTime holds (before 1970, from 2106 on) makes all three times 2 January
// 1970, 01:01:01 local time, in both look-ups.
//
// A failed look-up raises KQ_ECouldNotGetFileInfo, with the name or URL as
// its value and the system's text in its message, and leaves the object as
// it was.
//
// Packed (code 66): the type as one byte, then URL, owner, size (double),
// access, modification and creation time, file type. Text form:
//
//   KQ_TFileInfo {
//     FILE KQ_TURL { "file://host/dir/a.txt" }
//     OWNER KQ_TUserInfo { "al@host" }( 120.000000
//       KQ_TTime {
//         4/3/2007 05:06:07.000000
//       }
//       ... the modification and creation times ...
//       ""
//     )
//   }
//
// ("DIR  " for a directory). Reading takes "DIR" or "FILE", the URL, an
// optional OWNER part and the bracketed values.
//
// A KQ_TFileInfo is a value used by one thread at a time.
#pragma once

#include <cstdint>

#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_tlist.h"
#include "kq_tobject.h"
#include "kq_tstring.h"
#include "kq_ttime.h"
#include "kq_turl.h"
#include "kq_tuserinfo.h"

class KQ_EXPORT KQ_TFileInfo : public KQ_TObject,
                               public virtual KQ_IPackable,
                               public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TFileInfo, KQ_TObject, KQ_IPackable, KQ_IHumanReadable)
  enum TType : std::uint32_t { kDirectory = 0, kFile = 1 };

  // The packing code of the class.
  static constexpr unsigned char kPackingCode = 0x42;
  // The file type of an entry whose name begins with ".".
  static constexpr char kHidden[] = "hidden";

  // Reads KQ_USE_UTC_TIMESTAMPS and registers the class with the data
  // stream under kPackingCode.
  static bool KQ_Initialize();
  // Whether times are taken as UTC (see the top of this file).
  static bool UsesUTCTimestamps();

  // A file with an empty URL, a default owner, size 0, all three times at 0
  // (1970) and an empty file type.
  KQ_TFileInfo();
  KQ_TFileInfo(KQ_TFileInfo const& other);
  // Look-ups; skipOwner leaves the owner a default user instead of looking
  // it up.
  KQ_TFileInfo(KQ_TURL const& url, bool skipOwner);
  KQ_TFileInfo(KQ_TString const& name, bool skipOwner);
  // Looks up directory + name, with a "/" between them unless directory is
  // empty or ends with one.
  KQ_TFileInfo(KQ_TString const& directory, KQ_TString const& name, bool skipOwner);
  // A forgotten skipOwner would otherwise turn name into it.
  KQ_TFileInfo(KQ_TString const& directory, char const* name) = delete;
  ~KQ_TFileInfo() override;

  virtual KQ_TFileInfo& operator=(KQ_TFileInfo const& other);
  // Lookup(name or url, false).
  virtual KQ_TFileInfo& operator=(KQ_TString const& name);
  virtual KQ_TFileInfo& operator=(KQ_TURL const& url);
  // Unpacks the file info from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;
  // By local name, or by a text that begins with "file:" (a URL, looked up
  // by its local name the same way).
  virtual KQ_TFileInfo& Lookup(KQ_TString const& name, bool skipOwner);
  virtual KQ_TFileInfo& Lookup(KQ_TURL const& url, bool skipOwner);

  // Type, URL, owner, size, the three times and the file type equal.
  virtual bool operator==(KQ_TFileInfo const& other) const;
  virtual bool operator!=(KQ_TFileInfo const& other) const;

  // A short identity of the file's version: (s + z mod 1000000) mod
  // 999999999 with s the whole seconds of the modification time since 1970
  // and z the size rounded to a whole number, taken modulo 2^32.
  virtual std::uint32_t SmartID() const;

  virtual TType Type() const;
  virtual KQ_TURL const& URL() const;
  // The URL's local name (KQ_TURL::LocalName, which may raise).
  virtual KQ_TString LocalName() const;
  virtual KQ_TUserInfo const& Owner() const;
  // Bytes.
  virtual double Size() const;
  virtual KQ_TTime const& AccessTime() const;
  virtual KQ_TTime const& ModificationTime() const;
  virtual KQ_TTime const& CreationTime() const;
  virtual KQ_TString const& FileType() const;

  // Appends the URL of every entry of this directory (as a KQ_TAny), in the
  // order the system gives them, "." and ".." left out. KQ_ENotADirectory,
  // with this URL as its value, for an entry that is not a directory or
  // whose listing cannot be read.
  virtual KQ_TList& Children(KQ_TList& list) const;
  virtual KQ_TList Children() const;
  // The same with a KQ_TFileInfo for every entry (see the top of this
  // file). Within one listing each owner is looked up once.
  virtual KQ_TList& ChildrenInfo(KQ_TList& list, bool skipOwners) const;
  virtual KQ_TList ChildrenInfo(bool skipOwners) const;

  // Set one field; nothing is written to the file system.
  virtual KQ_TFileInfo& SetType(TType type);
  virtual KQ_TFileInfo& SetURL(KQ_TURL const& url);
  virtual KQ_TFileInfo& SetOwner(KQ_TUserInfo const& owner);
  virtual KQ_TFileInfo& SetSize(double size);
  virtual KQ_TFileInfo& SetAccessTime(KQ_TTime const& time);
  virtual KQ_TFileInfo& SetModificationTime(KQ_TTime const& time);
  virtual KQ_TFileInfo& SetCreationTime(KQ_TTime const& time);
  virtual KQ_TFileInfo& SetFileType(KQ_TString const& fileType);

  // Removes the entry that the URL names, by its type: a file (or link) is
  // removed, a directory only when empty unless recursive is set, which
  // removes everything below it first without ever following a link (a
  // link where the directory was is removed itself). True when the entry is
  // gone; false when the system refuses, and for a URL without a local
  // name. A directory of the tree that cannot be listed while it is removed
  // (it vanished or was replaced meanwhile) raises KQ_ENotADirectory with
  // its URL as the value. The object keeps its fields.
  virtual bool Remove(bool recursive) const;

  // Whether the path exists (a link counts, wherever it points); false for
  // a URL without a local name.
  static bool Exists(KQ_TString const& name);
  static bool Exists(KQ_TURL const& url);
  // Creates one directory (not its parents); true on success, false also
  // for a URL without a local name.
  static bool CreateDir(KQ_TString const& name);
  static bool CreateDir(KQ_TURL const& url);
  // The absolute form of a path, taken from the current directory, with
  // ".", ".." and repeated "/" resolved without looking at the file system.
  static KQ_TString FullPath(KQ_TString const& name);
  // The URL of the full path of the URL's local name.
  static KQ_TURL FullPath(KQ_TURL const& url);

  void KQ_Pack(KQ_IPacking& packer) const override;
  // Reads what KQ_Pack writes; a type byte other than 0 and 1 raises
  // KQ_EWrongPackedType. The object changes only when all of it was read.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another file info equal by operator==.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;

  // The text shown at the top of this file. Returns true.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Reads it back; another word than DIR or FILE (or OWNER where a word
  // stands), a missing bracket or value is a syntax error, and the object
  // stays as it was. Returns false: the closing brace is the caller's.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  template <class T>
  KQ_TFileInfo& Set(T& field, T const& value) {
    field = value;
    return *this;
  }

  TType fType;
  KQ_TURL fURL;
  KQ_TUserInfo fOwner;
  double fSize;
  KQ_TTime fAccessTime;
  KQ_TTime fModificationTime;
  KQ_TTime fCreationTime;
  KQ_TString fFileType;
};
