// One reproduction per mended fault.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

using jsontest::rec;

namespace {

TEST(JsonRegression, IterationAfterAPartialFailureSeesNoChildren) {
    // Two elements split before the member that makes the array null.
    JsonItem root = jsonRead(R"([1,2,"a":3,4])");
    size_t seen = 0;
    for (JsonItem &child : root) {
        (void)child;
        ++seen;
    }
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(root.getType(), JsonItemType::Null);
    EXPECT_EQ(root.getSize(), 0u);
    EXPECT_THROW(root.requireChildAt(0), std::out_of_range);
    // The same with an object whose later member has no colon.
    JsonItem object = jsonRead(R"({"a":1,"b":2,"c"})");
    const JsonItem &constObject = object;
    EXPECT_EQ(constObject.begin(), constObject.end());
    EXPECT_EQ(object.findChild("a"), object.end());
}

TEST(JsonRegression, KeysShorterThanTheirQuotesGiveEmptyNames) {
    for (const char *text : {"{:1}", "{a:1}", "{\"\":1}"}) {
        JsonItem root = jsonRead(text);
        ASSERT_EQ(root.getSize(), 1u) << text;
        EXPECT_EQ(root.getChildAt(0).getName(), "") << text;
        EXPECT_EQ(root.toCompactText(), "{\"\":1}");
    }
}

TEST(JsonRegression, CommentsHoldingSeparatorsDoNotBreakTheSplit) {
    JsonItem root = jsonRead("{\n // port, see #4: \"x\"\n \"port\": 8160,\n /* a, b: c */ \"host\": \"h\"\n}");
    ASSERT_EQ(root.getSize(), 2u);
    EXPECT_EQ(root.getChild("port").toInteger(), 8160);
    EXPECT_EQ(root.getChild("port").getComment(), " port, see #4: \"x\"");
    EXPECT_EQ(root.getChild("host").getText(), "h");
    JsonItem rooted = jsonRead("// see #3\n[1]");
    EXPECT_EQ(rooted.getComment(), " see #3");
    EXPECT_EQ(rooted.getSize(), 1u);
}

TEST(JsonRegression, CompactOutputCarriesNoComments) {
    JsonItem root = jsonRead("# a\n{ # b\n\"x\": [1, /* c */ 2]}");
    EXPECT_EQ(root.toCompactText(), R"({"x":[1,2]})");
    root.getChild("x");
    EXPECT_EQ(root.toCompactText(), R"({"x":[1,2]})");
    EXPECT_EQ(jsonRead(root.toCompactText()).toCompactText(), R"({"x":[1,2]})");
}

TEST(JsonRegression, NullFromAnEmptyValueIsWritten) {
    JsonItem root = jsonRead("[1,2,]");
    jsontest::decodeAll(root);
    EXPECT_EQ(root.toCompactText(), "[1,2,null]");
    EXPECT_NE(root.toIndentedText().find("null"), std::string::npos);
}

TEST(JsonRegression, NonFiniteNumbersAndLongFixedTexts) {
    EXPECT_EQ(JsonItem("", std::nan("")).getText(), "null");
    EXPECT_EQ(JsonItem("", -HUGE_VAL).getText(), "null");
    std::string text = JsonItem("", 1e300).getText();
    EXPECT_EQ(text.size(), 301u); // "%f" in 63 bytes would have been cut
    EXPECT_DOUBLE_EQ(jsonRead("[" + text + "]").getChildAt(0).toDouble(), 1e300);
}

TEST(JsonRegression, AssigningAChildToItsParentHandle) {
    JsonItem item = jsonRead(R"({"x":{"y":[1,2]}})");
    item = item.getChild("x");
    EXPECT_EQ(item.toCompactText(), R"({"y":[1,2]})");
    item = item.requireChild("y");
    EXPECT_EQ(item.toCompactText(), "[1,2]");
    item = item;
    EXPECT_EQ(item.getSize(), 2u);
}

TEST(JsonRegression, HighCodePointsDecodeToUtf8) {
    JsonItem root = jsonRead(R"(["\u0100","\u20ac","\ud83d\ude00","\u00e9"])");
    EXPECT_EQ(root.getChildAt(0).getText(), "\xC4\x80");
    EXPECT_EQ(root.getChildAt(1).getText(), "\xE2\x82\xAC");
    EXPECT_EQ(root.getChildAt(2).getText(), "\xF0\x9F\x98\x80");
    EXPECT_EQ(root.getChildAt(3).getText(), "\xC3\xA9");
}

TEST(JsonRegression, ByteEscapesAreBytesOnlyWhereTheyFormUtf8) {
    // A standard writer's "K\u00fcche" once reached BACnet and Modbus as the
    // byte 0xFC alone, which is not UTF-8.
    struct {
        const char *raw;
        std::string text;
    } const cases[] = {
        {R"("K\u00fcche")", "K\xC3\xBC" "che"},
        {R"("Caf\u00C3\u00A9")", "Caf\xC3\xA9"},                         // as files written before hold it
        {R"("\u00e2\u0082\u00ac")", "\xE2\x82\xAC"},                      // three-byte sequence
        {R"("\u00f0\u009f\u0098\u0080")", "\xF0\x9F\x98\x80"},            // four-byte sequence
        {R"("\u00C3\u00A9\u00e9")", "\xC3\xA9\xC3\xA9"},                  // a sequence, then a code point
        {R"("\u00C3x")", "\xC3\x83x"},                                     // a cut sequence
        {R"("\u00C3\u0041")", "\xC3\x83" "A"},                            // not a continuation
        {R"("\u00A9\u00A9")", "\xC2\xA9\xC2\xA9"},                         // continuation bytes alone
        {R"("\u00C0\u0080")", "\xC3\x80\xC2\x80"},                         // overlong
        {R"("\u00ED\u00A0\u0080")", "\xC3\xAD\xC2\xA0\xC2\x80"},          // a surrogate
        {R"("\u00F4\u0090\u0080\u0080")", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"}, // above U+10FFFF
        {R"("\u00e2\u0082")", "\xC3\xA2\xC2\x82"},                         // cut at the end
    };
    for (const auto &c : cases) {
        JsonItem root = jsonRead(std::string("{") + c.raw + ":" + c.raw + "}");
        ASSERT_EQ(root.getSize(), 1u) << c.raw;
        EXPECT_EQ(root.getChildAt(0).getText(), c.text) << c.raw;
        EXPECT_EQ(root.getChildAt(0).getName(), c.text) << c.raw;
    }
}

TEST(JsonRegression, Utf8IsWrittenAsItIs) {
    JsonItem body(JsonItemType::Object);
    JsonItem site(JsonItemType::Object);
    site.setName("siteinfo");
    site.appendChild(JsonItem("name", "Zürich Süd – Halle 3"));
    body.appendChild(site);
    EXPECT_EQ(body.toCompactText(), "{\"siteinfo\":{\"name\":\"Zürich Süd – Halle 3\"}}");
}

TEST(JsonRegression, EscapedQuotesInOneTextDoNotChangeAnother) {
    // A raw control byte 0x01 inside a string of a text without escaped quotes.
    JsonItem plain = jsonRead("[\"a\x01" "b\"]");
    JsonItem marked = jsonRead(R"(["q\"q"])");
    EXPECT_EQ(plain.toCompactText(), "[\"a\x01" "b\"]");
    EXPECT_EQ(marked.toCompactText(), R"(["q\"q"])");
    // A text with both.
    JsonItem both = jsonRead("[\"a\x01" "b\",\"q\\\"q\"]");
    EXPECT_EQ(both.toCompactText(), "[\"a\x01" "b\",\"q\\\"q\"]");
    EXPECT_EQ(both.getChildAt(0).getText(), "a\x01" "b");

