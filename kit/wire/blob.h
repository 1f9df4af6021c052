#pragma once

#include <memory>
#include <vector>

#include "kit/common/shared_bytes.h"

namespace tillerpad::kit {

// A byte field that travels as a binary attachment beside the JSON (frames,
// icons, clipboard images). Outside the message codec it is Base64 text.
// Its storage is shared: copying a message or sending it copies no bytes.
struct Blob {
  SharedBytes data;
  friend bool operator==(const Blob&, const Blob&) = default;
};

// Attachments collected while encoding; they share the message's storage,
// so a frame built from them may outlive the message.
struct BlobSink {
  std::vector<SharedBytes> blobs;
};

// Attachments read from a payload, fixed once built; they point into the
// payload. With an owner, the payload's buffer is handed over and the
// attachments keep it instead of copying out of it.
struct BlobSource {
  std::vector<ByteView> blobs;
  std::shared_ptr<const void> owner;
};

}  // namespace tillerpad::kit
