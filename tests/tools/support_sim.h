// Helpers of the simulator tests: send a command as the program does and split the answer.
#pragma once
#include <string>
#include <vector>

#include "tools/instrument-sim/Simulator.h"

namespace simtest {

// Sends the command with its CR and returns what the simulator answers at once.
inline std::string ask(zsim::Simulator& sim, const std::string& command) {
    sim.receive(command + "\r");
    sim.advance(0);
    return sim.takeOutput();
}

// The CR LF ended lines of an answer (the prompt after them is not a line).
inline std::vector<std::string> lines(const std::string& answer) {
    std::vector<std::string> out;
    size_t pos = 0, end;
    while ((end = answer.find("\r\n", pos)) != std::string::npos) {
        out.push_back(answer.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

inline int commas(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == ',';
    return n;
}

// The fields of a status line after "?N,".
inline std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 3;
    while (true) {
        size_t c = line.find(',', pos);
        out.push_back(line.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
        if (c == std::string::npos) break;
        pos = c + 1;
    }
    return out;
}

// The line of the given part in the answer to "? 0123", empty if none.
inline std::string part(zsim::Simulator& sim, int p) {
    for (const std::string& l : lines(ask(sim, "? 0123")))
        if (l.size() > 1 && l[1] == char('0' + p)) return l;
    return std::string();
}

inline long field(zsim::Simulator& sim, int p, size_t index, int base = 10) {
    return std::stol(fields(part(sim, p)).at(index - 1), nullptr, base);
}

}  // namespace simtest
