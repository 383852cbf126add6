// Values, number text and conversions.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <limits>

namespace {

TEST(JsonValue, IntegerText) {
    EXPECT_EQ(JsonItem("", 0).getText(), "0");
    EXPECT_EQ(JsonItem("", -7).getText(), "-7");
    EXPECT_EQ(JsonItem("", 4294967295u).getText(), "4294967295");
    EXPECT_EQ(JsonItem("", INT_MIN).getText(), "-2147483648");
    EXPECT_EQ(JsonItem("", INT_MAX).getText(), "2147483647");
    EXPECT_EQ(JsonItem("", static_cast<unsigned char>(200)).getText(), "200");
    EXPECT_EQ(JsonItem("", static_cast<char>(-56)).getText(), "200"); // a char is taken as unsigned
    EXPECT_EQ(JsonItem("", static_cast<short>(-32768)).getText(), "-32768");
    EXPECT_EQ(JsonItem("", static_cast<unsigned short>(65535)).getText(), "65535");
    EXPECT_EQ(JsonItem("", LONG_MIN).getText(), std::to_string(LONG_MIN));
    EXPECT_EQ(JsonItem("", LONG_MAX).getText(), std::to_string(LONG_MAX));
    EXPECT_EQ(JsonItem("", ULONG_MAX).getText(), std::to_string(ULONG_MAX));
    EXPECT_EQ(JsonItem("", INT_MIN).toInteger(), INT_MIN);
}

TEST(JsonValue, FloatingText) {
    struct {
        double value;
        const char *text;
    } const cases[] = {
        {12.5, "12.5"},
        {0.1, "0.1"},
        {3.0, "3"},
        {-3.0, "-3"},
        {1e-7, "0"},
        {-1e-7, "0"},
        {-0.5, "-0.5"},
        {123456.789, "123456.789"},
        {1e20, "100000000000000000000"},
        {2.000001, "2"},
        {1.999999, "1.999999"},
        {2.9999999, "3"},
        {-2.000001, "-2"},
        {1e10, "10000000000"},
        {4294967295.0, "4294967295"},
        {-2147483648.0, "-2147483648"},
        {-2147483649.0, "-2147483649"},
        {0.000051, "0.000051"},
        {0.0000051, "0"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(JsonItem("", c.value).getText(), c.text) << c.value;
    }
    EXPECT_EQ(JsonItem("", 0.1f).getText(), "0.1");
    // "%f" of the largest doubles: every digit, nothing cut.
    std::string big = JsonItem("", 1e300).getText();
    EXPECT_EQ(big.size(), 301u);
    EXPECT_EQ(big.substr(0, 4), "1000");
    std::string most = JsonItem("", -DBL_MAX).getText();
    EXPECT_EQ(most.size(), 310u);
    EXPECT_DOUBLE_EQ(jsonRead("[" + most + "]").getChildAt(0).toDouble(), -DBL_MAX);
}

TEST(JsonValue, NamedItemsHaveEscapedNames) {
    JsonItem object(JsonItemType::Object);
    object.appendChild(JsonItem("say \"hi\"", std::string("x")));
    EXPECT_EQ(object.toCompactText(), R"({"say \"hi\"":"x"})");
    EXPECT_TRUE(object.getChildAt(0).data()->escapeName);
}

TEST(JsonValue, ToInteger) {
    struct {
        const char *value;
        int integer;
    } const cases[] = {
        {"2.9", 2},        {"-2.9", -2},           {"1e12", INT_MAX},  {"-1e12", INT_MIN},
        {"\"42abc\"", 42}, {"\"abc\"", 0},         {"true", 1},        {"false", 0},
        {"null", 0},       {"1e999", INT_MAX},     {"-1e999", INT_MIN}, {"\"nan\"", 0},
        {"\"-inf\"", INT_MIN}, {"\" 0x10\"", 16},  {"[1]", 0},         {"{}", 0},
        {"\"2147483647.9\"", INT_MAX},
    };
    for (const auto &c : cases) {
        JsonItem root = jsonRead(std::string("[") + c.value + "]");
        EXPECT_EQ(root.getChildAt(0).toInteger(), c.integer) << c.value;
    }
}

TEST(JsonValue, ToUnsignedSaturates) {
    struct {
        double value;
        unsigned int expected;
    } const cases[] = {{-1, 0}, {1e12, UINT_MAX}, {NAN, 0}, {3.9, 3}, {4294967295.0, UINT_MAX}};
    for (const auto &c : cases) {
        EXPECT_EQ(jsonSaturateUnsigned(c.value), c.expected) << c.value;
    }
    EXPECT_EQ(jsonSaturateInt(NAN), 0);
    EXPECT_EQ(jsonSaturateInt(-INFINITY), INT_MIN);
}

TEST(JsonValue, ToBoolean) {
    struct {
        const char *value;
        bool expected;
    } const cases[] = {
        {"0.000001", false}, {"0.00001", true}, {"-0.5", true}, {"0", false},   {"true", true},
        {"false", false},    {"null", false},   {"\"true\"", true}, {"\"yes\"", false}, {"[1]", false},
    };
    for (const auto &c : cases) {
        JsonItem root = jsonRead(std::string("[") + c.value + "]");
        EXPECT_EQ(root.getChildAt(0).toBoolean(), c.expected) << c.value;
    }
}

TEST(JsonValue, ToDouble) {
    EXPECT_EQ(JsonItem().toDouble(), 0);
    EXPECT_EQ(JsonItem(JsonItemType::Array).toDouble(), 0);
    JsonItem root = jsonRead(R"(["1.5e3", "  -2.25", "0x1p4", "inf", true])");
    EXPECT_EQ(root.getChildAt(0).toDouble(), 1500);
    EXPECT_EQ(root.getChildAt(1).toDouble(), -2.25);
    EXPECT_EQ(root.getChildAt(2).toDouble(), 16);
    EXPECT_EQ(root.getChildAt(3).toDouble(), HUGE_VAL);
    EXPECT_EQ(root.getChildAt(4).toDouble(), 1);
}

TEST(JsonValue, NumbersDoNotDependOnTheLocale) {
    const char *const commaLocales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"};
    const char *found = nullptr;
    for (const char *name : commaLocales) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            found = name;
            break;
        }
    }
    // With or without such a locale on this machine, the texts are the same.
    EXPECT_EQ(JsonItem("", 12.5).getText(), "12.5");
    EXPECT_EQ(jsonRead("[1.5]").getChildAt(0).toDouble(), 1.5);
    EXPECT_EQ(jsonRead(R"(["2.75"])").getChildAt(0).toDouble(), 2.75);
    EXPECT_EQ(jsonRead("[1.5e400]").getChildAt(0).toDouble(), HUGE_VAL);
    std::setlocale(LC_NUMERIC, "C");
    if (found == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma installed; checked in the C locale only";
    }
}

TEST(JsonValue, Equality) {
    JsonItem a("v", 1.000001);
    JsonItem b("v", 1.000002);
    EXPECT_TRUE(a.equals(b));
    EXPECT_FALSE(a.equals(JsonItem("w", 1.000001)));
    EXPECT_FALSE(a.equals(JsonItem("v", 1.1)));
    EXPECT_FALSE(jsonRead(R"({"a":1,"b":2})").equals(jsonRead(R"({"b":2,"a":1})")));
    EXPECT_TRUE(jsonRead(R"({"a":[1,{"b":null}]})").equals(jsonRead(R"({ "a" : [ 1.0000001 , { "b" : } ] })")));
    EXPECT_FALSE(jsonRead("[1]").equals(jsonRead("[\"1\"]")));
    EXPECT_TRUE(jsonRead("[1e999]").equals(jsonRead("[2e999]")));
}

} // namespace
