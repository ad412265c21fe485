// KQ_TVolumeInfo: the volume on which a path lies: the kind of device,
// whether its medium can be read, its size and free space, its name, serial
// number and file system.
//
// On Linux the volume of a path is the mounted file system that holds it:
// the path is made absolute (links resolved where it exists) and the
// longest mount point of the mount table that contains it is its root (see
// KQ_TURL::LocalName for the table). The device is a network one for file
// systems that another machine serves (nfs, cifs, sshfs and the like), a
// removable one when the kernel marks its block device so, and a fixed one
// otherwise; unknown when no mount holds the path. The name is the
// file-system label where the device manager publishes one, the serial the
// file system's identifier folded to 32 bits, the file system the type the
// mount table names. A root that cannot be read (a missing or unreachable
// mount point, no medium) is ejected: no size, name, serial or file system.
// A look-up never raises.
//
// Two volume infos are equal when all fields but the free space are equal.
// Packed: type and state as one byte each, size and available as doubles,
// then name, serial and file system. Text form, one item a line:
//
//   KQ_TVolumeInfo {
//     FIXED
//     LOADED
//     1024.000000/4096.000000
//     "data"
//     "0a1b2c3d"
//     "ext4"
//   }
//
// with the available space before the size, and the last three lines only
// for a loaded volume.
#pragma once

#include <cstdint>

#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

class KQ_TURL;

class KQ_EXPORT KQ_TVolumeInfo : public KQ_TObject,
                                 public virtual KQ_IPackable,
                                 public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TVolumeInfo, KQ_TObject, KQ_IPackable, KQ_IHumanReadable)
  enum TDeviceType : std::uint32_t { kUnknown = 0, kFixed = 1, kRemovable = 2, kNetwork = 3 };
  enum TDeviceState : std::uint32_t { kLoaded = 0, kEjected = 1 };

  // Unknown, loaded, no size, every string empty.
  KQ_TVolumeInfo();
  // The volume of the URL's local name (KQ_TURL::LocalName, which may
  // raise).
  explicit KQ_TVolumeInfo(KQ_TURL const& url);
  // The volume of a local path (bytes as KQ_TString's kBytes rule gives
  // them).
  explicit KQ_TVolumeInfo(KQ_TString const& path);
  KQ_TVolumeInfo(KQ_TVolumeInfo const& other);
  ~KQ_TVolumeInfo() override;

  virtual TDeviceType Type() const;
  virtual TDeviceState State() const;
  // Bytes.
  virtual double Size() const;
  virtual double Available() const;
  virtual KQ_TString const& Name() const;
  // Eight lower-case hexadecimal digits; empty for an ejected volume.
  virtual KQ_TString const& Serial() const;
  virtual KQ_TString const& FileSystem() const;

  // Look-ups, as the constructors.
  virtual KQ_TVolumeInfo& operator=(KQ_TURL const& url);
  virtual KQ_TVolumeInfo& operator=(KQ_TString const& path);
  virtual KQ_TVolumeInfo& operator=(KQ_TVolumeInfo const& other);
  // Unpacks the volume info from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  // Type, state, size, name, serial and file system equal; the free space
  // is not compared.
  virtual bool operator==(KQ_TVolumeInfo const& other) const;
  virtual bool operator!=(KQ_TVolumeInfo const& other) const;

  void KQ_Pack(KQ_IPacking& packer) const override;
  // Reads what KQ_Pack writes; a type or state byte out of range raises
  // KQ_EWrongPackedType.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another volume info equal by operator==.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;

  // The lines shown at the top of this file. Returns true.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Reads them back: another word, a missing "/" or a missing string is a
  // syntax error. Returns false: the closing brace is the caller's.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;

 private:
  TDeviceType fType;
  TDeviceState fState;
  double fSize;
  double fAvailable;
  KQ_TString fName;
  KQ_TString fSerial;
  KQ_TString fFileSystem;
};
