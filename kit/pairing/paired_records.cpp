#include "kit/pairing/paired_records.h"

#include <cmath>
#include <ostream>

#include "kit/wire/json.h"

namespace tillerpad::kit {
namespace {

using json::Json;
using json::Reader;
using json::Writer;
using Kind = DecodingError::Kind;

// Far beyond any real date, and well inside what microseconds in 64 bits hold.
constexpr double kSecondsLimit = 1e11;

RecordTime readTime(const Reader& r, std::string_view key) {
  double seconds = r.get<double>(key);
  auto time = recordTimeFromReferenceSeconds(seconds);
  if (!time) r.failAt(key, Kind::dataCorrupted, "Date is out of range.");
  return *time;
}

SymmetricKey readKey(const Reader& r, std::string_view key) {
  Bytes bytes = r.get<Bytes>(key);
  auto result = SymmetricKey::fromBytes(bytes);
  std::fill(bytes.begin(), bytes.end(), 0);
  // Any other length could never key a connection: the item is corrupt.
  if (!result) r.failAt(key, Kind::dataCorrupted, "A key is 32 bytes.");
  return *result;
}

Reader topLevel(const Json& document) {
  Reader r(document, nullptr);
  if (!document.is_object()) {
    r.fail(Kind::typeMismatch, "Expected to decode Dictionary but found another value instead.");
  }
  return r;
}

}  // namespace

double secondsSinceReferenceDate(RecordTime time) {
  auto sinceReference = time.time_since_epoch() - std::chrono::duration_cast<std::chrono::microseconds>(referenceDateOffset);
  return static_cast<double>(sinceReference.count()) / 1e6;
}

std::optional<RecordTime> recordTimeFromReferenceSeconds(double seconds) {
  if (!std::isfinite(seconds) || std::fabs(seconds) > kSecondsLimit) return std::nullopt;
  auto micros = static_cast<std::int64_t>(std::llround(seconds * 1e6));
  return RecordTime(std::chrono::microseconds(micros) + referenceDateOffset);
}

std::string PairedDevice::description() const { return "PairedDevice(" + id.text() + ", " + name + ", key: <redacted>)"; }

std::string PairedMac::description() const { return "PairedMac(" + id.text() + ", " + name + ", key: <redacted>)"; }

std::ostream& operator<<(std::ostream& out, const PairedDevice& record) { return out << record.description(); }
std::ostream& operator<<(std::ostream& out, const PairedMac& record) { return out << record.description(); }

template <>
std::string toJsonText<PairedDevice>(const PairedDevice& record) {
  Writer w(nullptr);
  w.put("id", record.id);
  w.put("name", record.name);
  w.put("model", record.model);
  w.put("pairedAt", secondsSinceReferenceDate(record.pairedAt));
  w.put("keyData", record.keyData.copy());
  return json::dump(w.take());
}

template <>
PairedDevice fromJsonText<PairedDevice>(std::string_view text) {
  Json document = json::parse(text);
  Reader r = topLevel(document);
  return PairedDevice{r.get<Uuid>("id"), r.get<std::string>("name"), r.get<std::string>("model"),
                      readTime(r, "pairedAt"), readKey(r, "keyData")};
}

template <>
std::string toJsonText<PairedMac>(const PairedMac& record) {
  Writer w(nullptr);
  w.put("id", record.id);
  w.put("name", record.name);
  w.put("deviceID", record.deviceID);
  w.put("pairedAt", secondsSinceReferenceDate(record.pairedAt));
  w.put("keyData", record.keyData.copy());
  return json::dump(w.take());
}

template <>
PairedMac fromJsonText<PairedMac>(std::string_view text) {
  Json document = json::parse(text);
  Reader r = topLevel(document);
  return PairedMac{r.get<Uuid>("id"), r.get<std::string>("name"), r.get<Uuid>("deviceID"), readTime(r, "pairedAt"),
                   readKey(r, "keyData")};
}

}  // namespace tillerpad::kit
