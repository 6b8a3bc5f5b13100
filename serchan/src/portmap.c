#include "serchan_portmap.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <zn480/test_hooks.h>

struct range {
    const char* prefix;
    int first_port;
};

/* 64 nodes per family, in port order. */
static const struct range families[] = {
    {"ttyACM", 1},
    {"ttyUSB", 65},
    {"ttyS", 129},
};
enum { PER_FAMILY = 64 };

const char* zn_port_dev_dir(void)
{
    const char* dir = zn480_test_hook(ZN_PORTMAP_ENV);
    return dir ? dir : "/dev";
}

int zn_port_kernel_name(int port, char* buf, size_t cap)
{
    for (size_t i = 0; i < sizeof families / sizeof families[0]; ++i) {
        int idx = port - families[i].first_port;
        if (idx >= 0 && idx < PER_FAMILY) {
            int n = snprintf(buf, cap, "%s%d", families[i].prefix, idx);
            return (n > 0 && (size_t)n < cap) ? 0 : -1;
        }
    }
    return -1;
}

int zn_port_device_path(int port, char* buf, size_t cap)
{
    char name[16];
    if (zn_port_kernel_name(port, name, sizeof name) != 0)
        return -1;
    int n = snprintf(buf, cap, "%s/%s", zn_port_dev_dir(), name);
    return (n > 0 && (size_t)n < cap) ? 0 : -1;
}

int zn_port_from_kernel_name(const char* name)
{
    if (!name)
        return 0;
    for (size_t i = 0; i < sizeof families / sizeof families[0]; ++i) {
        size_t plen = strlen(families[i].prefix);
        if (strncmp(name, families[i].prefix, plen) != 0)
            continue;
        const char* digits = name + plen;
        /* Exactly a decimal index without sign or leading zeros ("ttyS01" is
         * not a kernel name), so ttyS and ttySAC etc. are not confused. */
        if (!*digits || (digits[0] == '0' && digits[1]) || strlen(digits) > 2)
            return 0;
        int idx = 0;
        for (const char* p = digits; *p; ++p) {
            if (*p < '0' || *p > '9')
                return 0;
            idx = idx * 10 + (*p - '0');
        }
        return idx < PER_FAMILY ? families[i].first_port + idx : 0;
    }
    return 0;
}

int zn_port_is_usb_cdc(int port)
{
    /* Like a registry entry, the answer needs the port to exist. */
    char path[512];
    struct stat st;
    if (port < 1 || port >= 1 + PER_FAMILY)
        return 0;
    if (zn_port_device_path(port, path, sizeof path) != 0)
        return 0;
    return stat(path, &st) == 0;
}
