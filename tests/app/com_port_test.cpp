// Port names as the serial-port map gives them and as list entries carry
// them back: one reading for both.
#include "modComPort.h"
#include <gtest/gtest.h>

TEST(ComPortNumber, DigitsAfterComOnlyAndWithinTheLibrarysRange)
{
    const struct {
        const char* name;
        int32_t port;
    } cases[] = {
        {"COM3", 3},
        {"COM12", 12},
        {"COM255", 255},
        {"COM007", 7},
        {"COM3x", 0},
        {"COM3 ", 0},
        {"COM", 0},
        {"COM0", 0},
        {"COM256", 0},
        {"COM259", 0},
        {"COM-3", 0},
        {"com3", 0},
        {"LPT3", 0},
        {"", 0},
        {"COM99999999999999999999", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tarvex::ComPortNumber(c.name), c.port) << c.name;
}
