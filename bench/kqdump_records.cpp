// Writes a file of packed records for measuring kqdump: one record (a
// dictionary of ten fields of the usual kinds, one of them a short list)
// after another until the file reaches the size asked for.
//
//   kqdump_records FILE [MEGABYTES]      (default 100)
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tcxxstream.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_tlist.h"
#include "kq_tstring.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: kqdump_records FILE [MEGABYTES]\n";
    return 2;
  }
  std::uint64_t const target = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100) << 20;
  if (!__KQ_INITIALIZATION_FUNCTION_kqtypes__()) return 1;
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  KQ_TCxxStream out(file);
  KQ_TDataStream packer(out);
  std::mt19937_64 random(42);
  char const* const cities[] = {"London", "Zürich", "Kyoto", "São Paulo", "Reykjavík", "Austin"};
  std::uint64_t records = 0;
  while (static_cast<std::uint64_t>(file.tellp()) < target) {
    KQ_TDict record;
    std::string const name = "customer-" + std::to_string(records);
    record["id"] = static_cast<std::int64_t>(records);
    record["name"] = name.c_str();
    record["city"] = cities[random() % 6];
    record["age"] = static_cast<std::int32_t>(18 + random() % 70);
    record["balance"] = static_cast<double>(random() % 10000000) / 100.0;
    record["score"] = static_cast<float>(random() % 1000) / 8.0f;
    record["active"] = random() % 4 != 0;
    record["grade"] = static_cast<char>('A' + random() % 5);
    record["visits"] = static_cast<std::uint32_t>(random() % 100000);
    KQ_TList tags;
    for (std::uint64_t i = random() % 4; i > 0; --i)
      tags.AddAtTail(KQ_TAny(static_cast<std::int16_t>(random() % 300)));
    record["tags"] = KQ_TAny(tags);
    packer << record;
    ++records;
  }
  out.Flush();
  std::cout << records << " records, " << file.tellp() << " bytes\n";
  return 0;
}
