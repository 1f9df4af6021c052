#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tillerpad::platform {

// The desktop's clipboard. Every platform round trip happens away from the
// caller's thread: a slow or hostile clipboard owner must never hold up the
// service. Completions run later on any thread.
//
// Type identifiers are the host's: the plain-text type below, "public.png",
// "public.jpeg", "public.tiff", "public.file-url"; a platform type without a
// host identifier passes through as itself (so password managers' markers
// are seen as they are).
class Pasteboard {
 public:
  static constexpr const char* plainTextType = "public.utf8-plain-text";
  static constexpr const char* pngType = "public.png";
  static constexpr const char* jpegType = "public.jpeg";
  static constexpr const char* tiffType = "public.tiff";
  static constexpr const char* fileURLType = "public.file-url";

  using Bytes = std::vector<std::uint8_t>;

  // One read of one type. Too large and unavailable differ: the first is
  // worth telling the user about, the second is routine (not offered, the
  // owner gone or too slow).
  struct Data {
    enum class Status { ok, tooLarge, unavailable };
    Status status = Status::unavailable;
    Bytes bytes;  // when ok

    static Data of(Bytes bytes) { return {Status::ok, std::move(bytes)}; }
    static Data overLimit() { return {Status::tooLarge, {}}; }
    static Data none() { return {}; }
    bool ok() const { return status == Status::ok; }
    bool operator==(const Data&) const = default;
  };

  virtual ~Pasteboard() = default;

  // How many times the content has changed since the adapter started; a copy
  // of the same content again counts too. Cheap, any thread.
  virtual std::int64_t changeCount() = 0;
  // The types the content is offered as now (empty when there is none).
  virtual void types(std::function<void(std::vector<std::string>)> done) = 0;
  // The content as `type` (the plain-text type gives UTF-8); tooLarge when it
  // is larger than `limit` bytes (reading stops there: no more memory than
  // `limit` is spent); unavailable when it is not offered or cannot be read
  // in time.
  virtual void data(const std::string& type, std::size_t limit, std::function<void(Data)> done) = 0;
  // Replaces the content with one item offered as each of `representations`
  // (type, bytes). `done` gets the change count that the write made, or
  // nothing when the platform refused it.
  virtual void write(std::vector<std::pair<std::string, Bytes>> representations,
                     std::function<void(std::optional<std::int64_t>)> done) = 0;
};

}  // namespace tillerpad::platform
