#include <gtest/gtest.h>

#include "dims/dims.hpp"

TEST(Dims, MaxNdimIsEight) { EXPECT_EQ(MAX_NDIM, 8u); }
