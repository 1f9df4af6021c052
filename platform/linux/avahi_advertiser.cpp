#include "platform/linux/avahi_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <fmt/format.h>

#include <optional>
#include <string>

namespace tillerpad::platform {
namespace {

struct PollFree {
  void operator()(AvahiThreadedPoll* p) const { avahi_threaded_poll_free(p); }
};
struct StringListFree {
  void operator()(AvahiStringList* l) const { avahi_string_list_free(l); }
};

// Holds the poll thread's lock for one scope: every Avahi object is touched
// either on the poll thread (callbacks) or under this lock.
class PollLock {
 public:
  explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) { avahi_threaded_poll_lock(poll_); }
  ~PollLock() { avahi_threaded_poll_unlock(poll_); }
  PollLock(const PollLock&) = delete;
  PollLock& operator=(const PollLock&) = delete;

 private:
  AvahiThreadedPoll* poll_;
};

class AvahiAdvertiser final : public ServiceAdvertiser {
 public:
  explicit AvahiAdvertiser(kit::Logger log) : log_(std::move(log)) {
    poll_.reset(avahi_threaded_poll_new());
    if (!poll_) {
      log_.error("DNS-SD is unavailable: could not create the Avahi event loop");
      return;
    }
    connect();
    if (avahi_threaded_poll_start(poll_.get()) < 0) {
      log_.error("DNS-SD is unavailable: could not start the Avahi event loop");
      freeClient();
      poll_.reset();
    }
  }

  ~AvahiAdvertiser() override {
    if (!poll_) return;
    avahi_threaded_poll_stop(poll_.get());
    freeClient();  // the poll thread has stopped: no lock needed
  }

  void publish(const std::string& name, std::uint16_t port, const kit::Bonjour::TxtRecord& txt) override {
    if (!poll_) return;
    PollLock lock(poll_.get());
    wanted_ = Service{name, port, txt};
    currentName_ = name;
    if (client_ && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING) createServices();
  }

  void withdraw() override {
    if (!poll_) return;
    PollLock lock(poll_.get());
    wanted_.reset();
    if (group_) avahi_entry_group_reset(group_);
  }

 private:
  struct Service {
    std::string name;
    std::uint16_t port;
    kit::Bonjour::TxtRecord txt;
  };

  void connect() {
    int error = 0;
    // NO_FAIL: the client exists while the daemon is away and reconnects
    // when it comes (back), so a restart of the daemon needs nothing of us.
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_.get()), AVAHI_CLIENT_NO_FAIL, &AvahiAdvertiser::onClient,
                               this, &error);
    if (!client_) log_.error(fmt::format("DNS-SD is unavailable: {}", avahi_strerror(error)));
  }

  void freeClient() {
    if (client_) avahi_client_free(client_);  // also frees the entry group
    client_ = nullptr;
    group_ = nullptr;
  }

  static void onClient(AvahiClient* client, AvahiClientState state, void* self) {
    static_cast<AvahiAdvertiser*>(self)->clientChanged(client, state);
  }

  static void onGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    static_cast<AvahiAdvertiser*>(self)->groupChanged(group, state);
  }

  void clientChanged(AvahiClient* client, AvahiClientState state) {
    client_ = client;  // the callback can run before avahi_client_new returns
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        if (reportedUnavailable_) log_.notice("DNS-SD is available again");
        reportedUnavailable_ = false;
        createServices();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host name changes: our records go and come back once it settles.
        if (group_) avahi_entry_group_reset(group_);
        break;
      case AVAHI_CLIENT_CONNECTING:
        if (!reportedUnavailable_) {
          log_.notice("DNS-SD is unavailable: no avahi-daemon is running; phones must be given the address");
          reportedUnavailable_ = true;
        }
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          // The daemon went away (a restart, say): start over and publish
          // again once it is back.
          if (!reportedUnavailable_) log_.notice("DNS-SD is unavailable: the avahi-daemon went away");
          reportedUnavailable_ = true;
          freeClient();
          connect();
        } else {
          log_.error(fmt::format("DNS-SD failed: {}", avahi_strerror(avahi_client_errno(client))));
        }
        break;
    }
  }

  void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state) {
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        log_.info(fmt::format("Advertising \"{}\" as {}", currentName_, kit::Bonjour::serviceType));
        break;
      case AVAHI_ENTRY_GROUP_COLLISION: {
        std::unique_ptr<char, decltype(&avahi_free)> alternative(
            avahi_alternative_service_name(currentName_.c_str()), &avahi_free);
        log_.notice(fmt::format("The name \"{}\" is taken on the network; advertising as \"{}\"", currentName_,
                                alternative.get()));
        currentName_ = alternative.get();
        avahi_entry_group_reset(group);
        createServices();
        break;
      }
      case AVAHI_ENTRY_GROUP_FAILURE:
        log_.error(fmt::format("DNS-SD advertising failed: {}",
                               avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group)))));
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  // Runs on the poll thread or under the poll lock.
  void createServices() {
    if (!wanted_ || !client_) return;
    if (!group_) {
      group_ = avahi_entry_group_new(client_, &AvahiAdvertiser::onGroup, this);
      if (!group_) {
        log_.error(fmt::format("DNS-SD advertising failed: {}", avahi_strerror(avahi_client_errno(client_))));
        return;
      }
    }
    avahi_entry_group_reset(group_);
    AvahiStringList* list = nullptr;
    for (const auto& [key, value] : wanted_->txt) list = avahi_string_list_add_pair(list, key.c_str(), value.c_str());
    // avahi_string_list_add prepends: reverse to keep the record's order.
    std::unique_ptr<AvahiStringList, StringListFree> txt(avahi_string_list_reverse(list));
    std::string type(kit::Bonjour::serviceType);
    int rc = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                  currentName_.c_str(), type.c_str(), nullptr, nullptr,
                                                  wanted_->port, txt.get());
    if (rc == AVAHI_ERR_COLLISION) {
      groupChanged(group_, AVAHI_ENTRY_GROUP_COLLISION);
      return;
    }
    if (rc < 0 || (rc = avahi_entry_group_commit(group_)) < 0) {
      log_.error(fmt::format("DNS-SD advertising failed: {}", avahi_strerror(rc)));
    }
  }

  kit::Logger log_;
  std::unique_ptr<AvahiThreadedPoll, PollFree> poll_;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::optional<Service> wanted_;
  std::string currentName_;
  bool reportedUnavailable_ = false;
};

}  // namespace

std::unique_ptr<ServiceAdvertiser> makeAvahiAdvertiser(kit::Logger log) {
  return std::make_unique<AvahiAdvertiser>(std::move(log));
}

}  // namespace tillerpad::platform
