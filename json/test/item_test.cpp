// Items, records, copy-on-write, children lists and base64.

#include "json_test_util.h"

#include <gtest/gtest.h>

using jsontest::rec;

namespace {

TEST(JsonItem, ConstructionGivesAnEmptyItemOfTheKind) {
    struct {
        JsonItemType type;
        const char *text;
        const char *compactInArray;
    } const cases[] = {
        {JsonItemType::Null, "", "[null]"},      {JsonItemType::String, "", "[\"\"]"},
        {JsonItemType::Number, "0", "[0]"},      {JsonItemType::Boolean, "false", "[false]"},
        {JsonItemType::Array, "", "[[]]"},       {JsonItemType::Object, "", "[{}]"},
    };
    for (const auto &c : cases) {
        JsonItem item(c.type);
        EXPECT_EQ(item.getType(), c.type);
        EXPECT_EQ(item.getText(), c.text);
        EXPECT_EQ(item.getSize(), 0u);
        EXPECT_TRUE(item.isEmpty());
        EXPECT_EQ(item.getName(), "");
        EXPECT_EQ(rec(item)->refCount, 1u);
        JsonItem array(JsonItemType::Array);
        array.appendChild(item);
        EXPECT_EQ(array.toCompactText(), c.compactInArray) << static_cast<int>(c.type);
    }
}

TEST(JsonItem, CopiesShareUntilOneChanges) {
    JsonItem a = jsonRead(R"({"x":1})");
    JsonItem b = a;
    EXPECT_EQ(rec(a), rec(b));
    EXPECT_EQ(rec(a)->refCount, 2u);

    b.setName("renamed");
    EXPECT_NE(rec(a), rec(b));
    EXPECT_EQ(rec(a)->refCount, 1u);
    EXPECT_EQ(rec(b)->refCount, 1u);
    EXPECT_EQ(a.getName(), "");
    EXPECT_EQ(b.getName(), "renamed");
}

TEST(JsonItem, BeginOfASharedRecordClonesIt) {
    JsonItem a = jsonRead("[1,2,3]");
    JsonItem b = a;
    JsonItemData *before = rec(a);
    auto it = b.begin();
    EXPECT_NE(rec(b), before);
    EXPECT_EQ(rec(a), before);
    b.eraseChild(it);
    EXPECT_EQ(a.getSize(), 3u);
    EXPECT_EQ(b.getSize(), 2u);
}

TEST(JsonItem, ReadingASharedRecordDecodesItForEveryHandle) {
    JsonItem a = jsonRead(R"({"v":[1,2]})");
    JsonItem b = a;
    EXPECT_FALSE(rec(a)->decoded);
    EXPECT_EQ(b.getSize(), 1u); // a read: no copy
    EXPECT_EQ(rec(a), rec(b));
    EXPECT_TRUE(rec(a)->decoded);
    EXPECT_EQ(rec(a)->refCount, 2u);
}

TEST(JsonItem, TypeOfAnUnreadMemberIsWhatItsFirstCharacterGave) {
    JsonItem root = jsonRead("[[1:2],\"s\"]");
    const JsonItem &bad = root.getChildAt(0);
    EXPECT_EQ(bad.getType(), JsonItemType::Array);
    EXPECT_EQ(bad.getSize(), 0u);
    EXPECT_EQ(bad.getType(), JsonItemType::Null);
}

TEST(JsonItem, ToArrayDropsNamesOfTheCopyOnly) {
    for (bool readFirst : {true, false}) {
        JsonItem object = jsonRead(R"({"a":1,"b":"x","c":[true]})");
        if (readFirst) {
            EXPECT_EQ(object.getSize(), 3u);
        }
        JsonItem array = object.toArray();
        ASSERT_EQ(array.getType(), JsonItemType::Array) << readFirst;
        EXPECT_EQ(array.toCompactText(), R"([1,"x",[true]])") << readFirst;
        EXPECT_EQ(object.toCompactText(), R"({"a":1,"b":"x","c":[true]})");
        EXPECT_EQ(object.getChildAt(1).getName(), "b");
    }
}

TEST(JsonItem, ToObjectAndToArrayOfOtherKinds) {
    JsonItem array = jsonRead("[1,2]");
    EXPECT_EQ(rec(array.toArray()), rec(array));
    JsonItem asObject = array.toObject();
    EXPECT_EQ(asObject.getType(), JsonItemType::Object);
    EXPECT_EQ(asObject.getSize(), 2u);
    EXPECT_EQ(array.getType(), JsonItemType::Array);

    for (JsonItem scalar : {JsonItem("s", "text"), JsonItem("n", 4), JsonItem("b", true), JsonItem()}) {
        JsonItem o = scalar.toObject();
        JsonItem a = scalar.toArray();
        EXPECT_EQ(o.getType(), JsonItemType::Object);
        EXPECT_EQ(a.getType(), JsonItemType::Array);
        EXPECT_EQ(o.getSize() + a.getSize(), 0u);
        EXPECT_NE(scalar.getType(), JsonItemType::Object);
    }
}

TEST(JsonItem, ConvertToChangesTheKindInPlace) {
    JsonItem root = jsonRead(R"(["12.5","true",7,false,{"k":1}])");
    JsonItem s = root.getChildAt(0);
    s.convertTo(JsonItemType::Number);
    EXPECT_EQ(s.getType(), JsonItemType::Number);
    EXPECT_EQ(s.getText(), "12.5");
    EXPECT_DOUBLE_EQ(s.toDouble(), 12.5);

    JsonItem n = root.getChildAt(2);
    n.convertTo(JsonItemType::String);
    EXPECT_EQ(n.getType(), JsonItemType::String);
    EXPECT_EQ(n.getText(), "7");
    n.convertTo(JsonItemType::Boolean); // a String is true only when it says "true"
    EXPECT_EQ(n.getText(), "false");
    n.convertTo(JsonItemType::Null);
    EXPECT_EQ(n.getText(), "null");

    JsonItem o = root.getChildAt(4);
    o.convertTo(JsonItemType::Array);
    EXPECT_EQ(o.toCompactText(), "[1]");
    // The document itself is unchanged: every conversion worked on a copy.
    EXPECT_EQ(root.toCompactText(), R"(["12.5","true",7,false,{"k":1}])");
}

TEST(JsonItem, DeepCopyGivesRecordsOfTheirOwn) {
    JsonItem root = jsonRead(R"({"a":{"b":[1,2]}})");
    jsontest::decodeAll(root);
    JsonItem copy = root.deepCopy();
    EXPECT_TRUE(copy.equals(root));
    EXPECT_NE(rec(copy), rec(root));
    EXPECT_EQ(rec(copy)->refCount, 1u);
    const JsonItem &inner = copy.requireChild("a").requireChild("b");
    EXPECT_NE(rec(inner), rec(root.requireChild("a").requireChild("b")));
    EXPECT_EQ(rec(inner)->refCount, 1u);
}

TEST(JsonItem, ChildrenListGrowsByDoubling) {
    JsonItem array(JsonItemType::Array);
    std::vector<uint32_t> seen;
    for (int i = 0; i < 33; ++i) {
        array.appendChild(JsonItem("", i));
        seen.push_back(rec(array)->children.capacity);
    }
    EXPECT_EQ(seen[0], 8u);
    EXPECT_EQ(seen[8], 16u);
    EXPECT_EQ(seen[16], 32u);
    EXPECT_EQ(seen[32], 64u);

    JsonItem five(JsonItemType::Array);
    for (int i = 0; i < 5; ++i) {
        five.appendChild(JsonItem("", i));
    }
    JsonItem clone = five.deepCopy();
    EXPECT_EQ(rec(clone)->children.capacity, 5u);
    clone.appendChild(JsonItem("", 5));
    EXPECT_EQ(rec(clone)->children.capacity, 10u);
}

TEST(JsonItem, RemovingTheOnlyChildFreesTheSlots) {
    JsonItem array(JsonItemType::Array);
    array.appendChild(JsonItem("", 1));
    JsonItem taken = array.takeChildAt(0);
    EXPECT_EQ(taken.toInteger(), 1);
    EXPECT_EQ(rec(array)->children.items, nullptr);
    array.appendChild(JsonItem("", 2));
    EXPECT_EQ(rec(array)->children.capacity, 8u);
}

TEST(JsonItem, ClearChildren) {
    JsonItem empty(JsonItemType::Array);
    JsonItem emptyCopy = empty;
    empty.clearChildren();
    EXPECT_EQ(rec(empty), rec(emptyCopy)); // nothing to clear: still shared

    JsonItem scalar("n", 1);
    JsonItem scalarCopy = scalar;
    scalar.clearChildren();
    EXPECT_EQ(rec(scalar), rec(scalarCopy));

    JsonItem full = jsonRead("[1,[2],{}]");
    JsonItem fullCopy = full;
    full.clearChildren();
    EXPECT_EQ(full.getSize(), 0u);
    EXPECT_EQ(fullCopy.getSize(), 3u);
    EXPECT_EQ(full.toCompactText(), "[]");
}

TEST(JsonItem, WritingThroughALookedUpChildLeavesCopiesAlone) {
    JsonItem root = jsonRead(R"({"a":{"b":1},"c":2})");
    JsonItem copy = root;
    JsonItem &a = root.getChild("a");
    a.appendChild(JsonItem("added", true));
    a.setName("A");
    EXPECT_EQ(root.toCompactText(), R"({"A":{"b":1,"added":true},"c":2})");
    EXPECT_EQ(copy.toCompactText(), R"({"a":{"b":1},"c":2})");
}

TEST(JsonItem, TakingAChildOfASharedContainer) {
    JsonItem root = jsonRead(R"({"a":[1],"b":2})");
    JsonItem other = root;
    JsonItem a = root.takeChild("a");
    EXPECT_EQ(a.toCompactText(), "[1]");
    EXPECT_EQ(root.toCompactText(), R"({"b":2})");
    EXPECT_EQ(other.toCompactText(), R"({"a":[1],"b":2})");
    EXPECT_THROW(root.takeChild("a"), std::out_of_range);
    EXPECT_EQ(other.getSize(), 2u);
}

TEST(JsonItem, IteratorsWalkTheChildrenInOrder) {
    JsonItem root = jsonRead(R"({"a":1,"b":2,"c":3})");
    std::string names;
    for (JsonItemIterator it = root.begin(); it != root.end(); ++it) {
        names += it->getName();
    }
    EXPECT_EQ(names, "abc");
    const JsonItem &constRoot = root;
    int sum = 0;
    for (JsonItemConstIterator it = constRoot.begin(); it != constRoot.end(); it++) {
        sum += (*it).toInteger();
    }
    EXPECT_EQ(sum, 6);
    JsonItemConstIterator fromMutable = root.begin();
    EXPECT_TRUE(fromMutable == constRoot.begin());

    JsonItem scalar("x", 1);
    EXPECT_EQ(scalar.begin(), scalar.end());
    EXPECT_EQ(scalar.begin().slot(), nullptr);
}

TEST(Base64, KnownTexts) {
    struct {
        const char *bytes;
        const char *text;
    } const cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
                       {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto &c : cases) {
        EXPECT_EQ(base64Encode(c.bytes), c.text);
        EXPECT_EQ(base64Decode(c.text), c.bytes);
        EXPECT_EQ(base64EncodedLength(std::string(c.bytes).size()), std::string(c.text).size()) << c.bytes;
        EXPECT_GE(base64DecodedLength(std::string(c.text).size()), std::string(c.bytes).size()) << c.text;
    }
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
    EXPECT_EQ(base64DecodedLength(8), 6u);
    EXPECT_EQ(std::string(base64Alphabet).size(), 64u);
}

TEST(Base64, MalformedTextsDecodeToNothing) {
    for (const char *text : {"Zm9vY", "Zg=a", "Z===", "Zm9v!A==", "====", "Zm 9"}) {
        EXPECT_EQ(base64Decode(text), "") << text;
    }
}

TEST(JsonItem, HeapHandles) {
    JsonItem item("a", 1);
    JsonItem *shared = JsonItem::createShared(item.data());
    EXPECT_EQ(rec(*shared), rec(item));
    EXPECT_EQ(rec(item)->refCount, 2u);
    JsonItem::destroyHandle(shared);
    EXPECT_EQ(rec(item)->refCount, 1u);

    // createOwning takes over a reference already counted for it.
    JsonItem source("b", 2);
    JsonItemData *record = source.data();
    jsonRetain(record);
    JsonItem *owner = JsonItem::createOwning(record);
    EXPECT_EQ(record->refCount, 2u);
    source = JsonItem(JsonItemType::Null);
    EXPECT_EQ(owner->toInteger(), 2);
    EXPECT_EQ(record->refCount, 1u);
    JsonItem::destroyHandle(owner);
    JsonItem::destroyHandle(nullptr);
}

TEST(JsonItem, ShareRecord) {
    JsonItem a("a", 1);
    JsonItem b("b", 2);
    JsonItem b2 = b; // b's record has two references, a's one
    jsonShareRecord(a, b);
    EXPECT_EQ(rec(a), rec(b));
    EXPECT_EQ(a.getName(), "b");
    EXPECT_EQ(rec(a)->refCount, 3u);

    JsonItem c("c", 3);
    JsonItem d("d", 4);
    jsonShareRecord(c, d); // a tie: the second takes the first's
    EXPECT_EQ(d.getName(), "c");

    JsonItem e("e", 5);
    JsonItem f("f", 6);
    JsonItem f2 = f;
    jsonShareFirstRecord(e, f); // whatever the counts
    EXPECT_EQ(f.getName(), "e");
    EXPECT_EQ(f2.getName(), "f");

    JsonItem list[] = {JsonItem("x", 1), JsonItem("y", 2), JsonItem("z", 3)};
    jsonShareRecord(list, 3);
    for (const JsonItem &item : list) {
        EXPECT_EQ(rec(item), rec(list[0]));
    }
    EXPECT_EQ(rec(list[0])->refCount, 3u);
    jsonShareRecord(list, 0); // nothing to do
}

} // namespace
