// Where the LED tool is: beside the program, and nowhere else.
#include "platform/process.h"

namespace tarvex {

std::string kbflashPathIn(const std::string& folder)
{
    if (folder.empty())
        return {};
    // "/" as the folder (a program at the root) must not become "//kbflash".
    const bool endsInSeparator = folder.back() == '/' || folder.back() == '\\';
    return folder + (endsInSeparator ? "" : "/") + kbflashFileName();
}

} // namespace tarvex
