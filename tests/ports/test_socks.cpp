// Proxy negotiation of the network port against a small proxy that runs in a thread of the
// test: the exact request bytes of SOCKS 4, 4a and 5, the replies' failure codes, and the
// data that follows a successful negotiation.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Dialogs.h"
#include "ports/ZpWinsockPort.h"
#include "ports/net_peer.h"
#include "support/Bytes.h"

using netpeer::pumpUntil;

namespace {

std::string be16(uint16_t v) {
    return bytes({v >> 8, v & 0xFF});
}

// One scripted exchange: for each step, the bytes expected from the port and the reply.
struct Step {
    std::string expect;
    std::string reply;
};

struct Proxy {
    netpeer::Listener listener;
    std::vector<Step> script;
    size_t tail = 0;  // bytes read after the script (the data that follows)
    std::vector<std::string> got;
    std::string after;
    std::thread th;

    void start() {
        th = std::thread([this] {
            int fd = listener.acceptNow(3000);
            if (fd < 0) return;
            for (const Step& s : script) {
                std::string in;
                if (!netpeer::readExact(fd, in, s.expect.size())) break;
                got.push_back(in);
                netpeer::writeAll(fd, s.reply);
            }
            if (tail) netpeer::readExact(fd, after, tail);
            ::usleep(100000);
            ::close(fd);
        });
    }
    void join() {
        if (th.joinable()) th.join();
    }
    ~Proxy() { join(); }
};

struct Client {
    TZpWinsockPort port;
    std::vector<int32_t> errors;
    Client(TZpSocksVersion v, uint16_t proxyPort, const std::string& target, uint16_t targetPort) {
        port.SetDeviceLayer(dlWinsock);
        port.SetWsAddress(target);
        port.SetWsPort(std::to_string(targetPort));
        port.WsSocksServerInfo().SetSocksVersion(v);
        port.WsSocksServerInfo().SetAddress("127.0.0.1");
        port.WsSocksServerInfo().SetPort(proxyPort);
        port.WsSocksServerInfo().SetUserCode("user");
        port.WsSocksServerInfo().SetPassword("secret");
    }
};

class Socks : public ::testing::Test {
  protected:
    DialogScript boxes;
    void TearDown() override {
        for (auto& b : boxes.shown) ADD_FAILURE() << "box shown: " << b.text.toStdString();
    }
};

const std::string kLoopback = bytes({127, 0, 0, 1});

}  // namespace

TEST_F(Socks, Socks4RequestAndTheDataAfterIt) {
    Proxy proxy;
    proxy.script = {
        {bytes({4, 1}) + be16(192) + kLoopback + "user" + bytes({0}), bytes({0, 90, 0, 0, 0, 0, 0, 0})}};
    proxy.tail = 4;
    proxy.start();
    Client c(svSocks4, proxy.listener.port, "127.0.0.1", 192);
    c.port.SetOpen(true);
    EXPECT_TRUE(c.port.GetOpen());
    c.port.PutString("hi\r");  // telnet rules apply again after the negotiation
    proxy.join();
    ASSERT_EQ(proxy.got.size(), 1u);
    EXPECT_EQ(proxy.got[0], proxy.script[0].expect);
    EXPECT_EQ(proxy.after, std::string("hi\r\0", 4));
}

TEST_F(Socks, Socks4aSendsTheHostNameUnresolved) {
    Proxy proxy;
    proxy.script = {{bytes({4, 1}) + be16(23) + bytes({0, 0, 0, 1}) + "user" + bytes({0}) +
                         "instrument.invalid" + bytes({0}),
                     bytes({0, 90, 0, 0, 0, 0, 0, 0})}};
    proxy.start();
    Client c(svSocks4a, proxy.listener.port, "instrument.invalid", 23);
    c.port.SetOpen(true);
    EXPECT_TRUE(c.port.GetOpen());
    proxy.join();
    ASSERT_EQ(proxy.got.size(), 1u);
    EXPECT_EQ(proxy.got[0], proxy.script[0].expect);
}

TEST_F(Socks, Socks4RefusalRaisesItsCodeAndLeavesThePortClosed) {
    const int replies[] = {91, 92, 93, 7};
    const int codes[] = {9008, 9009, 9010, 9011};
    for (int i = 0; i < 4; ++i) {
        Proxy proxy;
        proxy.script = {{bytes({4, 1}) + be16(192) + kLoopback + "user" + bytes({0}),
                         bytes({0, replies[i], 0, 0, 0, 0, 0, 0})}};
        proxy.start();
        Client c(svSocks4, proxy.listener.port, "127.0.0.1", 192);
        try {
            c.port.SetOpen(true);
            ADD_FAILURE() << "no exception for " << replies[i];
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, codes[i]);
        }
        EXPECT_FALSE(c.port.GetOpen());
    }
}

