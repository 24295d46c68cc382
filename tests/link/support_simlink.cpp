#include "link/support_simlink.h"

#include "link/FZentrova.h"

SimLink::SimLink(zsim::Simulator& sim, FakeClock* clock, TZentrovaAPI& api)
    : sim_(sim), clock_(clock), api_(api), previous_(TZentrovaAPI::Link()) {
    TZentrovaAPI::SetLink(this);
    sim_.linkOpened();
    api_.OnConnectUSB();
}

SimLink::~SimLink() {
    if (TZentrovaAPI::Link() == this) TZentrovaAPI::SetLink(previous_);
}

void SimLink::QueueCommand(const std::string& line) {
    queue_.Add(line);
}

void SimLink::ClearQueue() {
    queue_.Clear();
}

void SimLink::send(const std::string& command) {
    sim_.receive(command + "\r");
    sim_.advance(0);
    takeAnswers();
}

void SimLink::flush() {
    while (const char* c = queue_.Next()) {
        const std::string command(c);
        sent_.push_back({ticks_, command});
        send(command);
    }
}

void SimLink::poll() {
    send(statusQuery_);
}

void SimLink::tick(int64_t ms) {
    flush();
    if (clock_) clock_->advanceMs(ms);
    sim_.advance(ms);
    takeAnswers();
    poll();
    ++ticks_;
}

void SimLink::takeAnswers() {
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

std::vector<std::string> SimLink::sentTexts() const {
    std::vector<std::string> out;
    for (const auto& s : sent_) out.push_back(s.text);
    return out;
}

std::vector<std::string> SimLink::takeSent() {
    std::vector<std::string> out;
    for (; taken_ < sent_.size(); ++taken_) out.push_back(sent_[taken_].text);
    return out;
}
