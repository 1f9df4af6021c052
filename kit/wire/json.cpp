#include "kit/wire/json.h"

#include <cmath>
#include <fmt/format.h>
#include <limits>

#include "kit/common/base64.h"

namespace tillerpad::kit::json {
namespace {

using Kind = DecodingError::Kind;

const char* typeName(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "a null value";
    case Json::value_t::object: return "a dictionary";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return "number";
    default: return "another value";
  }
}

[[noreturn]] void mismatch(const Reader& at, const char* expected, const Json& v) {
  at.fail(Kind::typeMismatch, fmt::format("Expected to decode {} but found {} instead.", expected, typeName(v)));
}

// Integers larger than this are not exactly representable as doubles, so an
// integral-looking float beyond it may not be the number that was written.
constexpr int kMaxDepth = 32;

constexpr double kExactIntegerLimit = 9007199254740992.0;  // 2^53

// Integral fields take integers, and floats that are exactly integral (as
// some writers put 7.0 or 1e3); fractions, out-of-range values and floats too
// large to be exact are errors.
template <class T>
T integer(const Reader& at, const Json& v, const char* name) {
  if (!v.is_number()) mismatch(at, name, v);
  auto doesNotFit = [&]() {
    at.fail(Kind::dataCorrupted, fmt::format("Parsed JSON number <{}> does not fit in {}.", v.dump(), name));
  };
  constexpr auto lo = std::numeric_limits<T>::min();
  constexpr auto hi = std::numeric_limits<T>::max();
  switch (v.type()) {
    case Json::value_t::number_unsigned: {
      auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(hi)) doesNotFit();
      return static_cast<T>(u);
    }
    case Json::value_t::number_integer: {
      auto i = v.get<std::int64_t>();  // nlohmann keeps only negative values here
      if constexpr (std::is_unsigned_v<T>) {
        if (i < 0) doesNotFit();
      } else {
        if (i < static_cast<std::int64_t>(lo)) doesNotFit();
      }
      if (i > 0 && static_cast<std::uint64_t>(i) > static_cast<std::uint64_t>(hi)) doesNotFit();
      return static_cast<T>(i);
    }
    default: {
      double d = v.get<double>();
      if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > kExactIntegerLimit) doesNotFit();
      if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) doesNotFit();
      return static_cast<T>(d);
    }
  }
}

}  // namespace

const Json* Reader::find(std::string_view key) const {
  if (!value_.is_object()) mismatch(*this, "Dictionary", value_);
  auto it = value_.find(key);
  if (it == value_.end() || it->is_null()) return nullptr;
  return &*it;
}

const Json& Reader::required(std::string_view key) const {
  if (!value_.is_object()) mismatch(*this, "Dictionary", value_);
  auto it = value_.find(key);
  if (it == value_.end()) {
    fail(Kind::keyNotFound, fmt::format("No value associated with key \"{}\".", key));
  }
  if (it->is_null()) {
    failAt(key, Kind::valueNotFound, fmt::format("Expected a value for key \"{}\" but found null instead.", key));
  }
  return *it;
}

std::string Reader::path() const {
  std::string out = parent_ ? parent_->path() : std::string();
  if (!key_.empty()) {
    if (!out.empty()) out += '.';
    out.append(key_);
  }
  if (index_ >= 0) out += fmt::format("[{}]", index_);
  return out;
}

void Reader::fail(DecodingError::Kind kind, std::string description) const {
  throw DecodingError(kind, path(), std::move(description));
}

void Reader::failAt(std::string_view key, DecodingError::Kind kind, std::string description) const {
  child(value_, key).fail(kind, std::move(description));
}

std::string Reader::asString(const Reader& at, const Json& v) {
  if (!v.is_string()) mismatch(at, "String", v);
  return v.get<std::string>();
}

bool Reader::asBool(const Reader& at, const Json& v) {
  if (!v.is_boolean()) mismatch(at, "Bool", v);
  return v.get<bool>();
}

double Reader::asDouble(const Reader& at, const Json& v) {
  if (!v.is_number()) mismatch(at, "Double", v);
  return v.get<double>();
}

std::int64_t Reader::asInt64(const Reader& at, const Json& v) { return integer<std::int64_t>(at, v, "Int"); }

std::uint64_t Reader::asUInt64(const Reader& at, const Json& v) { return integer<std::uint64_t>(at, v, "UInt64"); }

Bytes Reader::asBase64(const Reader& at, const Json& v) {
  if (!v.is_string()) mismatch(at, "Data", v);
  auto bytes = base64::decode(v.get_ref<const std::string&>());
  if (!bytes) at.fail(Kind::dataCorrupted, "Encountered Data is not valid Base64.");
  return std::move(*bytes);
}

Uuid Reader::asUuid(const Reader& at, const Json& v) {
  if (!v.is_string()) mismatch(at, "UUID", v);
  auto id = Uuid::parse(v.get_ref<const std::string&>());
  if (!id) at.fail(Kind::dataCorrupted, fmt::format("Attempted to decode UUID from invalid UUID string."));
  return *id;
}

Blob Reader::asBlob(const Reader& at, const Json& v) {
  const BlobSource* source = at.blobs();
  if (!source) return Blob{asBase64(at, v)};
  if (!v.is_number()) mismatch(at, "Int", v);
  std::int64_t index = asInt64(at, v);
  if (index < 0 || static_cast<std::uint64_t>(index) >= source->blobs.size()) {
    at.fail(Kind::dataCorrupted, fmt::format("Missing attachment {}", index));
  }
  ByteView bytes = source->blobs[static_cast<std::size_t>(index)];
  if (source->owner) return Blob{SharedBytes(source->owner, bytes)};
  return Blob{Bytes(bytes.begin(), bytes.end())};
}

std::uint32_t Convert<std::uint32_t>::read(const Reader& at, const Json& v) {
  return integer<std::uint32_t>(at, v, "UInt32");
}

std::uint16_t Convert<std::uint16_t>::read(const Reader& at, const Json& v) {
  return integer<std::uint16_t>(at, v, "UInt16");
}

void Writer::put(const char* key, double v) {
  if (!std::isfinite(v)) {
    throw EncodingError(fmt::format("Unable to encode Double.{} directly in JSON.", std::isnan(v) ? "nan" : "infinity"));
  }
  value_[key] = v;
}

void Writer::put(const char* key, const Bytes& v) { value_[key] = base64::encode(v); }

void Writer::put(const char* key, const Blob& v) {
  if (!sink_) {
    value_[key] = base64::encode(v.data.view());
    return;
  }
  value_[key] = static_cast<std::uint64_t>(sink_->blobs.size());
  sink_->blobs.emplace_back(v.data);
}

std::string dump(const Json& value) {
  try {
    return value.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::type_error& e) {
    throw EncodingError(fmt::format("Text is not valid UTF-8: {}", e.what()));
  }
}

namespace {

// Whether arrays and objects nest more than `limit` deep, brackets inside
// strings aside. Malformed text is left to the parser.
bool nestsDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

Json parse(std::string_view text) {
  // Records nest a few levels deep; a deeper document is hostile and would
  // cost far more memory than its size suggests. Checked in a pass of its
  // own: the parser's callback form, which could stop it on the way, takes
  // twice as long for every message.
  if (nestsDeeperThan(text, kMaxDepth)) {
    throw DecodingError(Kind::dataCorrupted, {}, "The given data was not valid JSON. It nests too deeply.");
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& e) {  // parse errors and number overflow
    throw DecodingError(Kind::dataCorrupted, {}, fmt::format("The given data was not valid JSON. {}", e.what()));
  }
}

}  // namespace tillerpad::kit::json
