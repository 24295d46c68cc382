// The application's help: its help file and the topics the windows open. Opening goes through
// the desktop (QDesktopServices) and is recorded, so tests see which topic was asked for.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace Help {
// The application's help file; a bare name is looked for beside the program.
void setHelpFile(const std::string& file);
const std::string& helpFile();
// Opens the help file at a topic number; true when a file was there to open.
bool context(uint32_t topic);
// A help command (3: the index) with its data.
bool command(uint32_t cmd, uint32_t data = 0);
// Tests: instead of opening anything, the hook receives (command, topic); "context" passes
// command 1. An empty hook restores opening through the desktop.
void setOpenHook(std::function<void(uint32_t cmd, uint32_t data)> hook);
}  // namespace Help
