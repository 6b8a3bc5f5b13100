// The platform services of this machine, made once and owned together, for
// the programs that run on real readers (the window and tarvexctl). Tests
// wire fakes into a Services value instead.
#pragma once
#include "core/services.h"

#include <memory>

namespace tarvex {

class SystemServices {
public:
    SystemServices();
    SystemServices(const SystemServices&) = delete;
    SystemServices& operator=(const SystemServices&) = delete;

    // Plain pointers into this object: valid as long as it lives.
    const Services& services() const { return services_; }

private:
    std::unique_ptr<pcsc::Api> pcsc_;
    std::unique_ptr<SerchanApi> serchan_;
    std::unique_ptr<SerialPortMap> serialMap_;
    std::unique_ptr<HidEnumerator> hid_;
    std::unique_ptr<Drives> drives_;
    std::unique_ptr<ProcessLauncher> launcher_;
    Services services_;
};

} // namespace tarvex
