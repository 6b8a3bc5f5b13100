/* A serchan look-alike that exports only the open call, for binding tests. */
#include <stdint.h>

__attribute__((visibility("default"))) int32_t SCOpenChannel(int32_t port, uint32_t baud, int32_t options)
{
    (void)baud;
    (void)options;
    return port * 10;
}
