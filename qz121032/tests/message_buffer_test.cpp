// The message buffer: overflow reported once ahead of the queued messages, close waking
// readers, destinations that are too small, wake-ups across threads, and the ring staying
// consistent across many wraps.

#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "log_capture.hpp"
#include "message_buffer.hpp"

namespace qz121032 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::nanoseconds;

Bytes bytes(std::size_t n, std::uint8_t first = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(first + i);
    }
    return b;
}

// Reads one message into a fresh destination of `room` bytes; the message or the error.
struct ReadOutcome {
    std::optional<Bytes> message;
    std::optional<MessageBufferError> error;
};
ReadOutcome read_one(MessageBuffer& buffer, nanoseconds timeout = nanoseconds::zero(),
                     std::size_t room = 64) {
    Bytes out(room);
    auto read = buffer.read(out, timeout);
    if (!read) {
        return {std::nullopt, read.error()};
    }
    out.resize(*read);
    return {out, std::nullopt};
}

TEST(MessageBuffer, OverflowIsReportedOnceAheadOfTheQueuedMessages) {
    LogCapture log;
    auto buffer = MessageBuffer::create(10);
    EXPECT_FALSE(buffer->write(bytes(8)));  // 2 + 8 bytes: exactly full
    EXPECT_EQ(buffer->write(bytes(1)), MessageBufferError::Full);
    EXPECT_TRUE(
        log.contains("WARN qz121032::message_buffer Message buffer overflow - dropping "
                     "message (1 bytes, buffer 10/10)\n"));

    EXPECT_EQ(read_one(*buffer).error, MessageBufferError::Full);
    EXPECT_TRUE(log.contains("ERROR qz121032::message_buffer Message buffer full\n"));
    EXPECT_EQ(read_one(*buffer).message, bytes(8));
    EXPECT_EQ(read_one(*buffer).message, Bytes{});  // nothing left
    EXPECT_FALSE(buffer->take_full());
}

TEST(MessageBuffer, TakeFullAndClearResetTheFlags) {
    auto buffer = MessageBuffer::create(20);
    ASSERT_FALSE(buffer->write(bytes(8)));
    ASSERT_TRUE(buffer->write(bytes(20)));
    EXPECT_TRUE(buffer->take_full());
    EXPECT_FALSE(buffer->take_full());
    EXPECT_EQ(read_one(*buffer).message, bytes(8)) << "take_full consumed the report";

    ASSERT_FALSE(buffer->write(bytes(8)));
    ASSERT_TRUE(buffer->write(bytes(20)));
    buffer->clear();
    EXPECT_FALSE(buffer->take_full());
    EXPECT_FALSE(buffer->is_corrupted());
    EXPECT_EQ(read_one(*buffer).message, Bytes{});
    // The whole capacity is usable again.
    EXPECT_FALSE(buffer->write(bytes(18)));
    EXPECT_EQ(read_one(*buffer).message, bytes(18));
}

