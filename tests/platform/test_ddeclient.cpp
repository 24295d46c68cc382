// The data-system link: socket naming, the request line on the wire, answers that arrive later on
// the GUI thread, the time-out on the injected clock, a server that goes away, reconnecting.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/Clock.h"
#include "platform/DdeClient.h"
#include "support/EventWait.h"
#include "support/TempEnv.h"

namespace {

// A hand-made socket at path: listening (or bound and left behind), or connected to it.
int rawSocket(const std::string& path, bool listening, bool connecting = false) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    const auto* a = reinterpret_cast<sockaddr*>(&addr);
    const int rc = connecting ? ::connect(fd, a, sizeof addr) : ::bind(fd, a, sizeof addr);
    if (rc == 0 && (!listening || ::listen(fd, 1) == 0)) return fd;
    ::close(fd);
    return -1;
}

// Reads from fd until at least n bytes came.
std::string readAtLeast(int fd, size_t n) {
    std::string got;
    waitFor([&] {
        char b[4096];
        ssize_t r;
        while ((r = ::recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0) got.append(b, size_t(r));
        return got.size() >= n;
    });
    return got;
}

DdeServer::Handler answering(std::optional<std::string> answer) {
    return [answer](const std::string&, const std::string&) { return answer; };
}

class Dde : public ::testing::Test {
  protected:
    void SetUp() override {
        env.set("ZENTROVA_DDE_DIR", env.dir);
        c.OnClose = [this] { ++closeEvents; };
    }
    void open(const std::string& service) {
        ASSERT_TRUE(c.setLink(service, "CPNOWAIT"));
        ASSERT_TRUE(c.openLink()) << c.lastError();
    }
    void send(const std::string& item = "ACQSTATUS$") {
        got.reset();
        c.request(item, [this](const DdeReply& r) { got = r; });
        EXPECT_FALSE(got.has_value()) << "the answer must never come inside request()";
    }
    // Sends one request and waits for its answer.
    DdeReply ask(const std::string& item = "ACQSTATUS$") {
        send(item);
        EXPECT_TRUE(waitFor([&] { return got.has_value(); }));
        return got.value_or(DdeReply{});
    }

    TempEnv env;
    FakeClockGuard clock;
    DdeClient c;
    std::optional<DdeReply> got;
    int closeEvents = 0;
};

}  // namespace

TEST_F(Dde, SocketPathFollowsTheServiceName) {
    EXPECT_EQ(dde::socketPath("HPLC1"), env.dir + "/zentrova-dde-hplc1.sock");
    EXPECT_EQ(dde::socketPath("../a b"), env.dir + "/zentrova-dde-..%2Fa%20b.sock")
        << "never leaves the folder";
    env.set("ZENTROVA_DDE_DIR", "");
    env.set("XDG_RUNTIME_DIR", "/run/user/7/");
    EXPECT_EQ(dde::socketDir(), "/run/user/7");
    env.unset("XDG_RUNTIME_DIR");
    EXPECT_EQ(dde::socketDir(), "/tmp/zentrova-dde-" + std::to_string(::geteuid())) << "a folder of our own";
}

TEST_F(Dde, WireBytesPiecesStrayLinesAndAnOverlongReply) {
    const int lfd = rawSocket(dde::socketPath("Raw"), true);
    ASSERT_GE(lfd, 0);
    open("RAW");
    const int sfd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(sfd, 0);
    send();
    EXPECT_EQ(readAtLeast(sfd, 28), "REQUEST CPNOWAIT ACQSTATUS$\n");
    // The answer may come in pieces; a CR before the LF is not part of it.
    ASSERT_EQ(::send(sfd, " RU", 3, 0), 3);
    spin(20);
    EXPECT_FALSE(got.has_value());
    ASSERT_EQ(::send(sfd, "N \r\nstray\n", 10, 0), 10);
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(got->outcome, DdeReply::Data);
    EXPECT_EQ(got->text, " RUN ");
    spin(20);  // the stray line that nobody asked for is dropped
    send();
    const std::string endless(dde::MaxLine + 1, 'z');
    size_t sent = 0;
    ASSERT_TRUE(waitFor([&] {
        const ssize_t n =
            ::send(sfd, endless.data() + sent, endless.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        sent += n > 0 ? size_t(n) : 0;
        return got.has_value();
    }));
    EXPECT_EQ(got->outcome, DdeReply::Failed);
    EXPECT_FALSE(c.isOpen());
    ::close(sfd);
    ::close(lfd);
}

TEST_F(Dde, AnswersComeInOrderAndRefusalsAnswerLaterToo) {
    EXPECT_FALSE(c.setLink("x", "TWO WORDS"));
    ASSERT_TRUE(c.setLink("nobody", "CPNOWAIT"));
    EXPECT_FALSE(c.openLink());
    EXPECT_NE(c.lastError().find("nobody"), std::string::npos) << c.lastError();
    EXPECT_EQ(ask().outcome, DdeReply::Closed) << "not open";
    ASSERT_TRUE(c.setLink(std::string(200, 'n'), "CPNOWAIT"));
    EXPECT_FALSE(c.openLink());
    EXPECT_NE(c.lastError().find("too long"), std::string::npos);

    DdeServer server;
    std::optional<std::string> answer = "RUN";
    std::string seen;
    server.setHandler([&](const std::string& t, const std::string& i) {
        seen = t + " " + i;
        return answer;
    });
    ASSERT_TRUE(server.listen("Chem1")) << server.lastError();
    open("chem1");
    EXPECT_EQ(ask().text, "RUN");
    EXPECT_EQ(seen, "CPNOWAIT ACQSTATUS$");
    answer = "NOT\nREADY";  // a line break in an answer cannot split it
    EXPECT_EQ(ask().text, "NOT READY");
    answer = "";
    EXPECT_EQ(ask().outcome, DdeReply::Empty);
    answer.reset();
    send();
    EXPECT_TRUE(c.busy());
    std::optional<DdeReply> second;
    c.request("A\nB", [&](const DdeReply& r) { second = r; });
    ASSERT_TRUE(waitFor([&] { return second.has_value() && server.requestCount() == 4; }));
    EXPECT_EQ(second->outcome, DdeReply::Failed) << "one request at a time, and never a hang";
}

TEST_F(Dde, TimeOutOnTheInjectedClockEndsTheConversation) {
    DdeServer server;
    server.setHandler(answering(std::nullopt));  // withholds
    ASSERT_TRUE(server.listen("Silent"));
    open("Silent");
    send();
    ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1; }));
    clock.fake.advanceMs(DdeClient::DefaultTimeoutMs - 1);
    c.checkTimeout();
    spin(20);
    EXPECT_FALSE(got.has_value());
    clock.fake.advanceMs(1);
    ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << "the internal timer sees the deadline";
    EXPECT_EQ(got->outcome, DdeReply::TimedOut);
    EXPECT_FALSE(c.isOpen()) << "a late answer must not be taken for the next request's";
    EXPECT_EQ(closeEvents, 0) << "the client ended it, not the server";
}

