#include "platform/linux/xsettings.h"

namespace tillerpad::platform::linux_x11 {
namespace {

enum class SettingType : std::uint8_t { integer = 0, string = 1, color = 2 };

// Bounds-checked reads in the blob's own byte order.
class BlobReader {
 public:
  BlobReader(std::span<const std::uint8_t> blob, bool bigEndian) : blob_(blob), bigEndian_(bigEndian) {}

  bool skip(std::size_t n) {
    if (n > blob_.size() - pos_) return false;
    pos_ += n;
    return true;
  }
  std::optional<std::uint8_t> u8() {
    if (pos_ >= blob_.size()) return std::nullopt;
    return blob_[pos_++];
  }
  std::optional<std::uint16_t> u16() {
    if (2 > blob_.size() - pos_) return std::nullopt;
    std::uint16_t a = blob_[pos_], b = blob_[pos_ + 1];
    pos_ += 2;
    return static_cast<std::uint16_t>(bigEndian_ ? (a << 8 | b) : (b << 8 | a));
  }
  std::optional<std::uint32_t> u32() {
    if (4 > blob_.size() - pos_) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      std::uint32_t byte = blob_[pos_ + static_cast<std::size_t>(bigEndian_ ? i : 3 - i)];
      v = v << 8 | byte;
    }
    pos_ += 4;
    return v;
  }
  std::optional<std::string_view> text(std::size_t n) {
    if (n > blob_.size() - pos_) return std::nullopt;
    std::string_view s(reinterpret_cast<const char*>(blob_.data() + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  std::span<const std::uint8_t> blob_;
  bool bigEndian_;
  std::size_t pos_ = 0;
};

constexpr std::size_t padding(std::size_t n) { return (4 - n % 4) % 4; }

}  // namespace

namespace {

// Walks the blob to the setting `name`: its type and the reader placed at
// its value. Absent when the blob is malformed before it or it is missing.
struct Found {
  SettingType type;
  std::optional<std::int32_t> integer;
  std::optional<std::string_view> text;
};

std::optional<Found> findSetting(std::span<const std::uint8_t> blob, std::string_view name) {
  if (blob.empty() || blob[0] > 1) return std::nullopt;
  BlobReader r(blob, blob[0] == 1);
  if (!r.skip(4) || !r.u32()) return std::nullopt;  // byte order, padding, serial
  auto count = r.u32();
  if (!count) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto type = r.u8();
    if (!type || !r.skip(1)) return std::nullopt;
    auto nameLength = r.u16();
    if (!nameLength) return std::nullopt;
    auto settingName = r.text(*nameLength);
    if (!settingName || !r.skip(padding(*nameLength)) || !r.u32()) return std::nullopt;  // + last-change serial
    bool wanted = *settingName == name;
    switch (static_cast<SettingType>(*type)) {
      case SettingType::integer: {
        auto value = r.u32();
        if (!value) return std::nullopt;
        if (wanted) return Found{SettingType::integer, static_cast<std::int32_t>(*value), std::nullopt};
        break;
      }
      case SettingType::string: {
        auto length = r.u32();
        if (!length) return std::nullopt;
        auto value = r.text(*length);
        if (!value || !r.skip(padding(*length))) return std::nullopt;
        if (wanted) return Found{SettingType::string, std::nullopt, value};
        break;
      }
      case SettingType::color:
        if (!r.skip(8)) return std::nullopt;
        if (wanted) return Found{SettingType::color, std::nullopt, std::nullopt};
        break;
      default:
        return std::nullopt;  // an unknown type has an unknown size
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::int32_t> xsettingsInteger(std::span<const std::uint8_t> blob, std::string_view name) {
  auto found = findSetting(blob, name);
  return found ? found->integer : std::nullopt;
}

std::optional<std::string> xsettingsString(std::span<const std::uint8_t> blob, std::string_view name) {
  auto found = findSetting(blob, name);
  if (!found || !found->text) return std::nullopt;
  return std::string(*found->text);
}

}  // namespace tillerpad::platform::linux_x11
