#pragma once

#include "kit/common/bytes.h"
#include "kit/wire/message.h"

namespace tillerpad::kit {

// Payload = jsonLength(4) json attachmentCount(2) {attachmentLength(4) attachment}*,
// big-endian. The JSON is {"type": ..., "body": {...}}; Blob fields are
// attachment indexes. Stateless.
namespace MessageCodec {

inline constexpr std::size_t maxAttachments = 64;

// Throws EncodingError (unknown type, non-finite number, text not UTF-8) or
// WireError::malformed("Too many attachments").
Bytes encode(const Message& message);

// encode() with the frame's 4-byte length prefix in front, in one buffer.
Bytes encodeFrame(const Message& message);

// Throws WireError (truncated, malformed) or DecodingError.
Message decode(ByteView payload);

}  // namespace MessageCodec

}  // namespace tillerpad::kit
