// What the reader makes of malformed and unusual texts, in one table: every
// place where it departs from RFC 8259 is on record here. Every text is read,
// walked completely and written both ways, so that the sanitizer build checks
// that no input is read out of bounds.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

namespace {

// Outcome: the compact text of the document once every value has been read,
// "" when the root turned out not to split, or `refused` for
// std::invalid_argument.
const char *const refused = "<refused>";

struct Case {
    std::string text;
    std::string outcome;
    const char *why;
};

const std::vector<Case> &cases() {
    static const std::vector<Case> table = {
        // Roots.
        {"", refused, "empty text"},
        {"  \n\t", refused, "white space only"},
        {"1", refused, "a number root"},
        {"\"s\"", refused, "a string root"},
        {"null", refused, "a literal root"},
        {"// c", refused, "only a comment"},
        {"[1]//c", refused, "anything after the root, a comment included"},
        {"[1] x", refused, "text after the root"},
        {"\xEF\xBB\xBF[1]", refused, "a byte order mark"},
        {"[1", refused, "a root cut short"},
        {"{\"a\":[1}]", refused, "the root's brackets do not match"},
        {"[1,\f2]", refused, "a control byte outside strings ends the text"},
        {std::string("[1]\0garbage", 11), "[1]", "a NUL after the root ends the text"},
        {"[1]\xFF", "[1]", "a byte above 0x7E after the root ends the text"},
        {"/*c*/[1]", "[1]", "a comment before the root"},
        {"[1]\n\n", "[1]", "white space after the root"},

        // Arrays.
        {"[]", "[]", ""},
        {"[ ]", "[]", ""},
        {"[1,2,]", "[1,2,null]", "a trailing comma adds a null"},
        {"[,]", "[null,null]", "empty elements are null"},
        {"[,1]", "[null,1]", ""},
        {"[1 2]", "[12]", "white space between tokens is dropped"},
        {"[true false]", "[null]", ""},
        {"[\"a\" \"b\"]", "[\"a\\\"\\\"b\"]", "two strings run together are one string"},
        {"[\"a\":1]", "", "a member inside an array: the array becomes null"},
        {"[1]]", "[null]", "a stray bracket makes the last element invalid"},
        {"[[1]", "[null]", "an unclosed element"},
        {"[\"abc]", "[null]", "an unterminated string"},
        {"[{\"a\":1},[2]]", "[{\"a\":1},[2]]", ""},

        // Objects.
        {"{}", "{}", ""},
        {"{\"a\":1,}", "", "a trailing comma in an object: the object becomes null"},
        {"{,}", "", ""},
        {"{\"a\"}", "", "a member without a colon"},
        {"{\"a\",\"b\":1}", "", "a comma before the colon"},
        {"{\"a\":}", "{\"a\":null}", "an empty value is null"},
        {"{\"a\"::1}", "{\"a\":null}", ""},
        {"{\"a\":1 \"b\":2}", "{\"a\":null}", "a missing comma runs two members into one value"},
        {"{a:1}", "{\"\":1}", "an unquoted one-letter key loses its letter"},
        {"{abc:1}", "{\"b\":1}", "first and last character of a key are dropped, quotes or not"},
        {"{:1}", "{\"\":1}", ""},
        {"{\"\":1}", "{\"\":1}", ""},
        {"{\"a\":1,\"a\":2}", "{\"a\":1,\"a\":2}", "duplicate names are kept"},
        {"{\"a\":1}{\"b\":2}", "{\"a\":null}", "two roots"},
        {"{\"a\":[1}", "{\"a\":null}", "an unclosed array inside"},
        {"{\"a\" /*c*/ :1}", "{\"a\\\"\":1}", "a comment between key and colon ends up in the name"},

        // Literals and numbers.
        {"[True,FALSE,nul,NaN,Infinity,-Infinity,'a']", "[null,null,null,null,null,null,null]", ""},
        {"[01,017,08,00]", "[01,017,null,null]", "a leading zero: octal digits read as decimal"},
        {"[0x1F,0x,0xG]", "[0x1F,0x,null]", "hexadecimal integers"},
        {"[.5,-.5,1.,0.,.]", "[.5,null,1.,0.,null]", ""},
        {"[+1,-0,--1,-,+]", "[+1,-0,null,null,null]", ""},
        {"[1e5,1E+5,1e,1e+,1.2.3,1e5.5]", "[1e5,1E+5,null,null,null,null]", ""},
        {"[0e+,0e5]", "[0e+,0e5]", "an exponent sign without digits after a lone 0"},
        {"[1e400,-1e400,1e-400]", "[1e400,-1e400,1e-400]", "out of range: the text is kept"},

        // Strings.
        {"[\"\\u00e9\"]", "[\"\xC3\xA9\"]", "\\u0080 to \\u00FF alone name code points"},
        {"[\"\\u00C3\\u00A9\"]", "[\"\xC3\xA9\"]", "bytes that form UTF-8 are written as they are"},
        {"[\"\\u0100\\ud83d\\ude00\"]", "[\"\xC4\x80\xF0\x9F\x98\x80\"]", "higher code points become UTF-8"},
        {"[\"\\ud800\",\"\\udc00\"]", "[\"\xEF\xBF\xBD\",\"\xEF\xBF\xBD\"]", "a lone surrogate"},
        {"[\"\\u00\"]", "[\"\\u000000\"]", "a cut escape gives NUL and the rest as characters"},
        {"[\"\\uzz41\"]", "[\"A\"]", "digits that are not hex: the byte of the last two"},
        {"[\"\\x41\\101\\q\\v\"]", "[\"AAq\\u000B\"]", "escapes beyond JSON's"},
        {"[\"a\\\"b\"]", "[\"a\\\"b\"]", ""},
        {"[\"a\tb\"]", "[\"a\tb\"]", "control bytes inside strings are kept"},
        {"[\"\xFF\xFE\"]", refused, "bytes that are not UTF-8 in a string"},
        {"[\"Caf\xE9\"]", refused, "a Latin-1 letter in a string"},
        {"{\"\xF4\":1}", refused, "a byte that is not UTF-8 in a name"},
        {"[\"\xC3\"]", refused, "a sequence cut by the string's end"},
        {"[\"\xC3\\n\xA9\"]", refused, "a sequence cut by an escape"},
        {"[\"\xC3\\u00A9\"]", refused, "a raw byte does not join an escape's run"},
        {"[\"\xED\xA0\x80\",\"\xC0\xAF\"]", refused, "a surrogate, an overlong form"},
        {"[\"\\\xC3\xA9\"]", "[\"\xC3\xA9\"]", "a backslash before a UTF-8 character"},
        {"[\"\\\xC3\"]", refused, "a backslash before a byte that is not UTF-8"},
        {"[1]\x01\"\xFF\"", "[1]", "bytes after the end of the text are not read"},
        {"[\"\\xF4\\364\\uzzF4\"]", "[\"\xC3\xB4\xC3\xB4\xC3\xB4\"]",
         "a byte escape that forms no UTF-8 is its Latin-1 character"},
        {"[\"\\xC3\\xA9\\303\\251\"]", "[\"\xC3\xA9\xC3\xA9\"]", "byte escapes that form UTF-8 are bytes"},
        {"[\"\\xC3\xC2\xA9\\xE9\"]", "[\"\xC3\x83\xC2\xA9\xC3\xA9\"]",
         "a byte escape does not join the UTF-8 around it"},
        {"[\"\\ude0\xD0\x9B\"]", "[\"y\xC2\x9B\"]",
         "an escape that takes the first byte of a character for a digit leaves the rest a Latin-1 letter"},
        {"[\"/\"]", "[\"/\"]", ""},

        // Comments.
        {"[/*c*/1]", "[1]", "a comment before an element"},
        {"[1 /*c*/]", "[null]", "a comment after a value makes it null"},
        {"[\"x\" /*c*/ \"y\"]", "[\"x\\\"\x02\\\"y\"]",
         "a comment between string literals run together: its mark stays in the string"},
        {"[1,#c\n2]", "[1,2]", ""},
        {"{/*x, y: \" #*/\"a\":1}", "{\"a\":1}", "a comment may hold , : \" and #"},
        {"[/*unclosed", refused, ""},
        {"[1,/*unclosed]", refused, ""},
        {"[1/2]", refused, "a slash that starts no comment ends the text"},
    };
    return table;
}

std::string outcomeOf(const std::string &text) {
    JsonItem root;
    try {
        root = jsonRead(text);
    } catch (const std::invalid_argument &) {
        return refused;
    }
    jsontest::decodeAll(root);
    (void)root.toIndentedText();
    return root.toCompactText();
}

TEST(JsonMalformed, OutcomesOfTheTable) {
    for (const Case &c : cases()) {
        EXPECT_EQ(outcomeOf(c.text), c.outcome) << "text: " << c.text << "  (" << c.why << ")";
    }
}

TEST(JsonMalformed, CompactTextsReadBackAsTheSameDocument) {
    for (const Case &c : cases()) {
        if (c.outcome == refused || c.outcome.empty()) {
            continue;
        }
        JsonItem first = jsonRead(c.text);
        jsontest::decodeAll(first);
        JsonItem second = jsonRead(first.toCompactText());
        EXPECT_TRUE(second.equals(first)) << c.text;
    }
}

// Every prefix of every table text and of a real document, and a run of
// random texts: read, walked, written. Nothing is checked but that nothing
// crashes; the sanitizer build checks the memory.
TEST(JsonMalformed, PrefixesAndNoiseAreReadSafely) {
    std::vector<std::string> texts;
    for (const Case &c : cases()) {
        texts.push_back(c.text);
    }
    texts.push_back("// head\n{\"load\":[{\"id\":1,\"cts\":[{\"en\":true,\"a\":1.5e1,\"ph\":\"\\u00b0\"}],"
                    "\"s\":\"x\\\"y\"} /* tail */, [1,2,], {\"k\":[[]]}]}");
    size_t walked = 0;
    for (const std::string &t : texts) {
        for (size_t n = 0; n <= t.size(); ++n) {
            walked += outcomeOf(t.substr(0, n)) != refused;
        }
    }
    std::mt19937 rng(8259);
    const std::string alphabet = "[]{}\",:\\/*#\n 01.e-+tfnu\x01\x02\xC3\xA9x";
    for (int i = 0; i < 20000; ++i) {
        std::string t = rng() % 2 ? "[" : "{";
        size_t n = rng() % 40;
        for (size_t k = 0; k < n; ++k) {
            t.push_back(alphabet[rng() % alphabet.size()]);
        }
        t.push_back(t[0] == '[' ? ']' : '}');
        std::string out = outcomeOf(t);
        if (out != refused && !out.empty()) {
            JsonItem again = jsonRead(out);
            jsontest::decodeAll(again);
            JsonItem first = jsonRead(t);
            jsontest::decodeAll(first);
            // Every text read is UTF-8, so the writer never has to turn a
            // byte into an escape that reads back as another character.
            EXPECT_TRUE(again.equals(first)) << t;
        }
    }
    EXPECT_GT(walked, 50u);
}

// The indented text of a deep tree grows with the square of its depth (one
// tab per level on every line), so it is written for a shallower one.
TEST(JsonMalformed, DeepNestingNeedsNoStack) {
    const size_t depth = 100000;
    for (char open : {'[', '{'}) {
        std::string text;
        for (size_t i = 0; i < depth; ++i) {
            text += open == '[' ? "[" : "{\"k\":";
        }
        text += "1";
        for (size_t i = 0; i < depth; ++i) {
            text += open == '[' ? ']' : '}';
        }
        JsonItem root = jsonRead(text);
        EXPECT_EQ(jsontest::decodeAll(root), depth + 1);
        EXPECT_EQ(root.toCompactText(), text);
        JsonItem copy = root.deepCopy();
        EXPECT_TRUE(copy.equals(root));
        JsonItem reread = jsonRead(root.toCompactText());
        EXPECT_TRUE(reread.equals(root));
    }
}

} // namespace

