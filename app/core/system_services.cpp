#include "core/system_services.h"

namespace tarvex {

SystemServices::SystemServices()
    : pcsc_(pcsc::loadSystemPcsc()), serchan_(loadSerchanBesideProgram()), serialMap_(makeSystemSerialPortMap()),
      hid_(makeSystemHidEnumerator()), drives_(makeSystemDrives()), launcher_(makeSystemProcessLauncher())
{
    services_.clock = &systemClock();
    services_.pcsc = pcsc_.get();
    services_.serchan = serchan_.get();
    services_.serialMap = serialMap_.get();
    services_.hid = hid_.get();
    services_.drives = drives_.get();
    services_.launcher = launcher_.get();
    // The LED tool is started from the program's own folder, like the
    // library is loaded from there.
    services_.kbflashPath = kbflashPathIn(programDir());
}

} // namespace tarvex
