#include "graphics/Resources.h"

#include <gtest/gtest.h>

namespace korvalis {
namespace {

TEST(Resources, FoundByNameInAnyCase) {
    for (const char* name : {"TESTDATA", "testdata", "TestData"}) {
        auto data = FindRawResource(name);
        ASSERT_TRUE(data) << name;
        ASSERT_EQ(data->size(), 12u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(data->data()), 8), "Korvalis");
        EXPECT_EQ((*data)[11], 0xFF);
    }
}

TEST(Resources, MissingNamesAreNotFound) {
    EXPECT_FALSE(FindRawResource("TESTDAT"));
    EXPECT_FALSE(FindRawResource("TESTDATA2"));
    EXPECT_FALSE(FindRawResource(""));
    EXPECT_THROW(TResourceStream("nothing"), EResNotFound);
}

TEST(Resources, StreamReadsTheBytes) {
    TResourceStream s("testData");
    uint8_t buf[12];
    s.ReadBuffer(buf, 12);
    EXPECT_EQ(buf[8], 0x00);
    EXPECT_EQ(buf[9], 0x01);
    EXPECT_EQ(s.Remaining(), 0);
}

} // namespace
} // namespace korvalis
