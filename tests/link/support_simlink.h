// An in-process link between the instrument API and the simulated instrument, for tests of the
// code that drives the instrument tick by tick (pump channels, procedures, the run machine).
//
// SimLink stands in for the link window: it takes the API's command lines into a command queue,
// hands each command with its CR to the simulator, and feeds the simulator's status lines back
// into the API's parser. No pacing and no threads: a tick sends what is queued, moves the
// simulator (and the fake clock, when given) forward, and polls the status once.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "link/CommandQueue.h"
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
