// The compact and the indented writer, and escaping.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using jsontest::bytes;

namespace {

TEST(JsonWrite, OnlyContainerRootsHaveAText) {
    for (JsonItem root : {JsonItem("s", "x"), JsonItem("n", 1), JsonItem("b", true), JsonItem()}) {
        EXPECT_EQ(root.toCompactText(), "");
        EXPECT_EQ(root.toIndentedText(), "");
    }
    EXPECT_EQ(JsonItem(JsonItemType::Array).toCompactText(), "[]");
    EXPECT_EQ(JsonItem(JsonItemType::Array).toIndentedText(), "[]");
    EXPECT_EQ(JsonItem(JsonItemType::Object).toIndentedText(), "{}");
    // A root that turns out not to split is no container either.
    EXPECT_EQ(jsonRead("[1:2]").toIndentedText(), "");
}

TEST(JsonWrite, EscapingOfTextsSetThroughTheInterface) {
    struct {
        std::string text;
        const char *written;
        // What reading the written text gives, when not the text: a byte
        // that is not UTF-8 is written as an escape, which names a code point.
        const char *readBack = nullptr;
    } const cases[] = {
        {"a\"b", R"("a\"b")"},
        {"a/b", R"("a\/b")"},
        {"back\\slash", R"("back\\slash")"},
        {bytes({0xE9}), R"("\u00E9")", "\xC3\xA9"},     // not UTF-8: one escape per byte
        {"\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""}, // UTF-8 as it is
        {"\xE2\x82\xAC \xF0\x9F\x98\x80", "\"\xE2\x82\xAC \xF0\x9F\x98\x80\""},
        {bytes({0xC3}), R"("\u00C3")", "\xC3\x83"},      // cut sequence
        {bytes({0xC0, 0x80}), R"("\u00C0\u0080")", "\xC3\x80\xC2\x80"}, // overlong
        {bytes({0xED, 0xA0, 0x80}), R"("\u00ED\u00A0\u0080")", "\xC3\xAD\xC2\xA0\xC2\x80"}, // a surrogate
        {bytes({0xF4, 0x90, 0x80, 0x80}), R"("\u00F4\u0090\u0080\u0080")",
         "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"}, // above U+10FFFF
        {"\b\t\n\f\r\v", R"("\b\t\n\f\r\u000B")"},
        {std::string("\0\x1F\x7F", 3), "\"\\u0000\\u001F\x7F\""},
    };
    for (const auto &c : cases) {
        JsonItem array(JsonItemType::Array);
        array.appendChild(JsonItem("", c.text));
        EXPECT_EQ(array.toCompactText(), std::string("[") + c.written + "]") << c.written;
        // And back.
        EXPECT_EQ(jsonRead(array.toCompactText()).getChildAt(0).getText(),
                  c.readBack != nullptr ? std::string(c.readBack) : c.text)
            << c.written;
    }
}

TEST(JsonWrite, TextsReadWithoutEscapesAreWrittenAsRead) {
    JsonItem root = jsonRead("[\"a/b \xC3\xA9\"]");
    jsontest::decodeAll(root);
    EXPECT_EQ(root.toCompactText(), "[\"a/b \xC3\xA9\"]");
}

TEST(JsonWrite, NamesAreEscapedWhenSetOrReadWithEscapes) {
    JsonItem object(JsonItemType::Object);
    object.appendChild(JsonItem("a/b", 1));
    object.appendChild(JsonItem("q\"", 2));
    EXPECT_EQ(object.toCompactText(), R"({"a\/b":1,"q\"":2})");
    JsonItem back = jsonRead(object.toCompactText());
    EXPECT_EQ(back.getChildAt(0).getName(), "a/b");
    EXPECT_EQ(back.getChildAt(1).getName(), "q\"");
}

TEST(JsonWrite, CompactTextOfAnUnreadDocumentHasNoWhitespaceNorComments) {
    JsonItem root = jsonRead("{ \"a\" : [ 1 , 2 ] ,\n \"b\" : { \"c\" : \"x y\" } }");
    EXPECT_EQ(root.toCompactText(), R"({"a":[1,2],"b":{"c":"x y"}})");
    JsonItem commented = jsonRead("// top\n{ /* a */ \"a\" : [ # one\n 1 ] }");
    EXPECT_EQ(commented.toCompactText(), R"({"a":[1]})");
}

TEST(JsonWrite, IndentedLayout) {
    JsonItem root = jsonRead("// c\n{\"a\": 1, /* x\ny */ \"b\": [true]}");
    // The read comment keeps the space after the slashes.
    const std::string tab = "\t";
    std::string expected = "\n// c\n{\n\t\"a\" : 1,\n\t\n\t/*\n\t\t x\n\t\ty \n\t*/\n\t\"b\" : [\n\t\ttrue\n\t]\n}";
    EXPECT_EQ(root.toIndentedText(), expected);
    EXPECT_EQ(root.toCompactText(), R"({"a":1,"b":[true]})");
}

TEST(JsonWrite, IndentedCommentsDropTheCarriageReturnBeforeANewline) {
    JsonItem root = jsonRead("/*a\r\nb*/[1]");
    EXPECT_EQ(root.toIndentedText(), "\n/*\n\ta\n\tb\n*/\n[\n\t1\n]");
}

TEST(JsonWrite, DeepTreesIndentWithOneTabPerLevel) {
    std::string text;
    for (int i = 0; i < 30; ++i) {
        text += "[";
    }
    text += "1";
    for (int i = 0; i < 30; ++i) {
        text += "]";
    }
    std::string indented = jsonRead(text).toIndentedText();
    EXPECT_NE(indented.find("\n" + std::string(30, '\t') + "1\n"), std::string::npos);
}

TEST(JsonWrite, NullFromAnEmptyValueIsWrittenNull) {
    JsonItem root = jsonRead("[1,2,]");
    EXPECT_EQ(root.getSize(), 3u);
    EXPECT_EQ(root.toCompactText(), "[1,2,null]");
    EXPECT_EQ(jsonRead(root.toCompactText()).getSize(), 3u);
    JsonItem object = jsonRead(R"({"a":})");
    EXPECT_EQ(object.toCompactText(), R"({"a":null})");
}

TEST(JsonWrite, NonFiniteNumbersAreWrittenNull) {
    JsonItem array(JsonItemType::Array);
    array.appendChild(JsonItem("", std::numeric_limits<double>::quiet_NaN()));
    array.appendChild(JsonItem("", std::numeric_limits<double>::infinity()));
    array.appendChild(JsonItem("", -std::numeric_limits<float>::infinity()));
    EXPECT_EQ(array.toCompactText(), "[null,null,null]");
    EXPECT_EQ(jsonRead(array.toCompactText()).getChildAt(0).getType(), JsonItemType::Null);
}

TEST(JsonWrite, RoundTripsOfBuiltDocuments) {
    JsonItem root(JsonItemType::Object);
    root.appendChild(JsonItem("name", "Panel \"A\" / 1 \xC3\xA9\xE2\x82\xAC"));
    root.appendChild(JsonItem("path", "C:\\meter\\"));
    root.appendChild(JsonItem("ratio", 0.1));
    root.appendChild(JsonItem("count", 4294967295u));
    root.appendChild(JsonItem("big", -9007199254740993L));
    root.appendChild(JsonItem("on", false));
    JsonItem list(JsonItemType::Array);
    list.appendChild(JsonItem("", -0.5));
    list.appendChild(JsonItem(JsonItemType::Object));
    list.setName("list");
    root.appendChild(list);
    std::string compact = root.toCompactText();
    JsonItem back = jsonRead(compact);
    EXPECT_TRUE(back.equals(root)) << compact;
    EXPECT_EQ(back.getChild("name").getText(), "Panel \"A\" / 1 \xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(back.getChild("path").getText(), "C:\\meter\\");
    EXPECT_EQ(back.toCompactText(), compact);
    JsonItem indentedBack = jsonRead(root.toIndentedText());
    EXPECT_TRUE(indentedBack.equals(root));
}

TEST(JsonWrite, FilesWrittenWithByteEscapesReadBackTheSameBytes) {
    // Before, every byte above 0x7E was written as its own escape.
    JsonItem old = jsonRead(R"({"site":"Caf\u00C3\u00A9"})");
    JsonItem now = jsonRead("{\"site\":\"Caf\xC3\xA9\"}");
    EXPECT_EQ(old.getChild("site").getText(), now.getChild("site").getText());
    EXPECT_EQ(old.toCompactText(), "{\"site\":\"Caf\xC3\xA9\"}");
}

} // namespace
