// Another client names the CLIPBOARD's targets and supplies its text: any
// names and bytes must map, convert and round-trip without fault.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/clipboard_targets.h"

using namespace tillerpad::platform::linux_x11;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  // Target names as an owner's TARGETS list would give them, split at NUL.
  std::vector<std::string> names(1);
  for (std::uint8_t b : bytes) {
    if (b == 0) {
      names.emplace_back();
    } else {
      names.back().push_back(static_cast<char>(b));
    }
  }
  auto types = hostTypesForTargets(names);
  if (types.size() > names.size()) std::abort();
  for (const auto& type : types) {
    if (type.empty() || !hostTypeForTarget(type)) std::abort();
    // Every host type seen can be asked for again under some target.
    if (targetsForReading(type).empty()) std::abort();
    (void)offersForWriting(type, bytes);
  }
  auto latin1 = utf8ToLatin1(bytes);
  if (latin1 && latin1ToUtf8(*latin1) != std::vector<std::uint8_t>(bytes.begin(), bytes.end())) std::abort();
  auto utf8 = latin1ToUtf8(bytes);
  if (utf8ToLatin1(utf8) != std::vector<std::uint8_t>(bytes.begin(), bytes.end())) std::abort();
  return 0;
}
