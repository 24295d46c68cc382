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

TEST_F(Socks, RequestBytesOfEachVersionAndTheDataAfterThem) {
    const struct Case {
        TZpSocksVersion version;
        std::string target;
        uint16_t port;
        std::vector<Step> script;
        std::string send, after;  // telnet rules apply again after the negotiation
    } cases[] = {
        {svSocks4, "127.0.0.1", 192,
         {{bytes({4, 1}) + be16(192) + kLoopback + "user" + bytes({0}), bytes({0, 90, 0, 0, 0, 0, 0, 0})}},
         "hi\r", std::string("hi\r\0", 4)},
        // 4a sends the host name unresolved.
        {svSocks4a, "instrument.invalid", 23,
         {{bytes({4, 1}) + be16(23) + bytes({0, 0, 0, 1}) + "user" + bytes({0}) + "instrument.invalid" +
               bytes({0}),
           bytes({0, 90, 0, 0, 0, 0, 0, 0})}},
         "", ""},
        {svSocks5, "127.0.0.1", 192,
         {{bytes({5, 2, 0, 2}), bytes({5, 0})},
          {bytes({5, 1, 0, 1}) + kLoopback + be16(192), bytes({5, 0, 0, 1, 10, 0, 0, 9, 0x12, 0x34})}},
         "ok\n", "ok\n"},
        // User name and password; a bound address given as a name is read by the name's length.
        {svSocks5, "127.0.0.1", 4000,
         {{bytes({5, 2, 0, 2}), bytes({5, 2})},
          {bytes({1, 4}) + "user" + bytes({6}) + "secret", bytes({1, 0})},
          {bytes({5, 1, 0, 1}) + kLoopback + be16(4000), bytes({5, 0, 0, 3, 4}) + "host" + be16(80)}},
         "", ""},
    };
    for (const Case& k : cases) {
        Proxy proxy;
        proxy.script = k.script;
        proxy.tail = k.after.size();
        proxy.start();
        Client c(k.version, proxy.listener.port, k.target, k.port);
        c.port.SetOpen(true);
        EXPECT_TRUE(c.port.GetOpen());
        if (!k.send.empty()) c.port.PutString(k.send);
        proxy.join();
        ASSERT_EQ(proxy.got.size(), k.script.size());
        for (size_t i = 0; i < k.script.size(); ++i) EXPECT_EQ(proxy.got[i], k.script[i].expect) << i;
        EXPECT_EQ(proxy.after, k.after);
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

TEST_F(Socks, RefusalsRaiseTheirCodeAndLeaveThePortClosed) {
    const std::string v4 = bytes({4, 1}) + be16(192) + kLoopback + "user" + bytes({0});
    const std::string v4reply = bytes({0, 0, 0, 0, 0, 0, 0});
    const Step v5hello = {bytes({5, 2, 0, 2}), bytes({5, 0})};
    const struct Case {
        TZpSocksVersion version;
        std::vector<Step> script;
        int32_t code;
    } cases[] = {
        {svSocks4, {{v4, bytes({0, 91}) + v4reply.substr(1)}}, 9008},
        {svSocks4, {{v4, bytes({0, 92}) + v4reply.substr(1)}}, 9009},
        {svSocks4, {{v4, bytes({0, 93}) + v4reply.substr(1)}}, 9010},
        {svSocks4, {{v4, bytes({0, 7}) + v4reply.substr(1)}}, 9011},
        {svSocks5, {{bytes({5, 2, 0, 2}), bytes({5, 0xFF})}}, 9011},  // no method accepted
        {svSocks5, {{bytes({5, 2, 0, 2}), bytes({5, 2})}, {bytes({1, 4}) + "user" + bytes({6}) + "secret", bytes({1, 1})}},
         9011},  // password refused
        {svSocks5, {v5hello, {bytes({5, 1, 0, 1}) + kLoopback + be16(192), bytes({5, 5, 0, 1, 0})}},
         9016},  // connection refused by the target
        {svSocks5, {}, 0},  // a proxy that accepts, reads nothing and closes
    };
    for (const Case& c : cases) {
        Proxy proxy;
        proxy.script = c.script;
        proxy.start();
        Client client(c.version, proxy.listener.port, "127.0.0.1", 192);
        try {
            client.port.SetOpen(true);
            ADD_FAILURE() << "no exception for " << c.code;
        } catch (const EZpSocketException& e) {
            if (c.code) {
                EXPECT_EQ(e.ErrorCode, c.code);
            }
        }
        EXPECT_FALSE(client.port.GetOpen()) << c.code;
    }
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
