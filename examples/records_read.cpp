// Reads the file of records_write back and prints one value.
//
//   records_read FILE ID FIELD     e.g.  records_read records.kq alan score
//
// The file may come from any process or machine: the packed form is the same
// everywhere.
#include <fstream>
#include <iostream>
#include <memory>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tcxxstream.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: records_read FILE ID FIELD\n";
    return 2;
  }
  if (!__KQ_INITIALIZATION_FUNCTION_kqtypes__()) return 1;
  try {
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
      std::cerr << "records_read: cannot open " << argv[1] << '\n';
      return 1;
    }
    KQ_TCxxStream in(file);
    KQ_TDataStream unpacker(in);

    // Extract reads whatever object comes next and creates it by its class
    // name; the caller owns it. (When the class is known in advance,
    // `unpacker >> records` fills an existing dictionary instead.)
    std::unique_ptr<KQ_IPackable> object(unpacker.Extract(true));
    auto const* records = static_cast<KQ_TDict const*>(object->KQ_Cast("KQ_TDict"));
    if (records == nullptr) {
      std::cerr << "records_read: the file holds a " << object->ClassName()
                << ", not a dictionary\n";
      return 1;
    }

    // ValueOfKey answers null for a missing key; operator[] would raise.
    KQ_TAny const* entry = records->ValueOfKey(argv[2]);
    if (entry == nullptr) {
      std::cerr << "records_read: no record " << argv[2] << '\n';
      return 1;
    }
    // A record is an Any holding a dictionary; * gives the held object.
    auto const* record = static_cast<KQ_TDict const*>((**entry).KQ_Cast("KQ_TDict"));
    if (record == nullptr) {
      std::cerr << "records_read: " << argv[2] << " is not a record\n";
      return 1;
    }
    KQ_TAny const* value = record->ValueOfKey(argv[3]);
    if (value == nullptr) {
      std::cerr << "records_read: record " << argv[2] << " has no field " << argv[3] << '\n';
      return 1;
    }
    std::cout << argv[2] << '.' << argv[3] << " = " << *value << '\n';
  } catch (KQ_EException const& e) {
    e.PrintOn(std::cerr);
    return 1;
  }
  return 0;
}
