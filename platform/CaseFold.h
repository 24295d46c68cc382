// Case folding shared by the settings store and the profile files, so that both treat
// "Methods", "methods" and "METHODS" as one name, for any script.
#pragma once
#include <string>

// Folded form of a UTF-8 name: ASCII letters lowered directly, other text through
// Unicode case folding.
std::string caseFold(const std::string& s);
bool sameTextCI(const std::string& a, const std::string& b);
