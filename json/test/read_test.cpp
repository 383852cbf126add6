// The reader: the first pass, comments, lazy decoding, value checks and
// unescaping.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

using jsontest::bytes;
using jsontest::rec;

namespace {

TEST(JsonRead, ChildrenStayUndecodedUntilRead) {
    JsonItem root = jsonRead(R"(["1", "2", "3"])");
    EXPECT_FALSE(rec(root)->decoded);
    ASSERT_EQ(root.getSize(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const JsonItem &child = root.getChildAt(i);
        EXPECT_EQ(child.getType(), JsonItemType::String);
        EXPECT_FALSE(rec(child)->decoded);
        EXPECT_EQ(child.getText(), std::to_string(i + 1));
        EXPECT_TRUE(rec(child)->decoded);
    }
    // Numbers in the common form are converted while their container is
    // split; nested containers wait for their first use.
    JsonItem nested = jsonRead(R"([[1, 2], {"a": [3]}])");
    ASSERT_EQ(nested.getSize(), 2u);
    EXPECT_FALSE(rec(nested.getChildAt(0))->decoded);
    EXPECT_FALSE(rec(nested.getChildAt(1))->decoded);
    EXPECT_EQ(nested.getChildAt(1).getSize(), 1u);
    EXPECT_FALSE(rec(nested.getChildAt(1).getChildAt(0))->decoded);
    EXPECT_FALSE(rec(nested.getChildAt(0))->decoded);
}

TEST(JsonRead, CommentsBeforeTheRootBecomeItsComment) {
    EXPECT_EQ(jsonRead("// settings\n{\"a\":1}").getComment(), " settings");
    EXPECT_EQ(jsonRead("/* x */ /*y*/[1]").getComment(), " x \ny");
    EXPECT_EQ(jsonRead("# hash\r\n[1]").getComment(), " hash\r");
    EXPECT_EQ(jsonRead("//\n//b\n[1]").getComment(), "\nb");
}

TEST(JsonRead, RefusedRoots) {
    const char *const refused[] = {
        "", "   ", "// only a comment", "1", "\"text\"", "true", "null", "[1", "{\"a\":1",
        "[1] // after", "[1]/*x*/", "{}x", "[1]]x", "\xEF\xBB\xBF[1]", "[1\x01]", "[1,\xC3\xA9]", "/[1]", "]",
    };
    for (const char *text : refused) {
        try {
            jsonRead(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::invalid_argument &e) {
            EXPECT_STREQ(e.what(), "") << text;
        }
    }
}

TEST(JsonRead, TrailingCommaInAnArrayGivesANullElement) {
    JsonItem root = jsonRead("[1, 2,]");
    ASSERT_EQ(root.getSize(), 3u);
    EXPECT_EQ(root.getChildAt(2).getType(), JsonItemType::Null);
    EXPECT_EQ(root.getChildAt(2).getText(), "");
    EXPECT_EQ(jsonRead(R"({"a":1,})").getType(), JsonItemType::Object);
    JsonItem object = jsonRead(R"({"a":1,})");
    EXPECT_EQ(object.getSize(), 0u);
    EXPECT_EQ(object.getType(), JsonItemType::Null);
}

TEST(JsonRead, MissingValuesAnywhereInALongText) {
    // The first pass finds separators sixteen bytes at a time: each case is
    // moved across those blocks by the numbers before it, and must read as
    // it does on its own.
    const char *const cases[] = {
        "[1,,2]", "[,1]", "[1,]", "[,]", "{\"a\":,\"b\":1}", "{\"a\":1,}", "[[,],{\"x\":,},,]", "[1,2,3]",
    };
    for (const char *text : cases) {
        const std::string alone = jsonRead(std::string("[") + text + "]").toCompactText();
        for (int k = 0; k < 40; ++k) {
            std::string padded = k % 2 == 0 ? "[" : "[1,"; // odd shifts too
            for (int i = 0; i < k / 2; ++i) {
                padded += "22,";
            }
            padded += text;
            padded += ",3,3,3,3,3,3,3,3,3]"; // sixteen bytes and more after it
            JsonItem root = jsonRead(padded);
            const size_t before = static_cast<size_t>(k / 2 + k % 2);
            ASSERT_EQ(root.getSize(), before + 10) << padded;
            JsonItem last(JsonItemType::Array);
            last.appendChild(root.getChildAt(before));
            EXPECT_EQ(last.toCompactText(), alone) << padded;
        }
    }
}

TEST(JsonRead, ContainersThatDoNotSplitBecomeNull) {
    for (const char *text : {R"(["a":1])", R"({"a" 1})", R"({"a":1,"b"})", R"({"a":1,"b","c":2})"}) {
        JsonItem root = jsonRead(text);
        EXPECT_EQ(root.getSize(), 0u) << text;
        EXPECT_EQ(root.getType(), JsonItemType::Null) << text;
        EXPECT_EQ(root.begin(), root.end());
    }
}

TEST(JsonRead, CommentsAroundMembers) {
    JsonItem root = jsonRead("{\n  // the name\n  \"a\": 1,\n  \"b\": /* here */ 2,\n  \"c\": 3 // after\n}");
    ASSERT_EQ(root.getSize(), 3u);
    EXPECT_EQ(root.getChildAt(0).getComment(), " the name");
    EXPECT_EQ(root.getChildAt(0).toInteger(), 1);
    // A comment where the value or the comma should be leaves no value.
    EXPECT_EQ(root.getChildAt(1).getType(), JsonItemType::Null);
    EXPECT_EQ(root.getChildAt(2).getType(), JsonItemType::Null);
    EXPECT_EQ(root.getChildAt(2).getName(), "c");
}

TEST(JsonRead, CommentsMayHoldAnyCharacter) {
    JsonItem root = jsonRead("// see #3, a: \"b\" {[\n{ /* x, y: # \" */ \"a\": [1, # c, d: \"\n 2] }");
    EXPECT_EQ(root.getComment(), " see #3, a: \"b\" {[");
    ASSERT_EQ(root.getSize(), 1u);
    const JsonItem &a = root.getChild("a");
    EXPECT_EQ(a.getComment(), " x, y: # \" ");
    ASSERT_EQ(a.getSize(), 2u);
    EXPECT_EQ(a.getChildAt(1).getComment(), " c, d: \"");
    EXPECT_EQ(a.getChildAt(1).toInteger(), 2);
}

TEST(JsonRead, MemberValuesByFirstCharacter) {
    struct {
        const char *value;
        JsonItemType type;
        double number;
    } const cases[] = {
        {"True", JsonItemType::Null, 0},     {"FALSE", JsonItemType::Null, 0},  {"nul", JsonItemType::Null, 0},
        {"08", JsonItemType::Null, 0},       {"0x1F", JsonItemType::Number, 31}, {"017", JsonItemType::Number, 17},
        {".5", JsonItemType::Number, 0.5},   {"-.5", JsonItemType::Null, 0},    {"1e5", JsonItemType::Number, 1e5},
        {"1e+", JsonItemType::Null, 0},      {"1.2.3", JsonItemType::Null, 0},  {"true", JsonItemType::Boolean, 1},
        {"false", JsonItemType::Boolean, 0}, {"null", JsonItemType::Null, 0},   {"-0.5", JsonItemType::Number, -0.5},
        {"+5", JsonItemType::Number, 5},     {"0", JsonItemType::Number, 0},    {"-017", JsonItemType::Number, -17},
        {"1E-2", JsonItemType::Number, 0.01}, {"0x", JsonItemType::Number, 0},  {"0e5", JsonItemType::Number, 0},
        {"1.", JsonItemType::Number, 1},     {".", JsonItemType::Null, 0},      {"-", JsonItemType::Null, 0},
        {"1e999", JsonItemType::Number, HUGE_VAL}, {"\"s", JsonItemType::Null, 0}, {"abc", JsonItemType::Null, 0},
    };
    for (const auto &c : cases) {
        JsonItem root = jsonRead(std::string("{\"v\":") + c.value + "}");
        const JsonItem &v = root.requireChild("v");
        EXPECT_EQ(v.getType(), c.type) << c.value;
        EXPECT_EQ(v.toDouble(), c.number) << c.value;
        if (c.type == JsonItemType::Number) {
            EXPECT_EQ(v.getText(), c.value); // the text stays as read
        }
    }
}

TEST(JsonRead, Unescaping) {
    struct {
        const char *raw;
        std::string text;
    } const cases[] = {
        {R"("\u00e9")", bytes({0xC3, 0xA9})},
        {R"("\u00E9\u0041")", bytes({0xC3, 0xA9, 'A'})},
        {R"("\u00C3\u00A9")", bytes({0xC3, 0xA9})},
        {R"("\x41")", "A"},
        {R"("\101")", "A"},
        {R"("\q")", "q"},
        {R"("a\x41")", "aA"},
        {R"("\"\\\/\b\f\n\r\t\v")", "\"\\/\b\f\n\r\t\v"},
        {R"("\u0100")", bytes({0xC4, 0x80})},
        {R"("\u20AC")", bytes({0xE2, 0x82, 0xAC})},
        {R"("\ud83d\ude00")", bytes({0xF0, 0x9F, 0x98, 0x80})},
        {R"("\ud83d")", bytes({0xEF, 0xBF, 0xBD})},
        {R"("\ude00x")", bytes({0xEF, 0xBF, 0xBD, 'x'})},
        {R"("\ud83d\u0041")", bytes({0xEF, 0xBF, 0xBD, 'A'})},
        {R"("\u0000")", std::string(1, '\0')},
        {R"("\u12")", std::string("\0" "12", 3)},
        {R"("\x4")", std::string("\0" "4", 2)},
        {R"("\1")", std::string(1, '\0')},
        {R"("\12")", std::string("\0" "2", 2)},
    };
    for (const auto &c : cases) {
        JsonItem root = jsonRead(std::string("[") + c.raw + "]");
        const JsonItem &s = root.getChildAt(0);
        EXPECT_EQ(s.getType(), JsonItemType::String) << c.raw;
        EXPECT_EQ(s.getText(), c.text) << c.raw;
    }
}

TEST(JsonRead, BytesOutsideStringsEndTheText) {
    // Outside a string a byte above 0x7E ends the text, so the root is cut.
    EXPECT_THROW(jsonRead("[1,\xC3\xA9]"), std::invalid_argument);
    // Inside one it is copied.
    EXPECT_EQ(jsonRead("[\"\xC3\xA9\"]").getChildAt(0).getText(), "\xC3\xA9");
    // A control byte inside a string is kept, NUL included.
    std::string withNul("[\"a\0b\"]", 7);
    EXPECT_EQ(jsonRead(withNul).getChildAt(0).getText(), std::string("a\0b", 3));
    // Carriage returns outside strings are white space.
    EXPECT_EQ(jsonRead("[1,\r\n2]").getSize(), 2u);
}

TEST(JsonRead, NamesAndKeys) {
    struct {
        const char *text;
        const char *name;
        bool escaped;
    } const cases[] = {
        {R"({"a\/b":1})", "a/b", true}, {R"({"plain":1})", "plain", false}, {R"({:1})", "", false},
        {R"({a:1})", "", false},         {R"({abc:1})", "b", false},         {R"({"":1})", "", false},
        {R"({"q\"":1})", "q\"", true},   {R"({"\u0041":1})", "A", true},
    };
    for (const auto &c : cases) {
        JsonItem root = jsonRead(c.text);
        ASSERT_EQ(root.getSize(), 1u) << c.text;
        const JsonItem &m = root.getChildAt(0);
        EXPECT_EQ(m.getName(), c.name) << c.text;
        EXPECT_EQ(rec(m)->escapeName, c.escaped) << c.text;
        EXPECT_EQ(m.toInteger(), 1) << c.text;
    }
}