TEST(MessageBuffer, RefusesWhatTheLengthPrefixCannotHoldAndWhatNeverFits) {
    auto big = MessageBuffer::create(70'000);
    EXPECT_EQ(big->write(bytes(65'536)), MessageBufferError::Full);
    EXPECT_FALSE(big->write(bytes(65'535)));
    EXPECT_EQ(read_one(*big, nanoseconds::zero(), 70'000).error, MessageBufferError::Full);
    EXPECT_EQ(read_one(*big, nanoseconds::zero(), 70'000).message, bytes(65'535));

    auto none = MessageBuffer::create(0);
    EXPECT_EQ(none->write({}), MessageBufferError::Full);
    EXPECT_EQ(read_one(*none).error, MessageBufferError::Full);
    EXPECT_EQ(read_one(*none).message, Bytes{});
}

TEST(MessageBuffer, TooSmallADestinationLeavesTheMessageQueued) {
    auto buffer = MessageBuffer::create(100);
    ASSERT_FALSE(buffer->write(bytes(12)));
    EXPECT_EQ(read_one(*buffer, nanoseconds::zero(), 10).error, MessageBufferError::OutputTooSmall);
    EXPECT_EQ(read_one(*buffer, nanoseconds::zero(), 12).message, bytes(12));
}

TEST(MessageBuffer, CloseWakesAReaderWaitingWithoutLimitAndStaysClosed) {
    auto buffer = MessageBuffer::create(100);
    auto reader =
        std::async(std::launch::async, [&] { return read_one(*buffer, kWaitWithoutLimit); });
    buffer->close();
    EXPECT_EQ(reader.get().error, MessageBufferError::Disconnected);

    // Writing still stores, but reads answer Disconnected with messages in the ring.
    EXPECT_FALSE(buffer->write(bytes(4)));
    EXPECT_EQ(read_one(*buffer).error, MessageBufferError::Disconnected);
    EXPECT_EQ(read_one(*buffer, kWaitWithoutLimit).error, MessageBufferError::Disconnected);
    buffer->clear();
    EXPECT_EQ(read_one(*buffer).error, MessageBufferError::Disconnected);
}

TEST(MessageBuffer, AWriteFromAnotherThreadEndsAWait) {
    auto buffer = MessageBuffer::create(100);
    // Without limit, and with a limit so far off that now + limit does not fit the clock.
    for (nanoseconds limit : {kWaitWithoutLimit, nanoseconds::max() - nanoseconds(1)}) {
        auto reader = std::async(std::launch::async, [&] { return read_one(*buffer, limit); });
        std::thread writer([&] { EXPECT_FALSE(buffer->write(bytes(5, 7))); });
        writer.join();
        EXPECT_EQ(reader.get().message, bytes(5, 7));
    }
}

TEST(MessageBuffer, ReadsWithoutMessagesReturnNothingAfterTheirTimeOrAWakeAll) {
    auto buffer = MessageBuffer::create(100);
    EXPECT_EQ(read_one(*buffer).message, Bytes{});
    EXPECT_EQ(read_one(*buffer, std::chrono::milliseconds(1)).message, Bytes{});
    EXPECT_EQ(read_one(*buffer, nanoseconds(-5)).message, Bytes{});

    auto reader =
        std::async(std::launch::async, [&] { return read_one(*buffer, kWaitWithoutLimit); });
    // wake_all only reaches a reader that waits already; repeat until this one has returned.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reader.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        buffer->wake_all();
        if (std::chrono::steady_clock::now() > limit) {
            buffer->close();  // frees the reader, so that the test ends
            ADD_FAILURE() << "the reader did not wake";
            break;
        }
    }
    EXPECT_EQ(reader.get().message, Bytes{});
    ASSERT_FALSE(buffer->write(bytes(3)));
    EXPECT_EQ(read_one(*buffer).message, bytes(3)) << "wake_all changed nothing";
}

// Messages of every size from 0 to 40 through a ring whose size is prime, checked against a
// plain queue, so that prefixes and bodies split at the wrap in every possible way.
TEST(MessageBuffer, StaysConsistentAcrossManyWraps) {
    constexpr std::uint32_t kCapacity = 97;
    auto buffer = MessageBuffer::create(kCapacity);
    std::deque<Bytes> expected;
    std::size_t used = 0;
    std::mt19937 random(1210);
    std::uint8_t next = 0;
    for (int step = 0; step < 20'000; ++step) {
        if (random() % 2 == 0) {
            const std::size_t n = random() % 41;
            const Bytes message = bytes(n, next);
            next = static_cast<std::uint8_t>(next + 13);
            const bool fits = used + n + 2 <= kCapacity;
            ASSERT_EQ(!buffer->write(message), fits) << "step " << step;
            if (fits) {
                expected.push_back(message);
                used += n + 2;
            } else {
                ASSERT_EQ(read_one(*buffer).error, MessageBufferError::Full);
            }
        } else {
            const ReadOutcome got = read_one(*buffer);
            ASSERT_FALSE(got.error) << "step " << step;
            if (expected.empty()) {
                ASSERT_EQ(got.message, Bytes{});
            } else {
                ASSERT_EQ(got.message, expected.front()) << "step " << step;
                used -= expected.front().size() + 2;
                expected.pop_front();
            }
        }
    }
}

// One writer thread and one reader thread, as between a client's receive path and
// RP1210_ReadMessage: every message arrives once, whole and in order.
TEST(MessageBuffer, CarriesMessagesBetweenThreadsInOrder) {
    constexpr int kMessages = 20'000;
    auto buffer = MessageBuffer::create(256);
    std::thread writer([&] {
        for (int i = 0; i < kMessages; ++i) {
            const Bytes message = bytes(1 + i % 30, static_cast<std::uint8_t>(i));
            while (buffer->write(message)) {
                std::this_thread::yield();  // full: the reader catches up
            }
        }
    });
    int received = 0;
    while (received < kMessages) {
        const ReadOutcome got = read_one(*buffer, kWaitWithoutLimit);
        if (got.error) {
            ASSERT_EQ(got.error, MessageBufferError::Full);
            continue;
        }
        ASSERT_EQ(got.message, bytes(1 + received % 30, static_cast<std::uint8_t>(received)));
        ++received;
    }
    writer.join();
}

TEST(MessageBuffer, TheReceiveQueueAnswersRp1210Codes) {
    auto buffer = MessageBuffer::create(12);
    MessageBufferReceiveQueue queue(buffer);
    Bytes out(4);
    ASSERT_FALSE(buffer->write(bytes(6)));
    ASSERT_TRUE(buffer->write(bytes(6)));
    EXPECT_EQ(queue.read(out, nanoseconds::zero()).error(), 139);
    EXPECT_EQ(queue.read(out, nanoseconds::zero()).error(), 141);
    out.resize(6);
    EXPECT_EQ(*queue.read(out, nanoseconds::zero()), 6u);
    EXPECT_EQ(out, bytes(6));
    buffer->close();
    EXPECT_EQ(queue.read(out, nanoseconds::zero()).error(), 148);
    EXPECT_EQ(rp1210_code(MessageBufferError::Corrupted), 140);
}

}  // namespace
}  // namespace qz121032
