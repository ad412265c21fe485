// KQ_TSocket against plain send/recv on the same loopback connection (a
// KQ_TSocketPair; the baseline uses its system sockets through Handle()):
// 1 GB written in 64 KiB writes, and the round trip of a small packed
// message echoed by a second thread.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "kq_eexception.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"
#include "kq_tsocket.h"
#include "kq_tsocketpair.h"

namespace {

constexpr std::uint32_t kBlock = 64 * 1024;
constexpr std::uint64_t kTotal = std::uint64_t{1} << 30;

// Receives exactly count bytes from a system socket.
void RecvAll(int socket, char* buffer, std::size_t count) {
  while (count > 0) {
    ssize_t const got = recv(socket, buffer, count, 0);
    if (got <= 0) return;
    buffer += got;
    count -= static_cast<std::size_t>(got);
  }
}

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

  void WriteTo(KQ_TDataStream& out) const { out << client << number << text; }
  void ReadFrom(KQ_TDataStream& in) { in >> client >> number >> text; }
};

void BM_PlainSocketRoundTrip(benchmark::State& state) {
  KQ_TSocketPair pair;
  KQ_TMemoryStream packed;
  KQ_TDataStream packer(packed);
  Message().WriteTo(packer);
  std::size_t const size = packed.Size();
  std::thread echo([&] {
    std::vector<char> message(size);
    for (;;) {
      ssize_t const got = recv(pair[0].Handle(), message.data(), size, MSG_WAITALL);
      if (got != static_cast<ssize_t>(size)) break;
      SendAll(pair[0].Handle(), message.data(), size);
    }
  });
  std::vector<char> answer(size);
  for (auto _ : state) {
    SendAll(pair[1].Handle(), reinterpret_cast<char const*>(packed.Data()), size);
    RecvAll(pair[1].Handle(), answer.data(), size);
  }
  shutdown(pair[1].Handle(), SHUT_WR);
  echo.join();
}

void BM_TSocketDataStreamRoundTrip(benchmark::State& state) {
  KQ_TSocketPair pair;
  std::thread echo([&] {
    KQ_TSocket& socket = pair[0];
    socket.SetBuffered(true);
    KQ_TDataStream stream(socket);
    Message message;
    try {
      for (;;) {
        message.ReadFrom(stream);
        message.WriteTo(stream);
        socket.Flush();
      }
    } catch (KQ_EException const&) {
      // The client has gone.
    }
  });
  KQ_TSocket& socket = pair[1];
  socket.SetBuffered(true);
  KQ_TDataStream stream(socket);
  Message message;
  for (auto _ : state) {
    ++message.number;
    message.WriteTo(stream);
    socket.Flush();
    message.ReadFrom(stream);
  }
  shutdown(socket.Handle(), SHUT_WR);
  echo.join();
}

}  // namespace

BENCHMARK(BM_PlainSocketWrite1GB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TSocketWrite1GB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainSocketRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_TSocketDataStreamRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
