// Byte strings written as numbers, for protocol tests: bytes({255, 253, 24}).
#pragma once
#include <initializer_list>
#include <string>

inline std::string bytes(std::initializer_list<int> l) {
    std::string s;
    for (int b : l) s += static_cast<char>(b);
    return s;
}
