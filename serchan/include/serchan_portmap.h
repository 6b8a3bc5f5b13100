/* How port numbers map to serial device nodes on Linux. Shared by serchan's
 * port layer and by the program's serial-port map, so that both agree on
 * which node "COMn" is and on which ports are USB CDC ports.
 *
 *   COM1   - COM64    /dev/ttyACM0 - ttyACM63   USB CDC (driver cdc_acm)
 *   COM65  - COM128   /dev/ttyUSB0 - ttyUSB63   USB serial adapters
 *   COM129 - COM192   /dev/ttyS0   - ttyS63     on-board UARTs
 *
 * ttyACM ports are what the USBSER driver serves on Windows. The folder
 * searched for the nodes is /dev unless the environment variable
 * ZN480_DEV_DIR names another one, where tests and users can place links
 * (for example ZN480_DEV_DIR/ttyACM2 -> /dev/pts/5 makes COM3 a pty).
 *
 * No allocation: serchan promises none. */
#ifndef SERCHAN_PORTMAP_H
#define SERCHAN_PORTMAP_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZN_PORTMAP_ENV "ZN480_DEV_DIR"

/* The folder that holds the device nodes ("/dev" by default). */
const char* zn_port_dev_dir(void);

/* Writes the node path of COM`port` into buf. Returns 0, or -1 when the port
 * number has no node in the map or the path does not fit. */
int zn_port_device_path(int port, char* buf, size_t cap);

/* Kernel name of COM`port` ("ttyACM2" for 3) into buf; 0 or -1 as above. */
int zn_port_kernel_name(int port, char* buf, size_t cap);

/* The port number of a kernel tty name ("ttyACM2" -> 3), 0 when unmapped. */
int zn_port_from_kernel_name(const char* name);

/* 1 when COM`port` is a USB CDC port (an existing ttyACM node), else 0. */
int zn_port_is_usb_cdc(int port);

#ifdef __cplusplus
}
#endif

#endif
