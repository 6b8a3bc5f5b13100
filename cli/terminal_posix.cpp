// POSIX terminals: isatty on the stream's descriptor.
#include "terminal.h"

#include <unistd.h>

namespace tarvexctl {

bool isTerminal(Stream stream)
{
    const int fd = stream == Stream::Out ? STDOUT_FILENO : stream == Stream::Err ? STDERR_FILENO : STDIN_FILENO;
    return ::isatty(fd) == 1;
}

std::string systemTextToUtf8(const std::string& text)
{
    return text;
}

bool systemTextIsUtf8()
{
    return true; // Names are UTF-8.
}

} // namespace tarvexctl
