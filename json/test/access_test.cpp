// Child access, insertion, removal and errors.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
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

TEST(JsonAccess, InsertingAnItemIntoItsOwnTreeInsertsACopy) {
    // Otherwise the tree would hold itself: writing it would never end and
    // releasing it would never free it.
    using Insert = std::function<void(JsonItem &inner, const JsonItem &root)>;
    struct {
        const char *what;
        Insert insert;
        const char *after;
    } const cases[] = {
        {"append", [](JsonItem &inner, const JsonItem &root) { inner.appendChild(root); },
         R"({"a":{"b":[1,{"a":{"b":[1]}}]}})"},
        {"insert", [](JsonItem &inner, const JsonItem &root) { inner.insertChild(inner.begin(), root); },
         R"({"a":{"b":[{"a":{"b":[1]}},1]}})"},
        {"insert a range",
         [](JsonItem &inner, const JsonItem &root) {
             JsonItem holder(JsonItemType::Array);
             holder.appendChild(JsonItem("", 2));
             holder.appendChild(root);
             inner.insertChildren(inner.end(), holder.begin(), holder.end());
         },
         R"({"a":{"b":[1,2,{"a":{"b":[1]}}]}})"},
        {"insert from the last child",
         [](JsonItem &inner, const JsonItem &root) { inner.insertChild(inner.rend(), root); },
         R"({"a":{"b":[{"a":{"b":[1]}},1]}})"},
        {"insert a range from the last child",
         [](JsonItem &inner, const JsonItem &root) {
             JsonItem holder(JsonItemType::Array);
             holder.appendChild(root);
             inner.insertChildren(inner.rbegin(), holder.begin(), holder.end());
         },
         R"({"a":{"b":[1,{"a":{"b":[1]}}]}})"},
        {"the parent into its child",
         [](JsonItem &inner, const JsonItem &root) { inner.appendChild(root.getChildAt(0)); },
         R"({"a":{"b":[1,{"b":[1]}]}})"},
    };
    // Counts the records below an item, giving up past `limit` (a tree that
    // holds itself has no end).
    auto countRecords = [](const JsonItem &item, size_t limit) {
        size_t seen = 0;
        std::vector<const JsonItemData *> pending{rec(item)};
        while (!pending.empty() && seen <= limit) {
            const JsonItemData *r = pending.back();
            pending.pop_back();
            ++seen;
            if (r->isContainer()) {
                for (uint32_t i = 0; i < r->children.count; ++i) {
                    pending.push_back(rec(r->children.items[i]));
                }
            }
        }
        return seen;
    };
    for (const auto &c : cases) {
        JsonItem root = jsonRead(R"({"a":{"b":[1]}})");
        JsonItem &inner = root.getChild("a").getChild("b");
        c.insert(inner, root);
        ASSERT_LT(countRecords(root, 100), 100u) << c.what;
        EXPECT_EQ(root.toCompactText(), c.after) << c.what;
    }
}

TEST(JsonAccess, PositionsCountedFromTheLastChild) {
    using Op = std::function<JsonItemReverseIterator(JsonItem &)>;
    const JsonItem x("", "x");
    JsonItem pair(JsonItemType::Array);
    pair.appendChild(JsonItem("", "a"));
    pair.appendChild(JsonItem("", "b"));
    struct {
        const char *what;
        Op op;
        const char *after;     // the children in document order
        const char *returned;  // the child at the answered position; "" for rend()
    } const cases[] = {
        {"insert at rbegin", [&](JsonItem &a) { return a.insertChild(a.rbegin(), x); }, "1234x", "x"},
        {"insert at rbegin+1", [&](JsonItem &a) { return a.insertChild(std::next(a.rbegin()), x); }, "123x4", "x"},
        {"insert at rend", [&](JsonItem &a) { return a.insertChild(a.rend(), x); }, "x1234", "x"},
        {"insert a range", [&](JsonItem &a) { return a.insertChildren(std::next(a.rbegin()), pair.begin(), pair.end()); },
         "123ba4", "a"},
        {"insert a range at rend", [&](JsonItem &a) { return a.insertChildren(a.rend(), pair.begin(), pair.end()); },
         "ba1234", "a"},
        {"insert an empty range", [&](JsonItem &a) { return a.insertChildren(a.rbegin(), pair.end(), pair.end()); },
         "1234", "4"},
        {"erase the last", [&](JsonItem &a) { return a.eraseChild(a.rbegin()); }, "123", "3"},
        {"erase the first", [&](JsonItem &a) { return a.eraseChild(std::prev(a.rend())); }, "234", ""},
        {"erase at rend", [&](JsonItem &a) { return a.eraseChild(a.rend()); }, "1234", ""},
        {"erase a range", [&](JsonItem &a) { return a.eraseChildren(std::next(a.rbegin()), std::next(a.rbegin(), 3)); },
         "14", "1"},
        {"erase to rend", [&](JsonItem &a) { return a.eraseChildren(std::next(a.rbegin(), 2), a.rend()); }, "34", ""},
        {"erase everything", [&](JsonItem &a) { return a.eraseChildren(a.rbegin(), a.rend()); }, "", ""},
        {"erase an empty range", [&](JsonItem &a) { return a.eraseChildren(a.rbegin(), a.rbegin()); }, "1234", "4"},
    };
    for (const auto &c : cases) {
        JsonItem array = jsonRead("[1,2,3,4]");
        JsonItem other = array; // shares the record: must not see the change
        JsonItemReverseIterator it = c.op(array);
        EXPECT_EQ(names(array), c.after) << c.what;
        EXPECT_EQ(names(other), "1234") << c.what;
        if (std::string(c.returned).empty()) {
            EXPECT_TRUE(it == array.rend()) << c.what;
        } else {
            ASSERT_TRUE(it != array.rend()) << c.what;
            EXPECT_EQ(it->getText(), c.returned) << c.what;
        }
    }
}

TEST(JsonAccess, ReverseIterationAndNonContainers) {
    JsonItem array = jsonRead("[1,2,3]");
    std::string seen;
    for (auto it = array.rbegin(); it != array.rend(); ++it) {
        seen += it->getText();
    }
    EXPECT_EQ(seen, "321");
    const JsonItem &constArray = array;
    EXPECT_EQ(std::distance(constArray.rbegin(), constArray.rend()), 3);

    JsonItem number("n", 5);
    EXPECT_TRUE(number.rbegin() == number.rend());
    EXPECT_TRUE(number.insertChild(number.rend(), array) == number.rend());
    EXPECT_TRUE(number.eraseChild(number.rbegin()) == number.rend());
    EXPECT_EQ(number.getText(), "5");

    // Prepending to an empty container, then to one with children.
    JsonItem empty(JsonItemType::Array);
    empty.insertChild(empty.rend(), JsonItem("", 2));
    empty.insertChild(empty.rend(), JsonItem("", 1));
    EXPECT_EQ(empty.toCompactText(), "[1,2]");
}

} // namespace
