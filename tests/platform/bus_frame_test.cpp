// The bus frame decoder against good, truncated, oversized and random input.
#include "platform/linux/bus_frame.h"

#include <gtest/gtest.h>

#include <random>

using namespace platform::bus;

namespace {

std::vector<std::uint8_t> encode(const Frame& f) {
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(encodeFrame(f, out));
    return out;
}

std::vector<Frame> samples() {
    Frame hello;
    hello.type = FrameType::Hello;
    hello.prefixId = 0x0123456789ABCDEFull;
    hello.pid = 4242;
    Frame send;
    send.type = FrameType::Send;
    send.seq = 7;
    send.hwnd = 0x12345;
    send.msg = 2728;
    send.wParam = 0xFFFFFFFFFFFFFFFFull;
    send.lParam = -5;
    send.hasBuffer = true;
    send.outSize = 256;
    send.deadlineNs = 0x1122334455667788ull;
    send.bytes = {'v', 'a', 'l', 0, 0xFF};
    Frame post;
    post.type = FrameType::Post;
    post.hwnd = 0x2345;
    post.msg = 0x44;
    post.lParam = 0x7FFFFFFFFFFFFFFFll;
    Frame reply;
    reply.type = FrameType::Reply;
    reply.seq = 7;
    reply.result = -1;
    reply.status = ReplyStatus::Expired;
    reply.bytes.assign(300, 'x');
    Frame oneSend = hello;
    oneSend.type = FrameType::HelloOneSend;
    return {hello, send, post, reply, oneSend};
}

TEST(BusFrame, EveryTypeRoundTripsAndEveryTruncationWaitsForMore) {
    for (const Frame& f : samples()) {
        auto bytes = encode(f);
        Frame g;
        std::size_t used = 0;
        ASSERT_EQ(decodeFrame(bytes.data(), bytes.size(), g, used), DecodeStatus::Ok);
        EXPECT_EQ(used, bytes.size());
        EXPECT_EQ(encode(g), bytes);
        for (std::size_t n = 0; n < bytes.size(); ++n)
            EXPECT_EQ(decodeFrame(bytes.data(), n, g, used), DecodeStatus::NeedMore) << n;
    }
}

TEST(BusFrame, TwoFramesInOneBufferDecodeOneAtATime) {
    auto all = samples();
    auto a = encode(all[1]);
    auto b = encode(all[3]);
    a.insert(a.end(), b.begin(), b.end());
    Frame f;
    std::size_t used = 0;
    ASSERT_EQ(decodeFrame(a.data(), a.size(), f, used), DecodeStatus::Ok);
    EXPECT_EQ(f.type, FrameType::Send);
    ASSERT_EQ(decodeFrame(a.data() + used, a.size() - used, f, used), DecodeStatus::Ok);
    EXPECT_EQ(f.type, FrameType::Reply);
    EXPECT_EQ(f.bytes.size(), 300u);
}

TEST(BusFrame, RejectsLiesAboutLengthsAndUnknownContent) {
    Frame f;
    std::size_t used = 0;
    auto send = encode(samples()[1]);

    // A header that claims a huge body is refused from the header alone, not waited for.
    auto huge = send;
    huge[8] = huge[9] = huge[10] = 0xFF;
    huge[11] = 0x7F;
    EXPECT_EQ(decodeFrame(huge.data(), 12, f, used), DecodeStatus::Malformed);

    // The inner byte count claims more than the body holds.
    auto inner = send;
    inner[12 + 28 + 1 + 4 + 8] = 0xF0;  // low byte of the byte count, after the deadline
    EXPECT_EQ(decodeFrame(inner.data(), inner.size(), f, used), DecodeStatus::Malformed);

    // A buffer size wanted back beyond the limit.
    auto want = send;
    want[12 + 28 + 1 + 3] = 0x10;  // outSize = 0x10000100 > 1 MiB
    EXPECT_EQ(decodeFrame(want.data(), want.size(), f, used), DecodeStatus::Malformed);

    // Extra bytes inside the declared body.
    auto post = encode(samples()[2]);
    post.push_back(0);
    post[8] += 1;
    EXPECT_EQ(decodeFrame(post.data(), post.size(), f, used), DecodeStatus::Malformed);

    // Bad magic or type is refused with the first bytes.
    const std::uint8_t junk[] = {'G', 'E', 'T', ' '};
    EXPECT_EQ(decodeFrame(junk, 1, f, used), DecodeStatus::Malformed);
    auto typed = send;
    typed[4] = 9;
    EXPECT_EQ(decodeFrame(typed.data(), 5, f, used), DecodeStatus::Malformed);

    // Payloads beyond the limit are not encoded at all.
    Frame big = samples()[3];
    big.bytes.assign(kMaxPayload + 1, 0);
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(encodeFrame(big, out));
    EXPECT_TRUE(out.empty());
}

TEST(BusFrame, RandomAndMutatedInputNeverCrashesOrOverruns) {
    std::mt19937 rng(12345);
    std::vector<std::vector<std::uint8_t>> seeds;
    for (auto& f : samples())
        seeds.push_back(encode(f));
    for (int i = 0; i < 20000; ++i) {
        std::vector<std::uint8_t> data;
        if (i % 2) {
            data.resize(rng() % 64);
            for (auto& b : data)
                b = static_cast<std::uint8_t>(rng());
        } else {
            data = seeds[rng() % seeds.size()];
            for (int m = 0, k = 1 + rng() % 4; m < k; ++m)
                data[rng() % data.size()] = static_cast<std::uint8_t>(rng());
            data.resize(rng() % (data.size() + 1));
        }
        // Exact-size copy so that AddressSanitizer sees any read past the end.
        std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[data.size() + 1]);
        std::copy(data.begin(), data.end(), exact.get());
        Frame f;
        std::size_t used = 0;
        DecodeStatus st = decodeFrame(exact.get(), data.size(), f, used);
        if (st == DecodeStatus::Ok) {
            EXPECT_LE(used, data.size());
            std::vector<std::uint8_t> again;
            ASSERT_TRUE(encodeFrame(f, again));
            EXPECT_TRUE(std::equal(again.begin(), again.end(), data.begin()));
        } else {
            EXPECT_EQ(used, 0u);
        }
    }
}

}  // namespace
