#include <gtest/gtest.h>

#include "idx/index.h"

TEST(Lifecycle, StatusBeforeAnyRunIsFailed) {
    EXPECT_EQ(status_idx(), 3);
    EXPECT_EQ(cancel_idx(), -1);
}
