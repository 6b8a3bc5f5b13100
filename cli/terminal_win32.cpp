// Windows consoles. A stream is a terminal when its handle is a console
// (GetConsoleMode succeeds): _isatty also says yes for the NUL device, which
// must get no progress text.
#include "terminal.h"

#include <windows.h>

#include <vector>

namespace tarvexctl {

bool isTerminal(Stream stream)
{
    const DWORD which = stream == Stream::Out ? STD_OUTPUT_HANDLE
        : stream == Stream::Err               ? STD_ERROR_HANDLE
                                              : STD_INPUT_HANDLE;
    const HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

std::string systemTextToUtf8(const std::string& text)
{
    if (text.empty())
        return text;
    // Reader names come from the ANSI calls (SCardListReadersA, the registry's
    // A functions): the ANSI code page is their encoding.
    const int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    if (wide <= 0)
        return text;
    std::vector<wchar_t> w(static_cast<size_t>(wide));
    MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), w.data(), wide);
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return text;
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), n, nullptr, nullptr);
    return out;
}

bool systemTextIsUtf8()
{
    return false; // Names are in the ANSI code page.
}

} // namespace tarvexctl
