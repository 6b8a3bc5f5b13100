// What the library holds right after it is loaded; a process of its own.
#include "fake_line.h"
#include "serchan.h"

#include <gtest/gtest.h>

TEST(FreshLoad, FirstFrameCarriesSequence81AndOptionsAreZero)
{
    EXPECT_EQ(SCAddProtocol(0), 0);
    SCCallbacks(fake::write, fake::read);
    fake::answerFrames({0x06});
    const uint8_t apdu[] = {0xFF, 0xCA, 0xE0, 0x00, 0x00};
    EXPECT_EQ(SCSend(0, apdu, sizeof apdu), 1);
    ASSERT_EQ(fake::line().frames().size(), 1u);
    EXPECT_EQ(fake::line().frames()[0], (fake::Bytes{0x02, 0x81, 0x05, 0xFF, 0xCA, 0xE0, 0x00, 0x00, 0x53}));
    // Closing with both transports installed closes nothing.
    EXPECT_EQ(SCCloseChannel(0), 1);
    SCCallbacks(nullptr, nullptr);
}
