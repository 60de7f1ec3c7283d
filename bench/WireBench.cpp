// The per-message costs of the receive path: checking and parsing a block, reading a status payload, and
// reassembling a fragmented message.
#include <benchmark/benchmark.h>

#include <vector>

#include "host/VELBBStreamer.h"
#include "velp2p/VELP2PHeader.h"
#include "wire/VELP2PFragmenter.h"
#include "wire/VELP2PReassembler.h"

namespace {

std::vector<char> Block(int payloadBytes, int mode) {
  VELP2PHeader header;
  VELUnicodeString group("/P2PRoot/Design");
  std::vector<char> payload(static_cast<size_t>(payloadBytes), 'p');
  (void)header.Build(group, "StatusService", "alice", 0x0100007f, 0x3412, 0, 0, payload.data(), payloadBytes,
                     mode);
  char* bytes = nullptr;
  int length = 0;
  (void)header.GetBuffer(bytes, length);
  return std::vector<char>(bytes, bytes + length);
}

void ParseBlock(benchmark::State& state) {
  std::vector<char> block = Block(static_cast<int>(state.range(0)), 1);
  for (auto _ : state) {
    VELP2PHeader parsed;
    VELResult result = parsed.Initialize(reinterpret_cast<VELP2PHeaderFixedPart*>(block.data()),
                                         static_cast<int>(block.size()));
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(parsed.GetPayload());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}
BENCHMARK(ParseBlock)->Arg(10)->Arg(900);

void BuildBlock(benchmark::State& state) {
  std::vector<char> payload(static_cast<size_t>(state.range(0)), 'p');
  VELUnicodeString group("/P2PRoot/Design");
  for (auto _ : state) {
    VELP2PHeader header;
    VELResult result = header.Build(group, "StatusService", "alice", 1, 2, 3, 4, payload.data(),
                                    static_cast<int>(payload.size()), 1);
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BuildBlock)->Arg(10)->Arg(900);

void StatusRoundTrip(benchmark::State& state) {
  VELBBStreamer* streamer = new VELBBStreamer();
  const char description[] = "in a meeting until three";
  for (auto _ : state) {
    (void)streamer->BeginStream();
    (void)streamer->StreamByte('0');
    (void)streamer->StreamInt(3);
    (void)streamer->StreamFixedByteArray(description, sizeof(description) - 1);
    int length = 0;
    void* payload = streamer->EndStream(length);
    unsigned char kind = 0;
    int32_t status = 0;
    int n = 0;
    char text[64];
    (void)streamer->BeginUnstream(payload, length);
    (void)streamer->UnstreamByte(kind);
    (void)streamer->UnstreamInt(status);
    (void)streamer->UnstreamVariableArrayLength(n);
    (void)streamer->UnstreamFixedByteArray(text, n);
    (void)streamer->EndUnstream();
    (void)streamer->ReleaseStreamedBuffer();
    benchmark::DoNotOptimize(status);
  }
  streamer->Release();
}
BENCHMARK(StatusRoundTrip);

// A message of range(0) bytes cut into 500-byte fragments and put back together.
void Reassemble(benchmark::State& state) {
  const int length = static_cast<int>(state.range(0));
  std::vector<VELP2PBlock> fragments;
  for (const VELP2PFragmentPiece& piece : VELP2PPlanFragments(length, 500)) {
    std::vector<char> block = Block(piece.length, 1);
    (void)VELP2PMarkFragment(block.data(), static_cast<int>(block.size()), piece.kind, 7, length);
    fragments.push_back(VELP2PBlock::Copy(block.data(), static_cast<int>(block.size())));
  }
  VELP2PReassembler reassembler;
  for (auto _ : state) {
    for (const VELP2PBlock& fragment : fragments)
      benchmark::DoNotOptimize(reassembler.Take(fragment));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(Reassemble)->Arg(1500)->Arg(64 * 1024);

}  // namespace
