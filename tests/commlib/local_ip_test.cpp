// The local address: a dotted IPv4 text within the capacity.
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>

#include "commlib/nevtar.h"

namespace {

TEST(CGetLocalIPString, GivesADottedIPv4Address) {
    char text[16];
    ASSERT_EQ(CGetLocalIPString(text, sizeof text), 0);
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, text, &parsed), 1) << text;
    EXPECT_NE(parsed.s_addr, 0u);
}

TEST(CGetLocalIPString, TooSmallABufferIsAnErrorAndNothingIsWrittenPastIt) {
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(CGetLocalIPString(text, 4), NEVTAR_ERR_ARGUMENT);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[4], '#');
    int32_t number = 0;
    EXPECT_NE(CGetLastErrorString(&number, nullptr, 0), 0);
    EXPECT_EQ(number, EINVAL);
}

} // namespace
