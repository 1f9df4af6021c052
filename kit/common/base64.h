#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kit/common/bytes.h"

namespace tillerpad::kit::base64 {

enum class Alphabet { standard, urlSafe };
enum class Padding { required, none };

// Standard alphabet with "=" padding unless told otherwise.
std::string encode(ByteView bytes, Alphabet alphabet = Alphabet::standard,
                   Padding padding = Padding::required);

// Strict decoding: no white space, no characters outside the alphabet, padding
// exactly as `padding` says, and unused trailing bits zero (one text per value).
std::optional<Bytes> decode(std::string_view text, Alphabet alphabet = Alphabet::standard,
                            Padding padding = Padding::required);

}  // namespace tillerpad::kit::base64
