#include "scanner/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/panic.h"

namespace ketterlin::scanner {
namespace {

using namespace std::chrono_literals;

// Long enough for a thread that should be blocked to have run on if it were not; a correct
// channel passes whatever the scheduler does, a broken one fails most of the time.
constexpr auto kSettle = 50ms;
// Generous bound for things that must happen; only reached when the channel is broken.
constexpr auto kPatience = 10s;

TEST(Channel, DeliversValuesInTheOrderSent) {
  for (std::size_t capacity : {0u, 1u, 3u}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    auto [sender, receiver] = make_channel<int>(capacity);
    std::thread producer([sender = std::move(sender)] {
      for (int i = 0; i < 1000; ++i) ASSERT_TRUE(sender.send(i));
    });
    for (int i = 0; i < 1000; ++i) {
      std::optional<int> value = receiver.receive();
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(*value, i);
    }
    producer.join();
    EXPECT_FALSE(receiver.receive().has_value());
  }
}

TEST(Channel, UnboundedSendsNeverWait) {
  auto [sender, receiver] = make_channel<int>(0);
  for (int i = 0; i < 100000; ++i) ASSERT_TRUE(sender.send(i));
  auto first = receiver.receive_for(0ns);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first.value(), 0);
}

TEST(Channel, BoundedSenderWaitsUntilTheReceiverTakesOne) {
  auto [sender, receiver] = make_channel<int>(2);
  ASSERT_TRUE(sender.send(1));
  ASSERT_TRUE(sender.send(2));
  std::atomic<bool> third_sent{false};
  std::thread producer([&, s = sender] {
    EXPECT_TRUE(s.send(3));
    third_sent = true;
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(third_sent.load()) << "send returned while the channel was full";

  EXPECT_EQ(receiver.receive(), 1);
  producer.join();
  EXPECT_TRUE(third_sent.load());
  EXPECT_EQ(receiver.receive(), 2);
  EXPECT_EQ(receiver.receive(), 3);
}

TEST(Channel, ReceiveForTimesOutOnlyWhileASenderExists) {
  auto [sender, receiver] = make_channel<std::string>(4);
  for (auto timeout : {std::chrono::nanoseconds(-5ms), std::chrono::nanoseconds(0ns),
                       std::chrono::nanoseconds(20ms)}) {
    SCOPED_TRACE("timeout " + std::to_string(timeout.count()) + " ns");
    const auto before = std::chrono::steady_clock::now();
    auto result = receiver.receive_for(timeout);
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_TRUE(result.timed_out());
    EXPECT_FALSE(result.disconnected());
    EXPECT_FALSE(result.has_value());
    EXPECT_GE(waited, timeout);
    EXPECT_LT(waited, kPatience);
  }
  ASSERT_TRUE(sender.send("ready"));
  auto ready = receiver.receive_for(0ns);
  ASSERT_TRUE(ready.has_value());
  EXPECT_EQ(ready.value(), "ready");
}

// The longest time-out must wait as well: a deadline that overflowed would lie in the past.
TEST(Channel, ReceiveForWakesWhenAValueArrives) {
  for (std::chrono::nanoseconds timeout :
       {std::chrono::nanoseconds(kPatience), std::chrono::nanoseconds::max()}) {
    SCOPED_TRACE("timeout " + std::to_string(timeout.count()) + " ns");
    auto [sender, receiver] = make_channel<int>(0);
    std::thread producer([s = std::move(sender)] {
      std::this_thread::sleep_for(20ms);
      EXPECT_TRUE(s.send(42));
    });
    const auto before = std::chrono::steady_clock::now();
    auto result = receiver.receive_for(timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - before, kPatience / 2);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result.value(), 42);
    producer.join();
  }
}

// Which senders are gone decides whether the receiver sees a disconnection; values queued before
// the last one went away are still delivered first.
TEST(Channel, DisconnectsOnlyWhenEverySenderIsGoneAndTheQueueIsEmpty) {
  struct Case {
    const char* name;
    bool drop_original;
    bool drop_copy;
    bool disconnected;
  };
  const Case cases[] = {
      {"both alive", false, false, false},
      {"original dropped, copy alive", true, false, false},
      {"copy dropped, original alive", false, true, false},
      {"both dropped", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [original, receiver] = make_channel<int>(0);
    std::optional<Sender<int>> first(std::move(original));
    std::optional<Sender<int>> copy(*first);
    ASSERT_TRUE(first->send(1));
    ASSERT_TRUE(copy->send(2));
    if (c.drop_original) first.reset();
    if (c.drop_copy) copy.reset();

    EXPECT_EQ(receiver.receive_for(0ns).value(), 1);
    EXPECT_EQ(receiver.receive(), 2);
    auto after = receiver.receive_for(1ms);
    EXPECT_EQ(after.disconnected(), c.disconnected);
    EXPECT_EQ(after.timed_out(), !c.disconnected);
  }
}

TEST(Channel, MovedFromSenderNeitherCountsNorSends) {
  auto [sender, receiver] = make_channel<int>(0);
  std::optional<Sender<int>> moved(std::move(sender));
  EXPECT_FALSE(sender.send(1));  // NOLINT(bugprone-use-after-move): the contract under test
  EXPECT_TRUE(receiver.receive_for(0ns).timed_out());
  moved.reset();
  EXPECT_TRUE(receiver.receive_for(0ns).disconnected());
}

TEST(Channel, AssigningASenderReleasesTheOneItHeld) {
  auto [sender_a, receiver_a] = make_channel<int>(0);
  auto [sender_b, receiver_b] = make_channel<int>(0);
  sender_a = sender_b;  // channel a has no sender left; channel b has two
  EXPECT_TRUE(receiver_a.receive_for(0ns).disconnected());
  ASSERT_TRUE(sender_a.send(7));
  EXPECT_EQ(receiver_b.receive(), 7);
  { Sender<int> gone = std::move(sender_b); }
  EXPECT_TRUE(receiver_b.receive_for(0ns).timed_out()) << "sender_a still counts";
}

TEST(Channel, DroppingTheLastSenderWakesABlockedReceiver) {
  for (bool with_timeout : {false, true}) {
    SCOPED_TRACE(with_timeout ? "receive_for" : "receive");
    auto [sender, receiver] = make_channel<int>(1);
    std::optional<Sender<int>> held(std::move(sender));
    auto waiting = std::async(std::launch::async, [&receiver = receiver, with_timeout] {
      return with_timeout ? receiver.receive_for(kPatience).disconnected()
                          : !receiver.receive().has_value();
    });
    EXPECT_EQ(waiting.wait_for(kSettle), std::future_status::timeout);
    held.reset();
    ASSERT_EQ(waiting.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
  }
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
  for (std::size_t capacity : {0u, 1u}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    auto [sender, receiver] = make_channel<int>(capacity);
    { Receiver<int> gone = std::move(receiver); }
    EXPECT_FALSE(sender.send(1));
    EXPECT_FALSE(sender.send(2));
  }
}

TEST(Channel, DroppingTheReceiverWakesBlockedSenders) {
  auto [sender, receiver] = make_channel<int>(1);
  std::optional<Receiver<int>> held(std::move(receiver));
  ASSERT_TRUE(sender.send(0));
  std::vector<std::future<bool>> blocked;
  for (int i = 0; i < 3; ++i) {
    blocked.push_back(std::async(std::launch::async, [s = sender, i] { return s.send(i + 1); }));
  }
  for (auto& send : blocked) EXPECT_EQ(send.wait_for(kSettle), std::future_status::timeout);
  held.reset();
  for (auto& send : blocked) {
    ASSERT_EQ(send.wait_for(kPatience), std::future_status::ready);
    EXPECT_FALSE(send.get());
  }
}

TEST(Channel, DroppingTheReceiverDestroysQueuedValuesAndRefusedOnes) {
  auto tracked = std::make_shared<int>(0);
  auto [sender, receiver] = make_channel<std::shared_ptr<int>>(0);
  ASSERT_TRUE(sender.send(tracked));
  ASSERT_TRUE(sender.send(tracked));
  EXPECT_EQ(tracked.use_count(), 3);
  { Receiver<std::shared_ptr<int>> gone = std::move(receiver); }
  EXPECT_EQ(tracked.use_count(), 1) << "queued values outlived the receiver";
  EXPECT_FALSE(sender.send(tracked));
  EXPECT_EQ(tracked.use_count(), 1) << "a refused value was kept";
}

TEST(Channel, AssigningAReceiverDropsTheOneItHeld) {
  auto [sender_a, receiver_a] = make_channel<int>(0);
  auto [sender_b, receiver_b] = make_channel<int>(0);
  ASSERT_TRUE(sender_b.send(9));
  receiver_a = std::move(receiver_b);
  EXPECT_FALSE(sender_a.send(1)) << "channel a's receiver should be gone";
  EXPECT_EQ(receiver_a.receive(), 9);
}

TEST(Channel, CarriesMoveOnlyValues) {
  auto [sender, receiver] = make_channel<std::unique_ptr<int>>(1);
  ASSERT_TRUE(sender.send(std::make_unique<int>(11)));
  std::optional<std::unique_ptr<int>> value = receiver.receive();
  ASSERT_TRUE(value.has_value() && *value);
  EXPECT_EQ(**value, 11);
}

TEST(Channel, ValueOfAnEmptyResultIsABrokenInvariant) {
  auto [sender, receiver] = make_channel<int>(0);
  auto result = receiver.receive_for(0ns);
  ASSERT_TRUE(result.timed_out());
  EXPECT_THROW((void)result.value(), platform::ThreadPanic);
}

// Many producers on a small bounded channel: nothing lost or duplicated, and each producer's
// values arrive in the order it sent them.
TEST(Channel, ManyProducersKeepTheirOwnOrder) {
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 5000;
  for (bool with_timeout : {false, true}) {
    SCOPED_TRACE(with_timeout ? "receive_for" : "receive");
    auto [sender, receiver] = make_channel<std::pair<int, int>>(4);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([s = sender, p] {
        for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(s.send({p, i}));
      });
    }
    { Sender<std::pair<int, int>> own = std::move(sender); }  // only the producers remain

    std::vector<int> next(kProducers, 0);
    int received = 0;
    while (true) {
      std::optional<std::pair<int, int>> message;
      if (with_timeout) {
        auto result = receiver.receive_for(1ms);
        if (result.timed_out()) continue;
        if (result.disconnected()) break;
        message = result.value();
      } else {
        message = receiver.receive();
        if (!message) break;
      }
      auto [producer, sequence] = *message;
      ASSERT_GE(producer, 0);
      ASSERT_LT(producer, kProducers);
      ASSERT_EQ(sequence, next[producer]) << "producer " << producer;
      ++next[producer];
      ++received;
    }
    for (auto& producer : producers) producer.join();
    EXPECT_EQ(received, kProducers * kPerProducer);
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer) << "producer " << p;
  }
}

}  // namespace
}  // namespace ketterlin::scanner
