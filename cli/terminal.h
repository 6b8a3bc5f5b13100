// The little the command-line tool needs to know about its console: whether
// a standard stream is a terminal (progress is shown only there), and how the
// system's own 8-bit texts (reader and port names) read as UTF-8 for JSON.
// One file per OS: terminal_posix.cpp, terminal_win32.cpp.
#pragma once
#include <string>

namespace tarvexctl {

enum class Stream { Out, Err, In };

// True when the stream is an interactive terminal (a console window on
// Windows, a tty elsewhere); false for files, pipes and /dev/null.
bool isTerminal(Stream stream);

// The system's 8-bit text as UTF-8: unchanged on Linux, where names are
// UTF-8 already; from the ANSI code page on Windows. Bytes that are no text
// are passed on as they are (the JSON writer replaces what is not UTF-8).
std::string systemTextToUtf8(const std::string& text);
// Whether the system's 8-bit texts are UTF-8 (Linux) or a code page (Windows).
bool systemTextIsUtf8();

} // namespace tarvexctl
