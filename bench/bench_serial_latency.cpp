// Receive latency of the serial port over a pseudo-terminal: a byte written on the far side
// must reach the port's receive handler within 2 ms at the median (counter median_us). The
// I/O thread hands it to the GUI thread, whose event loop sleeps until the message wakes it.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QTemporaryDir>

#include "bench/latency_common.h"
#include "bench/qt_bench_main.h"

namespace {

void BM_SerialByteReachesReceiveHandler(benchmark::State& state) {
    QTemporaryDir dir;
    setenv("ZENTROVA_REGISTRY", (dir.path() + "/reg.db").toUtf8().constData(), 1);
    setenv("XDG_CONFIG_HOME", dir.path().toUtf8().constData(), 1);
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    TZpComPort port;
    QEventLoop loop;
    int received = 0;
    countReceivedBytes(port, loop, received);
    port.SetComDevice(name);
    port.SetOpen(true);
    if (!port.GetOpen()) {
        state.SkipWithError("port did not open");
        ::close(slave);
        ::close(master);
        return;
    }
    QTimer guard;
    makeGuard(guard, loop);
    measureReceiveLatency(state, loop, guard, received,
                          [&] { [[maybe_unused]] ssize_t n = ::write(master, "x", 1); });
    port.SetOpen(false);
    ::close(slave);
    ::close(master);
}
BENCHMARK(BM_SerialByteReachesReceiveHandler)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return runQtBenchmarks(argc, argv);
}
