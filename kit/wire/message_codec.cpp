#include "kit/wire/message_codec.h"

#include <cstring>

#include "kit/wire/byte_reader.h"
#include "kit/wire/envelope.h"
#include "kit/wire/framing.h"
#include "kit/wire/wire_error.h"

namespace tillerpad::kit {
namespace {

void putUInt32(std::uint8_t* out, std::uint64_t v) {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

// Lays out the payload behind `prefix` bytes of room, in one buffer reserved
// at its exact size; attachments are copied once.
Bytes layOut(const Message& message, std::size_t prefix, std::size_t* payloadSize) {
  BlobSink sink;
  std::string json = envelope::write(message, &sink);
  if (sink.blobs.size() > MessageCodec::maxAttachments) throw WireError::malformed("Too many attachments");

  std::size_t size = 4 + json.size() + 2;
  for (ByteView blob : sink.blobs) size += 4 + blob.size();
  *payloadSize = size;

  // Only the prefix is zero-filled; everything else is written once.
  Bytes out;
  out.reserve(prefix + size);
  out.resize(prefix + 4);
  putUInt32(out.data() + prefix, json.size());
  out.insert(out.end(), json.begin(), json.end());
  out.push_back(static_cast<std::uint8_t>(sink.blobs.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(sink.blobs.size()));
  for (ByteView blob : sink.blobs) {
    std::uint8_t length[4];
    putUInt32(length, blob.size());
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), blob.begin(), blob.end());
  }
  return out;
}

}  // namespace

BytePieces MessageCodec::encodeFramePieces(const Message& message) {
  BlobSink sink;
  std::string json = envelope::write(message, &sink);
  if (sink.blobs.size() > maxAttachments) throw WireError::malformed("Too many attachments");
  std::size_t size = 4 + json.size() + 2;
  for (const SharedBytes& blob : sink.blobs) size += 4 + blob.size();

  // Small attachments are copied in with the JSON; a large one becomes a
  // piece that shares its storage, and the bytes after it start a new piece.
  std::size_t inlined = 4 + 4 + json.size() + 2;
  for (const SharedBytes& blob : sink.blobs) inlined += 4 + (blob.size() < gatherMinimum ? blob.size() : 0);
  BytePieces pieces;
  Bytes out;
  out.reserve(inlined);
  out.resize(8);
  Framing::writeHeader(size, out.data());
  putUInt32(out.data() + 4, json.size());
  out.insert(out.end(), json.begin(), json.end());
  out.push_back(static_cast<std::uint8_t>(sink.blobs.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(sink.blobs.size()));
  for (SharedBytes& blob : sink.blobs) {
    std::uint8_t length[4];
    putUInt32(length, blob.size());
    out.insert(out.end(), length, length + 4);
    if (blob.size() < gatherMinimum) {
      out.insert(out.end(), blob.begin(), blob.end());
      continue;
    }
    pieces.emplace_back(std::move(out));
    pieces.push_back(std::move(blob));
    out = Bytes();
  }
  if (!out.empty()) pieces.emplace_back(std::move(out));
  return pieces;
}

Bytes MessageCodec::encode(const Message& message) {
  std::size_t size = 0;
  return layOut(message, 0, &size);
}

Bytes MessageCodec::encodeFrame(const Message& message) {
  std::size_t size = 0;
  Bytes out = layOut(message, 4, &size);
  Framing::writeHeader(size, out.data());
  return out;
}

Message MessageCodec::decode(ByteView payload, std::shared_ptr<const void> owner) {
  ByteReader reader(payload);
  std::uint32_t jsonLength = reader.readUInt32();
  ByteView json = reader.readView(jsonLength);
  std::uint16_t count = reader.readUInt16();
  if (count > maxAttachments) throw WireError::malformed("Too many attachments");
  BlobSource source;
  source.owner = std::move(owner);
  source.blobs.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint32_t length = reader.readUInt32();
    source.blobs.push_back(reader.readView(length));
  }
  if (!reader.atEnd()) throw WireError::malformed("Trailing bytes after attachments");
  return envelope::read(asText(json), &source);
}

}  // namespace tillerpad::kit
