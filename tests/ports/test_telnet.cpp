// Telnet rules of a network connection, byte for byte: a fake sockets table feeds the
// received bytes and records what goes out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Winsock.h"
#include "ports/ZpWsDispatcher.h"
#include "support/Bytes.h"
#include "support/FakeSocketFeed.h"

namespace {

using fakefeed::incoming;
std::string sent;

int fakeSend(ws::TSocket, const void* buf, int len, int) {
    sent.append(static_cast<const char*>(buf), static_cast<size_t>(len));
    return len;
}

const std::string kTerminal = bytes({255, 250, 24, 0}) + "vt100" + bytes({255, 240});

class Telnet : public ::testing::Test {
  protected:
    void SetUp() override {
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
    std::string receive(const std::string& raw, int32_t room = 8192) {
        incoming.insert(incoming.end(), raw.begin(), raw.end());
        std::string out(static_cast<size_t>(room), '\0');
        out.resize(static_cast<size_t>(conn->ReadBuf(reinterpret_cast<uint8_t*>(out.data()), room)));
        return out;
    }
    std::string transmit(const std::string& data) {
        sent.clear();
        const auto n = static_cast<int32_t>(data.size());
        EXPECT_EQ(conn->WriteBuf(reinterpret_cast<const uint8_t*>(data.data()), n), n);
        return sent;
    }
    ws::WinsockTable table = fakefeed::table(fakeSend);
    std::unique_ptr<TZpDeviceSocket> sock;
    TWsConnection* conn = nullptr;
};

}  // namespace

TEST_F(Telnet, NegotiationAnswersEveryRowOfTheTable) {
    const struct Row {
        int binaryBefore, verb, option;
        std::string answer;
        int binaryAfter;
    } rows[] = {
        {0, 251, 0, bytes({255, 253, 0}), 2},    // WILL binary -> DO, binary on
        {0, 251, 1, bytes({255, 253, 1}), 0},    // WILL echo -> DO
        {0, 251, 3, bytes({255, 253, 3}), 0},    // WILL suppress go-ahead -> DO
        {0, 251, 24, bytes({255, 254, 24}), 0},  // WILL other -> DONT
        {0, 252, 5, bytes({255, 254, 5}), 0},    // WONT any -> DONT
        {2, 252, 0, bytes({255, 254, 0}), 0},    // WONT binary -> DONT, binary off
        {0, 253, 0, bytes({255, 251, 0}), 2},    // DO binary -> WILL, binary on
        {0, 253, 24, bytes({255, 251, 24}), 0},  // DO terminal type -> WILL
        {0, 253, 1, bytes({255, 252, 1}), 0},    // DO echo -> WONT
        {0, 253, 3, bytes({255, 252, 3}), 0},    // DO suppress go-ahead -> WONT
        {0, 253, 31, bytes({255, 252, 31}), 0},  // DO other -> WONT
        {0, 254, 7, bytes({255, 252, 7}), 0},    // DONT any -> WONT
        {2, 254, 0, bytes({255, 252, 0}), 0},    // DONT binary -> WONT, binary off
    };
    for (const Row& r : rows) {
        conn->BinaryOption = r.binaryBefore;
        sent.clear();
        EXPECT_EQ(receive(bytes({255, r.verb, r.option})), "");
        EXPECT_EQ(sent, r.answer) << "verb " << r.verb << " option " << r.option;
        EXPECT_EQ(conn->BinaryOption, r.binaryAfter) << "verb " << r.verb << " option " << r.option;
    }
}

// Each row: the reads one after the other with what each delivers, then all that was answered.
TEST_F(Telnet, ReceivedBytesAcrossReads) {
    using Reads = std::vector<std::pair<std::string, std::string>>;
    const std::string nul(1, '\0'), iac = bytes({255}), sb24 = bytes({255, 250, 24}), se = bytes({255, 240});
    const struct Row {
        bool binary;
        Reads reads;
        std::string answered;
    } rows[] = {
        {false, {{sb24 + bytes({1}) + se + "ok", "ok"}}, kTerminal},  // terminal type asked
        {false, {{"a" + sb24, "a"}, {bytes({1}), ""}, {iac, ""}, {bytes({240}) + "b", "b"}}, kTerminal},
        {false, {{bytes({255, 250, 31, 13, 0, 80}) + se + "c", "c"}}, ""},  // other option: dropped
        {false, {{sb24 + nul + "xterm" + se + "d", "d"}}, ""},              // the peer's own type: no answer
        {false, {{"A" + iac + iac + "B", "A" + iac + "B"}}, ""},
        {false,
         {{"A" + iac, "A"}, {iac, iac}, {"B" + iac, "B"}, {bytes({253, 3}), ""}},
         bytes({255, 252, 3})},
        {false, {{bytes({255, 241, 67}), "C"}}, ""},  // another command is dropped
        {false, {{"x\r" + nul + "y", "x\ry"}, {"p\r\nq", "p\r\nq"}}, ""},
        {false, {{"z\r", "z"}, {nul, "\r"}}, ""},  // a CR at the end waits for the next byte
        {false, {{"z\r", "z"}, {"\n", "\r\n"}}, ""},
        {true, {{"a\r" + nul + "b", "a\r" + nul + "b"}}, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        conn->BinaryOption = r.binary ? 2 : 0;
        sent.clear();
        for (const auto& [raw, delivered] : r.reads) EXPECT_EQ(receive(raw), delivered);
        EXPECT_EQ(sent, r.answered);
    }
}

TEST_F(Telnet, SentBytes) {
    const std::string nul(1, '\0');
    const struct Row {
        bool telnet, binary;
        std::string data, wire;
    } rows[] = {
        {true, false, "A\rB", "A\r" + nul + "B"},
        {true, false, "A\r\nB", "A\r\nB"},
        {true, false, "? 0123\r", "? 0123\r" + nul},  // a trailing CR goes out with its block at once
        {true, false, bytes({65, 255, 66}), bytes({65, 255, 255, 66})},
        {true, true, "A\rB\r", "A\rB\r"},
        {true, true, bytes({255}), bytes({255, 255})},
        {false, false, "\r" + bytes({255}), "\r" + bytes({255})},
    };
    for (const Row& r : rows) {
        conn->Telnet = r.telnet;
        conn->BinaryOption = r.binary ? 2 : 0;
        EXPECT_EQ(transmit(r.data), r.wire) << r.data;
    }
}

TEST_F(Telnet, HeldBackSendsGoOutLaterWhole) {
    table.send = [](ws::TSocket, const void*, int, int) -> int {
        fakefeed::lastErr = ws::WSAEWOULDBLOCK;
        return ws::SOCKET_ERROR;
    };
    EXPECT_EQ(transmit("AB\r"), "");
    EXPECT_EQ(conn->OutRingUsed(), 4);
    EXPECT_EQ(conn->GetOutChars(), 3);
    table.send = fakeSend;
    EXPECT_EQ(conn->GetOutChars(), 3);  // sent by this call: counted until the ring is found empty
    EXPECT_EQ(sent, std::string("AB\r\0", 4));
    EXPECT_EQ(conn->GetOutChars(), 0);
    // Nothing goes out before the connection exists.
    conn->ConnectedSocket = -1;
    EXPECT_EQ(transmit("X\r"), "");
    conn->ConnectedSocket = conn->Socket;
    EXPECT_EQ(transmit(""), std::string("X\r\0", 3));
}

// The output count: the bytes taken since the ring was last found empty, each call first sending
// what the socket takes.
TEST_F(Telnet, OutputCountRestartsOnlyOnceTheRingIsFoundEmpty) {
    const struct Row {
        bool connected, sendWorks;
        std::string queued;
        std::vector<int32_t> counts;  // successive calls
        size_t ringAfter, wire;
    } rows[] = {
        {true, true, "AB\r", {3, 0}, 0, 4},   // sent by the first call, still counted by it
        {true, false, "AB\r", {3, 3}, 4, 0},  // nothing goes: the count stays
        {false, true, "X\r", {2, 2}, 3, 0},   // not connected yet: held, and counted
        {true, true, "", {0}, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        conn->FlushOutBuffer();
        conn->ConnectedSocket = r.connected ? conn->Socket : -1;
        conn->SetState(r.connected ? wcsConnected : wcsNotConnected);
        table.send = [](ws::TSocket, const void*, int, int) -> int {
            fakefeed::lastErr = ws::WSAEWOULDBLOCK;
            return ws::SOCKET_ERROR;
        };
        transmit(r.queued);
        if (r.sendWorks) table.send = fakeSend;
        sent.clear();
        std::vector<int32_t> counts;
        for (size_t i = 0; i < r.counts.size(); ++i) counts.push_back(conn->GetOutChars());
        EXPECT_EQ(counts, r.counts);
        EXPECT_EQ(size_t(conn->OutRingUsed()), r.ringAfter);
        EXPECT_EQ(sent.size(), r.wire);
    }
}

TEST_F(Telnet, FullInputRingDeliversEverythingInOrder) {
    std::string big, got;
    for (int i = 0; i < 10000; ++i) big += static_cast<char>('a' + i % 26);
    got = receive(big, 3000);
    for (int round = 0; round < 10 && got.size() < big.size(); ++round) got += receive("", 3000);
    EXPECT_EQ(got, big);
}

// A block the output ring cannot hold whole is taken in part, and only the part counts as sent.
TEST_F(Telnet, ABlockTheRingCannotHoldIsCountedByWhatItTook) {
    const struct Row {
        std::string data;
        int32_t taken;
    } rows[] = {
        {std::string(8192, '\xFF'), 4096},
        {std::string(5000, '\r'), 4096},
        {std::string(9000, 'A'), 8192},
        {std::string(3000, '\xFF'), 3000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(&r - rows);  // the row
        conn->FlushOutBuffer();
        table.send = [](ws::TSocket, const void*, int, int) -> int {
            fakefeed::lastErr = ws::WSAEWOULDBLOCK;
            return ws::SOCKET_ERROR;
        };
        const auto* data = reinterpret_cast<const uint8_t*>(r.data.data());
        EXPECT_EQ(conn->WriteBuf(data, static_cast<int32_t>(r.data.size())), r.taken);
        EXPECT_EQ(conn->GetOutChars(), r.taken);
    }
    table.send = fakeSend;
}
