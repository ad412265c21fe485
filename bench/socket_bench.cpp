// KQ_TSocket against plain send/recv on the same loopback connection (a
// KQ_TSocketPair; the baseline uses its system sockets through Handle()):
// 1 GB written in 64 KiB writes, and the round trip of a small packed
// message echoed by a second thread, sent as one packet or element by
// element through a data stream over the socket.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"
#include "kq_tsocket.h"
#include "kq_tsocketpair.h"

namespace {

constexpr std::uint32_t kBlock = 64 * 1024;
constexpr std::uint64_t kTotal = std::uint64_t{1} << 30;

void SendAll(int socket, char const* buffer, std::size_t count) {
  while (count > 0) {
    ssize_t const sent = send(socket, buffer, count, MSG_NOSIGNAL);
    if (sent <= 0) return;
    buffer += sent;
    count -= static_cast<std::size_t>(sent);
  }
}

// Moves 1 GB across the pair in kBlock writes: send(block) writes one,
// receive(buffer) reads up to kBlock bytes and returns how many.
template <class Send, class Receive>
void Move1GB(benchmark::State& state, Send send, Receive receive) {
  std::vector<char> const block(kBlock, 'x');
  for (auto _ : state) {
    std::thread reader([&] {
      std::vector<char> buffer(kBlock);
      for (std::uint64_t total = 0; total < kTotal;) total += receive(buffer.data());
    });
    for (std::uint64_t sent = 0; sent < kTotal; sent += kBlock) send(block.data());
    reader.join();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

void BM_PlainSocketWrite1GB(benchmark::State& state) {
  KQ_TSocketPair pair;
  Move1GB(
      state, [&](char const* block) { SendAll(pair[1].Handle(), block, kBlock); },
      [&](char* buffer) {
        ssize_t const got = recv(pair[0].Handle(), buffer, kBlock, 0);
        return got > 0 ? static_cast<std::uint64_t>(got) : kTotal;
      });
}

void BM_TSocketWrite1GB(benchmark::State& state) {
  KQ_TSocketPair pair;
  Move1GB(
      state, [&](char const* block) { pair[1].Write(block, kBlock); },
      [&](char* buffer) { return std::uint64_t{pair[0].Read(buffer, 1, kBlock)}; });
}

// The message of the round trips: two numbers and a text of 32 characters,
// 85 bytes packed.
struct Message {
  std::uint32_t client = 7;
  std::uint32_t number = 0;
  KQ_TString text{"a small message of the benchmark"};

  void WriteTo(KQ_IPacking& out) const { out << client << number << text; }
  void ReadFrom(KQ_IUnpacking& in) { in >> client >> number >> text; }
};

// The baseline: the message's bytes, packed once, with plain send and recv.
class PlainLink {
 public:
  explicit PlainLink(KQ_TSocket& socket) : fSocket(socket.Handle()) {
    KQ_TDataStream packer(fPacked);
    Message().WriteTo(packer);
    fAnswer.resize(fPacked.Size());
  }
  void Send(Message const&) {
    SendAll(fSocket, reinterpret_cast<char const*>(fPacked.Data()), fPacked.Size());
  }
  bool Receive(Message&) {
    return recv(fSocket, fAnswer.data(), fAnswer.size(), MSG_WAITALL) ==
           static_cast<ssize_t>(fAnswer.size());
  }

 private:
  int fSocket;
  KQ_TMemoryStream fPacked;
  std::vector<char> fAnswer;
};

// The message packed in memory and sent as one packet (a length and the
// bytes), so that it takes one send and two receives.
class PacketLink {
 public:
  explicit PacketLink(KQ_TSocket& socket) : fSocket(socket), fWire(socket), fPacker(fPacked) {
    fSocket.SetBuffered(true);
  }
  void Send(Message const& message) {
    fPacked.SetSize(0);
    message.WriteTo(fPacker);
    fWire.WritePacket(fPacked.Data(), fPacked.Size());
    fSocket.Flush();
  }
  bool Receive(Message& message) {
    std::uint32_t const size = fWire.ReadPacket(fBuffer, 0, sizeof fBuffer);
    KQ_TMemoryStream bytes(fBuffer, size, size);
    KQ_TDataStream unpacker(bytes);
    message.ReadFrom(unpacker);
    return true;
  }

 private:
  KQ_TSocket& fSocket;
  KQ_TDataStream fWire;
  KQ_TMemoryStream fPacked;
  KQ_TDataStream fPacker;
  unsigned char fBuffer[4096];
};

// A data stream straight over the socket: one receive per element.
class StreamLink {
 public:
  explicit StreamLink(KQ_TSocket& socket) : fSocket(socket), fWire(socket) {
    fSocket.SetBuffered(true);
  }
  void Send(Message const& message) {
    message.WriteTo(fWire);
    fSocket.Flush();
  }
  bool Receive(Message& message) {
    message.ReadFrom(fWire);
    return true;
  }

 private:
  KQ_TSocket& fSocket;
  KQ_TDataStream fWire;
};

// One iteration: the client sends a message to a thread on the pair's other
// end, which sends it back.
template <class Link>
void BM_RoundTrip(benchmark::State& state) {
  KQ_TSocketPair pair;
  std::thread echo([&] {
    Link link(pair[0]);
    Message message;
    try {
      while (link.Receive(message)) link.Send(message);
    } catch (KQ_EException const&) {
      // The client has gone.
    }
  });
  Link link(pair[1]);
  Message message;
  for (auto _ : state) {
    ++message.number;
    link.Send(message);
    link.Receive(message);
  }
  shutdown(pair[1].Handle(), SHUT_WR);
  echo.join();
}

}  // namespace

BENCHMARK(BM_PlainSocketWrite1GB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TSocketWrite1GB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RoundTrip, PlainLink)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RoundTrip, PacketLink)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RoundTrip, StreamLink)->Unit(benchmark::kMicrosecond)->UseRealTime();
