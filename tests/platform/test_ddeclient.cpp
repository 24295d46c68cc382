// The DDE stand-in: socket naming, the request line on the wire, answers that arrive later on
// the GUI thread, the time-out on the injected clock, a server that goes away, reconnecting.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QTimer>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/DdeClient.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"

namespace {

// A hand-made server's listening socket at path, or -1.
int listenAt(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Dde : public ::testing::Test {
  protected:
    void SetUp() override { env.set("ZENTROVA_DDE_DIR", env.dir); }

    // Sends one request and waits for its answer.
    DdeReply ask(DdeClient& c, const std::string& item = "ACQSTATUS$") {
        std::optional<DdeReply> got;
        c.request(item, [&](const DdeReply& r) { got = r; });
        EXPECT_FALSE(got.has_value()) << "the answer must never come inside request()";
        EXPECT_TRUE(waitFor([&] { return got.has_value(); }));
        return got.value_or(DdeReply{});
    }

    TempEnv env;
    FakeClockGuard clock;
};

}  // namespace

TEST_F(Dde, SocketPathFollowsTheServiceName) {
    EXPECT_EQ(dde::socketPath("HPLC1"), env.dir + "/zentrova-dde-hplc1.sock");
    EXPECT_EQ(dde::socketPath("hplc1"), dde::socketPath("HPLC1")) << "service names ignore case";
    EXPECT_EQ(dde::socketPath("../a b"), env.dir + "/zentrova-dde-..%2Fa%20b.sock")
        << "a name never leaves the socket folder";
    env.set("ZENTROVA_DDE_DIR", "");
    env.set("XDG_RUNTIME_DIR", "/run/user/7/");
    EXPECT_EQ(dde::socketDir(), "/run/user/7");
    env.unset("XDG_RUNTIME_DIR");
    EXPECT_EQ(dde::socketDir(), "/tmp/zentrova-dde-" + std::to_string(::geteuid())) << "a folder of our own";
}

TEST_F(Dde, RequestLineOnTheWireAndCrLfReply) {
    // A hand-made server shows the exact bytes.
    const std::string path = dde::socketPath("Raw");
    const int lfd = listenAt(path);
    ASSERT_GE(lfd, 0) << path;

    DdeClient c;
    ASSERT_TRUE(c.setLink("RAW", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink()) << c.lastError();
    const int sfd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(sfd, 0);
    std::optional<DdeReply> got;
    c.request("ACQSTATUS$", [&](const DdeReply& r) { got = r; });
    std::string wire;
    ASSERT_TRUE(waitFor([&] {
        char b[256];
        const ssize_t n = ::recv(sfd, b, sizeof b, MSG_DONTWAIT);
        if (n > 0) wire.append(b, size_t(n));
        return wire.find('\n') != std::string::npos;
    }));
    EXPECT_EQ(wire, "REQUEST CPNOWAIT ACQSTATUS$\n");
    // The answer may come in pieces; a CR before the LF is not part of it.
    ASSERT_EQ(::send(sfd, " RU", 3, 0), 3);
    spin(20);
    EXPECT_FALSE(got.has_value());
    ASSERT_EQ(::send(sfd, "N \r\nstray\n", 10, 0), 10);
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(got->outcome, DdeReply::Data);
    EXPECT_EQ(got->text, " RUN ");
    spin(20);  // the stray line that nobody asked for is dropped
    ::close(sfd);
    ::close(lfd);
    ::unlink(path.c_str());
}

TEST_F(Dde, AnswersComeInOrderAndEmptyMeansNoData) {
    DdeServer server;
    std::string answer = "RUN";
    std::string seenTopic, seenItem;
    server.setHandler([&](const std::string& t, const std::string& i) -> std::optional<std::string> {
        seenTopic = t;
        seenItem = i;
        return answer;
    });
    ASSERT_TRUE(server.listen("Chem1")) << server.lastError();
    DdeClient c;
    ASSERT_TRUE(c.setLink("chem1", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink()) << c.lastError();
    DdeReply r = ask(c);
    EXPECT_EQ(r.outcome, DdeReply::Data);
    EXPECT_EQ(r.text, "RUN");
    EXPECT_EQ(seenTopic, "CPNOWAIT");
    EXPECT_EQ(seenItem, "ACQSTATUS$");
    answer = "NOT\nREADY";  // a line break in an answer cannot split it
    r = ask(c);
    EXPECT_EQ(r.text, "NOT READY");
    answer = "";
    r = ask(c);
    EXPECT_EQ(r.outcome, DdeReply::Empty);
    EXPECT_FALSE(r.hasData());
    EXPECT_TRUE(c.isOpen()) << "no data does not end the conversation";
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(Dde, RefusedRequestsAnswerLaterToo) {
    DdeClient c;
    EXPECT_FALSE(c.setLink("x", "TWO WORDS"));
    EXPECT_FALSE(c.setLink("x", ""));
    ASSERT_TRUE(c.setLink("nobody", "CPNOWAIT"));
    EXPECT_FALSE(c.openLink());
    EXPECT_NE(c.lastError().find("nobody"), std::string::npos) << c.lastError();
    EXPECT_EQ(ask(c).outcome, DdeReply::Closed) << "not open";

    ASSERT_TRUE(c.setLink(std::string(200, 'n'), "CPNOWAIT"));
    EXPECT_FALSE(c.openLink());
    EXPECT_NE(c.lastError().find("too long"), std::string::npos);

    DdeServer server;
    server.setHandler([](const std::string&, const std::string&) { return std::nullopt; });
    ASSERT_TRUE(server.listen("busy"));
    ASSERT_TRUE(c.setLink("busy", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink());
    c.request("ACQSTATUS$", [](const DdeReply&) {});
    EXPECT_TRUE(c.busy());
    EXPECT_EQ(ask(c).outcome, DdeReply::Failed) << "one request at a time";
    EXPECT_EQ(ask(c, "A\nB").outcome, DdeReply::Failed) << "busy wins, but must not hang";
}

TEST_F(Dde, TimeOutOnTheInjectedClockWithoutBlocking) {
    DdeServer server;
    server.setHandler([](const std::string&, const std::string&) { return std::nullopt; });  // withholds
    ASSERT_TRUE(server.listen("Silent"));
    DdeClient c;
    bool closeEvent = false;
    c.OnClose = [&] { closeEvent = true; };
    ASSERT_TRUE(c.setLink("Silent", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink());
    std::optional<DdeReply> got;
    c.request("ACQSTATUS$", [&](const DdeReply& r) { got = r; });

    // The GUI thread goes on while the answer is withheld.
    int ticks = 0;
    QTimer gui;
    gui.setInterval(5);
    QObject::connect(&gui, &QTimer::timeout, [&] { ++ticks; });
    gui.start();
    ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1 && ticks >= 10; }));
    EXPECT_FALSE(got.has_value());
    EXPECT_TRUE(c.busy());

    clock.fake.advanceMs(DdeClient::DefaultTimeoutMs - 1);
    c.checkTimeout();
    EXPECT_FALSE(got.has_value());
    clock.fake.advanceMs(1);
    ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << "the internal timer sees the deadline";
    EXPECT_EQ(got->outcome, DdeReply::TimedOut);
    EXPECT_FALSE(c.isOpen()) << "a late answer must not be taken for the next request's";
    EXPECT_FALSE(closeEvent) << "the client ended it, not the server";
    EXPECT_FALSE(c.busy());
}

TEST_F(Dde, ServerGoneAndReconnect) {
    auto server = std::make_unique<DdeServer>();
    bool withhold = false;
    server->setHandler([&](const std::string&, const std::string&) -> std::optional<std::string> {
        if (withhold) return std::nullopt;
        return std::string("ERROR");
    });
    ASSERT_TRUE(server->listen("Gone"));
    DdeClient c;
    int closeEvents = 0;
    c.OnClose = [&] { ++closeEvents; };
    ASSERT_TRUE(c.setLink("Gone", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink());
    EXPECT_EQ(ask(c).text, "ERROR");

    // The server ends the conversation while a request waits.
    withhold = true;
    std::optional<DdeReply> got;
    c.request("ACQSTATUS$", [&](const DdeReply& r) { got = r; });
    ASSERT_TRUE(waitFor([&] { return server->requestCount() == 2; }));
    server->dropConnections();
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(got->outcome, DdeReply::Closed);
    EXPECT_EQ(closeEvents, 1);
    EXPECT_FALSE(c.isOpen());

    // Reconnect to the same server.
    withhold = false;
    ASSERT_TRUE(c.openLink());
    EXPECT_EQ(ask(c).text, "ERROR");

    // The server process goes away altogether, then a new one takes the name.
    server.reset();
    ASSERT_TRUE(waitFor([&] { return closeEvents == 2; }));
    EXPECT_FALSE(c.openLink());
    server = std::make_unique<DdeServer>();
    server->setHandler([](const std::string&, const std::string&) { return std::string("RUN"); });
    ASSERT_TRUE(server->listen("GONE")) << server->lastError();
    ASSERT_TRUE(c.openLink());
    EXPECT_EQ(ask(c).text, "RUN");

    // closeLink from this side answers a waiting request and fires no close event.
    server->setHandler([](const std::string&, const std::string&) { return std::nullopt; });
    got.reset();
    c.request("ACQSTATUS$", [&](const DdeReply& r) { got = r; });
    c.closeLink();
    EXPECT_FALSE(got.has_value());
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(got->outcome, DdeReply::Closed);
    EXPECT_EQ(closeEvents, 2);
}

TEST_F(Dde, ServerGuardsItsSocketAndItsInput) {
    DdeServer a, b;
    ASSERT_TRUE(a.listen("one"));
    EXPECT_FALSE(b.listen("ONE")) << "a live server keeps its name";
    EXPECT_NE(b.lastError().find("already served"), std::string::npos);
    a.stopListening();
    EXPECT_TRUE(b.listen("one")) << "the name is free again: " << b.lastError();

    // A socket left behind by a dead server is replaced; a plain file is not touched.
    const std::string stale = dde::socketPath("stale");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, stale.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    DdeServer c;
    EXPECT_TRUE(c.listen("stale")) << c.lastError();
    std::ofstream(dde::socketPath("plain")) << "keep me";
    DdeServer d;
    EXPECT_FALSE(d.listen("plain"));
    EXPECT_TRUE(std::ifstream(dde::socketPath("plain")).good());

    // Malformed lines get an empty answer; a line without end is cut off.
    b.setHandler([](const std::string&, const std::string&) { return std::string("X"); });
    const int cfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    std::strcpy(addr.sun_path, dde::socketPath("one").c_str());
    ASSERT_EQ(::connect(cfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string lines = "HELLO\nREQUEST CPNOWAIT\nREQUEST  x\nREQUEST T I\n";
    ASSERT_EQ(::send(cfd, lines.data(), lines.size(), 0), ssize_t(lines.size()));
    std::string back;
    ASSERT_TRUE(waitFor([&] {
        char buf[64];
        const ssize_t n = ::recv(cfd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) back.append(buf, size_t(n));
        return back.size() >= 5;
    }));
    EXPECT_EQ(back, "\n\n\nX\n");
    const std::string huge(dde::MaxLine + 10, 'a');
    ::send(cfd, huge.data(), huge.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(waitFor([&] { return b.connectionCount() == 0; }));
    ::close(cfd);
}

TEST_F(Dde, OverlongReplyEndsTheConversation) {
    const std::string path = dde::socketPath("long");
    const int lfd = listenAt(path);
    ASSERT_GE(lfd, 0) << path;
    DdeClient c;
    ASSERT_TRUE(c.setLink("long", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink());
    const int sfd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(sfd, 0);
    std::optional<DdeReply> got;
    c.request("ACQSTATUS$", [&](const DdeReply& r) { got = r; });
    const std::string endless(dde::MaxLine + 1, 'z');
    size_t sent = 0;
    ASSERT_TRUE(waitFor([&] {
        if (sent < endless.size()) {
            const ssize_t n =
                ::send(sfd, endless.data() + sent, endless.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) sent += size_t(n);
        }
        return got.has_value();
    }));
    EXPECT_EQ(got->outcome, DdeReply::Failed);
    EXPECT_FALSE(c.isOpen());
    ::close(sfd);
    ::close(lfd);
}

TEST_F(Dde, SendToAVanishedServerAnswersLater) {
    DdeServer server;
    server.setHandler([](const std::string&, const std::string&) { return std::string("RUN"); });
    ASSERT_TRUE(server.listen("brief"));
    DdeClient c;
    int closeEvents = 0;
    c.OnClose = [&] { ++closeEvents; };
    ASSERT_TRUE(c.setLink("brief", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink());
    ASSERT_TRUE(waitFor([&] { return server.connectionCount() == 1; }));
    server.dropConnections();  // the client has not noticed yet when it sends
    const DdeReply r = ask(c);
    EXPECT_EQ(r.outcome, DdeReply::Closed);
    EXPECT_EQ(closeEvents, 1);
    EXPECT_FALSE(c.isOpen());
}

TEST_F(Dde, AHandlerThatReopensKeepsTheNewConversation) {
    const std::string path = dde::socketPath("Reopen");
    const int lfd = listenAt(path);
    ASSERT_GE(lfd, 0) << path;
    DdeClient c;
    int closeEvents = 0;
    c.OnClose = [&] { ++closeEvents; };
    ASSERT_TRUE(c.setLink("REOPEN", "CPNOWAIT"));
    ASSERT_TRUE(c.openLink()) << c.lastError();
    const int sfd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(sfd, 0);
    std::optional<DdeReply> got;
    bool reopened = false;
    c.request("ACQSTATUS$", [&](const DdeReply& r) {
        got = r;
        c.closeLink();
        reopened = c.openLink();
    });
    // The answer, a stray line and the end of the old conversation arrive in one read.
    ASSERT_EQ(::send(sfd, "RUN\nlate\n", 9, 0), 9);
    ::close(sfd);
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    spin(50);
    EXPECT_EQ(got->text, "RUN");
    EXPECT_TRUE(reopened);
    EXPECT_TRUE(c.isOpen()) << "the old socket's end must not close the new conversation";
    EXPECT_EQ(closeEvents, 0);
    const int sfd2 = ::accept(lfd, nullptr, nullptr);
    if (sfd2 >= 0) ::close(sfd2);
    ::close(lfd);
    ::unlink(path.c_str());
}

TEST_F(Dde, AFloodOfShortLinesIsReadInOnePass) {
    auto server = std::make_unique<DdeServer>();
    int asked = 0;
    server->setHandler([&](const std::string&, const std::string&) -> std::optional<std::string> {
        ++asked;
        return std::string("NOTREADY");
    });
    ASSERT_TRUE(server->listen("Flood"));
    // Many requests in one write reach the server as one read; each gets its answer in order.
    const std::string path = dde::socketPath("Flood");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += "REQUEST CPNOWAIT ACQSTATUS$\n";
    ASSERT_EQ(::send(fd, burst.data(), burst.size(), 0), ssize_t(burst.size()));
    std::string answers;
    ASSERT_TRUE(waitFor([&] {
        char b[4096];
        ssize_t n;
        while ((n = ::recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0) answers.append(b, size_t(n));
        return answers.size() >= 2000 * std::string("NOTREADY\n").size();
    }));
    EXPECT_EQ(asked, 2000);
    EXPECT_EQ(answers.substr(0, 18), "NOTREADY\nNOTREADY\n");
    ::close(fd);
}
