// Child access, insertion, removal and errors.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <stdexcept>

using jsontest::rec;

namespace {

std::string names(const JsonItem &item) {
    std::string s;
    for (const JsonItem &c : item) {
        s += c.getName().empty() ? c.getText() : c.getName();
    }
    return s;
}

TEST(JsonAccess, FindIgnoringCase) {
    struct {
        const char *member;
        const char *asked;
        bool found;
    } const cases[] = {
        {"name", "NAME", true},     {"Name", "NAME", true},  {"nAmE", "name", true},   {"NAME-1", "name_1", false},
        {"name", "nam", false},     {"nam", "name", false},  {"\xC3\xA9", "\xC3\x89", false},
        {"load", "Load", true},     {"", "", true},
    };
    for (const auto &c : cases) {
        JsonItem object(JsonItemType::Object);
        object.appendChild(JsonItem(c.member, 1));
        const JsonItem &constObject = object;
        EXPECT_EQ(constObject.findChildIgnoringCase(c.asked) != constObject.end(), c.found) << c.asked;
        EXPECT_EQ(object.findChildIgnoringCase(c.asked) != object.end(), c.found) << c.asked;
        if (c.found) {
            EXPECT_EQ(object.requireChildIgnoringCase(c.asked).toInteger(), 1);
        } else {
            EXPECT_THROW(object.requireChildIgnoringCase(c.asked), std::out_of_range);
        }
    }
    // The asked name counts up to its first NUL.
    JsonItem object = jsonRead(R"({"ab":1})");
    EXPECT_NE(object.findChildIgnoringCase(std::string("AB\0cd", 5)), object.end());
}

TEST(JsonAccess, MissingChildrenRaiseOutOfRangeWithAnEmptyMessage) {
    JsonItem array = jsonRead("[1,2,3]");
    JsonItem text("s", "x");
    const JsonItem &constArray = array;
    auto expectEmptyOutOfRange = [](auto &&call, const char *what) {
        try {
            call();
            ADD_FAILURE() << what;
        } catch (const std::out_of_range &e) {
            EXPECT_STREQ(e.what(), "") << what;
        }
    };
    expectEmptyOutOfRange([&] { array.requireChildAt(3); }, "index 3");
    expectEmptyOutOfRange([&] { constArray.requireChildAt(3); }, "const index 3");
    expectEmptyOutOfRange([&] { text.requireChildAt(0); }, "string");
    expectEmptyOutOfRange([&] { array.getChildAt(7); }, "getChildAt");
    expectEmptyOutOfRange([&] { array.getChild("x"); }, "getChild");
    expectEmptyOutOfRange([&] { array.requireChild("x"); }, "requireChild");
    expectEmptyOutOfRange([&] { constArray.requireChild("x"); }, "const requireChild");
    expectEmptyOutOfRange([&] { array.takeChildAt(3); }, "takeChildAt");
    expectEmptyOutOfRange([&] { array.takeChildIgnoringCase("x"); }, "takeChildIgnoringCase");
    EXPECT_EQ(array.getSize(), 3u);
    EXPECT_EQ(array.findChild("x"), array.end());
    EXPECT_EQ(text.findChild("x"), text.end());
}

TEST(JsonAccess, ArrayElementsHaveEmptyNames) {
    JsonItem array = jsonRead("[5,6]");
    auto it = array.findChild("");
    ASSERT_NE(it, array.end());
    EXPECT_EQ(it->toInteger(), 5);
}

TEST(JsonAccess, AppendingTheSameItemTwiceSharesIt) {
    JsonItem array(JsonItemType::Array);
    JsonItem item("", 1);
    array.appendChild(item);
    array.appendChild(item);
    EXPECT_EQ(rec(array.getChildAt(0)), rec(array.getChildAt(1)));
    EXPECT_EQ(rec(item)->refCount, 3u);
    array.getChildAt(0).setName("changed");
    EXPECT_NE(rec(array.getChildAt(0)), rec(array.getChildAt(1)));
    EXPECT_EQ(array.getChildAt(1).getName(), "");
    EXPECT_EQ(item.getName(), "");
}

TEST(JsonAccess, AppendingToANonContainerDoesNothing) {
    JsonItem text("s", "x");
    EXPECT_EQ(text.appendChild(JsonItem("", 1)).slot(), nullptr);
    EXPECT_EQ(text.insertChild(text.begin(), JsonItem("", 1)).slot(), nullptr);
    EXPECT_EQ(text.getSize(), 0u);
}

TEST(JsonAccess, InsertChild) {
    JsonItem array = jsonRead(R"(["a","b","c"])");
    auto at = array.insertChild(array.begin(), JsonItem("", "x"));
    EXPECT_EQ(at->getText(), "x");
    EXPECT_EQ(names(array), "xabc");
    at = array.insertChild(JsonItemIterator(array.begin().slot() + 2), JsonItem("", "y"));
    EXPECT_EQ(names(array), "xaybc");
    EXPECT_EQ(at, JsonItemIterator(array.begin().slot() + 2));
    at = array.insertChild(array.end(), JsonItem("", "z"));
    EXPECT_EQ(names(array), "xaybcz");
    EXPECT_EQ(at->getText(), "z");
    // Before the first slot: nothing.
    at = array.insertChild(JsonItemIterator(array.begin().slot() - 1), JsonItem("", "w"));
    EXPECT_EQ(at, array.begin());
    EXPECT_EQ(names(array), "xaybcz");
}

TEST(JsonAccess, InsertChildren) {
    JsonItem array = jsonRead(R"(["a","b"])");
    JsonItem more = jsonRead(R"(["1","2","3"])");
    auto at = array.insertChildren(JsonItemIterator(array.begin().slot() + 1), more.begin(), more.end());
    EXPECT_EQ(at->getText(), "1");
    EXPECT_EQ(names(array), "a123b");
    // From the container itself.
    array.insertChildren(array.end(), array.begin(), array.end());
    EXPECT_EQ(names(array), "a123ba123b");
    EXPECT_EQ(rec(array.getChildAt(0)), rec(array.getChildAt(5)));
    // Past the end: nothing.
    at = array.insertChildren(JsonItemIterator(array.end().slot() + 1), more.begin(), more.end());
    EXPECT_EQ(at, array.end());
    EXPECT_EQ(array.getSize(), 10u);
}

TEST(JsonAccess, EraseChildren) {
    JsonItem array = jsonRead("[1,2,3,4,5]");
    auto at = array.eraseChild(JsonItemIterator(array.begin().slot() + 1));
    EXPECT_EQ(at->toInteger(), 3);
    EXPECT_EQ(names(array), "1345");
    at = array.eraseChild(JsonItemIterator(array.begin().slot() + 3));
    EXPECT_EQ(at, array.end());
    EXPECT_EQ(array.eraseChild(array.end()), array.end());
    at = array.eraseChildren(array.begin(), JsonItemIterator(array.begin().slot() + 2));
    EXPECT_EQ(at->toInteger(), 4);
    EXPECT_EQ(names(array), "4");
    at = array.eraseChildren(array.begin(), array.begin());
    EXPECT_EQ(at, array.begin());
    at = array.eraseChild(array.begin());
    EXPECT_EQ(at, array.end());
    EXPECT_EQ(array.getSize(), 0u);
    EXPECT_EQ(array.toCompactText(), "[]");
}

TEST(JsonAccess, ErasingThroughAPositionOfASharedContainer) {
    JsonItem array = jsonRead("[1,2,3]");
    JsonItem other = array;
    auto position = JsonItemIterator(array.begin().slot() + 1); // begin() made it unique already
    other = array;                                             // shared again
    array.eraseChild(position);
    EXPECT_EQ(names(array), "13");
    EXPECT_EQ(names(other), "123");
}

TEST(JsonAccess, TakeChildren) {
    JsonItem object = jsonRead(R"({"a":1,"B":[2],"c":3})");
    JsonItem shared = object;
    JsonItem b = object.takeChildIgnoringCase("b");
    EXPECT_EQ(b.getName(), "B");
    EXPECT_EQ(b.toCompactText(), "[2]");
    EXPECT_EQ(object.toCompactText(), R"({"a":1,"c":3})");
    EXPECT_EQ(shared.toCompactText(), R"({"a":1,"B":[2],"c":3})");
    JsonItem only = jsonRead("[7]");
    EXPECT_EQ(only.takeChildAt(0).toInteger(), 7);
    EXPECT_TRUE(only.isEmpty());
    EXPECT_EQ(rec(only)->children.items, nullptr);
}

TEST(JsonAccess, RequiringAChildOfASharedContainerLeavesTheOtherAlone) {
    JsonItem root = jsonRead(R"({"a":{"b":1}})");
    JsonItem other = root;
    root.requireChild("a").appendChild(JsonItem("c", 2));
    EXPECT_EQ(other.toCompactText(), R"({"a":{"b":1}})");
    const JsonItem &constOther = other;
    EXPECT_EQ(rec(constOther.requireChild("a")), rec(other.requireChild("a")));
}

TEST(JsonAccess, AppendingAContainerToItselfMakesACopy) {
    JsonItem array = jsonRead("[1]");
    array.appendChild(array);
    EXPECT_EQ(array.toCompactText(), "[1,[1]]");
}

} // namespace
