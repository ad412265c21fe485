// kqdump: shows packed data as text, and packs text again.
//
//   kqdump [FILE]          packed objects -> their text, one after another
//   kqdump --pack [FILE]   that text -> the packed objects
//   kqdump --check [FILE]  reads packed objects and counts them (with
//                          --pack: reads text)
//
// Packing the text that kqdump wrote gives back the original bytes exactly.
// Floating-point numbers are written in their exact form (the shortest
// digits that read back to the same value). An object whose text would not
// pack to its original bytes (a NaN, a value of a class this program does
// not know, an Any holding an object, a non-canonical encoding) is written
// as a "KQ_IPackable { ... }" block of its bytes instead; at the outer level
// --pack copies such a block through unchanged. Every object is checked
// this way while it is dumped, so the promise holds for any input.
//
// Input is read one object at a time: memory grows with the largest object,
// not with the file.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tcxxstream.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kqdump.h"
#include "kqdump_streams.h"

namespace {

using kqdump::FileInput;
using kqdump::FileOutput;

constexpr int kExitBadData = 1;
constexpr int kExitUsage = 2;

char const kUsage[] =
    "Usage: kqdump [--pack] [--check] [FILE]\n"
    "Shows kqtypes packed data as text, and packs such text again.\n"
    "\n"
    "  (no option)   read the packed objects of FILE and write each as text\n"
    "  --pack        read text (as kqdump writes it) and write the packed objects\n"
    "  --check       read and count the objects without writing them\n"
    "                (packed input, or text input together with --pack)\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "FILE absent or \"-\" reads standard input. Packing the text of kqdump gives\n"
    "back the original bytes; objects whose text cannot promise that are shown\n"
    "as KQ_IPackable blocks of their bytes.\n"
    "\n"
    "Exit status: 0 success, 1 bad data (the message names the byte or line),\n"
    "2 bad usage, a file that cannot be opened, or output that cannot be written.\n";

// A one-line failure that ends the program with a given status.
struct Failure {
  int status;
  std::string message;
};

// The class and message of a library exception: "KQ_EWrongPackedType: ...".
// A syntax error's message only names the line (counted from 0), which the
// report already gives counted from 1; what it carries says what was
// expected and what was found.
std::string Describe(KQ_EException const& e) {
  std::string text = e.ClassName();
  if (e.KQ_Cast("KQ_EHRSyntaxError") != nullptr) {
    KQ_TAny const& data = e.KQ_Data();
    if (data.Kind() == KQ_TAny::kObject) {
      if (auto const* what = static_cast<KQ_TString const*>((*data).KQ_Cast("KQ_TString"))) {
        text += ": " + what->ToUTF8(KQ_TString::UTF8Rule::kStandard);
      }
    }
    return text;
  }
  char const* const message = e.KQ_Message().UTF8();
  if (message != nullptr && *message != '\0') text += std::string(": ") + message;
  return text;
}

// Shows how far a large input has been read, on standard error, when that is
// a terminal; at most five times a second.
class ProgressLine {
 public:
  ProgressLine(char const* name, std::uint64_t total)
      : fName(name), fTotal(total), fEnabled(KQ_TCxxStream::IsTerminal(std::cerr)) {}
  ProgressLine(ProgressLine const&) = delete;
  ProgressLine& operator=(ProgressLine const&) = delete;
  ~ProgressLine() { Clear(); }

  void Update(std::uint64_t offset) {
    if (!fEnabled || offset < kLarge || (fTotal != 0 && fTotal < kLarge)) return;
    auto const now = std::chrono::steady_clock::now();
    if (fShown && now - fLast < std::chrono::milliseconds(200)) return;
    fLast = now;
    fShown = true;
    if (fTotal != 0) {
      std::fprintf(stderr, "\rkqdump: %s: %llu of %llu MiB (%llu%%) ", fName,
                   static_cast<unsigned long long>(offset >> 20),
                   static_cast<unsigned long long>(fTotal >> 20),
                   static_cast<unsigned long long>(offset * 100 / fTotal));
    } else {
      std::fprintf(stderr, "\rkqdump: %s: %llu MiB ", fName,
                   static_cast<unsigned long long>(offset >> 20));
    }
    std::fflush(stderr);
  }
  void Clear() {
    if (!fShown) return;
    std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
    fShown = false;
  }

