#include "platform/linux/avahi_service_lookup.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <fmt/format.h>

#include <net/if.h>

#include <set>
#include <string>

namespace tillerpad::platform {
namespace {

class AvahiServiceLookup final : public kit::ServiceLookup {
 public:
  explicit AvahiServiceLookup(kit::Logger log) : log_(std::move(log)) {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) return;
    int error = 0;
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), nullptr, nullptr, &error);
    if (!client_) {
      log_.notice(fmt::format("DNS-SD is unavailable: {}", avahi_strerror(error)));
    } else if (avahi_threaded_poll_start(poll_) < 0) {
      avahi_client_free(client_);
      client_ = nullptr;
    }
  }

  ~AvahiServiceLookup() override {
    if (poll_) avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees resolvers still running; their callbacks never come
    if (poll_) avahi_threaded_poll_free(poll_);
    for (Request* r : pending_) delete r;
  }

  void lookup(const kit::ServiceEndpoint& service, Done done) override {
    if (!client_) {
      done(std::nullopt);
      return;
    }
    auto* request = new Request{this, std::move(done)};
    avahi_threaded_poll_lock(poll_);
    AvahiServiceResolver* resolver = avahi_service_resolver_new(
        client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, service.name.c_str(), service.type.c_str(),
        service.domain.c_str(), AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &AvahiServiceLookup::onResolved, request);
    if (resolver) pending_.insert(request);
    avahi_threaded_poll_unlock(poll_);
    if (!resolver) {
      request->done(std::nullopt);
      delete request;
    }
  }

 private:
  struct Request {
    AvahiServiceLookup* owner;
    Done done;
  };

  // Runs on the poll thread, which holds the poll lock.
  static void onResolved(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                         AvahiResolverEvent event, const char*, const char*, const char*, const char*,
                         const AvahiAddress* address, std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags,
                         void* userdata) {
    std::unique_ptr<Request> request(static_cast<Request*>(userdata));
    request->owner->pending_.erase(request.get());
    std::optional<kit::HostPortEndpoint> found;
    if (event == AVAHI_RESOLVER_FOUND && address) {
      char text[AVAHI_ADDRESS_STR_MAX];
      avahi_address_snprint(text, sizeof text, address);
      std::string host = text;
      // A link-local IPv6 address means nothing without its interface.
      char name[IF_NAMESIZE];
      if (address->proto == AVAHI_PROTO_INET6 && host.rfind("fe80:", 0) == 0 && interface >= 0 &&
          if_indextoname(static_cast<unsigned>(interface), name)) {
        host += std::string("%") + name;
      }
      found = kit::HostPortEndpoint{host, port};
    }
    avahi_service_resolver_free(resolver);
    request->done(std::move(found));
  }

  kit::Logger log_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  std::set<Request*> pending_;
};

}  // namespace

std::shared_ptr<kit::ServiceLookup> makeAvahiServiceLookup(kit::Logger log) {
  return std::make_shared<AvahiServiceLookup>(std::move(log));
}

}  // namespace tillerpad::platform
