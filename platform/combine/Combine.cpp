#include "platform/combine/Combine.h"

namespace Combine {

ObservableObjectPublisher::ObservableObjectPublisher() : subscribers_(std::make_shared<detail::SubscriberList<>>()) {}

void ObservableObjectPublisher::send() const { subscribers_->send(); }

AnyCancellable ObservableObjectPublisher::sink(std::function<void()> receiveValue) const {
  return subscribers_->subscribe(std::move(receiveValue));
}

size_t ObservableObjectPublisher::subscriberCount() const { return subscribers_->count(); }

}  // namespace Combine