TEST(JsonRead, LongNamesAreKeptWhole) {
    // Names are views of the text up to 65535 bytes and copies beyond.
    for (size_t length : {65534u, 65535u, 65536u, 70001u}) {
        const std::string name(length, 'n');
        const std::string text = "{\"" + name + "\":1,\"" + name + "\\/\":2}";
        JsonItem root = jsonRead(text);
        ASSERT_EQ(root.getSize(), 2u) << length;
        // Compared as booleans: a failure would print the whole names.
        EXPECT_TRUE(root.getChildAt(0).getName() == name) << length;
        EXPECT_TRUE(root.getChildAt(1).getName() == name + "/") << length;
        EXPECT_EQ(root.findChild(name)->toInteger(), 1) << length;
        const JsonItem again = jsonRead(root.toCompactText());
        EXPECT_TRUE(again.equals(root)) << length;
        EXPECT_TRUE(again.getChildAt(1).getName() == name + "/") << length;
    }
}

TEST(JsonRead, EscapedQuotesAreMarkedPerText) {
    JsonItem marked = jsonRead(R"(["a\"b"])");
    EXPECT_TRUE(rec(marked)->source->quoteMarkSeen);
    JsonItem plain = jsonRead(R"(["ab"])");
    EXPECT_FALSE(rec(plain)->source->quoteMarkSeen);
    EXPECT_EQ(marked.toCompactText(), R"(["a\"b"])");
    EXPECT_EQ(marked.getChildAt(0).getText(), "a\"b");
}