TEST_F(Socks, FailureGoesToTheErrorEventWhenAssigned) {
    Proxy proxy;
    proxy.script = {
        {bytes({4, 1}) + be16(192) + kLoopback + "user" + bytes({0}), bytes({0, 91, 0, 0, 0, 0, 0, 0})}};
    proxy.start();
    Client c(svSocks4, proxy.listener.port, "127.0.0.1", 192);
    c.port.OnWsError = [&](TZpCustomWinsockPort*, int32_t e) { c.errors.push_back(e); };
    EXPECT_NO_THROW(c.port.SetOpen(true));
    ASSERT_EQ(c.errors.size(), 1u);
    EXPECT_EQ(c.errors[0], 9008);
    EXPECT_TRUE(pumpUntil([&] { return !c.port.GetOpen(); }));  // the useless connection closes
}

TEST_F(Socks, Socks5WithoutAuthentication) {
    Proxy proxy;
    proxy.script = {
        {bytes({5, 2, 0, 2}), bytes({5, 0})},
        {bytes({5, 1, 0, 1}) + kLoopback + be16(192), bytes({5, 0, 0, 1, 10, 0, 0, 9, 0x12, 0x34})},
    };
    proxy.tail = 3;
    proxy.start();
    Client c(svSocks5, proxy.listener.port, "127.0.0.1", 192);
    c.port.SetOpen(true);
    EXPECT_TRUE(c.port.GetOpen());
    c.port.PutString("ok\n");
    proxy.join();
    ASSERT_EQ(proxy.got.size(), 2u);
    EXPECT_EQ(proxy.got[0], proxy.script[0].expect);
    EXPECT_EQ(proxy.got[1], proxy.script[1].expect);
    EXPECT_EQ(proxy.after, "ok\n");
}

TEST_F(Socks, Socks5WithUserNameAndPassword) {
    Proxy proxy;
    proxy.script = {
        {bytes({5, 2, 0, 2}), bytes({5, 2})},
        {bytes({1, 4}) + "user" + bytes({6}) + "secret", bytes({1, 0})},
        // A bound address given as a name: its reply is read by the name's length.
        {bytes({5, 1, 0, 1}) + kLoopback + be16(4000), bytes({5, 0, 0, 3, 4}) + "host" + be16(80)},
    };
    proxy.start();
    Client c(svSocks5, proxy.listener.port, "127.0.0.1", 4000);
    c.port.SetOpen(true);
    EXPECT_TRUE(c.port.GetOpen());
    proxy.join();
    ASSERT_EQ(proxy.got.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(proxy.got[i], proxy.script[i].expect) << i;
}

TEST_F(Socks, Socks5Refusals) {
    {
        Proxy proxy;
        proxy.script = {{bytes({5, 2, 0, 2}), bytes({5, 0xFF})}};
        proxy.start();
        Client c(svSocks5, proxy.listener.port, "127.0.0.1", 192);
        try {
            c.port.SetOpen(true);
            ADD_FAILURE() << "no exception";
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, 9011);
        }
    }
    {
        Proxy proxy;
        proxy.script = {{bytes({5, 2, 0, 2}), bytes({5, 2})},
                        {bytes({1, 4}) + "user" + bytes({6}) + "secret", bytes({1, 1})}};
        proxy.start();
        Client c(svSocks5, proxy.listener.port, "127.0.0.1", 192);
        try {
            c.port.SetOpen(true);
            ADD_FAILURE() << "no exception";
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, 9011);
        }
    }
    {
        Proxy proxy;
        proxy.script = {{bytes({5, 2, 0, 2}), bytes({5, 0})},
                        {bytes({5, 1, 0, 1}) + kLoopback + be16(192), bytes({5, 5, 0, 1, 0})}};
        proxy.start();
        Client c(svSocks5, proxy.listener.port, "127.0.0.1", 192);
        try {
            c.port.SetOpen(true);
            ADD_FAILURE() << "no exception";
        } catch (const EZpSocketException& e) {
            EXPECT_EQ(e.ErrorCode, 9016);  // connection refused by the target
        }
        EXPECT_FALSE(c.port.GetOpen());
    }
}

TEST_F(Socks, ProxyThatHangsUpEndsTheWait) {
    Proxy proxy;
    proxy.script = {};  // accepts, reads nothing, closes
    proxy.start();
    Client c(svSocks5, proxy.listener.port, "127.0.0.1", 192);
    EXPECT_THROW(c.port.SetOpen(true), EZpSocketException);
    EXPECT_FALSE(c.port.GetOpen());
}

TEST_F(Socks, UnresolvableProxyAddress) {
    Client c(svSocks4, 1080, "127.0.0.1", 192);
    c.port.WsSocksServerInfo().SetAddress("no-such-proxy.invalid");
    try {
        c.port.SetOpen(true);
        FAIL() << "no exception";
    } catch (const EZpSocketException& e) {
        EXPECT_EQ(e.ErrorCode, 9007);
    }
    EXPECT_FALSE(c.port.GetOpen());
}
