// Bytes from a TCP peer through the telnet rules of a network connection (negotiation,
// subnegotiation, IAC doubling, CR NUL), read in pieces of the sizes the input chooses; the
// answers and the bytes sent the other way go through the encoder.
#include <QCoreApplication>
#include <algorithm>
#include <deque>
#include <memory>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/Winsock.h"
#include "ports/ZpWsDispatcher.h"
#include "tests/support/FakeSocketFeed.h"

namespace {

using fakefeed::incoming;
size_t sentBytes = 0;

// The peer takes a little at a time, so the output ring fills and drains.
int fakeSend(ws::TSocket, const void*, int len, int) {
    const int n = std::min(len, 7);
    sentBytes += static_cast<size_t>(n);
    return n;
}

ws::WinsockTable table;
std::unique_ptr<TZpDeviceSocket> sock;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ensureApp();
    table = fakefeed::table(fakeSend);
    ws::setWinsockTable(&table);
    sock = std::make_unique<TZpDeviceSocket>();
    return 0;
}

// Input: a header byte (bit 0 telnet off, bit 1 binary on at the start, bits 2-7 the read
// size), then the bytes; every fourth chunk is sent instead of received.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t header = data[0];
    ++data;
    --size;
    TWsConnection* conn = sock->AddConnection(64, 64);
    conn->ConnectedSocket = conn->Socket;
    conn->Telnet = !(header & 1);
    conn->BinaryOption = (header & 2) ? 2 : 0;
    conn->Client = true;
    conn->SetState(wcsConnected);
    incoming.clear();
    sentBytes = 0;

    const size_t chunk = 1 + (header >> 2);
    uint8_t out[256];
    size_t delivered = 0;
    for (size_t pos = 0, k = 0; pos < size; pos += chunk, ++k) {
        const size_t n = std::min(chunk, size - pos);
        if (k % 4 == 3) {
            const int32_t taken = conn->WriteBuf(data + pos, static_cast<int32_t>(n));
            if (taken < 0 || static_cast<size_t>(taken) > n)
                fuzz::fail("WriteBuf took more than it was given");
        } else {
            incoming.insert(incoming.end(), data + pos, data + pos + n);
        }
        const int32_t got = conn->ReadBuf(out, static_cast<int32_t>(std::min(sizeof out, n + 3)));
        if (got < 0 || static_cast<size_t>(got) > std::min(sizeof out, n + 3))
            fuzz::fail("ReadBuf delivered more than asked");
        delivered += static_cast<size_t>(got);
    }
    // Whatever is left is drained.
    for (int i = 0; i < 64; ++i) {
        const int32_t got = conn->ReadBuf(out, sizeof out);
        if (got <= 0) break;
        delivered += static_cast<size_t>(got);
    }
    if (delivered > size) fuzz::fail("more bytes delivered than received");
    (void)conn->GetInChars();
    (void)conn->GetOutChars();
    conn->FlushOutBuffer();
    conn->FlushInBuffer();
    sock->RemoveConnection(conn);
    QCoreApplication::processEvents();  // frees the removed connection
    return 0;
}
