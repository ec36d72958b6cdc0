#include "tarnlib/state_machine/notifier.hpp"

#include <mutex>
#include <utility>

namespace tarnlib {

Notifier::Notifier() : list_(std::make_shared<const List>()) {}

Notifier::SubscriptionId Notifier::subscribe(Callback callback, std::int32_t token) {
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->callback = std::move(callback);
    subscriber->token = token;
    const SubscriptionId id = next_id_.fetch_add(1);
    std::unique_lock lock(mutex_);
    auto list = std::make_shared<List>(*list_);
    list->push_back(Entry{id, std::move(subscriber)});
    list_ = std::move(list);
    return id;
}

void Notifier::unsubscribe(SubscriptionId id) {
    std::shared_ptr<const List> old;  // released outside the lock
    std::unique_lock lock(mutex_);
    auto list = std::make_shared<List>();
    list->reserve(list_->size());
    for (const Entry& entry : *list_) {
        if (entry.id == id) {
            entry.subscriber->active.store(false);
        } else {
            list->push_back(entry);
        }
    }
    old = std::exchange(list_, std::move(list));
}

void Notifier::notify(const NetworkEvent& event) const {
    std::shared_ptr<const List> list;
    {
        std::shared_lock lock(mutex_);
        list = list_;
    }
    call(*list, event);
}

void Notifier::notify_and_clear(const NetworkEvent& event) {
    std::shared_ptr<const List> list;
    {
        std::unique_lock lock(mutex_);
        list = std::exchange(list_, std::make_shared<const List>());
    }
    call(*list, event);
}

std::size_t Notifier::size() const {
    std::shared_lock lock(mutex_);
    return list_->size();
}

void Notifier::call(const List& list, const NetworkEvent& event) {
    for (const Entry& entry : list) {
        if (entry.subscriber->active.load()) {
            entry.subscriber->callback(event, entry.subscriber->token);
        }
    }
}

}  // namespace tarnlib
