// Receive latency of the network port over loopback: a byte written by the peer must reach
// the port's receive handler within 2 ms at the median (counter median_us). The wait is the
// program's own: an event loop that sleeps until the socket notifier wakes it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "bench/latency_common.h"
#include "bench/qt_bench_main.h"
#include "ports/ZpWinsockPort.h"

namespace {

int listenLoopback(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

void BM_ByteReachesReceiveHandler(benchmark::State& state) {
    uint16_t tcpPort = 0;
    int listener = listenLoopback(tcpPort);
    TZpWinsockPort port;
    QEventLoop loop;
    int received = 0;
    bool connected = false;
    port.OnWsConnect = [&](TZpCustomWinsockPort*) {
        connected = true;
        loop.quit();
    };
    countReceivedBytes(port, loop, received);
    port.SetDeviceLayer(dlWinsock);
    port.SetWsAddress("127.0.0.1");
    port.SetWsPort(std::to_string(tcpPort));
    port.SetOpen(true);
    pollfd p{listener, POLLIN, 0};
    ::poll(&p, 1, 2000);
    int peer = ::accept(listener, nullptr, nullptr);
    int one = 1;
    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    QTimer guard;
    makeGuard(guard, loop);
    if (!connected) {
        guard.start(2000);
        loop.exec();
    }
    if (!connected) {
        state.SkipWithError("no connection");
        if (peer >= 0) ::close(peer);
        ::close(listener);
        return;
    }
    measureReceiveLatency(state, loop, guard, received, [&] { ::send(peer, "x", 1, MSG_NOSIGNAL); });
    port.SetOpen(false);
    ::close(peer);
    ::close(listener);
}
BENCHMARK(BM_ByteReachesReceiveHandler)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return runQtBenchmarks(argc, argv);
}
