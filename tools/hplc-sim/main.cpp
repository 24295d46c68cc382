// hplc-sim: a stand-in HPLC data system. It serves a service name over the program's DDE
// stand-in and answers the item "ACQSTATUS$" of the topic "CPNOWAIT" with a status text that
// can be changed while it runs (commands on stdin), or answers with nothing, or not at all.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/DdeClient.h"
#include "platform/IniFile.h"

namespace {

const char* kUsage =
    "usage: hplc-sim [options]\n"
    "  --service NAME    service name to serve (default \"HPLCSIM1\")\n"
    "  --status TEXT     first status text (default \"NOTREADY\")\n"
    "  --mode MODE       answer (default), empty, silent or down (see below)\n"
    "  --write-ini DIR   write DIR/chemstation.ini naming the service for --instance, then serve\n"
    "  --instance N      instance of --write-ini (default 1)\n"
    "Commands on stdin, one a line:\n"
    "  RUN | ERROR | NOTREADY    answer with that word\n"
    "  status TEXT               answer with TEXT (blanks kept)\n"
    "  answer                    answer requests with the status text\n"
    "  empty                     answer with an empty line (no data)\n"
    "  silent                    take requests and never answer\n"
    "  down / up                 stop / resume listening; down also ends open conversations\n"
    "  drop                      end the open conversations\n"
    "  show                      print the state\n"
    "  quit                      end the program\n"
    "The socket is $ZENTROVA_DDE_DIR (else $XDG_RUNTIME_DIR, else /tmp/zentrova-dde-<uid>)\n"
    "/zentrova-dde-<service>.sock, mode 0600, in a folder only this user can change.\n";

int gSignalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
}

void say(const std::string& s) {
    std::fputs((s + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class Sim {
  public:
    std::string service = "HPLCSIM1";
    std::string status = "NOTREADY";
    std::string mode = "answer";
    DdeServer server;

    bool start(bool listenNow) {
        server.setHandler(
            [this](const std::string& topic, const std::string& item) { return answer(topic, item); });
        if (!listenNow) {
            say("down");
            return true;
        }
        if (!server.listen(service)) {
            std::fprintf(stderr, "hplc-sim: %s\n", server.lastError().c_str());
            return false;
        }
        say("ready " + server.path());
        return true;
    }

    std::optional<std::string> answer(const std::string& topic, const std::string& item) {
        if (mode == "silent") {
            say("request " + topic + " " + item + " -> (withheld)");
            return std::nullopt;
        }
        std::string a;
        if (mode == "answer" && topic == "CPNOWAIT" && item == "ACQSTATUS$") a = status;
        say("request " + topic + " " + item + " -> \"" + a + "\"");
        return a;
    }

    // One command line; false to quit.
    bool command(std::string line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line == "quit" || line == "exit") return false;
        if (line == "RUN" || line == "ERROR" || line == "NOTREADY") {
            status = line;
            mode = "answer";
        } else if (line.rfind("status ", 0) == 0) {
            status = line.substr(7);
            mode = "answer";
        } else if (line == "status") {
            status.clear();
            mode = "answer";
        } else if (line == "answer" || line == "empty" || line == "silent") {
            mode = line;
        } else if (line == "down") {
            server.stopListening();
            server.dropConnections();
        } else if (line == "up") {
            if (!server.isListening() && !server.listen(service)) {
                say("error " + server.lastError());
                return true;
            }
        } else if (line == "drop") {
            server.dropConnections();
        } else if (line == "show" || line.empty()) {
        } else if (line == "help") {
            std::fputs(kUsage, stdout);
        } else {
            say("error unknown command \"" + line + "\" (try help)");
            return true;
        }
        say("ok mode=" + mode + " status=\"" + status + "\" listening=" + (server.isListening() ? "1" : "0") +
            " conversations=" + std::to_string(server.connectionCount()));
        return true;
    }
};

bool writeIni(const std::string& dir, const std::string& instance, const std::string& service) {
    IniFile ini(dir + "/chemstation.ini");
    ini.writeString("PCS," + instance, "_DDEOnLine", service);
    if (!ini.updateFile()) {
        std::fprintf(stderr, "hplc-sim: %s\n", ini.lastError().c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Sim sim;
    std::string iniDir, instance = "1";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "hplc-sim: %s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            out = argv[++i];
        };
        if (a == "--service")
            value(sim.service);
        else if (a == "--status")
            value(sim.status);
        else if (a == "--mode")
            value(sim.mode);
        else if (a == "--write-ini")
            value(iniDir);
        else if (a == "--instance")
            value(instance);
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "hplc-sim: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (sim.mode != "answer" && sim.mode != "empty" && sim.mode != "silent" && sim.mode != "down") {
        std::fprintf(stderr, "hplc-sim: unknown mode \"%s\"\n%s", sim.mode.c_str(), kUsage);
        return 2;
    }
    if (sim.service.empty()) {
        std::fprintf(stderr, "hplc-sim: the service name is empty\n");
        return 2;
    }
    if (!iniDir.empty() && !writeIni(iniDir, instance, sim.service)) return 1;
    const bool listenNow = sim.mode != "down";  // "down": not listening until "up"
    if (!listenNow) sim.mode = "answer";
    if (!sim.start(listenNow)) return 1;

    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        std::signal(SIGHUP, onSignal);
    }
    QSocketNotifier sig(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&sig, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });

    // stdin: commands; at its end the program keeps serving (it may run in the background).
    std::string pending;
    QSocketNotifier in(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&in, &QSocketNotifier::activated, &app, [&] {
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            in.setEnabled(false);
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t lf;
        while ((lf = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!sim.command(line)) {
                QCoreApplication::quit();
                return;
            }
        }
    });
    return app.exec();
}
