// Puts the library's one process-wide protocol state into a known shape
// before each test, through the exports only.
#pragma once

#include "fake_line.h"
#include "serchan.h"

#include <gtest/gtest.h>

namespace support {

// Role none, options 0, no half-received frame, fake line installed and empty.
inline void resetLibrary()
{
    fake::line().clear();
    SCCallbacks(fake::write, fake::read);
    SCChangeProtocol(SC_OPT_RESET_ROLE | SC_OPT_NO_HANDSHAKE);
    SCSend(0, nullptr, 0); // sending abandons any frame being received
    SCChangeProtocol(SC_OPT_RESET_ROLE);
    fake::line().clear();
}

// Makes `seq` the current sequence number by taking a frame as responder.
// Leaves the role responder, options 0, the line empty.
inline void setSequence(uint8_t seq)
{
    SCChangeProtocol(SC_OPT_RESET_ROLE | SC_OPT_NO_HANDSHAKE);
    fake::line().feed(fake::frame(seq, {0xAA}));
    uint8_t buf[4];
    ASSERT_EQ(SCReceive(0, buf, sizeof buf), 1);
    SCChangeProtocol(0);
    fake::line().clear();
}

// The sequence number the next SCSend uses as responder (= the current one),
// found by sending an empty frame without handshake. Role stays as it was.
inline uint8_t sentSequence()
{
    const int32_t saved = SCAddProtocol(0);
    SCChangeProtocol(saved | SC_OPT_NO_HANDSHAKE);
    fake::line().writes.clear();
    SCSend(0, nullptr, 0);
    SCChangeProtocol(saved);
    const auto frames = fake::line().frames();
    EXPECT_EQ(frames.size(), 1u);
    fake::line().writes.clear();
    return frames.empty() ? 0 : frames.back()[1];
}

class Protocol : public ::testing::Test {
protected:
    void SetUp() override { resetLibrary(); }
    void TearDown() override
    {
        SCChangeProtocol(SC_OPT_RESET_ROLE);
        SCCallbacks(nullptr, nullptr);
    }
};

} // namespace support