 private:
  static constexpr std::uint64_t kLarge = 32u << 20;
  char const* fName;
  std::uint64_t fTotal;
  bool fEnabled;
  bool fShown = false;
  std::chrono::steady_clock::time_point fLast;
};

// Standard input or an opened file.
class InputFile {
 public:
  explicit InputFile(std::string const& path) : fName(path.empty() || path == "-" ? "-" : path) {
    if (fName == "-") {
      fFile = stdin;
      return;
    }
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      throw Failure{kExitUsage, "kqdump: " + path + " is a directory"};
    }
    fFile = std::fopen(path.c_str(), "rb");
    if (fFile == nullptr) {
      throw Failure{kExitUsage, "kqdump: cannot open " + path + ": " + std::strerror(errno)};
    }
    auto const size = std::filesystem::file_size(path, error);
    if (!error) fSize = size;
  }
  InputFile(InputFile const&) = delete;
  InputFile& operator=(InputFile const&) = delete;
  ~InputFile() {
    if (fFile != stdin) std::fclose(fFile);
  }
  std::FILE* File() const { return fFile; }
  std::string const& Name() const { return fName; }
  // The size of a regular file, else 0.
  std::uint64_t Size() const { return fSize; }

 private:
  std::string fName;
  std::FILE* fFile = nullptr;
  std::uint64_t fSize = 0;
};

// The text of packed objects, checked to pack back to their bytes.
class Dumper {
 public:
  explicit Dumper(FileOutput& output)
      : fOutput(output), fWriter(fText), fParser(fView), fRepacker(fRepacked) {
    fWriter.SetExactFloats(true);
  }
  Dumper(Dumper const&) = delete;
  Dumper& operator=(Dumper const&) = delete;

  // Writes the text of object, which was read from bytes: its own text when
  // that reads back to the same bytes, else its bytes as a packed block
  // (also when it has no text, or refuses to write one, as an Any holding
  // a pointer does).
  void Write(KQ_IPackable const* object, std::vector<unsigned char> const& bytes) {
    fText.SetSize(0);
    fText.Seek(0);
    auto const* readable =
        object == nullptr
            ? nullptr
            : static_cast<KQ_IHumanReadable const*>(object->KQ_Cast("KQ_IHumanReadable"));
    bool exact = false;
    if (readable != nullptr) {
      try {
        fWriter << *readable;
        fText.Write('\n');
        exact = !IsPackedBlock() && PacksBackTo(bytes);
      } catch (KQ_EException const&) {
        fWriter = fText;
      }
    }
    if (!exact) {
      fText.SetSize(0);
      fText.Seek(0);
      WriteBlock(bytes);
    }
    fOutput.Write(fText.Data(), fText.Size());
  }

 private:
  // Whether the text just written is a packed block, which --pack copies
  // through as it stands: the block of an object an Any holds would lose the
  // Any around it, so such an object is written as a block of all its bytes.
  bool IsPackedBlock() const {
    static char const kWord[] = "KQ_IPackable";
    return fText.Size() >= sizeof kWord - 1 &&
           std::memcmp(fText.Data(), kWord, sizeof kWord - 1) == 0;
  }

  // Whether the text just written reads back to an object packed as bytes.
  bool PacksBackTo(std::vector<unsigned char> const& bytes) {
    try {
      fView.SetBuffer(fText.Data(), fText.Size(), fText.Size());
      fParser = fView;
      std::unique_ptr<KQ_IHumanReadable> const parsed(fParser.Extract());
      auto const* packable = static_cast<KQ_IPackable const*>(parsed->KQ_Cast("KQ_IPackable"));
      if (packable == nullptr) return false;
      fRepacked.SetSize(0);
      fRepacked.Seek(0);
      fRepacker << *packable;
      return fRepacked.Size() == bytes.size() &&
             std::memcmp(fRepacked.Data(), bytes.data(), bytes.size()) == 0;
    } catch (KQ_EException const&) {
      return false;
    }
  }

