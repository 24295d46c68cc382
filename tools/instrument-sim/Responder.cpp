#include "tools/instrument-sim/Responder.h"

namespace zsim {
namespace {

constexpr size_t kMaxCommand = 255;    // longer commands are answered with "!"
constexpr size_t kMaxLogBytes = 1024;  // a flood without line end is logged cut
constexpr size_t kMaxCommandsKept = 100000;
constexpr size_t kOverlongPad = 5000;

std::string firstWord(std::string_view s) {
    size_t i = s.find_first_not_of(" \t");
    if (i == std::string_view::npos) return std::string();
    if (s[i] == '?') return "?";
    size_t j = s.find_first_of(" \t", i);
    return std::string(s.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i));
}

}  // namespace

Responder::Responder(Instrument& instrument) : instrument_(instrument) {}

void Responder::receive(std::string_view bytes) {
    for (char b : bytes) {
        if (logPending_) {
            if (b == '\0' || b == '\n') {
                logBytes_ += b;
                flushLog();
                continue;
            }
            flushLog();
        }
        if (logBytes_.size() < kMaxLogBytes) logBytes_ += b;
        if (b == '\r' || b == '\n') {
            std::string text;
            text.swap(line_);
            bool overflow = lineOverflow_;
            lineOverflow_ = false;
            if (b == '\r')
                logPending_ = true;
            else
                flushLog();
            if (commands_.size() >= kMaxCommandsKept)
                commands_.erase(commands_.begin(), commands_.begin() + kMaxCommandsKept / 2);
            commands_.push_back(text);
            if (silent) continue;
            if (overflow) {
                if (!withhold.take()) queue("!");
                continue;
            }
            handleCommand(text);
        } else if (b != '\0') {
            if (line_.size() < kMaxCommand)
                line_ += b;
            else
                lineOverflow_ = true;
        }
    }
}

void Responder::handleCommand(const std::string& text) {
    std::string word = firstWord(text);
    bool rejected = rejectAll || (!word.empty() && rejectWords.count(word) > 0);
    CommandResult result;
    if (!rejected) result = instrument_.execute(text);
    if (withhold.take()) return;

    std::string reply;
    if (echo) reply = text + "\r\n";
    std::string lines = result.lines;
    if (!lines.empty() && malformed.take()) lines = malform(lines);
    if (!lines.empty() && overlong.take()) {
        size_t end = lines.find("\r\n");
        lines.insert(end == std::string::npos ? lines.size() : end, std::string(kOverlongPad, '0'));
    }
    reply += lines;
    reply += result.accepted ? '>' : '!';
    queue(std::move(reply));
}

// Keeps only the first two fields of every line, below every comma count the program accepts.
std::string Responder::malform(const std::string& lines) {
    std::string out;
    size_t pos = 0;
    while (pos < lines.size()) {
        size_t end = lines.find("\r\n", pos);
        if (end == std::string::npos) end = lines.size();
        std::string line = lines.substr(pos, end - pos);
        size_t cut = std::string::npos, commas = 0;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == ',' && ++commas == 3) {
                cut = i;
                break;
            }
        }
        out += line.substr(0, cut) + "\r\n";
        pos = end + 2;
    }
    return out;
}

void Responder::queue(std::string bytes) {
    if (delayMs > 0 || !delayed_.empty())
        delayed_.push_back({instrument_.nowMs() + delayMs, std::move(bytes)});
    else
        ready_ += bytes;
}

void Responder::tick() {
    if (logPending_) flushLog();
    size_t i = 0;
    while (i < delayed_.size() && delayed_[i].due <= instrument_.nowMs()) ready_ += delayed_[i++].bytes;
    delayed_.erase(delayed_.begin(), delayed_.begin() + i);
}

std::string Responder::takeOutput() {
    std::string out;
    out.swap(ready_);
    return out;
}

void Responder::reset() {
    if (logPending_) flushLog();
    line_.clear();
    logBytes_.clear();
    lineOverflow_ = false;
    ready_.clear();
    delayed_.clear();
}

void Responder::flushLog() {
    logPending_ = false;
    if (onCommand) onCommand(logBytes_);
    logBytes_.clear();
}

void Responder::sendGarbage(size_t count) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t i = 0; i < count; ++i) ready_ += static_cast<char>(byte(random_));
}

}  // namespace zsim