TEST(JsonStrict, OnlyJsonAsTheStandardHasItPasses) {
    struct {
        std::string text;
        bool strict;
        const char *why;
    } const cases[] = {
        {"{}", true, ""},
        {" [ ] ", true, "white space around and inside"},
        {"{\"a\" : [1, -0.5e+3, 0, -0, 2E-7, true, false, null], \"\" : {}}", true, ""},
        {R"(["\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"])", true, "every escape, a surrogate pair"},
        {"[\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"]", true, "UTF-8 as it is"},
        {"{\"a\":1,\"a\":2}", true, "duplicate names"},
        {"\"s\"", true, "a root that is no container"},
        {"", false, "nothing"},
        {"[1", false, "cut"},
        {"{\"a\":1}}", false, "a stray bracket"},
        {"[1] [2]", false, "two roots"},
        {"[1]//c", false, "a comment"},
        {"/*c*/[1]", false, ""},
        {"[1,]", false, "a hole"},
        {"[,1]", false, ""},
        {"{\"a\":1,}", false, ""},
        {"{\"a\":}", false, ""},
        {"{\"a\" 1}", false, "no colon"},
        {"{\"a\":1 \"b\":2}", false, "no comma"},
        {"{a:1}", false, "an unquoted name"},
        {"['a']", false, ""},
        {"[01]", false, "a leading zero"},
        {"[0x1F]", false, ""},
        {"[+1]", false, ""},
        {"[.5]", false, ""},
        {"[1.]", false, ""},
        {"[1e]", false, ""},
        {"[-]", false, ""},
        {"[tru]", false, ""},
        {"[True]", false, ""},
        {"[NaN]", false, ""},
        {R"(["\x41"])", false, "an escape beyond JSON's"},
        {R"(["\101"])", false, ""},
        {R"(["\u12"])", false, "a cut escape"},
        {R"(["\ud800"])", false, "a lone high surrogate"},
        {R"(["\udc00"])", false, "a lone low surrogate"},
        {R"(["\ud800\u0041"])", false, "a high surrogate without its low one"},
        {"[\"a\tb\"]", false, "a control byte in a string"},
        {"[\"Caf\xE9\"]", false, "a byte that is not UTF-8"},
        {"[\"\xC3\"]", false, "a cut sequence"},
        {"[\"\xED\xA0\x80\"]", false, "a surrogate in UTF-8"},
        {"[\"abc]", false, "an unterminated string"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(jsonIsStrictText(c.text), c.strict) << "text: " << c.text << "  (" << c.why << ")";
    }
    // Deep nesting costs no stack.
    const size_t depth = 100000;
    const std::string deep = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_TRUE(jsonIsStrictText(deep));
    EXPECT_FALSE(jsonIsStrictText(deep.substr(1)));
}

// The UTF-8 check on its own, at the edges of each sequence length; a string
// of the same bytes is read, or refused, by the reader alike.
TEST(JsonUtf8, OnlyWholeShortestFormsOfCodePointsPass) {
    struct {
        std::string bytes;
        bool utf8;
        const char *why;
    } const cases[] = {
        {"", true, "nothing"},
        {"plain \x7F", true, "bytes below 0x80"},
        {std::string("a\0b", 3), true, "a NUL byte"},
        {"\xC2\x80", true, "U+0080"},
        {"\xDF\xBF", true, "U+07FF"},
        {"\xE0\xA0\x80", true, "U+0800"},
        {"\xED\x9F\xBF", true, "U+D7FF, below the surrogates"},
        {"\xEE\x80\x80", true, "U+E000, above them"},
        {"\xEF\xBF\xBF", true, "U+FFFF"},
        {"\xF0\x90\x80\x80", true, "U+10000"},
        {"\xF4\x8F\xBF\xBF", true, "U+10FFFF"},
        {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", true, "each length between plain bytes"},
        {"\x80", false, "a continuation byte alone"},
        {"\xC3\xA9\xBF", false, "a continuation byte after a whole sequence"},
        {"\xC0\x80", false, "overlong two bytes"},
        {"\xC1\xBF", false, ""},
        {"\xE0\x9F\xBF", false, "overlong three bytes"},
        {"\xF0\x8F\xBF\xBF", false, "overlong four bytes"},
        {"\xED\xA0\x80", false, "a high surrogate"},
        {"\xED\xBF\xBF", false, "a low surrogate"},
        {"\xED\xA0\xBD\xED\xB8\x80", false, "a pair of surrogates"},
        {"\xF4\x90\x80\x80", false, "U+110000"},
        {"\xF5\x80\x80\x80", false, "a lead byte beyond U+10FFFF"},
        {"\xF8\x88\x80\x80\x80", false, "five bytes"},
        {"\xFE", false, ""},
        {"\xFF", false, ""},
        {"\xC3", false, "two bytes cut at the end"},
        {"\xE2\x82", false, "three bytes cut"},
        {"\xF0\x9F\x98", false, "four bytes cut"},
        {"\xE2\x82z", false, "a plain byte inside a sequence"},
        {"Caf\xE9", false, "a Latin-1 letter at the end"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes) + " (" + c.why + ")");
        EXPECT_EQ(jsonIsUtf8(c.bytes), c.utf8);
        if (c.bytes.find('\0') == std::string::npos) {
            bool read = true;
            try {
                (void)jsonRead("[\"" + c.bytes + "\"]");
            } catch (const std::invalid_argument &) {
                read = false;
            }
            EXPECT_EQ(read, c.utf8) << "the reader";
        }
    }
}
