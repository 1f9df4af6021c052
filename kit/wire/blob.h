#pragma once

#include <vector>

#include "kit/common/bytes.h"

namespace tillerpad::kit {

// A byte field that travels as a binary attachment beside the JSON (frames,
// icons, clipboard images). Outside the message codec it is Base64 text.
struct Blob {
  Bytes data;
  friend bool operator==(const Blob&, const Blob&) = default;
};

// Attachments collected while encoding; they point into the message being
// encoded, which outlives the call.
struct BlobSink {
  std::vector<ByteView> blobs;
};

// Attachments read from a payload, fixed once built; they point into the payload.
struct BlobSource {
  std::vector<ByteView> blobs;
};

}  // namespace tillerpad::kit
