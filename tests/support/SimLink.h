// An in-process link between the instrument API and the simulated instrument, for tests of the
// code that drives the instrument tick by tick (pump channels, procedures, the run machine).
//
// SimLink stands in for the link window: it takes the API's command lines into a command queue,
// hands each command with its CR to the simulator, and feeds the simulator's status lines back
// into the API's parser. No pacing and no threads: a tick sends what is queued, moves the
// simulator (and the fake clock, when given) forward, and polls the status once.
// Header-only, so that any test folder that links the link library and the simulator can use it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "link/CommandQueue.h"
#include "link/FZentrova.h"
#include "link/ZentrovaAPI.h"
#include "platform/Clock.h"
#include "tools/instrument-sim/Simulator.h"

class SimLink : public ZentrovaLink {
  public:
    // Registers itself as the API's link and runs the API's connect hook, so the first poll
    // asks for the identity. The previous link is restored on destruction.
    SimLink(zsim::Simulator& sim, FakeClock* clock = nullptr, TZentrovaAPI& api = ZentrovaAPI);
    ~SimLink() override;
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    // ZentrovaLink
    void QueueCommand(const std::string& line) override;
    void ClearQueue() override;
    void SetStatusQuery(const std::string& query) override { statusQuery_ = query; }
    std::string_view LastLine() const override { return lastLine_; }
    void SetOnStatusLine(std::function<void()> handler) override { onStatusLine_ = std::move(handler); }

    // Hands every queued command to the simulator, in order, and takes in its answers.
    void flush();
    // Sends the status query and parses the answer.
    void poll();
    // One tick: flush, move the simulator and the clock by ms, poll.
    void tick(int64_t ms = 1000);

    struct Sent {
        int64_t tick;  // number of tick() calls before the command went out
        std::string text;
    };
    // Commands the program sent, without the status queries.
    const std::vector<Sent>& sent() const { return sent_; }
    std::vector<std::string> sentTexts() const;
    // Sent texts since the last call (and forgets them).
    std::vector<std::string> takeSent();
    void clearSent() { sent_.clear(), taken_ = 0; }
    int64_t ticks() const { return ticks_; }
    const std::string& statusQuery() const { return statusQuery_; }
    // Status lines the parser rejected or that failed the link's line check.
    int badLines() const { return badLines_; }

    zsim::Simulator& sim() { return sim_; }

  private:
    void send(const std::string& command);
    void takeAnswers();

    zsim::Simulator& sim_;
    FakeClock* clock_;
    TZentrovaAPI& api_;
    ZentrovaLink* previous_;
    TCommandQueue queue_;
    std::string statusQuery_ = "? 123";
    std::string lastLine_;
    std::string partial_;
    std::function<void()> onStatusLine_;
    std::vector<Sent> sent_;
    size_t taken_ = 0;
    int64_t ticks_ = 0;
    int badLines_ = 0;
};

inline SimLink::SimLink(zsim::Simulator& sim, FakeClock* clock, TZentrovaAPI& api)
    : sim_(sim), clock_(clock), api_(api), previous_(TZentrovaAPI::Link()) {
    TZentrovaAPI::SetLink(this);
    sim_.linkOpened();
    api_.OnConnectUSB();
}

inline SimLink::~SimLink() {
    if (TZentrovaAPI::Link() == this) TZentrovaAPI::SetLink(previous_);
}

inline void SimLink::QueueCommand(const std::string& line) {
    queue_.Add(line);
}

inline void SimLink::ClearQueue() {
    queue_.Clear();
}

inline void SimLink::send(const std::string& command) {
    sim_.receive(command + "\r");
    sim_.advance(0);
    takeAnswers();
}

inline void SimLink::flush() {
    while (const char* c = queue_.Next()) {
        const std::string command(c);
        sent_.push_back({ticks_, command});
        send(command);
    }
}

inline void SimLink::poll() {
    send(statusQuery_);
}

inline void SimLink::tick(int64_t ms) {
    flush();
    if (clock_) clock_->advanceMs(ms);
    sim_.advance(ms);
    takeAnswers();
    poll();
    ++ticks_;
}

inline void SimLink::takeAnswers() {
    partial_ += sim_.takeOutput();
    size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
        std::string line = partial_.substr(0, nl);
        partial_.erase(0, nl + 1);
        std::erase(line, '\r');
        lastLine_ = line;
        if (!TFZentrova::IsValidStatusLine(line)) {
            ++badLines_;
            continue;
        }
        if (onStatusLine_)
            onStatusLine_();
        else if (!api_.ParseLine(lastLine_))
            ++badLines_;
    }
    // Prompts between replies carry no line; keep only an unfinished line.
    const size_t q = partial_.find('?');
    partial_ = q == std::string::npos ? std::string() : partial_.substr(q);
}

inline std::vector<std::string> SimLink::sentTexts() const {
    std::vector<std::string> out;
    for (const auto& s : sent_) out.push_back(s.text);
    return out;
}

inline std::vector<std::string> SimLink::takeSent() {
    std::vector<std::string> out;
    for (; taken_ < sent_.size(); ++taken_) out.push_back(sent_[taken_].text);
    return out;
}
