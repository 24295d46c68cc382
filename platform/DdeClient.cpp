#include "platform/DdeClient.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/Clock.h"
#include "platform/Dialogs.h"

namespace {

constexpr int CheckIntervalMs = 100;

std::string errnoText(int err) {
    return std::strerror(err);
}

int newSocket() {
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// The callbacks run from the event loop: nothing they throw may get past here.
template <class F>
void guarded(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        showException(e);
    } catch (...) {
        showException(QStringLiteral("Unknown error"));
    }
}

// Sends what it can without blocking; false on a hard error.
bool sendSome(int fd, std::string& out) {
    while (!out.empty()) {
        const ssize_t n = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

// Reads everything available. Returns false when the peer has gone (EOF or error).
bool readAll(int fd, std::string& in) {
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            in.append(buf, static_cast<size_t>(n));
            if (in.size() > 4 * dde::MaxLine) return true;  // the caller judges the length
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
}

// A notifier may be the one whose signal is running: it goes away later.
void retire(QSocketNotifier*& n) {
    if (!n) return;
    n->setEnabled(false);
    n->disconnect();
    n->deleteLater();
    n = nullptr;
}

// Takes the line that starts at pos (without LF, a trailing CR dropped) and moves pos past it.
// Reading by offset keeps a read full of short lines linear in its size.
bool takeLine(const std::string& buf, size_t& pos, std::string& line) {
    const size_t lf = buf.find('\n', pos);
    if (lf == std::string::npos) return false;
    line.assign(buf, pos, lf - pos);
    pos = lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

namespace dde {

std::string socketDir() {
    for (const char* var : {"ZENTROVA_DDE_DIR", "XDG_RUNTIME_DIR"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            std::string dir = v;
            while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
            return dir;
        }
    }
    return "/tmp/zentrova-dde-" + std::to_string(::geteuid());
}

std::string socketPath(const std::string& service) {
    static const char hex[] = "0123456789ABCDEF";
    std::string name;
    for (unsigned char c : service) {
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') {
            name += static_cast<char>(c);
        } else {
            name += '%';
            name += hex[c >> 4];
            name += hex[c & 15];
        }
    }
    return socketDir() + "/zentrova-dde-" + name + ".sock";
}

}  // namespace dde

// ---------------------------------------------------------------------------------------------
// Client

DdeClient::DdeClient(QObject* parent) : QObject(parent), PeerUid(localsocket::peerUid) {
    timeoutTimer_ = new QTimer(this);
    timeoutTimer_->setInterval(CheckIntervalMs);
    connect(timeoutTimer_, &QTimer::timeout, this, [this] { checkTimeout(); });
}

DdeClient::~DdeClient() {
    pending_.reset();
    dropSocket();
}

bool DdeClient::setLink(const std::string& service, const std::string& topic) {
    bool ok = !topic.empty();
    for (unsigned char c : topic)
        if (c <= ' ' || c == 0x7F) ok = false;
    if (!ok) {
        error_ = "invalid topic \"" + topic + "\"";
        return false;
    }
    service_ = service;
    topic_ = topic;
    return true;
}

bool DdeClient::openLink() {
    closeLink();
    error_.clear();
    refused_ = false;
    if (topic_.empty()) {
        error_ = "no topic set";
        return false;
    }
    const std::string path = dde::socketPath(service_);
    const std::string dir = dde::socketDir();
    struct stat st;
    std::string why;
    if (::stat(dir.c_str(), &st) == 0 && !localsocket::privateFolder(dir, why)) {
        // Another user could have put anything there.
        refused_ = true;
        error_ = path + ": " + why;
        return false;
    }
    sockaddr_un addr;
    if (!localsocket::makeAddress(path, addr)) {
        error_ = "socket path too long: " + path;
        return false;
    }
    const int fd = newSocket();
    if (fd < 0) {
        error_ = "socket: " + errnoText(errno);
        return false;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        // A local connect completes at once or not at all; a full backlog counts as a refusal.
        error_ = "cannot reach service \"" + service_ + "\" at " + path + ": " + errnoText(errno);
        ::close(fd);
        return false;
    }
    const std::optional<uid_t> peer = PeerUid ? PeerUid(fd) : std::nullopt;
    if (!peer || !localsocket::trustedUid(*peer)) {
        // Only this user or root may answer for the data system.
        refused_ = true;
        error_ = path + ": the server runs as " +
                 (peer ? "user " + std::to_string(*peer) : std::string("an unknown user")) +
                 ", not as this user or root";
        ::close(fd);
        return false;
    }
    fd_ = fd;
    ++serial_;
    in_.clear();
    out_.clear();
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, [this] { onReadable(); });
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, [this] { onWritable(); });
    return true;
}

void DdeClient::closeLink() {
    if (pending_) {
        ReplyHandler done = std::move(pending_->done);
        pending_.reset();
        timeoutTimer_->stop();
        deliverLater(std::move(done), DdeReply{DdeReply::Closed, {}, "conversation closed"});
    }
    dropSocket();
}

void DdeClient::dropSocket() {
    retire(readNotifier_);
    retire(writeNotifier_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    in_.clear();
    out_.clear();
}

void DdeClient::deliverLater(ReplyHandler done, DdeReply reply) {
    if (!done) return;
    QMetaObject::invokeMethod(
        this, [done = std::move(done), reply = std::move(reply)] { guarded([&] { done(reply); }); },
        Qt::QueuedConnection);
}

void DdeClient::request(const std::string& item, ReplyHandler done) {
    if (pending_) {
        deliverLater(std::move(done), DdeReply{DdeReply::Failed, {}, "another request is waiting"});
        return;
    }
    if (fd_ < 0) {
        deliverLater(std::move(done), DdeReply{DdeReply::Closed, {}, "conversation not open"});
        return;
    }
    for (unsigned char c : item) {
        if (c == '\n' || c == '\r' || c == 0) {
            deliverLater(std::move(done), DdeReply{DdeReply::Failed, {}, "invalid item name"});
            return;
        }
    }
    if (item.empty() || item.size() + topic_.size() + 10 > dde::MaxLine) {
        deliverLater(std::move(done), DdeReply{DdeReply::Failed, {}, "invalid item name"});
        return;
    }
    pending_ = Pending{std::move(done), appClock().monotonicMs() + timeoutMs_};
    timeoutTimer_->start();
    out_ += "REQUEST " + topic_ + " " + item + "\n";
    if (!flushOut()) {
        // The answer must not come inside this call: the failure is reported from the loop.
        const std::string why = "send failed: " + errnoText(errno);
        const uint64_t serial = serial_;
        QMetaObject::invokeMethod(
            this,
            [this, why, serial] {
                if (serial == serial_ && fd_ >= 0) serverClosed(why);
            },
            Qt::QueuedConnection);
    }
}

bool DdeClient::flushOut() {
    if (fd_ < 0) return false;
    if (!sendSome(fd_, out_)) return false;
    if (writeNotifier_) writeNotifier_->setEnabled(!out_.empty());
    return true;
}

void DdeClient::onWritable() {
    if (!flushOut()) serverClosed("send failed: " + errnoText(errno));
}

void DdeClient::onReadable() {
    if (fd_ < 0) return;
    // A reply handler may close the conversation and open a new one; what this read saw
    // belongs to the old one only.
    const uint64_t serial = serial_;
    const bool alive = readAll(fd_, in_);
    std::string batch;
    batch.swap(in_);
    size_t pos = 0;
    std::string line;
    while (takeLine(batch, pos, line)) {
        if (!pending_) continue;  // nobody asked: a stray line is dropped
        if (line.empty())
            finish(DdeReply{DdeReply::Empty, {}, "no data"});
        else
            finish(DdeReply{DdeReply::Data, line, {}});
        if (serial != serial_ || fd_ < 0) return;
    }
    in_.assign(batch, pos, std::string::npos);
    if (in_.size() > dde::MaxLine) {
        // A reply that never ends would grow without bound; the conversation is unusable.
        error_ = "reply longer than " + std::to_string(dde::MaxLine) + " bytes";
        if (pending_) finish(DdeReply{DdeReply::Failed, {}, error_});
        dropSocket();
        return;
    }
    if (!alive && fd_ >= 0) serverClosed("the server closed the conversation");
}

void DdeClient::finish(DdeReply reply) {
    if (!pending_) return;
    ReplyHandler done = std::move(pending_->done);
    pending_.reset();
    timeoutTimer_->stop();
    if (done) guarded([&] { done(reply); });
}

void DdeClient::serverClosed(const std::string& why) {
    error_ = why;
    dropSocket();
    if (pending_) finish(DdeReply{DdeReply::Closed, {}, why});
    if (OnClose) guarded([&] { OnClose(); });
    emit closedByServer();
}

void DdeClient::checkTimeout() {
    if (!pending_) {
        timeoutTimer_->stop();
        return;
    }
    if (appClock().monotonicMs() < pending_->deadline) return;
    // A late answer would be taken for the next request's: the conversation ends here.
    error_ = "no answer within " + std::to_string(timeoutMs_) + " ms";
    const std::string why = error_;
    dropSocket();
    finish(DdeReply{DdeReply::TimedOut, {}, why});
}

// ---------------------------------------------------------------------------------------------
// Server

struct DdeServer::Conn {
    int fd = -1;
    std::string in, out;
    std::unique_ptr<QSocketNotifier> readN, writeN;
};

DdeServer::DdeServer(QObject* parent) : QObject(parent) {}

DdeServer::~DdeServer() {
    dropConnections();
    stopListening();
}

bool DdeServer::listen(const std::string& service) {
    stopListening();
    error_.clear();
    const std::string dir = dde::socketDir();
    ::mkdir(dir.c_str(), 0700);  // an existing folder is fine if it is private
    std::string why;
    if (!localsocket::privateFolder(dir, why)) {
        error_ = "cannot serve in " + dir + ": " + why;
        return false;
    }
    const std::string path = dde::socketPath(service);
    if (!localsocket::listenPrivate(path, 16, true, listener_, error_)) return false;
    path_ = path;
    acceptNotifier_ = new QSocketNotifier(listener_.fd, QSocketNotifier::Read, this);
    connect(acceptNotifier_, &QSocketNotifier::activated, this, [this] { onAccept(); });
    return true;
}

void DdeServer::stopListening() {
    delete acceptNotifier_;
    acceptNotifier_ = nullptr;
    localsocket::closeAndRemove(listener_);
}

void DdeServer::dropConnections() {
    while (!conns_.empty()) closeConn(conns_.begin()->first);
}

void DdeServer::onAccept() {
    for (;;) {
        const int fd = ::accept4(listener_.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->readN = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read, this);
        connect(c->readN.get(), &QSocketNotifier::activated, this, [this, fd] { onConnReadable(fd); });
        c->writeN = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write, this);
        c->writeN->setEnabled(false);
        connect(c->writeN.get(), &QSocketNotifier::activated, this, [this, fd] { onConnWritable(fd); });
        conns_[fd] = std::move(c);
    }
}

std::string DdeServer::answerFor(const std::string& line, bool& withhold) {
    withhold = false;
    // "REQUEST <topic> <item>"; anything else has no data.
    static const std::string verb = "REQUEST ";
    if (line.compare(0, verb.size(), verb) != 0) return {};
    const size_t sp = line.find(' ', verb.size());
    if (sp == std::string::npos || sp == verb.size() || sp + 1 >= line.size()) return {};
    const std::string topic = line.substr(verb.size(), sp - verb.size());
    const std::string item = line.substr(sp + 1);
    if (!handler_) return {};
    std::optional<std::string> a;
    guarded([&] { a = handler_(topic, item); });
    if (!a) {
        withhold = true;
        return {};
    }
    std::string text = *a;
    for (char& ch : text)
        if (ch == '\n' || ch == '\r') ch = ' ';
    if (text.size() > dde::MaxLine) text.resize(dde::MaxLine);
    return text;
}

void DdeServer::onConnReadable(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) return;
    Conn& c = *it->second;
    const bool alive = readAll(fd, c.in);
    std::string line;
    size_t pos = 0;
    while (takeLine(c.in, pos, line)) {
        ++requests_;
        bool withhold = false;
        const std::string answer = answerFor(line, withhold);
        if (conns_.find(fd) == conns_.end()) return;  // the handler dropped the conversation
        if (!withhold) sendLine(c, answer);
        if (conns_.find(fd) == conns_.end()) return;  // the send failed
    }
    c.in.erase(0, pos);
    if (!alive || c.in.size() > dde::MaxLine) closeConn(fd);
}

void DdeServer::sendLine(Conn& c, const std::string& line) {
    c.out += line + "\n";
    if (!sendSome(c.fd, c.out)) {
        closeConn(c.fd);
        return;
    }
    c.writeN->setEnabled(!c.out.empty());
}

void DdeServer::onConnWritable(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) return;
    Conn& c = *it->second;
    if (!sendSome(fd, c.out)) {
        closeConn(fd);
        return;
    }
    c.writeN->setEnabled(!c.out.empty());
}

void DdeServer::closeConn(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) return;
    std::unique_ptr<Conn> c = std::move(it->second);
    conns_.erase(it);
    QSocketNotifier* r = c->readN.release();
    QSocketNotifier* w = c->writeN.release();
    retire(r);
    retire(w);
    ::close(fd);
}
