// The USB link's reaction to a prompt: the next queued command must go out in the same 20 ms
// poll in which its ">" was read (counter same_poll = 1). A pseudo-terminal plays the instrument.
//
// With --idle SECONDS [--device DESCRIPTION] the program instead connects the link window over
// USB (ZENTROVA_D2XX_MAP names the device) and idles with its timers running, then prints the
// CPU time it used; bench/idle_usb.sh runs it against the simulator.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "link/FTDI.h"
#include "link/FZentrova.h"
#include "platform/D2xx.h"

namespace {

struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { ::close(master); }
    void drain() {
        char buf[4096];
        while (::read(master, buf, sizeof buf) > 0) {
        }
    }
    int master = -1;
    std::string slave;
};

void BM_PromptReleasesNextCommand(benchmark::State& state) {
    QTemporaryDir dir;
    setenv("APPDATA", dir.path().toUtf8().constData(), 1);
    setenv("ZENTROVA_REGISTRY", (dir.path() + "/registry.db").toUtf8().constData(), 1);
    Pty pty;
    D2xx::setDeviceMap({{"Bench KVZ", pty.slave}});
    int sends = 0;
    TFZentrova::setLogTap([&sends](const std::string& s) {
        if (s.rfind("OFF", 0) == 0) ++sends;
    });
    auto link = std::make_unique<TFZentrova>();
    link->Timer1->stop();
    link->Logging->setChecked(false);
    link->USBDeviceName = "Bench KVZ";
    link->ConnectUSBClick();
    if (!link->IsConnected()) {
        state.SkipWithError("cannot open the pseudo-terminal");
        return;
    }
    link->TimerCommand->stop();
    int64_t samePoll = 0, polls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        link->PendingAcks = 1;
        link->PendingStatus = 0;
        if (link->CommandQueue.Count() == 0) link->CommandQueue.Add("OFF 0;OFF 2;OFF 0;OFF 2");
        pty.drain();
        (void)!::write(pty.master, ">", 1);
        // Wait until the converter holds the prompt, so that one poll sees it.
        uint32_t waiting = 0;
        for (int i = 0; i < 100000 && waiting == 0; ++i) D2xx::getQueueStatus(FTDI.Handle, &waiting);
        const int before = sends;
        state.ResumeTiming();
        link->TimerCommandTimer();
        state.PauseTiming();
        ++polls;
        if (sends == before + 1) ++samePoll;
        state.ResumeTiming();
    }
    state.counters["same_poll"] = polls ? static_cast<double>(samePoll) / static_cast<double>(polls) : 0.0;
    link.reset();
    FTDI.Close();
    TFZentrova::setLogTap(nullptr);
}
BENCHMARK(BM_PromptReleasesNextCommand)->Unit(benchmark::kMicrosecond);

double cpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

int idle(int seconds, const std::string& device) {
    QTemporaryDir dir;
    setenv("APPDATA", dir.path().toUtf8().constData(), 1);
    setenv("ZENTROVA_REGISTRY", (dir.path() + "/registry.db").toUtf8().constData(), 1);
    int commands = 0, lines = 0;
    TFZentrova::setLogTap([&](const std::string& s) {
        if (s.rfind("? ", 0) == 0)
            ++commands;
        else
            ++lines;
    });
    TFZentrova link;
    link.USBDeviceName = device;
    link.ConnectionType = TFZentrova::ctUSB;
    link.ConnectUSBClick();
    if (!link.IsConnected()) {
        std::fprintf(stderr, "cannot open the USB device \"%s\"\n", device.c_str());
        return 1;
    }
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    qApp->exec();
    const double cpu = cpuSeconds() - cpu0;
    const double secs = static_cast<double>(wall.elapsed()) / 1000.0;
    std::printf("idle_usb: %.1f s connected, %.3f s CPU (%.2f %%), %d status queries, %d lines received\n",
                secs, cpu, 100.0 * cpu / secs, commands, lines);
    TFZentrova::setLogTap(nullptr);
    return lines > 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc) {
            std::string device = "Zentrova KVZ";
            for (int j = 1; j + 1 < argc; ++j)
                if (std::strcmp(argv[j], "--device") == 0) device = argv[j + 1];
            return idle(std::atoi(argv[i + 1]), device);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
