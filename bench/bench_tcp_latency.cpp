// Receive latency of the network port over loopback: a byte written by the peer must reach
// the port's receive handler within 2 ms at the median (counter median_us). The wait is the
// program's own: an event loop that sleeps until the socket notifier wakes it.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <vector>

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
    port.SetOnTriggerAvail([&](TZpCustomComPort* cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) cp->GetChar();
        received += count;
        loop.quit();
    });
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
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!connected) {
        guard.start(2000);
        loop.exec();
    }
    if (!connected) {
        state.SkipWithError("no connection");
        return;
    }
    std::vector<double> us;
    for (auto _ : state) {
        const int before = received;
        auto t0 = std::chrono::steady_clock::now();
        ::send(peer, "x", 1, MSG_NOSIGNAL);
        guard.start(1000);
        while (received == before && guard.isActive()) loop.exec();
        guard.stop();
        auto t1 = std::chrono::steady_clock::now();
        double d = std::chrono::duration<double, std::micro>(t1 - t0).count();
        us.push_back(d);
        state.SetIterationTime(d / 1e6);
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        state.counters["median_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
        state.counters["within_2ms"] = us[us.size() / 2] <= 2000.0 ? 1 : 0;
    }
    port.SetOpen(false);
    ::close(peer);
    ::close(listener);
}
BENCHMARK(BM_ByteReachesReceiveHandler)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
