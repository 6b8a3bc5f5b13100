// The query half of the Windows HID enumeration, apart from reaching the
// management service, so that it runs against any IWbemServices: the
// system's (hid_enum_win32.cpp) or a scripted one in the tests.
#pragma once
#include <string>
#include <vector>

struct IWbemServices;

namespace tarvex {

// Runs "Select * From Win32_USBControllerDevice" on `services`, looks up each
// association's Dependent device as a Win32_PnPEntity and keeps, in the
// order returned, the DeviceIDs of reader HID interfaces whose
// ConfigManagerErrorCode is 0. false when a query or the walk of a result
// fails; `ids` is then empty.
bool listReaderIdsFrom(IWbemServices* services, std::vector<std::string>& ids);

} // namespace tarvex
