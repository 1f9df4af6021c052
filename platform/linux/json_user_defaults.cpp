#include "platform/linux/json_user_defaults.h"

#include "platform/linux/xdg_dirs.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tillerpad::platform {
namespace {

using Json = nlohmann::json;

std::optional<UserDefaults::Value> fromJson(const Json& v) {
  switch (v.type()) {
    case Json::value_t::boolean: return v.get<bool>();
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        return v.get<double>();
      }
      return v.get<std::int64_t>();
    case Json::value_t::number_float: return v.get<double>();
    case Json::value_t::string: return v.get<std::string>();
    default: return std::nullopt;  // arrays, objects and null are not ours: ignored
  }
}

Json toJson(const UserDefaults::Value& v) {
  return std::visit([](const auto& x) { return Json(x); }, v);
}

// Writes `text` to `file` so that a crash leaves the old or the new content.
void writeAtomically(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::string temporary = file.string() + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + temporary);
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "write " + temporary);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "fsync");
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    throw std::system_error(errno, std::generic_category(), "rename " + temporary);
  }
  int directory = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
}

}  // namespace

JsonUserDefaults::JsonUserDefaults(std::filesystem::path file, kit::Logger log)
    : file_(std::move(file)), log_(std::move(log)) {
  load();
}

std::filesystem::path JsonUserDefaults::defaultPath() {
  return xdg::configHome().value_or("/") / "tillerpad" / "defaults.json";
}

void JsonUserDefaults::load() {
  std::ifstream in(file_, std::ios::binary);
  if (!in) {
    if (errno != ENOENT) log_.error(fmt::format("Cannot read settings from {}: {}", file_.string(), std::strerror(errno)));
    return;
  }
  std::stringstream text;
  text << in.rdbuf();
  // Damaged settings must not keep the service from starting: report once,
  // start from nothing, and the next change writes a good file.
  Json document = Json::parse(text.str(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    log_.error(fmt::format("The settings file {} is damaged; starting with default settings", file_.string()));
    return;
  }
  for (const auto& [key, v] : document.items()) {
    if (auto value = fromJson(v)) values_.emplace(key, std::move(*value));
  }
}

void JsonUserDefaults::save() {
  Json document = Json::object();
  for (const auto& [key, v] : values_) document[key] = toJson(v);
  try {
    writeAtomically(file_, document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
  } catch (const std::exception& e) {
    log_.error(fmt::format("Cannot save settings to {}: {}", file_.string(), e.what()));
  }
}

std::optional<UserDefaults::Value> JsonUserDefaults::value(std::string_view key) const {
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void JsonUserDefaults::setValue(std::string_view key, Value value) {
  values_[std::string(key)] = std::move(value);
  save();
}

void JsonUserDefaults::removeValue(std::string_view key) {
  auto it = values_.find(key);
  if (it == values_.end()) return;
  values_.erase(it);
  save();
}

}  // namespace tillerpad::platform
