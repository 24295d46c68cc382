// Telnet rules of a network connection, byte for byte: a fake sockets table feeds the
// received bytes and records what goes out.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "platform/Winsock.h"
#include "ports/ZpWsDispatcher.h"
#include "support/Bytes.h"
#include "support/FakeSocketFeed.h"

namespace {

using fakefeed::incoming;
using fakefeed::lastErr;
std::string sent;

int fakeSend(ws::TSocket, const void* buf, int len, int) {
    sent.append(static_cast<const char*>(buf), static_cast<size_t>(len));
    return len;
}

ws::WinsockTable makeTable() {
    return fakefeed::table(fakeSend);
}

class Telnet : public ::testing::Test {
  protected:
    void SetUp() override {
        table = makeTable();
        ws::setWinsockTable(&table);
        incoming.clear();
        sent.clear();
        sock = std::make_unique<TZpDeviceSocket>();
        conn = sock->AddConnection(4096, 4096);
        conn->ConnectedSocket = conn->Socket;
        conn->Telnet = true;
        conn->Client = true;
        conn->SetState(wcsConnected);
    }
    void TearDown() override {
        sock.reset();
        ws::setWinsockTable(nullptr);
    }
    // Feeds raw bytes and returns what the connection delivers.
    std::string receive(const std::string& raw) {
        incoming.insert(incoming.end(), raw.begin(), raw.end());
        std::string out(8192, '\0');
        int n = conn->ReadBuf(reinterpret_cast<uint8_t*>(out.data()), static_cast<int32_t>(out.size()));
        out.resize(static_cast<size_t>(n));
        return out;
    }
    std::string transmit(const std::string& data) {
        sent.clear();
        int n =
            conn->WriteBuf(reinterpret_cast<const uint8_t*>(data.data()), static_cast<int32_t>(data.size()));
        EXPECT_EQ(n, static_cast<int>(data.size()));
        return sent;
    }
    ws::WinsockTable table;
    std::unique_ptr<TZpDeviceSocket> sock;
    TWsConnection* conn = nullptr;
};

}  // namespace

TEST_F(Telnet, NegotiationAnswersEveryRowOfTheTable) {
    struct Row {
        int verb, option;
        std::string answer;
        int binaryAfter;
    };
    const Row rows[] = {
        {251, 0, bytes({255, 253, 0}), 2},    // WILL binary -> DO, binary on
        {251, 1, bytes({255, 253, 1}), 0},    // WILL echo -> DO
        {251, 3, bytes({255, 253, 3}), 0},    // WILL suppress go-ahead -> DO
        {251, 24, bytes({255, 254, 24}), 0},  // WILL other -> DONT
        {252, 5, bytes({255, 254, 5}), 0},    // WONT any -> DONT
        {253, 0, bytes({255, 251, 0}), 2},    // DO binary -> WILL, binary on
        {253, 24, bytes({255, 251, 24}), 0},  // DO terminal type -> WILL
        {253, 1, bytes({255, 252, 1}), 0},    // DO echo -> WONT
        {253, 3, bytes({255, 252, 3}), 0},    // DO suppress go-ahead -> WONT
        {253, 31, bytes({255, 252, 31}), 0},  // DO other -> WONT
        {254, 7, bytes({255, 252, 7}), 0},    // DONT any -> WONT
    };
    for (const Row& r : rows) {
        conn->BinaryOption = 0;
        sent.clear();
        EXPECT_EQ(receive(bytes({255, r.verb, r.option})), "");
        EXPECT_EQ(sent, r.answer) << "verb " << r.verb << " option " << r.option;
        EXPECT_EQ(conn->BinaryOption, r.binaryAfter) << "verb " << r.verb << " option " << r.option;
    }
    // WONT 0 and DONT 0 switch binary mode off again.
    conn->BinaryOption = 2;
    sent.clear();
    receive(bytes({255, 252, 0}));
    EXPECT_EQ(sent, bytes({255, 254, 0}));
    EXPECT_EQ(conn->BinaryOption, 0);
    conn->BinaryOption = 2;
    sent.clear();
    receive(bytes({255, 254, 0}));
    EXPECT_EQ(sent, bytes({255, 252, 0}));
    EXPECT_EQ(conn->BinaryOption, 0);
}

TEST_F(Telnet, TerminalTypeRequestIsAnsweredWithTheTerminalName) {
    EXPECT_EQ(receive(bytes({255, 253, 24})), "");
    EXPECT_EQ(sent, bytes({255, 251, 24}));
    sent.clear();
    EXPECT_EQ(receive(bytes({255, 250, 24, 1, 255, 240}) + "ok"), "ok");
    EXPECT_EQ(sent, bytes({255, 250, 24, 0}) + "vt100" + bytes({255, 240}));
}

