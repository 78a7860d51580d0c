// Frame codec throughput: encodes a stream of alternating Heartbeat and Data
// frames into one buffer with append_frame, then decodes it through one
// FrameDecoder in fixed-size chunks, as a connection reader would.
//
// usage: codec_bench [frames=1000000] [payload_bytes=64] [chunk_bytes=65536]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "wire/framing.h"

namespace {

using Clock = std::chrono::steady_clock;
using vardimont::wire::FrameDecoder;
using vardimont::wire::MessageKind;
using vardimont::wire::WireMessage;

std::size_t arg(int argc, char** argv, int i, std::size_t fallback) {
  return argc > i ? static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
}

void report(const char* what, std::size_t frames, std::size_t bytes, Clock::duration took) {
  const double s = std::chrono::duration<double>(took).count();
  std::printf("%-7s %10zu frames %10.1f MB in %7.3f s: %12.0f frames/s %9.1f MB/s\n", what, frames,
              static_cast<double>(bytes) / 1e6, s, static_cast<double>(frames) / s,
              static_cast<double>(bytes) / 1e6 / s);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t frames = arg(argc, argv, 1, 1'000'000);
  const std::size_t payload_len = arg(argc, argv, 2, 64);
  const std::size_t chunk_len = arg(argc, argv, 3, 65'536);
  if (chunk_len == 0) {
    std::fprintf(stderr, "chunk_bytes must be positive\n");
    return 2;
  }

  WireMessage heartbeat;
  heartbeat.src = "bench@127.0.0.1:9000";
  heartbeat.kind = MessageKind::Heartbeat;
  WireMessage data = heartbeat;
  data.kind = MessageKind::Data;
  data.dst_actor = "worker";
  data.payload.assign(payload_len, '7');
  data.reply_to = "caller";

  std::vector<std::uint8_t> stream;
  // Reserved up front so that the figures are the codec's, not the vector's growth.
  stream.reserve(frames / 2 * (vardimont::wire::encoded_body_len(heartbeat) + 4) +
                 (frames + 1) / 2 * (vardimont::wire::encoded_body_len(data) + 4 + 9));
  const auto encode_start = Clock::now();
  for (std::size_t i = 0; i < frames; ++i) {
    WireMessage& m = i % 2 == 0 ? heartbeat : data;
    m.msg_id = i + 1;
    if (i % 2 == 1) data.correlation_id = i;
    if (!append_frame(m, stream).ok()) {
      std::fprintf(stderr, "encode failed at frame %zu\n", i);
      return 1;
    }
  }
  report("encode", frames, stream.size(), Clock::now() - encode_start);

  FrameDecoder decoder;
  std::size_t decoded = 0;
  std::uint64_t checksum = 0;
  const auto decode_start = Clock::now();
  for (std::size_t at = 0; at < stream.size(); at += chunk_len) {
    const std::size_t n = std::min(chunk_len, stream.size() - at);
    auto messages = decoder.decode(std::span(stream).subspan(at, n));
    if (!messages.ok()) {
      std::fprintf(stderr, "decode failed: %s\n", messages.error().to_string().c_str());
      return 1;
    }
    for (const auto& m : messages.value()) checksum += m.msg_id;
    decoded += messages->size();
  }
  report("decode", decoded, stream.size(), Clock::now() - decode_start);

  const std::uint64_t expected = static_cast<std::uint64_t>(frames) * (frames + 1) / 2;
  if (decoded != frames || checksum != expected || decoder.buffered() != 0) {
    std::fprintf(stderr, "mismatch: %zu of %zu frames decoded\n", decoded, frames);
    return 1;
  }
  return 0;
}