TEST(JsonRead, DuplicateNamesFindTheFirst) {
    JsonItem root = jsonRead(R"({"a":1,"b":2,"b":3})");
    EXPECT_EQ(root.getChild("b").toInteger(), 2);
    EXPECT_EQ(root.getChildAt(2).toInteger(), 3);
}

TEST(JsonRead, TheTextIsNotNeededAfterReading) {
    JsonItem root;
    {
        std::string text = R"({"a":[1,"two",{"b":null}]})";
        root = jsonRead(text);
        text.assign(text.size(), 'x');
    }
    EXPECT_EQ(root.toCompactText(), R"({"a":[1,"two",{"b":null}]})");
    JsonItem inner = root.getChild("a").getChildAt(2);
    root = JsonItem(JsonItemType::Object); // the rest of the document goes
    EXPECT_EQ(inner.toCompactText(), R"({"b":null})");
}

TEST(JsonRead, PreparedTextWithoutComments) {
    struct {
        const char *text;
        const char *prepared;
    } const cases[] = {
        {"{ \"a\" : 1 }", R"({"a":1})"},
        {"// head\n[1, /* two */ 2, # three\n 3]", "[1,2,3]"},
        {R"({"q":"say \"hi\" # not a comment // nor this"})", R"({"q":"say \"hi\" # not a comment // nor this"})"},
        {"[\"a b\",\t\"c\\\\\"]", "[\"a b\",\"c\\\\\"]"},
        {"[1,2] / rest", "[1,2]"},
        {"[1,\x01 2]", "[1,"},
        {"", ""},
        {"/* only a comment", ""},
    };
    for (const auto &c : cases) {
        std::string text(c.text);
        EXPECT_EQ(jsonPrepareTextDropComments(text.data(), text.size()), c.prepared) << c.text;
    }
    // Only the given length is read.
    EXPECT_EQ(jsonPrepareTextDropComments("[1] trailing", 3), "[1]");
}

