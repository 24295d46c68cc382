// The data-system conversation over its Unix-domain socket, both sides. With the first
// byte even, the input is what a data system answers: the client asks for the status and,
// from inside each answer, for the next one. With it odd, the input is what a client sends
// to a server whose handler answers, withholds or drops the conversation by the item.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/DdeClient.h"

namespace {

int listenFd = -1;

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    return a;
}

// Writes what the socket takes without blocking; the rest is dropped.
void writeSome(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void drain(int fd) {
    char buf[4096];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

template <class Done>
void runUntil(Done done) {
    for (int i = 0; i < 200 && !done(); ++i) QCoreApplication::processEvents();
}

void clientSide(const uint8_t* data, size_t size) {
    DdeClient client;
    if (!client.setLink("fuzz", "CPNOWAIT") || !client.openLink()) fuzz::fail("open: " + client.lastError());
    const int server = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (server < 0) fuzz::fail(std::string("accept: ") + std::strerror(errno));
    int answers = 0;
    bool closed = false;
    client.OnClose = [&] { closed = true; };
    DdeClient::ReplyHandler ask = [&](const DdeReply& reply) {
        if (reply.hasData() && reply.text.empty()) fuzz::fail("data without text");
        if (reply.hasData() && reply.text.find('\n') != std::string::npos)
            fuzz::fail("a reply holds a line break");
        if (++answers < 16 && client.isOpen()) client.request("ACQSTATUS$", ask);
    };
    client.request("ACQSTATUS$", ask);
    writeSome(server, data, size);
    ::shutdown(server, SHUT_WR);
    runUntil([&] {
        drain(server);
        return closed || !client.isOpen();
    });
    ::close(server);
    client.closeLink();
    QCoreApplication::processEvents();
}

void serverSide(const uint8_t* data, size_t size) {
    DdeServer server;
    if (!server.listen("fuzz-server")) fuzz::fail("listen: " + server.lastError());
    server.setHandler(
        [&server](const std::string& topic, const std::string& item) -> std::optional<std::string> {
            if (topic.empty() || item.empty())
                fuzz::fail("a request without topic or item reached the handler");
            if (item[0] == 'W') return std::nullopt;
            if (item[0] == 'D') server.dropConnections();
            return topic + "\n" + item;
        });
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = addressOf(server.path());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        fuzz::fail(std::string("connect: ") + std::strerror(errno));
    writeSome(fd, data, size);
    ::shutdown(fd, SHUT_WR);
    bool accepted = false;
    runUntil([&] {
        drain(fd);
        if (server.connectionCount() > 0) accepted = true;
        return accepted && server.connectionCount() == 0;
    });
    ::close(fd);
    server.dropConnections();
    QCoreApplication::processEvents();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::ensureApp();
    const std::string dir = fuzz::scratchDir() + "/dde";
    ::mkdir(dir.c_str(), 0700);
    setenv("ZENTROVA_DDE_DIR", dir.c_str(), 1);
    const std::string path = dde::socketPath("fuzz");
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = addressOf(path);
    if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd, 4) != 0)
        fuzz::fail("cannot serve at " + path);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1)
        serverSide(data + 1, size - 1);
    else
        clientSide(data + 1, size - 1);
    return 0;
}
