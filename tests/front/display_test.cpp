#include <gtest/gtest.h>

#include "front/display.h"
#include "front/report.h"

TEST(Display, ExcerptsAsReadableUtf8) {
    const struct {
        const char *in;
        bool markup;
        const char *want;
    } cases[] = {
        {"plain ... ", false, "plain ... "},
        {"M\xFCller\tund ... ", false, "M\xC3\xBCller und ... "},            // Latin-1, tab
        {"M\xC3\xBCller ... ", false, "M\xC3\xBCller ... "},                 // UTF-8 kept
        {"\xBC" "ller M\xC3\xBCller \xC3 ... ", false, "ller M\xC3\xBCller  ... "}, // cut characters at both edges
        {"caf\xC3 ... ", false, "caf\xC3\x83 ... "},                          // only ASCII besides: Latin-1
        {"a\xC2\x9B" "b ... ", false, "a b ... "},                             // a C1 control
        {"ss=\"x\">Fish &amp; <b>chips</b> &#228;&#xE4; &bogus; </p ... ", true,
         "Fish & chips \xC3\xA4\xC3\xA4 &bogus; ... "},
        {"a<b>x ... y</b>z ... ", true, "a x ... y z ... "}, // each excerpt on its own
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(display_excerpt(c.in, c.markup), c.want);
    }
}

TEST(Report, TimeLeftOnceAFewPercentAreRead) {
    constexpr uint64_t MB = 1048576;
    EXPECT_EQ(time_left(2 * MB, 100 * MB, 1.0 * MB), "");          // under 3 %: too early to say
    EXPECT_EQ(time_left(10 * MB, 100 * MB, 1.0 * MB), "1:30 left");
    EXPECT_EQ(time_left(10 * MB, 100 * MB, 0.0), "");               // no rate yet
    EXPECT_EQ(time_left(50 * MB, 100 * MB, 10000.0), "1:27:23 left");
    EXPECT_EQ(time_left(100 * MB, 100 * MB, 1.0 * MB), "0:00 left");
    EXPECT_EQ(time_left(0, 0, 1.0), "");
}
