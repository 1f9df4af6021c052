#pragma once

#include <memory>

#include "kit/common/bytes.h"
#include "kit/common/shared_bytes.h"
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

// Attachments from this size on are not copied into a gathered frame.
inline constexpr std::size_t gatherMinimum = 4096;

// encodeFrame() as pieces that are written one after the other: the encoded
// bytes, with each large attachment as a piece of its own that shares the
// message's storage. Throws like encode().
BytePieces encodeFramePieces(const Message& message);

// Throws WireError (truncated, malformed) or DecodingError. With an owner
// that keeps the payload's bytes alive, attachments share them instead of
// copying them.
Message decode(ByteView payload, std::shared_ptr<const void> owner = nullptr);

}  // namespace MessageCodec

}  // namespace tillerpad::kit
