// Bounded composition on the run-time library's formatter: whole or reported cut,
// terminated either way.
#include "platform/compose.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(ComposeTextTest, ReportsEveryCutAndAlwaysTerminates) {
    struct Case {
        const char* value;
        int fits;
        const char* stored;
    } cases[] = {
        {"abcdef", 1, "abcdef"},       // room to spare
        {"abcdefg", 1, "abcdefg"},     // exactly the room before the terminator
        {"abcdefgh", 0, "abcdefg"},    // fills the buffer: the terminator would not fit
        {"abcdefghijk", 0, "abcdefg"}  // longer still
    };
    for (const Case& c : cases) {
        char text[9];
        memset(text, 'x', sizeof text);
        EXPECT_EQ(ComposeText(text, 8, "%s", c.value), c.fits) << c.value;
        EXPECT_STREQ(text, c.stored) << c.value;
        EXPECT_EQ(text[8], 'x') << "wrote past the buffer for " << c.value;
    }
}

TEST(ComposeTextTest, FormatsCharactersAndNumbers) {
    char text[32];
    EXPECT_EQ(ComposeText(text, sizeof text, "%c:\\Kestrow (error %lu)", 'D', 5ul), 1);
    EXPECT_EQ(std::string(text), "D:\\Kestrow (error 5)");
}
