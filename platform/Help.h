// The application's help: its help file and the topics the windows open. The help is an HTML
// file beside the program; a topic is an anchor in it ("#topic-510"). Opening goes through the
// desktop (QDesktopServices); a missing file or a desktop that cannot show it is reported.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

class QWidget;

namespace Help {
// The application's help file. Names keep the form the windows know ("ZENTROVAKVZ.HLP"); the
// file read is the HTML one of the same name ("ZENTROVAKVZ.html"). A bare name is looked for
// beside the program.
void setHelpFile(const std::string& file);
const std::string& helpFile();
// The file that stands for a help file name: ".HLP" becomes ".html", a bare name gets the
// program's folder.
std::string filePath(const std::string& name);
// The help file of a language, "ZENTROVAKVZ_" + language + ".HLP", when it is in the folder;
// else "".
std::string languageFile(const std::string& folder, const std::string& language);
// Opens the help file at a topic number; true when it was opened.
bool context(uint32_t topic);
// A help command (3: the index, the top of the file) with its data.
bool command(uint32_t cmd, uint32_t data = 0);
// A window's help topic (0: the index). F1 anywhere in the program opens the topic of the
// window it is pressed in, or of the nearest window that owns it; a window without one opens
// the index. The windows' Help buttons go through showTopicOf too, so both agree.
void setTopic(QWidget* window, uint32_t topic);
uint32_t topicOf(const QWidget* w);
bool showTopicOf(const QWidget* w);
// Tests: instead of opening anything, the hook receives (command, topic); "context" passes
// command 1. An empty hook restores opening through the desktop.
void setOpenHook(std::function<void(uint32_t cmd, uint32_t data)> hook);
}  // namespace Help