TEST_F(Dde, ServerGoneAndReconnect) {
    DdeServer server;
    server.setHandler(answering(std::nullopt));
    ASSERT_TRUE(server.listen("Gone"));
    open("Gone");
    // The server ends the conversation while a request waits.
    send();
    ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1; }));
    server.dropConnections();
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(got->outcome, DdeReply::Closed);
    EXPECT_EQ(closeEvents, 1);
    EXPECT_FALSE(c.isOpen());
    // Reconnect; the server drops it before the client has noticed and sends.
    server.setHandler(answering("RUN"));
    ASSERT_TRUE(c.openLink());
    ASSERT_TRUE(waitFor([&] { return server.connectionCount() == 1; }));
    server.dropConnections();
    EXPECT_EQ(ask().outcome, DdeReply::Closed);
    EXPECT_EQ(closeEvents, 2);
    ASSERT_TRUE(c.openLink());
    EXPECT_EQ(ask().text, "RUN");
    // closeLink from this side answers a waiting request later and fires no close event.
    server.setHandler(answering(std::nullopt));
    send();
    c.closeLink();
    EXPECT_FALSE(got.has_value());
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(got->outcome, DdeReply::Closed);
    EXPECT_EQ(closeEvents, 2);
}

TEST_F(Dde, ServerGuardsItsSocketAndItsInput) {
    DdeServer a, b, stale;
    ASSERT_TRUE(a.listen("one"));
    EXPECT_FALSE(b.listen("ONE")) << "a live server keeps its name";
    EXPECT_NE(b.lastError().find("already served"), std::string::npos);
    a.stopListening();
    EXPECT_TRUE(b.listen("one")) << "the name is free again: " << b.lastError();
    // A socket left behind by a dead server is replaced.
    ::close(rawSocket(dde::socketPath("stale"), false));
    EXPECT_TRUE(stale.listen("stale")) << stale.lastError();

    // Malformed lines get an empty answer; a flood is answered in order; a line without end is cut off.
    b.setHandler(answering("X"));
    const int fd = rawSocket(dde::socketPath("one"), false, true);
    ASSERT_GE(fd, 0);
    std::string lines = "HELLO\nREQUEST CPNOWAIT\nREQUEST  x\n";
    for (int i = 0; i < 2000; ++i) lines += "REQUEST T I\n";
    ASSERT_EQ(::send(fd, lines.data(), lines.size(), 0), ssize_t(lines.size()));
    const std::string back = readAtLeast(fd, 3 + 2000 * 2);
    EXPECT_EQ(back.substr(0, 7), "\n\n\nX\nX\n");
    EXPECT_EQ(back.size(), 3u + 2000 * 2);
    EXPECT_EQ(b.requestCount(), 2003u);
    const std::string huge(dde::MaxLine + 10, 'a');
    ::send(fd, huge.data(), huge.size(), MSG_NOSIGNAL);
    ASSERT_TRUE(waitFor([&] { return b.connectionCount() == 0; }));
    ::close(fd);
}

TEST_F(Dde, AHandlerThatReopensKeepsTheNewConversation) {
    const int lfd = rawSocket(dde::socketPath("Reopen"), true);
    ASSERT_GE(lfd, 0);
    open("REOPEN");
    const int sfd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(sfd, 0);
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
    ::close(lfd);
}