TEST_F(Telnet, SubnegotiationSplitAcrossReadsIsSkippedWithoutStallingData) {
    EXPECT_EQ(receive("a" + bytes({255, 250, 24})), "a");
    EXPECT_EQ(receive(bytes({1})), "");
    EXPECT_EQ(receive(bytes({255})), "");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(receive(bytes({240}) + "b"), "b");
    EXPECT_EQ(sent, bytes({255, 250, 24, 0}) + "vt100" + bytes({255, 240}));
    // Another option's subnegotiation is dropped without an answer, CR inside it too.
    sent.clear();
    EXPECT_EQ(receive(bytes({255, 250, 31, 13, 0, 80, 255, 240}) + "c"), "c");
    EXPECT_TRUE(sent.empty());
}

TEST_F(Telnet, IacIsDoubledOutAndUndoubledIn) {
    EXPECT_EQ(receive(bytes({65, 255, 255, 66})), bytes({65, 255, 66}));
    EXPECT_EQ(transmit(bytes({65, 255, 66})), bytes({65, 255, 255, 66}));
}

TEST_F(Telnet, LoneIacAtTheEndOfAReadWaitsForTheNextByte) {
    EXPECT_EQ(receive(bytes({65, 255})), "A");
    EXPECT_EQ(receive(bytes({255})), bytes({255}));
    EXPECT_EQ(receive(bytes({66, 255})), "B");
    EXPECT_EQ(receive(bytes({253, 3})), "");
    EXPECT_EQ(sent, bytes({255, 252, 3}));
    // Another command after IAC is dropped with it.
    EXPECT_EQ(receive(bytes({255, 241, 67})), "C");
}

TEST_F(Telnet, CarriageReturnRulesWhileBinaryIsOff) {
    EXPECT_EQ(transmit(bytes({0x41, 0x0D, 0x42})), bytes({0x41, 0x0D, 0x00, 0x42}));
    EXPECT_EQ(transmit("A\r\nB"), "A\r\nB");
    // A command's trailing CR goes out with its block at once.
    EXPECT_EQ(transmit("? 0123\r"), std::string("? 0123\r\0", 8));
    EXPECT_EQ(receive(std::string("x\r\0y", 4)), "x\ry");
    EXPECT_EQ(receive("p\r\nq"), "p\r\nq");
    // A CR that ends what arrived so far waits to see whether NUL follows.
    EXPECT_EQ(receive("z\r"), "z");
    EXPECT_EQ(receive(std::string("\0", 1)), "\r");
}

TEST_F(Telnet, BinaryModePassesCarriageReturnThroughBothWays) {
    receive(bytes({255, 251, 0}));
    ASSERT_EQ(conn->BinaryOption, 2);
    EXPECT_EQ(transmit(bytes({0x41, 0x0D, 0x42, 0x0D})), bytes({0x41, 0x0D, 0x42, 0x0D}));
    EXPECT_EQ(receive(std::string("a\r\0b", 4)), std::string("a\r\0b", 4));
    // IAC doubling still applies.
    EXPECT_EQ(transmit(bytes({255})), bytes({255, 255}));
}

TEST_F(Telnet, WithoutTelnetEveryByteIsPlain) {
    conn->Telnet = false;
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(receive(all), all);
    EXPECT_EQ(transmit(all), all);
    EXPECT_TRUE(std::string(sent).size() == 256);
}

TEST_F(Telnet, WouldBlockSendKeepsTheDataForLater) {
    table.send = [](ws::TSocket, const void*, int, int) -> int {
        lastErr = ws::WSAEWOULDBLOCK;
        return ws::SOCKET_ERROR;
    };
    sent.clear();
    EXPECT_EQ(conn->WriteBuf(reinterpret_cast<const uint8_t*>("AB\r"), 3), 3);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(conn->OutRingUsed(), 4);
    EXPECT_EQ(conn->GetOutChars(), 3);
    table.send = fakeSend;
    EXPECT_EQ(conn->GetOutChars(), 0);
    EXPECT_EQ(sent, std::string("AB\r\0", 4));
}

TEST_F(Telnet, NothingIsSentBeforeTheConnectionExists) {
    conn->ConnectedSocket = -1;
    sent.clear();
    conn->WriteBuf(reinterpret_cast<const uint8_t*>("X\r"), 2);
    EXPECT_TRUE(sent.empty());
    conn->ConnectedSocket = conn->Socket;
    conn->WriteBuf(nullptr, 0);
    EXPECT_EQ(sent, std::string("X\r\0", 3));
}

TEST_F(Telnet, FullInputRingDeliversEverythingInOrder) {
    std::string big;
    for (int i = 0; i < 10000; ++i) big += static_cast<char>('a' + i % 26);
    incoming.insert(incoming.end(), big.begin(), big.end());
    std::string got;
    for (int round = 0; round < 10 && got.size() < big.size(); ++round) {
        std::string out(3000, '\0');
        int n = conn->ReadBuf(reinterpret_cast<uint8_t*>(out.data()), 3000);
        got += out.substr(0, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, big);
}
