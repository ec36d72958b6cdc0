#pragma once
// The list of subscribers through which a machine tells others about its states and the
// frames it receives. Copy-on-write under a reader/writer lock: notify takes a counted
// reference to the current list and calls the subscribers outside the lock, in
// subscription order, on the notifying thread; subscribe and unsubscribe replace the list.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "tarnlib/network_event.hpp"

namespace tarnlib {

class Notifier {
  public:
    using Callback = std::function<void(const NetworkEvent&, std::int32_t token)>;
    using SubscriptionId = std::uint64_t;

    Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // The callback receives every later notification with the token (for a machine, the
    // argument of its dispatch).
    SubscriptionId subscribe(Callback callback, std::int32_t token = 0);
    // After unsubscribe returns, no notify calls the callback any more: neither a later one
    // nor one already running that has not reached it yet. A call already in progress on
    // another thread runs to its end; unsubscribe does not wait for it, so it may be called
    // from inside the callback. Unknown ids are ignored.
    void unsubscribe(SubscriptionId id);

    void notify(const NetworkEvent& event) const;
    // Removes every subscriber and calls each of them once with the event.
    void notify_and_clear(const NetworkEvent& event);

    std::size_t size() const;

  private:
    struct Subscriber {
        Callback callback;
        std::int32_t token = 0;
        std::atomic<bool> active{true};
    };
    struct Entry {
        SubscriptionId id;
        std::shared_ptr<Subscriber> subscriber;
    };
    using List = std::vector<Entry>;

    static void call(const List& list, const NetworkEvent& event);

    mutable std::shared_mutex mutex_;  // guards list_ (the pointer; lists never change)
    std::shared_ptr<const List> list_;
    std::atomic<SubscriptionId> next_id_{1};
};

}  // namespace tarnlib
