#include "app/PlatformOptions.h"

#include <gtest/gtest.h>

#include "app/Container.h"

namespace {

TEST(PlatformOptions, SplitsPairsAndRefusesEmptyOrColonlessTokens) {
    struct Case {
        std::string text;
        bool ok;
        std::map<std::string, std::string> pairs;
    };
    const std::vector<Case> cases = {
        {"a:1;deviceId:3", true, {{"a", "1"}, {"deviceId", "3"}}},
        {"a:1;", true, {{"a", "1"}}},
        {"a:1;a:2", true, {{"a", "1"}}},
        {"k:v:w", true, {{"k", "v:w"}}},
        {"k:", true, {{"k", ""}}},
        {"a:1;;b:2", false, {}},
        {";a:1", false, {}},
        {"novalue", false, {}},
    };
    for (const auto& c : cases) {
        std::map<std::string, std::string> pairs;
        EXPECT_EQ(parsePlatformOptions(c.text, pairs), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(pairs, c.pairs) << c.text;
        }
    }
}

TEST(PlatformOptions, OnlyATwoLetterOnInAnyCaseIsOn) {
    struct Case {
        std::string text;
        bool unsignedPd;
        bool adaptivePd;
    };
    const std::vector<Case> cases = {
        {"", true, false},
        {"unsignedPD:OFF", false, false},
        {"unsignedPD:on", true, false},
        {"unsignedPD:On;useAdaptivePD:ON", true, true},
        {"useAdaptivePD:oN;unsignedPD:off", false, true},
        {"useAdaptivePD:ONE", true, false},
        {"x", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platformOptionIsOn(c.text, "unsignedPD:", true), c.unsignedPd) << c.text;
        EXPECT_EQ(platformOptionIsOn(c.text, "useAdaptivePD:", false), c.adaptivePd) << c.text;
    }
}

std::vector<uint8_t> zipLike(size_t size, uint16_t version) {
    std::vector<uint8_t> b(size, 0);
    b[0] = 0x50, b[1] = 0x4B, b[2] = 0x03, b[3] = 0x04;
    b[4] = static_cast<uint8_t>(version), b[5] = static_cast<uint8_t>(version >> 8);
    const size_t eocd = size - 22;
    b[eocd] = 0x50, b[eocd + 1] = 0x4B, b[eocd + 2] = 0x05, b[eocd + 3] = 0x06;
    return b;
}

TEST(ContainerBytes, NeedsBothSignaturesAndVersion45) {
    EXPECT_TRUE(isContainerBytes(zipLike(28, 45)));
    EXPECT_TRUE(isContainerBytes(zipLike(4096, 45)));
    EXPECT_FALSE(isContainerBytes(zipLike(4096, 20)));
    auto shortOne = zipLike(28, 45);
    shortOne.pop_back();
    EXPECT_FALSE(isContainerBytes(shortOne));
    auto withComment = zipLike(100, 45);
    withComment.push_back('c');
    EXPECT_FALSE(isContainerBytes(withComment));
    EXPECT_FALSE(isContainerBytes({}));
}

}  // namespace
