// Network lines on Winsock under Wine against the Linux camera simulator, which visca_sims.py
// runs on loopback TCP, UDP and raw UDP around this program: each scheme carries a command and an
// inquiry whole to the camera and brings its replies back, and a COM port mapped in
// C:\kelp_config.ini opens as that line.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "comms/network_line.h"
#include "comms/serial_port.h"
#include "test_prefix.h"

namespace comms {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const Bytes kZoomTele{0x81, 0x01, 0x04, 0x07, 0x22, 0xFF};
const Bytes kFocusModeInquiry{0x81, 0x09, 0x04, 0x38, 0xFF};

struct Simulator {
    std::uint16_t port = 0;
    std::string log;  // its standard output

    // True once its log has a line that starts with `tag` and ends with `bytes` (hex).
    bool logged(const std::string& tag, const std::string& bytes,
                std::chrono::milliseconds limit = 10s) const {
        const auto end = Clock::now() + limit;
        do {
            const std::string text = testing_support::readFile(log);
            for (std::size_t at = 0; (at = text.find(tag + " ", at)) != std::string::npos; ++at) {
                const std::size_t eol = text.find('\n', at);
                const std::string line = text.substr(at, eol - at);
                if ((at == 0 || text[at - 1] == '\n') && eol != std::string::npos &&
                    line.size() >= bytes.size() &&
                    line.compare(line.size() - bytes.size(), bytes.size(), bytes) == 0)
                    return true;
            }
            std::this_thread::sleep_for(50ms);
        } while (Clock::now() < end);
        return false;
    }
};

// The simulator of a scheme, from "PORT LOG" in KELP_SIM_<SCHEME>.
std::optional<Simulator> simulator(NetScheme scheme) {
    const char* name = scheme == NetScheme::Tcp   ? "KELP_SIM_TCP"
                       : scheme == NetScheme::Udp ? "KELP_SIM_UDP"
                                                  : "KELP_SIM_UDP_RAW";
    const char* value = std::getenv(name);
    if (!value)
        return std::nullopt;
    const std::string text = value;
    const std::size_t space = text.find(' ');
    if (space == std::string::npos)
        return std::nullopt;
    return Simulator{static_cast<std::uint16_t>(std::stoi(text.substr(0, space))),
                     text.substr(space + 1)};
}

// Reads until `want` bytes have come or 10 s have passed.
Bytes readReplies(NetworkLine& line, std::size_t want) {
    Bytes got;
    const auto end = Clock::now() + 10s;
    while (got.size() < want && Clock::now() < end) {
        std::uint8_t buf[64];
        const auto r = line.read(buf, std::min(sizeof buf, want - got.size()));
        got.insert(got.end(), buf, buf + r.count);
    }
    return got;
}

class SimulatorLineTest : public ::testing::TestWithParam<NetScheme> {
  protected:
    void SetUp() override {
        sim = simulator(GetParam());
        if (!sim)
            GTEST_SKIP() << "no simulator (run through visca_sims.py)";
        line = NetworkLine::open({GetParam(), "127.0.0.1", sim->port}, 9);
        ASSERT_TRUE(line);
        platform::COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = 50;
        t.ReadTotalTimeoutConstant = 500;
        t.WriteTotalTimeoutConstant = 1000;
        line->setTimeouts(t);
        const auto end = Clock::now() + 20s;
        while (!line->linked() && Clock::now() < end)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(line->linked());
    }
    void write(const Bytes& b) {
        ASSERT_EQ(line->write(b.data(), b.size()), static_cast<long>(b.size()));
    }

    std::optional<Simulator> sim;
    std::unique_ptr<NetworkLine> line;
};

TEST_P(SimulatorLineTest, CommandAndInquiryReachTheCameraWholeAndAreAnswered) {
    // The command in two writes: on UDP it still goes out as one datagram.
    write(Bytes(kZoomTele.begin(), kZoomTele.begin() + 3));
    write(Bytes(kZoomTele.begin() + 3, kZoomTele.end()));
    EXPECT_TRUE(sim->logged("rx", "81 01 04 07 22 FF"));
    const Bytes ack = readReplies(*line, 6);
    ASSERT_EQ(ack.size(), 6u);
    EXPECT_EQ(ack[0], 0x90);
    EXPECT_EQ(ack[1] & 0xF0, 0x40) << "acknowledgement";
    EXPECT_EQ(ack[4] & 0xF0, 0x50) << "completion";

    write(kFocusModeInquiry);
    EXPECT_TRUE(sim->logged("rx", "81 09 04 38 FF"));
    const Bytes answer = readReplies(*line, 4);
    ASSERT_EQ(answer.size(), 4u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 2), (Bytes{0x90, 0x50}));
    EXPECT_EQ(answer[3], 0xFF);
    EXPECT_FALSE(sim->logged("skip", "", 0ms)) << "a packet arrived in pieces";
}

INSTANTIATE_TEST_SUITE_P(Schemes, SimulatorLineTest,
                         ::testing::Values(NetScheme::Tcp, NetScheme::Udp, NetScheme::UdpRaw),
                         [](const auto& info) {
                             return info.param == NetScheme::Tcp   ? std::string("tcp")
                                    : info.param == NetScheme::Udp ? std::string("udp")
                                                                   : std::string("udpraw");
                         });

TEST(SimulatorPortTest, AComPortMappedInTheConfigurationFileIsTheNetworkLine) {
    const auto sim = simulator(NetScheme::Udp);
    if (!sim)
        GTEST_SKIP() << "no simulator (run through visca_sims.py)";
    const std::string config = "C:\\kelp_config.ini";
    testing_support::writeFile(config,
                               "[Ports]\r\nCOM7=udp:127.0.0.1:" + std::to_string(sim->port) +
                                   "\r\nCOM8=udp:127.0.0.1:70000\r\n");
    SerialPort port;
    EXPECT_EQ(port.open(8), -1) << "a bad entry fails like a missing device";
    ASSERT_EQ(port.open(7), 1);
    // Writes before the line has its socket are dropped, as on a line without a camera.
    bool arrived = false;
    for (int i = 0; i < 50 && !arrived; ++i) {
        EXPECT_EQ(port.write(kFocusModeInquiry.data(), 5), 5);
        arrived = sim->logged("rx", "81 09 04 38 FF", 200ms);
    }
    EXPECT_TRUE(arrived);
    port.close();
    std::remove(config.c_str());
}

}  // namespace
}  // namespace comms