TEST(JsonRead, ReadPreparedText) {
    std::string text = "/* settings */ {\"name\": \"say \\\"hi\\\"\", \"list\": [1, 2] // end\n}";
    std::string prepared = jsonPrepareTextDropComments(text.data(), text.size());
    JsonItem root = jsonReadPreparedText(prepared);
    EXPECT_EQ(root.getChild("name").getText(), "say \"hi\"");
    EXPECT_EQ(root.getChild("list").getSize(), 2u);
    EXPECT_EQ(root.getComment(), "");
    EXPECT_EQ(root.toCompactText(), prepared);
    // The text must start with its root: nothing, not even whitespace or a
    // comment, may come first.
    for (const char *bad : {"", " [1]", "/*c*/[1]", "1", "\"a\"", "[1", "{}x"}) {
        EXPECT_THROW(jsonReadPreparedText(bad), std::invalid_argument) << bad;
    }
}

TEST(JsonRead, DecodeAllDecodesEveryRecord) {
    JsonItem root = jsonRead(R"({"a":[1,{"b":"x\n"},[[]]],"c":true,"d":"s"})");
    root.decodeAll();
    std::vector<JsonItemData *> pending{rec(root)};
    size_t records = 0;
    while (!pending.empty()) {
        JsonItemData *r = pending.back();
        pending.pop_back();
        ++records;
        EXPECT_TRUE(r->decoded);
        if (r->isContainer()) {
            for (uint32_t i = 0; i < r->children.count; ++i) {
                pending.push_back(rec(r->children.items[i]));
            }
        }
    }
    EXPECT_EQ(records, 9u);
    EXPECT_EQ(root.toCompactText(), R"({"a":[1,{"b":"x\n"},[[]]],"c":true,"d":"s"})");

    // Any depth, without recursion; a broken container turns Null.
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    JsonItem nested = jsonRead(deep);
    nested.decodeAll();
    JsonItem broken = jsonRead(R"([{"a":1,}, 2])");
    broken.decodeAll();
    EXPECT_EQ(broken.getChildAt(0).getType(), JsonItemType::Null);
    EXPECT_EQ(broken.getChildAt(1).toInteger(), 2);
}

} // namespace
