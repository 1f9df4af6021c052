#pragma once

#include <string>
#include <string_view>

namespace tillerpad::kit {

// A record's JSON text outside the message codec: Blob fields are Base64 text
// here, as there are no attachments. Defined for every body record.
template <class Record>
std::string toJsonText(const Record& record);

template <class Record>
Record fromJsonText(std::string_view text);

}  // namespace tillerpad::kit
