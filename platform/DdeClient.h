// The conversation with an HPLC data system: a request/reply line protocol over a
// Unix-domain socket whose path is derived from the service name. The client side never
// blocks the GUI thread: opening is an immediate local connect, and every answer comes back
// later through a callback on the GUI thread (or fails on its time-out). The server side is
// what a data-system bridge (and the stand-in tools/hplc-sim) uses.
//
// Protocol, one line each way, LF-terminated (a CR before the LF is dropped):
//   client: "REQUEST <topic> <item>"   topic is one word; item is the rest of the line
//   server: "<text>"                   the item's value; an empty line means "no data"
// Several requests may follow on one connection; they are answered in order. Either side
// ends the conversation by closing the connection.
#pragma once
#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/LocalSocket.h"

class QSocketNotifier;
class QTimer;

namespace dde {
// Longest reply or request line accepted, in bytes (without the LF).
constexpr size_t MaxLine = 64 * 1024;
// Folder of the sockets: $ZENTROVA_DDE_DIR, else $XDG_RUNTIME_DIR, else a folder of this
// user's own, /tmp/zentrova-dde-<uid> (made with mode 0700 by the server side).
std::string socketDir();
// socketDir() + "/zentrova-dde-" + the service name (case folded, bytes outside
// [a-z0-9._-] as %XX) + ".sock". Service names compare without regard to case.
std::string socketPath(const std::string& service);
}  // namespace dde

struct DdeReply {
    enum Outcome {
        Data,      // the server answered with a text
        Empty,     // the server answered with an empty line: no data
        TimedOut,  // no answer within the time-out; the conversation was closed
        Closed,    // the conversation ended (or was not open) before the answer came
        Failed     // the request could not be sent or the reply was malformed
    };
    Outcome outcome = Failed;
    std::string text;   // the answer (Data only)
    std::string error;  // why there is no answer (every other outcome)
    bool hasData() const { return outcome == Data; }
};

class DdeClient : public QObject {
    Q_OBJECT
  public:
    static constexpr int DefaultTimeoutMs = 10000;

    explicit DdeClient(QObject* parent = nullptr);
    ~DdeClient() override;  // a waiting request is dropped without its callback

    // Names the service and topic of the next openLink(); false (lastError()) for a topic
    // that is empty or holds blanks or control characters.
    bool setLink(const std::string& service, const std::string& topic);
    const std::string& service() const { return service_; }
    const std::string& topic() const { return topic_; }

    // Connects to the service's socket; returns at once. An open conversation is closed
    // first. False (lastError()) when nobody serves the name, or when the server is not to be
    // trusted (refused()): its folder can be changed by other users or it runs as another user
    // than this one or root.
    bool openLink();
    // The last openLink() found a server it does not trust.
    bool refused() const { return refused_; }
    // Reads the user of the server's end of a connection (the kernel's peer credentials
    // unless replaced, as tests do).
    std::function<std::optional<uid_t>(int fd)> PeerUid;
    // Ends the conversation from this side; the close event does not fire. A waiting
    // request is answered Closed (later, on the GUI thread).
    void closeLink();
    bool isOpen() const { return fd_ >= 0; }
    // A request waits for its answer.
    bool busy() const { return pending_.has_value(); }

    using ReplyHandler = std::function<void(const DdeReply&)>;
    // Asks for an item of the topic. The answer always arrives through done, on the GUI
    // thread and never inside this call. One request at a time: a second one while busy is
    // answered Failed.
    void request(const std::string& item, ReplyHandler done);

    void setTimeoutMs(int ms) { timeoutMs_ = ms; }
    int timeoutMs() const { return timeoutMs_; }
    // Ends a waiting request whose time-out has passed on the injected clock. An internal
    // timer calls this while a request waits; tests call it after advancing a FakeClock.
    void checkTimeout();

    const std::string& lastError() const { return error_; }

    // The server ended the conversation (not fired for closeLink() or a time-out).
    std::function<void()> OnClose;

  signals:
    void closedByServer();

  private:
    struct Pending {
        ReplyHandler done;
        int64_t deadline = 0;
    };
    void onReadable();
    void onWritable();
    bool flushOut();
    void serverClosed(const std::string& why);
    void dropSocket();
    void finish(DdeReply reply);  // ends the waiting request now
    void deliverLater(ReplyHandler done, DdeReply reply);

    std::string service_, topic_, error_;
    bool refused_ = false;
    int fd_ = -1;
    uint64_t serial_ = 0;  // counts the conversations opened
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer* timeoutTimer_ = nullptr;
    std::string in_, out_;
    std::optional<Pending> pending_;
    int timeoutMs_ = DefaultTimeoutMs;
};

// Serves one service name. Each request line goes to the handler; its answer (nullopt to
// withhold it) is sent back as one line. Line breaks in an answer are sent as blanks.
class DdeServer : public QObject {
    Q_OBJECT
  public:
    using Handler =
        std::function<std::optional<std::string>(const std::string& topic, const std::string& item)>;

    explicit DdeServer(QObject* parent = nullptr);
    ~DdeServer() override;  // stops listening and drops every conversation

    // Binds the service's socket with mode 0600 in a folder only this user can change (a
    // stale socket of this user is replaced; a live server, another user's socket or a file
    // that is not a socket is not touched). False with lastError().
    bool listen(const std::string& service);
    // Stops listening and removes the socket; conversations already open go on.
    void stopListening();
    bool isListening() const { return listener_.fd >= 0; }
    // Closes every open conversation (clients see the server end it).
    void dropConnections();
    size_t connectionCount() const { return conns_.size(); }

    void setHandler(Handler h) { handler_ = std::move(h); }
    const std::string& lastError() const { return error_; }
    const std::string& path() const { return path_; }
    // Number of request lines received (well-formed or not).
    uint64_t requestCount() const { return requests_; }

  private:
    struct Conn;
    void onAccept();
    void onConnReadable(int fd);
    void onConnWritable(int fd);
    void sendLine(Conn& c, const std::string& line);
    void closeConn(int fd);
    std::string answerFor(const std::string& line, bool& withhold);

    localsocket::Listener listener_;
    std::string path_, error_;
    QSocketNotifier* acceptNotifier_ = nullptr;
    std::map<int, std::unique_ptr<Conn>> conns_;
    Handler handler_;
    uint64_t requests_ = 0;
};
