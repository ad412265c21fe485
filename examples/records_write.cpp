// Builds a dictionary of records and packs it into a file.
//
//   records_write [FILE]        (default: records.kq)
//
// Each record is itself a dictionary of fields. The packed form is compact,
// big-endian and self-describing: another process (see records_read.cpp),
// on any machine, reads it back to equal values, and `kqdump FILE` shows it
// as text.
#include <fstream>
#include <iostream>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tcxxstream.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tlist.h"

namespace {

// One record: a dictionary from field names to values of any kind.
KQ_TDict Record(char const* name, std::int32_t age, double score, char const* city) {
  KQ_TDict record;
  record["name"] = name;  // text becomes a KQ_TString
  record["age"] = age;    // a 32-bit integer
  record["score"] = score;
  record["city"] = city;
  return record;
}

}  // namespace

int main(int argc, char** argv) {
  char const* path = argc > 1 ? argv[1] : "records.kq";
  if (!__KQ_INITIALIZATION_FUNCTION_kqtypes__()) return 1;
  try {
    // Records by identifier. A KQ_TAny holding a dictionary holds its own
    // copy, so each record can be built on the stack.
    KQ_TDict records;
    records.Add("ada", KQ_TAny(Record("Ada Lovelace", 36, 97.5, "London")));
    records.Add("alan", KQ_TAny(Record("Alan Turing", 41, 99.25, "Wilmslow")));
    records.Add("grace", KQ_TAny(Record("Grace Hopper", 85, 98.0, "Arlington")));

    // A list value: the identifiers in the order they were added.
    KQ_TList order;
    for (char const* id : {"ada", "alan", "grace"}) order.AddAtTail(KQ_TAny(id));
    records.Add("order", KQ_TAny(order));

    // Pack: a data stream turns values into bytes on any stream; here the
    // standard-stream adapter carries them into a file.
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
      std::cerr << "records_write: cannot create " << path << '\n';
      return 1;
    }
    KQ_TCxxStream out(file);
    KQ_TDataStream packer(out);
    packer << records;
    out.Flush();
    std::cout << "packed " << records.Entries() << " entries into " << path << '\n';
  } catch (KQ_EException const& e) {
    // Every failure of the library is an exception that knows where it
    // was raised.
    e.PrintOn(std::cerr);
    return 1;
  }
  return 0;
}
