// Binding of the serchan exports by full path at first call.
#include "platform/serchan_api.h"

#include <gtest/gtest.h>

namespace tarvex {
namespace {

TEST(SerchanApi, MissingLibraryFailsEveryCall)
{
    for (const char* path : {"/nonexistent/libserchan.so", "libserchan.so", ""}) {
        auto api = loadSerchanFrom(path);
        uint8_t buf[4] = {1, 2, 3, 4};
        EXPECT_EQ(api->open(3, 115200, 0), 0) << path;
        EXPECT_EQ(api->close(3), 0) << path;
        EXPECT_EQ(api->send(3, buf, 4), -2) << path;
        EXPECT_EQ(api->receive(3, buf, 4), -2) << path;
    }
}

TEST(SerchanApi, MissingExportFailsOnlyThatCall)
{
    auto api = loadSerchanFrom(SERCHAN_STUB_PATH);
    uint8_t buf[4] = {};
    EXPECT_EQ(api->open(7, 115200, 0), 70);
    EXPECT_EQ(api->send(7, buf, 4), -2);
    EXPECT_EQ(api->receive(7, buf, 4), -2);
    EXPECT_EQ(api->close(7), 0);
}

TEST(SerchanApi, BindsTheLibraryBesideTheProgram)
{
    // The real library sits beside the test program; it refuses a send
    // without data as too long (-18), which an unbound call (-2) never says.
    auto api = loadSerchanBesideProgram();
    EXPECT_EQ(api->send(1, nullptr, 5), -18);
}

} // namespace
} // namespace tarvex
