#pragma once
// JSON conventions shared by every record that crosses the wire or storage.
// Internal to .cpp files: keeps nlohmann out of the public headers.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/common/bytes.h"
#include "kit/common/coding_error.h"
#include "kit/common/uuid.h"
#include "kit/wire/blob.h"

namespace tillerpad::kit::json {

using Json = nlohmann::json;

// Reads one JSON object. Missing keys and null are alike for optional fields;
// keys the record does not define are ignored.
class Reader {
 public:
  Reader(const Json& value, const BlobSource* blobs) : Reader(value, blobs, nullptr, {}, -1) {}

  const Json& value() const { return value_; }
  const BlobSource* blobs() const { return blobs_; }

  // The value under `key`, or nullptr when absent or null.
  const Json* find(std::string_view key) const;
  // The value under `key`; a missing key or null is a decoding error.
  const Json& required(std::string_view key) const;

  template <class T>
  T get(std::string_view key) const;
  template <class T>
  std::optional<T> optional(std::string_view key) const;
  // Each element of the array under `key`, read with `read(Reader)`.
  template <class T, class F>
  std::vector<T> array(std::string_view key, F read) const;

  Reader child(const Json& value, std::string_view key, int index = -1) const {
    return Reader(value, blobs_, this, key, index);
  }

  std::string path() const;
  [[noreturn]] void fail(DecodingError::Kind kind, std::string description) const;
  [[noreturn]] void failAt(std::string_view key, DecodingError::Kind kind, std::string description) const;

  // Conversions of a single value; `at` names the value in errors.
  static std::string asString(const Reader& at, const Json& v);
  static bool asBool(const Reader& at, const Json& v);
  static double asDouble(const Reader& at, const Json& v);
  static std::int64_t asInt64(const Reader& at, const Json& v);
  static std::uint64_t asUInt64(const Reader& at, const Json& v);
  static Bytes asBase64(const Reader& at, const Json& v);
  static Uuid asUuid(const Reader& at, const Json& v);
  static Blob asBlob(const Reader& at, const Json& v);

 private:
  Reader(const Json& value, const BlobSource* blobs, const Reader* parent, std::string_view key, int index)
      : value_(value), blobs_(blobs), parent_(parent), key_(key), index_(index) {}

  const Json& value_;
  const BlobSource* blobs_;
  const Reader* parent_;
  std::string_view key_;
  int index_;
};

// Reads a value of type T from one JSON value.
template <class T>
struct Convert;

template <>
struct Convert<std::string> {
  static std::string read(const Reader& at, const Json& v) { return Reader::asString(at, v); }
};
template <>
struct Convert<bool> {
  static bool read(const Reader& at, const Json& v) { return Reader::asBool(at, v); }
};
template <>
struct Convert<double> {
  static double read(const Reader& at, const Json& v) { return Reader::asDouble(at, v); }
};
template <>
struct Convert<std::int64_t> {
  static std::int64_t read(const Reader& at, const Json& v) { return Reader::asInt64(at, v); }
};
template <>
struct Convert<std::uint64_t> {
  static std::uint64_t read(const Reader& at, const Json& v) { return Reader::asUInt64(at, v); }
};
template <>
struct Convert<std::uint32_t> {
  static std::uint32_t read(const Reader& at, const Json& v);
};
template <>
struct Convert<std::uint16_t> {
  static std::uint16_t read(const Reader& at, const Json& v);
};
template <>
struct Convert<Bytes> {
  static Bytes read(const Reader& at, const Json& v) { return Reader::asBase64(at, v); }
};
template <>
struct Convert<Uuid> {
  static Uuid read(const Reader& at, const Json& v) { return Reader::asUuid(at, v); }
};
template <>
struct Convert<Blob> {
  static Blob read(const Reader& at, const Json& v) { return Reader::asBlob(at, v); }
};

template <class T>
T Reader::get(std::string_view key) const {
  const Json& v = required(key);
  return Convert<T>::read(child(v, key), v);
}

template <class T>
std::optional<T> Reader::optional(std::string_view key) const {
  const Json* v = find(key);
  if (!v) return std::nullopt;
  return Convert<T>::read(child(*v, key), *v);
}

template <class T, class F>
std::vector<T> Reader::array(std::string_view key, F read) const {
  const Json& v = required(key);
  if (!v.is_array()) child(v, key).fail(DecodingError::Kind::typeMismatch, "Expected to decode Array but found another value instead.");
  std::vector<T> out;
  out.reserve(v.size());
  int index = 0;
  for (const Json& element : v) {
    out.push_back(read(child(element, key, index++)));
  }
  return out;
}

// Builds one JSON object. Doubles that are not finite cannot be written.
class Writer {
 public:
  explicit Writer(BlobSink* sink) : value_(Json::object()), sink_(sink) {}

  BlobSink* sink() const { return sink_; }
  Json take() { return std::move(value_); }

  void put(const char* key, std::string_view v) { value_[key] = v; }
  void put(const char* key, const std::string& v) { value_[key] = v; }
  void put(const char* key, const char* v) { value_[key] = v; }
  void put(const char* key, bool v) { value_[key] = v; }
  void put(const char* key, double v);
  void put(const char* key, std::int64_t v) { value_[key] = v; }
  void put(const char* key, std::uint64_t v) { value_[key] = v; }
  void put(const char* key, std::uint32_t v) { value_[key] = v; }
  void put(const char* key, std::uint16_t v) { value_[key] = v; }
  void put(const char* key, const Uuid& v) { value_[key] = v.text(); }
  void put(const char* key, const Bytes& v);
  void put(const char* key, const Blob& v);
  void put(const char* key, Json v) { value_[key] = std::move(v); }

  template <class T>
  void putOptional(const char* key, const std::optional<T>& v) {
    if (v) put(key, *v);
  }

 private:
  Json value_;
  BlobSink* sink_;
};

// Compact text of a JSON value; fails with EncodingError on text that is not UTF-8.
std::string dump(const Json& value);
// Parses JSON text; fails with DecodingError(dataCorrupted) on invalid JSON.
Json parse(std::string_view text);

}  // namespace tillerpad::kit::json
