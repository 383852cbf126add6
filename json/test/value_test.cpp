// Values, number text and conversions.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <cstdio>

#include <random>

#include <cstring>

#include <charconv>

#include <cfloat>
#include <climits>
#include <cstdint>
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
    EXPECT_EQ(JsonItem("", LLONG_MIN).getText(), "-9223372036854775808");
    EXPECT_EQ(JsonItem("", LLONG_MAX).getText(), "9223372036854775807");
    EXPECT_EQ(JsonItem("", ULLONG_MAX).getText(), "18446744073709551615");
    EXPECT_EQ(JsonItem("", std::int64_t{-9007199254740993}).getText(), "-9007199254740993");
    EXPECT_EQ(JsonItem("", std::uint64_t{9007199254740993}).getText(), "9007199254740993");
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
    // Without one the test proves nothing: the C locale has a decimal point.
    ASSERT_NE(found, nullptr) << "no locale with a decimal comma installed (scripts/install-deps generates "
                                 "de_DE.UTF-8)";
    EXPECT_EQ(JsonItem("", 12.5).getText(), "12.5");
    EXPECT_EQ(jsonRead("[1.5]").getChildAt(0).toDouble(), 1.5);
    EXPECT_EQ(jsonRead(R"(["2.75"])").getChildAt(0).toDouble(), 2.75);
    EXPECT_EQ(jsonRead("[1.5e400]").getChildAt(0).toDouble(), HUGE_VAL);
    std::setlocale(LC_NUMERIC, "C");
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

TEST(JsonValue, NumberTextConvertsExactly) {
    // Each text must give the double that correct rounding gives.
    const char *const texts[] = {
        "-65.613616999999977", "43.420273000000009", "0.1", "1e-7", "2.000001", "1e20", "1e300", "1e-300",
        "9007199254740993", "9007199254740992", "18446744073709551615", "1844674407370955161", "9.999999999999999e22",
        "0.30000000000000004", "2.2250738585072014e-308", "4.9e-324", "1.7976931348623157e308", "1.7976931348623159e308",
        "123456789012345678", "0.000000000000000000000000000001", "1000000000000000000000000", "-0", "0e5", "017",
        "5e-1", "1.5e+3", "7.", ".5", "+3", "0x1A", "1e", "1e+", "12abc", "1234567890123456789012345",
        "3.1415926535897932384626433832795", "2.9999999999999996", "8.98846567431158e307",
    };
    for (const char *text : texts) {
        std::string_view t(text);
        std::string_view digits = t.substr(t[0] == '+' ? 1 : 0);
        double expected = 0;
        if (digits.substr(0, 2) == "0x") {
            expected = 26;
        } else {
            auto r = std::from_chars(digits.data(), digits.data() + digits.size(), expected);
            if (r.ec == std::errc::result_out_of_range) {
                expected = std::strtod(text, nullptr);
            }
        }
        double got = jsonParseDouble(t);
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text << " gave " << got;
        // The reader's own conversion, from a padded text followed by more
        // digits, which must not be taken: it converts exactly or declines.
        const std::string padded = std::string(t) + "98765432";
        double strict = 0;
        if (jsonStrictNumber(padded.data(), t.size(), strict)) {
            EXPECT_EQ(std::memcmp(&strict, &expected, sizeof strict), 0) << text << " gave " << strict;
        }
    }
    // Forms outside RFC 8259 are the general routine's to convert.
    for (const char *text : {"017", "7.", ".5", "+3", "0x1A", "1e", "1e+", "12abc", "-", "", "1.e5", "--1", "0.-1"}) {
        const std::string padded = std::string(text) + "12345678";
        double strict = 0;
        EXPECT_FALSE(jsonStrictNumber(padded.data(), std::strlen(text), strict)) << text;
    }

    // Random texts of up to 19 digits with the point anywhere and exponents
    // around the fast ranges, against the standard correctly rounded routine.
    std::mt19937_64 random(20261210);
    char text[80];
    int strictConverted = 0;
    int strictForm = 0;
    for (int i = 0; i < 300000; ++i) {
        const int digits = 1 + static_cast<int>(random() % 19);
        uint64_t w = random();
        std::string s = std::to_string(w).substr(0, static_cast<size_t>(digits));
        const auto point = static_cast<size_t>(random() % (s.size() + 1));
        if (point < s.size()) {
            s.insert(point, ".");
        }
        const int exponent = static_cast<int>(random() % 121) - 60;
        int n = std::snprintf(text, sizeof text, "%s%se%d", random() % 2 ? "-" : "", s.c_str(), exponent);
        double expected = 0;
        std::from_chars(text, text + n, expected);
        double got = jsonParseDouble(std::string_view(text, static_cast<size_t>(n)));
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text;
        std::memcpy(text + n, "12345678", 9); // digits past the end, as in a prepared text
        double strict = 0;
        strictForm += point != 0 ? 1 : 0; // ".5" is not of RFC 8259's form
        if (jsonStrictNumber(text, static_cast<size_t>(n), strict)) {
            ++strictConverted;
            ASSERT_EQ(std::memcmp(&strict, &expected, sizeof strict), 0) << std::string(text, static_cast<size_t>(n));
        }
    }
    // The reader's own conversion declines only the rare values it cannot be
    // certain of.
    EXPECT_GT(strictConverted, strictForm * 99 / 100);
    EXPECT_LE(strictConverted, strictForm);
}

} // namespace
