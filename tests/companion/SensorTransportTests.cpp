#include "companion/SensorTransport.h"

#include "common/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace quorvantile {
namespace {

namespace transport = SensorTransport;

struct SocketPair {
    UniqueFd server, client;
    SocketPair()
    {
        int fds[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        server.reset(fds[0]);
        client.reset(fds[1]);
        EXPECT_TRUE(transport::configureSocket(server.get()));
    }
};

double soon(double seconds = 2.0) { return systemClock().uptime() + seconds; }

struct RecordingSignature final : PeerCodeSignature {
    bool peerSatisfies(int, std::string_view wanted) override
    {
        requirements.emplace_back(wanted);
        return answer;
    }
    bool answer = true;
    std::vector<std::string> requirements;
};

TEST(SensorTransportAddress, PathLengthLimitAndZeroBytes)
{
    const std::string exact(103, 'p');
    const auto address = transport::address(exact);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(std::string(address->sun_path), exact);
    EXPECT_EQ(address->sun_path[103], '\0');

    EXPECT_FALSE(transport::address(std::string(104, 'p')).has_value());
    EXPECT_FALSE(transport::address(std::string("/tmp/a\0b", 8)).has_value());
    // The limit counts UTF-8 bytes, not characters: 52 two-byte characters are 104 bytes.
    std::string wide;
    for (int i = 0; i < 52; ++i) {
        wide += "\xC3\xA9";
    }
    EXPECT_FALSE(transport::address(wide).has_value());
}

TEST(SensorTransportTrust, OnlyTheTwoIdentifiersAreCheckedAndAnythingElseFailsClosed)
{
    SocketPair pair;
    RecordingSignature signature;
    EXPECT_FALSE(transport::trustedPeer(pair.server.get(), "com.zembo.quorvantile.other", signature));
    EXPECT_FALSE(transport::trustedPeer(pair.server.get(), "COM.ZEMBO.QUORVANTILE", signature));
    // No descriptor, or one that is not a socket, has no peer credentials.
    const UniqueFd file(open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_FALSE(transport::trustedPeer(-1, "com.zembo.quorvantile", signature));
    EXPECT_FALSE(transport::trustedPeer(file.get(), "com.zembo.quorvantile", signature));
    EXPECT_TRUE(signature.requirements.empty());

    EXPECT_TRUE(transport::trustedPeer(pair.server.get(), "com.zembo.quorvantile", signature));
    EXPECT_EQ(signature.requirements.back(),
        "anchor apple generic and certificate leaf[subject.OU] = \"7Q4KX2M8PZ\" "
        "and identifier \"com.zembo.quorvantile\"");
    EXPECT_TRUE(transport::trustedPeer(pair.server.get(), "com.zembo.quorvantile.sensors", signature));
    signature.answer = false;
    EXPECT_FALSE(transport::trustedPeer(pair.server.get(), "com.zembo.quorvantile", signature));
    EXPECT_EQ(signature.requirements.size(), 3U);
}

TEST(SensorTransportWait, DeadlinesAndEvents)
{
    SocketPair pair;
    const int fd = pair.server.get();
    EXPECT_FALSE(transport::wait(fd, POLLIN, systemClock().uptime() - 1));
    EXPECT_FALSE(transport::wait(fd, POLLIN, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(transport::wait(fd, POLLIN, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(transport::wait(fd, POLLIN, soon(0.05))); // nothing to read: times out

    ASSERT_EQ(::send(pair.client.get(), "x", 1, 0), 1);
    EXPECT_TRUE(transport::wait(fd, POLLIN, soon()));

    // A hang-up alone is not the event asked for.
    pair.client.reset();
    EXPECT_FALSE(transport::wait(fd, POLLPRI, soon(0.05)));
}

TEST(SensorTransportReceive, ExactCountAcrossSplitWritesNothingFromASilentOrClosedPeerAndBodyLengthBounds)
{
    SocketPair pair;
    std::thread writer([fd = pair.client.get()] {
        for (const char* piece : {"sna", "psh", "ot\n"}) {
            ASSERT_EQ(::send(fd, piece, 3, 0), 3);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto line = transport::receive(pair.server.get(), 9, soon());
    writer.join();
    EXPECT_EQ(line, std::optional<std::string>(transport::request));

    ASSERT_EQ(::send(pair.client.get(), "snapshot", 8, 0), 8); // no line feed, then silence
    const double before = systemClock().uptime();
    EXPECT_FALSE(transport::receive(pair.server.get(), 9, before + 0.1).has_value());
    EXPECT_GE(systemClock().uptime() - before, 0.09);
    ASSERT_EQ(::send(pair.client.get(), "x", 1, 0), 1); // there, but only after the deadline
    EXPECT_FALSE(transport::receive(pair.server.get(), 1, systemClock().uptime() - 0.001).has_value());
    pair.client.reset(); // closed after 8 bytes: end of file
    EXPECT_FALSE(transport::receive(pair.server.get(), 9, soon()).has_value());

    // Refused (the largest body, 2,048 bytes, is answered by the real companion): no body, one byte too many, the
    // largest length, and a short body followed by silence.
    for (const auto& [length, actual] :
        {std::pair<std::uint32_t, std::size_t> {0, 0}, {2049, 2049}, {0xFFFFFFFF, 10}, {10, 9}}) {
        const SocketPair body;
        const std::string bytes = transport::lengthPrefix(length) + std::string(actual, '[');
        EXPECT_EQ(::send(body.client.get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        EXPECT_FALSE(transport::receiveBody(body.server.get(), soon(0.2)).has_value()) << length;
    }
}

TEST(SensorTransportSend, OnlyTheTwoLimitsAReplyIsLengthPrefixedAndAPeerThatStopsReadingOrClosesFailsWithoutSignal)
{
    SocketPair pair;
    for (const std::size_t maximum : {std::size_t {16383}, std::size_t {20000}, std::size_t {0}}) {
        EXPECT_FALSE(transport::send(pair.server.get(), "{}", soon(), maximum));
    }
    EXPECT_FALSE(transport::send(pair.server.get(), "", soon(), transport::kMaximumReplyBytes));
    EXPECT_FALSE(transport::send(pair.server.get(), std::string(16385, 'x'), soon(), transport::kMaximumReplyBytes));
    EXPECT_FALSE(
        transport::sendReply(pair.server.get(), std::string(16385, 'x'), soon(), transport::kMaximumReplyBytes));
    EXPECT_TRUE(transport::send(pair.server.get(), "{}", soon(), transport::kMaximumReplyBytes));
    char bytes[64] = {}; // nothing of the refused sends before it
    EXPECT_EQ(recv(pair.client.get(), bytes, sizeof bytes, MSG_DONTWAIT), 2);
    EXPECT_EQ(std::string(bytes), "{}");

    const std::string reply(262144, 'y');
    std::optional<std::string> received;
    std::thread reader([&] { received = transport::receive(pair.client.get(), reply.size() + 4, soon()); });
    EXPECT_TRUE(transport::sendReply(pair.server.get(), reply, soon(), transport::kMaximumInventoryReplyBytes));
    reader.join();
    EXPECT_EQ(received, transport::lengthPrefix(262144) + reply);

    // Nobody reads: the socket buffer fills and the deadline passes.
    const double before = systemClock().uptime();
    EXPECT_FALSE(transport::send(
        pair.server.get(), std::string(262144, 'z'), before + 0.2, transport::kMaximumInventoryReplyBytes));
    EXPECT_LT(systemClock().uptime() - before, 1.0);
    // SIGPIPE keeps its default action here, so a raised signal would end the test binary.
    pair.client.reset();
    EXPECT_FALSE(transport::send(pair.server.get(), "{}", soon(), transport::kMaximumReplyBytes));
}

} // namespace
} // namespace quorvantile