    // Readers and writers on several threads, each with its own documents.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 500; ++i) {
                std::string text = t % 2 ? "[\"x\\\"y\",1]" : "[\"x\x01y\",1]";
                if (jsonRead(text).toCompactText() != text) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(JsonRegression, DeepNestingDoesNotOverflowTheStack) {
    std::string text(100000, '[');
    text += std::string(100000, ']');
    JsonItem root = jsonRead(text);
    EXPECT_EQ(jsontest::decodeAll(root), 100000u);
    EXPECT_EQ(root.toCompactText(), text);
    EXPECT_TRUE(root.deepCopy().equals(root));
    root = JsonItem(); // destroyed here, without recursion

    // The indented text has one tab per level on every line: 10,000 levels
    // give some 10^8 tabs, deep enough for a recursive writer to fail.
    std::string deep = std::string(10000, '[') + std::string(10000, ']');
    JsonItem shallower = jsonRead(deep);
    std::string indented = shallower.toIndentedText();
    // Brackets, two newlines per level, and the tabs of the opening and the closing lines.
    EXPECT_EQ(indented.size(), 20000u + 2u * 9999u + 9999u * 10000u / 2u + 9998u * 9999u / 2u);
}

TEST(JsonRegression, ConversionsSaturate) {
    JsonItem root = jsonRead(R"([1e300,-1e300,"nan",1e999,"-1e999"])");
    EXPECT_EQ(root.getChildAt(0).toInteger(), std::numeric_limits<int>::max());
    EXPECT_EQ(root.getChildAt(1).toInteger(), std::numeric_limits<int>::min());
    EXPECT_EQ(root.getChildAt(2).toInteger(), 0);
    EXPECT_EQ(root.getChildAt(3).toInteger(), std::numeric_limits<int>::max());
    EXPECT_EQ(root.getChildAt(4).toInteger(), std::numeric_limits<int>::min());
    EXPECT_EQ(jsonToUnsigned(rec(root.getChildAt(1))), 0u);
}

TEST(JsonRegression, Base64EncodedLengthIsPadded) {
    for (size_t n = 0; n < 20; ++n) {
        EXPECT_EQ(base64EncodedLength(n), base64Encode(std::string(n, 'x')).size()) << n;
    }
}

TEST(JsonRegression, ToArrayOfAnUnreadObjectKeepsItsMembers) {
    JsonItem load = jsonRead(R"({"load":{"a":{"id":1},"b":{"id":2}}})");
    JsonItem entries = load.requireChild("load").toArray();
    ASSERT_EQ(entries.getSize(), 2u);
    EXPECT_EQ(entries.getChildAt(1).requireChild("id").toInteger(), 2);
}

} // namespace
