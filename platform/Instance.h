// The instance string that keeps side-by-side copies of the program apart: "" or "1"-"4".
// Set once at start-up by the main window; read by the settings, stores and log.
#pragma once
#include <string>
#include <vector>

const std::string& Instance();
void setInstance(const std::string& s);
// The instance from the command line: the first argument when it is exactly "1" to "4".
std::string instanceFromArgs(int argc, char** argv);
// The same from the arguments without the program name.
std::string instanceFromArgs(const std::vector<std::string>& args);
