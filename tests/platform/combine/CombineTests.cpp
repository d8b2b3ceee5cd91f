// Subjects and observable objects.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/combine/Combine.h"

namespace {

TEST(CurrentValueSubject, GivesTheCurrentValueFirstThenEverySendUntilCancelled) {
  Combine::CurrentValueSubject<int> subject(1);
  auto publisher = subject.eraseToAnyPublisher();
  std::vector<std::string> seen;
  auto a = publisher.sink([&](int v) { seen.push_back("a" + std::to_string(v)); });
  subject.send(2);
  auto b = subject.sink([&](int v) { seen.push_back("b" + std::to_string(v)); });
  subject.setValue(3);
  a.cancel();
  subject.send(4);
  { auto gone = std::move(b); }
  subject.send(5);
  EXPECT_EQ(seen, (std::vector<std::string>{"a1", "a2", "b2", "a3", "b3", "b4"}));
  EXPECT_EQ(subject.value(), 5);
  EXPECT_EQ(subject.subscriberCount(), 0u);
}

TEST(CurrentValueSubject, SubscribersSeeConcurrentSendsInTheOrderTheyBecameCurrent) {
  Combine::CurrentValueSubject<int> subject(0);
  std::vector<int> first, second;
  auto a = subject.sink([&](int v) { first.push_back(v); });
  auto b = subject.sink([&](int v) { second.push_back(v); });
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 1; i <= 250; ++i) subject.send(t * 1000 + i);
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(first.size(), 1001u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.back(), subject.value());
}

TEST(ObservableObjectPublisher, TellsEverySubscriberUntilItCancels) {
  Combine::ObservableObject object;
  int a = 0, b = 0;
  auto ta = object.objectWillChange().sink([&] { ++a; });
  auto tb = object.objectWillChange().sink([&] { ++b; });
  object.objectWillChange().send();
  tb.cancel();
  object.objectWillChange().send();
  EXPECT_EQ(std::make_pair(a, b), std::make_pair(2, 1));
}

}  // namespace
