// The frame decoder fed as a stream in chunks whose sizes the input chooses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kit/wire/framing.h"
#include "kit/wire/wire_error.h"

using namespace tillerpad::kit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the chunk sizes; the rest is the stream.
  unsigned seed = data[0];
  ByteView stream(data + 1, size - 1);
  FrameDecoder decoder;
  std::size_t fed = 0, yielded = 0;
  try {
    while (fed < stream.size()) {
      seed = seed * 1103515245u + 12345u;
      std::size_t chunk = 1 + (seed >> 16) % 64;
      if (chunk > stream.size() - fed) chunk = stream.size() - fed;
      decoder.append(stream.subspan(fed, chunk));
      fed += chunk;
      while (auto payload = decoder.next()) {
        yielded += payload->size() + 4;
        if (payload->size() > Framing::maxPayloadLength) std::abort();
      }
      // Everything fed is either yielded or still buffered.
      if (yielded + decoder.bufferedBytes() != fed) std::abort();
    }
  } catch (const WireError& e) {
    if (e.errorCase() != WireError::Case::frameTooLarge || e.length() <= Framing::maxPayloadLength) std::abort();
  }
  return 0;
}
