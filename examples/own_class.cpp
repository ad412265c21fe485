// A class of your own that the library packs, prints and writes as text.
//
//   own_class write FILE    packs two readings into FILE
//   own_class read FILE     reads whatever objects FILE holds and shows them
//
// Run "read" in another process than "write": the reading code never names
// the class. The class's two protocol lines register it by name when the
// program is loaded, and the library initialises itself when it is loaded,
// so the reader creates the right objects from their class names alone.
#include <fstream>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>

#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_ipacking.h"
#include "kq_iprintable.h"
#include "kq_iunpacking.h"
#include "kq_tcxxstream.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

// A temperature measured at a station. A packable class needs a default
// constructor (the reader creates it by name), KQ_Pack and KQ_Unpack in the
// same order, KQ_Clone and KQ_IsIdent.
class SensorReading : public KQ_TObject,
                      public virtual KQ_IPackable,
                      public virtual KQ_IPrintable,
                      public virtual KQ_IHumanReadable {
  KQ_CLASS(SensorReading, KQ_TObject, KQ_IPackable, KQ_IPrintable, KQ_IHumanReadable)
  SensorReading() = default;
  SensorReading(char const* station, double celsius) : fStation(station), fCelsius(celsius) {}

  void KQ_Pack(KQ_IPacking& packer) const override { packer << fStation << fCelsius; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fStation >> fCelsius; }
  KQ_IPackable* KQ_Clone(void* = nullptr) const override { return new SensorReading(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* reading = static_cast<SensorReading const*>(other.KQ_Cast("SensorReading"));
    return reading != nullptr && reading->fStation == fStation && reading->fCelsius == fCelsius;
  }

  void PrintOn(std::ostream& os) const override {
    os << fStation << ": " << fCelsius << " degrees";
  }

  // The text form: SensorReading { "Oslo" -3.500000 }
  bool WriteTo(KQ_THumanReadableStream& stream) const override {
    stream << static_cast<KQ_IHumanReadable const&>(fStation);
    stream.WriteTokens(" ");
    stream << fCelsius;
    return true;
  }
  bool ReadFrom(KQ_THumanReadableStream& stream) override {
    stream >> static_cast<KQ_IHumanReadable&>(fStation) >> fCelsius;
    return false;
  }
  bool KQ_HRMultiLine() const override { return false; }

 private:
  KQ_TString fStation;
  double fCelsius = 0.0;
};
KQ_CLASS_IMPL(SensorReading)

namespace {

int Write(char const* path) {
  std::ofstream file(path, std::ios::binary);
  KQ_TCxxStream out(file);
  KQ_TDataStream packer(out);
  packer << SensorReading("Oslo", -3.5) << SensorReading("Lisbon", 17.25);
  return file.flush() ? 0 : 1;
}

// Knows nothing of the class: every object is created by its class name.
int Read(char const* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::cerr << "own_class: cannot open " << path << '\n';
    return 1;
  }
  KQ_TCxxStream in(file);
  KQ_TDataStream unpacker(in);
  KQ_TCxxStream console(std::cout);
  KQ_THumanReadableStream text(console);
  while (file.peek() != std::char_traits<char>::eof()) {
    std::unique_ptr<KQ_IPackable> object(unpacker.Extract(true));
    std::cout << object->ClassName() << " printed: ";
    if (auto const* printable =
            static_cast<KQ_IPrintable const*>(object->KQ_Cast("KQ_IPrintable"))) {
      printable->PrintOn(std::cout);
    }
    std::cout << "\nas text: " << std::flush;
    if (auto const* readable =
            static_cast<KQ_IHumanReadable const*>(object->KQ_Cast("KQ_IHumanReadable"))) {
      text << *readable;
    }
    text.Flush();
    std::cout << std::endl;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: own_class write|read FILE\n";
    return 2;
  }
  // Every failure of the library is a std::exception too.
  try {
    if (std::string(argv[1]) == "write") return Write(argv[2]);
    if (std::string(argv[1]) == "read") return Read(argv[2]);
  } catch (std::exception const& e) {
    std::cerr << "own_class: " << e.what() << '\n';
    return 1;
  }
  std::cerr << "usage: own_class write|read FILE\n";
  return 2;
}
