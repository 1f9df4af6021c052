#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/service_advertiser.h"

namespace tillerpad::platform::fake {

// Keeps what is published now and every call in order.
class RecordingAdvertiser : public ServiceAdvertiser {
 public:
  struct Publication {
    std::string name;
    std::uint16_t port = 0;
    kit::Bonjour::TxtRecord txt;
    friend bool operator==(const Publication&, const Publication&) = default;
  };

  void publish(const std::string& name, std::uint16_t port, const kit::Bonjour::TxtRecord& txt) override {
    current = Publication{name, port, txt};
    history.push_back(*current);
  }
  void withdraw() override {
    current.reset();
    ++withdrawals;
  }

  std::optional<Publication> current;
  std::vector<Publication> history;
  int withdrawals = 0;
};

}  // namespace tillerpad::platform::fake
