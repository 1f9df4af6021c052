#pragma once

#include <stdexcept>
#include <string>

namespace tillerpad::kit {

// Failure to read a structured value (JSON records, stored items). The
// description is the text the protocol names where it names one.
class DecodingError : public std::runtime_error {
 public:
  enum class Kind { dataCorrupted, keyNotFound, typeMismatch, valueNotFound };

  DecodingError(Kind kind, std::string path, std::string description)
      : std::runtime_error(describe(path, description)),
        kind_(kind),
        path_(std::move(path)),
        description_(std::move(description)) {}

  Kind kind() const { return kind_; }
  // Where in the document, as "body.displays[2].id"; empty at the top.
  const std::string& path() const { return path_; }
  const std::string& description() const { return description_; }

 private:
  static std::string describe(const std::string& path, const std::string& description) {
    return path.empty() ? description : description + " (at " + path + ")";
  }

  Kind kind_;
  std::string path_;
  std::string description_;
};

// Failure to write a value: a number that is not finite, a message that
// cannot be sent, text that is not UTF-8.
class EncodingError : public std::runtime_error {
 public:
  explicit EncodingError(std::string description)
      : std::runtime_error(description), description_(std::move(description)) {}
  const std::string& description() const { return description_; }

 private:
  std::string description_;
};

}  // namespace tillerpad::kit
