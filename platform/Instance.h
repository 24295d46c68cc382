// The instance string that keeps side-by-side copies of the program apart: "" or "1"-"4".
// Set once at start-up by the main window; read by the settings, stores and log.
#pragma once
#include <string>

const std::string& Instance();
void setInstance(const std::string& s);
// The instance from the command line: the first argument when it is exactly "1" to "4".
std::string instanceFromArgs(int argc, char** argv);