  // bytes as a KQ_IPackable block, laid out as the human-readable stream
  // lays out packed objects.
  void WriteBlock(std::vector<unsigned char> const& bytes) {
    static char const kDigits[] = "0123456789abcdef";
    std::string block = "KQ_IPackable {";
    block.reserve(bytes.size() * 2 + bytes.size() / 32 + 20);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i % KQ_THumanReadableStream::kPackedBytesPerLine == 0) block += "\n  ";
      block += kDigits[bytes[i] >> 4];
      block += kDigits[bytes[i] & 15];
    }
    block += "\n}\n";
    fText.Write(block.data(), static_cast<std::uint32_t>(block.size()));
  }

  FileOutput& fOutput;
  KQ_TMemoryStream fText;
  KQ_THumanReadableStream fWriter;
  KQ_TMemoryStream fView;
  KQ_THumanReadableStream fParser;
  KQ_TMemoryStream fRepacked;
  KQ_TDataStream fRepacker;
};

// Packed input -> text (or only counted).
std::uint64_t ReadPacked(InputFile& file, FileOutput* output) {
  FileInput input(file.File());
  ProgressLine progress(file.Name().c_str(), file.Size());
  input.SetProgress([&progress](std::uint64_t offset) { progress.Update(offset); });
  KQ_TDataStream reader(input);
  std::unique_ptr<Dumper> dumper(output == nullptr ? nullptr : new Dumper(*output));
  std::vector<unsigned char> bytes;
  std::uint64_t count = 0;
  while (!input.AtEnd()) {
    std::uint64_t const start = input.Offset();
    try {
      bytes.clear();
      input.BeginCopy(&bytes);
      std::unique_ptr<KQ_IPackable> const object(reader.Extract(true));
      input.EndCopy();
      if (dumper) dumper->Write(object.get(), bytes);
    } catch (KQ_EException const& e) {
      if (output != nullptr && output->Failed()) throw;
      progress.Clear();
      throw Failure{kExitBadData, "kqdump: " + file.Name() + ": byte " +
                                      std::to_string(input.Offset()) + " (object " +
                                      std::to_string(count + 1) + " from byte " +
                                      std::to_string(start) + "): " + Describe(e)};
    }
    ++count;
  }
  return count;
}

// The word that starts a packed block, in lower case.
bool IsPackedBlockWord(KQ_TString const& word) {
  char const* const text = word.UTF8();
  char const expected[] = "kq_ipackable";
  if (std::strlen(text) != sizeof expected - 1) return false;
  for (std::size_t i = 0; i < sizeof expected - 1; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != expected[i]) return false;
  }
  return true;
}

int HexDigit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of a "KQ_IPackable { ... }" block whose word has been read; they
// must hold exactly one packed object.
std::vector<unsigned char> ReadPackedBlock(KQ_THumanReadableStream& text) {
  text.Expect('{');
  std::vector<unsigned char> bytes;
  while (text.PeekNonWhite() != '}') {
    unsigned char const first = text.Read();
    unsigned char const second = text.Read();
    int const high = HexDigit(first);
    int const low = HexDigit(second);
    if (high < 0) text.SyntaxError("hexadecimal digits or '}'", text.Quoted(first));
    if (low < 0) text.SyntaxError("a second hexadecimal digit", text.Quoted(second));
    bytes.push_back(static_cast<unsigned char>(high * 16 + low));
  }
  text.Read();
  KQ_TMemoryStream view(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                        static_cast<std::uint32_t>(bytes.size()));
  KQ_TDataStream reader(view);
  std::unique_ptr<KQ_IPackable> const object(reader.Extract(true));
  if (reader.Available() != 0) {
    KQ_THROW(KQ_EWrongPacketSize(KQ_TString("the packed block holds more than one object")));
  }
  return bytes;
}

