#pragma once
// Internal: the JSON envelope {"type", "body"} of a message.

#include <string>
#include <string_view>

#include "kit/wire/blob.h"
#include "kit/wire/message.h"

namespace tillerpad::kit::envelope {

// Compact JSON; Blob fields go to `sink` (Base64 text when it is null).
std::string write(const Message& message, BlobSink* sink);
// Blob fields come from `source` (Base64 text when it is null).
Message read(std::string_view json, const BlobSource* source);

}  // namespace tillerpad::kit::envelope
