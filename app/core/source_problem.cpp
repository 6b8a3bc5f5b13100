#include "core/source_problem.h"

#include <cstdio>

namespace tarvex {

std::string pcscResultName(pcsc::Result result)
{
    switch (result) {
    case pcsc::S_SUCCESS:
        return "SCARD_S_SUCCESS";
    case pcsc::F_INTERNAL_ERROR:
        return "SCARD_F_INTERNAL_ERROR";
    case pcsc::E_INVALID_HANDLE:
        return "SCARD_E_INVALID_HANDLE";
    case pcsc::E_INVALID_PARAMETER:
        return "SCARD_E_INVALID_PARAMETER";
    case pcsc::E_INSUFFICIENT_BUFFER:
        return "SCARD_E_INSUFFICIENT_BUFFER";
    case pcsc::F_COMM_ERROR:
        return "SCARD_F_COMM_ERROR";
    case pcsc::E_NO_SERVICE:
        return "SCARD_E_NO_SERVICE";
    case pcsc::E_SERVICE_STOPPED:
        return "SCARD_E_SERVICE_STOPPED";
    case pcsc::E_NO_READERS_AVAILABLE:
        return "SCARD_E_NO_READERS_AVAILABLE";
    case pcsc::E_NO_ACCESS:
        return "SCARD_E_NO_ACCESS";
    default:
        break;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(result));
    return hex;
}

std::string pcscProblemText(pcsc::Result result, bool serviceStartsWithReaders)
{
    switch (result) {
    case pcsc::S_SUCCESS:
    case pcsc::E_NO_READERS_AVAILABLE:
        return {};
    case pcsc::E_NO_SERVICE:
    case pcsc::E_SERVICE_STOPPED:
        if (serviceStartsWithReaders)
            return {};
        // The bindings say the same when there is no PC/SC library at all.
        return "the smart-card service is not running (" + pcscResultName(result) + ")";
    case pcsc::F_COMM_ERROR:
    case pcsc::E_NO_ACCESS:
        // pcsc-lite's daemon asks polkit and hangs up on a client it
        // refuses: inactive and remote sessions are turned away.
        return "the smart-card service turned this program away (" + pcscResultName(result)
            + "; a session that is not the active local one is refused by polkit)";
    default:
        return "the smart-card service could not be asked for its readers (" + pcscResultName(result) + ")";
    }
}

} // namespace tarvex