// Text input -> packed objects (or only counted).
std::uint64_t ReadText(InputFile& file, FileOutput* output) {
  FileInput input(file.File());
  input.SetFinalLineFeed(true);
  ProgressLine progress(file.Name().c_str(), file.Size());
  input.SetProgress([&progress](std::uint64_t offset) { progress.Update(offset); });
  KQ_THumanReadableStream text(input);
  // Hand-edited text is taken as written or refused, never quietly changed.
  text.SetStrict(true);
  std::unique_ptr<KQ_TDataStream> packer(output == nullptr ? nullptr : new KQ_TDataStream(*output));
  KQ_TString const wordSet("0123456789_abcdefghijklmnopqrstuvwxyz");
  std::uint64_t count = 0;
  for (;;) {
    try {
      text.PeekNonWhite();
    } catch (KQ_EStreamEndReached const&) {
      break;
    }
    try {
      unsigned char const first = text.PeekNonWhite();
      if (first == 'k' || first == 'K') {
        KQ_TString const word = text.ReadNCSpan(wordSet);
        if (IsPackedBlockWord(word)) {
          std::vector<unsigned char> const bytes = ReadPackedBlock(text);
          if (output != nullptr)
            output->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
          ++count;
          continue;
        }
        char const* const utf8 = word.UTF8();
        text.Unread(utf8, static_cast<std::uint32_t>(std::strlen(utf8)));
      }
      std::unique_ptr<KQ_IHumanReadable> const object(text.Extract());
      auto const* packable = static_cast<KQ_IPackable const*>(object->KQ_Cast("KQ_IPackable"));
      if (packer && packable != nullptr) *packer << *packable;
    } catch (KQ_EException const& e) {
      if (output != nullptr && output->Failed()) throw;
      progress.Clear();
      throw Failure{kExitBadData, "kqdump: " + file.Name() + ": line " +
                                      std::to_string(text.LineNr() + 1) + " (object " +
                                      std::to_string(count + 1) + "): " + Describe(e)};
    }
    ++count;
  }
  return count;
}

struct Options {
  bool pack = false;
  bool check = false;
  std::string path;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  bool pathGiven = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string const argument = argv[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (argument == "--help" || argument == "-h")) {
      std::fputs(kUsage, stdout);
      throw Failure{0, ""};
    } else if (!optionsEnded && argument == "--version") {
      std::printf("kqdump (kqtypes) %s\n", KQDUMP_VERSION);
      throw Failure{0, ""};
    } else if (!optionsEnded && argument == "--pack") {
      options.pack = true;
    } else if (!optionsEnded && argument == "--check") {
      options.check = true;
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      throw Failure{kExitUsage, "kqdump: unknown option " + argument + "\nTry kqdump --help."};
    } else if (pathGiven) {
      throw Failure{kExitUsage, "kqdump: only one FILE may be given\nTry kqdump --help."};
    } else {
      options.path = argument;
      pathGiven = true;
    }
  }
  return options;
}

int Run(int argc, char** argv) {
  Options const options = ParseOptions(argc, argv);
  if (!__KQ_INITIALIZATION_FUNCTION_kqtypes__())
    throw Failure{kExitUsage, "kqdump: kqtypes did not start"};
  InputFile file(options.path);
  std::unique_ptr<FileOutput> output(options.check ? nullptr : new FileOutput(stdout));
  try {
    std::uint64_t const count =
        options.pack ? ReadText(file, output.get()) : ReadPacked(file, output.get());
    if (output) output->Flush();
    if (options.check)
      std::printf("%llu object%s\n", static_cast<unsigned long long>(count), count == 1 ? "" : "s");
  } catch (KQ_EException const&) {
    if (output && output->Failed()) throw Failure{kExitUsage, "kqdump: cannot write the output"};
    throw;
  }
  return 0;
}

}  // namespace

int kqdump::Main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (Failure const& failure) {
    if (!failure.message.empty()) std::fprintf(stderr, "%s\n", failure.message.c_str());
    return failure.status;
  } catch (KQ_EException const& e) {
    std::fprintf(stderr, "kqdump: %s\n", Describe(e).c_str());
    return kExitBadData;
  } catch (std::bad_alloc const&) {
    std::fprintf(stderr, "kqdump: out of memory\n");
    return kExitBadData;
  }
}
