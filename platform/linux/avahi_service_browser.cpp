#include "platform/linux/avahi_service_browser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "kit/transport/bonjour.h"

namespace tillerpad::platform {
namespace {

// Every Avahi object lives and dies under the threaded poll's lock; the
// result crosses to the waiting thread through the mutex.
class AvahiBrowser final : public ServiceBrowser {
 public:
  std::optional<kit::ServiceEndpoint> find(const kit::Uuid& macID, std::chrono::milliseconds timeout) override {
    Search search;
    search.macID = macID;
    AvahiThreadedPoll* poll = avahi_threaded_poll_new();
    if (!poll) throw BrowserUnavailable("cannot create an Avahi poll");
    int error = 0;
    AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll), AvahiClientFlags(0), nullptr, nullptr, &error);
    if (!client) {
      avahi_threaded_poll_free(poll);
      throw BrowserUnavailable(std::string("no avahi-daemon reachable (") + avahi_strerror(error) + ")");
    }
    search.client = client;
    AvahiServiceBrowser* browser =
        avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, std::string(kit::Bonjour::serviceType).c_str(),
                                  nullptr, AvahiLookupFlags(0), &onBrowse, &search);
    if (!browser || avahi_threaded_poll_start(poll) < 0) {
      std::string text = avahi_strerror(avahi_client_errno(client));
      avahi_client_free(client);
      avahi_threaded_poll_free(poll);
      throw BrowserUnavailable("cannot browse DNS-SD: " + text);
    }
    std::optional<kit::ServiceEndpoint> found;
    {
      std::unique_lock lock(search.mutex);
      search.changed.wait_for(lock, timeout, [&] { return search.found.has_value() || search.failed; });
      found = search.found;
    }
    avahi_threaded_poll_stop(poll);
    avahi_client_free(client);  // frees the browser and resolvers still running
    avahi_threaded_poll_free(poll);
    return found;
  }

 private:
  struct Search {
    kit::Uuid macID;
    AvahiClient* client = nullptr;
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<kit::ServiceEndpoint> found;
    bool failed = false;
  };

  static void onBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                       const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* userdata) {
    auto* search = static_cast<Search*>(userdata);
    if (event == AVAHI_BROWSER_FAILURE) {
      std::lock_guard lock(search->mutex);
      search->failed = true;
      search->changed.notify_all();
      return;
    }
    if (event != AVAHI_BROWSER_NEW) return;
    // Freed in onResolved, or with the client.
    avahi_service_resolver_new(search->client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                               AvahiLookupFlags(0), &onResolved, search);
  }

  static void onResolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                         const char* name, const char* type, const char* domain, const char*, const AvahiAddress*,
                         std::uint16_t, AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
    auto* search = static_cast<Search*>(userdata);
    if (event == AVAHI_RESOLVER_FOUND) {
      std::vector<std::string> strings;
      for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item)) {
        strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(item)),
                             avahi_string_list_get_size(item));
      }
      auto id = kit::Bonjour::macID(kit::Bonjour::parseTxtStrings(strings));
      if (id && *id == search->macID) {
        std::lock_guard lock(search->mutex);
        if (!search->found) search->found = kit::ServiceEndpoint{name, type, domain};
        search->changed.notify_all();
      }
    }
    avahi_service_resolver_free(resolver);
  }
};

}  // namespace

std::unique_ptr<ServiceBrowser> makeAvahiServiceBrowser() { return std::make_unique<AvahiBrowser>(); }

}  // namespace tillerpad::platform
