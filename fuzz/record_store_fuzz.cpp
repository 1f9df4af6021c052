// Loads arbitrary stored item bytes through RecordStore, as both record
// types; what loads must save and load again to the same record.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "kit/pairing/paired_records.h"
#include "kit/pairing/record_store.h"

using namespace tillerpad::kit;

namespace {

// Microseconds survive the stored double exactly within 2^32 seconds of the
// reference date; beyond, a microsecond may be lost.
bool sameTime(RecordTime a, RecordTime b) {
  auto span = (a.time_since_epoch() - referenceDateOffset).count();
  auto difference = (a - b).count();
  if (span > -(std::int64_t{1} << 32) * 1000000 && span < (std::int64_t{1} << 32) * 1000000) return difference == 0;
  return difference >= -1 && difference <= 1;
}

template <class Record>
void roundTrip(const std::shared_ptr<CredentialStore>& items) {
  RecordStore<Record> store(items);
  for (const Record& record : store.all()) {
    auto again = std::make_shared<InMemoryCredentialStore>();
    RecordStore<Record> copy(again);
    copy.save(record);
    auto loaded = copy.all();
    if (loaded.size() != 1) std::abort();
    Record reloaded = loaded[0];
    if (!sameTime(reloaded.pairedAt, record.pairedAt)) std::abort();
    reloaded.pairedAt = record.pairedAt;
    if (!(reloaded == record)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto items = std::make_shared<InMemoryCredentialStore>();
  items->write(ByteView(data, size), "00000000-0000-0000-0000-000000000000");
  roundTrip<PairedDevice>(items);
  roundTrip<PairedMac>(items);
  return 0;
}
