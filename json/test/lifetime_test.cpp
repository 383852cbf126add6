// How long the records of a read document live: items kept from a document
// outlive it, and a document that was changed gives everything back when it
// goes. The leak and use-after-free checks come from the sanitizer builds,
// which run these tests both with records on the heap and in the text's arena.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

using jsontest::rec;

namespace {

// Nothing in it that gives a record memory of its own while it is read.
const char *const documentText = R"({
    "site": "Hall B",
    "feeders": [
        {"name": "north", "loads": [1.5, 2, true, null], "tags": {"a": "x", "b": "yé"}},
        {"name": "south", "loads": [[3, 4], [5, 6]], "tags": {}}
    ],
    "count": 2
})";

struct KeptCase {
    const char *what;
    std::function<JsonItem(JsonItem &root)> keep;
    const char *compact;  // the kept item's compact text, or its text for a value
};

TEST(JsonLifetime, KeptItemsOutliveTheirDocument) {
    // Only read through const handles, so that holding a copy is the one
    // thing that ties the item's lifetime to more than its document.
    auto at = [](const JsonItem &root, size_t feeder) -> const JsonItem & {
        return root.requireChild("feeders").requireChildAt(feeder);
    };
    const KeptCase cases[] = {
        {"a copied handle of a nested container",
         [&](const JsonItem &root) { return JsonItem(at(root, 1).requireChild("loads")); }, "[[3,4],[5,6]]"},
        {"a copied handle of a value",
         [&](const JsonItem &root) { return JsonItem(at(root, 0).requireChild("tags").requireChild("b")); },
         "y\xC3\xA9"},
        {"a copied handle of a container not read yet",
         [&](const JsonItem &root) { return JsonItem(at(root, 0)); },
         R"({"name":"north","loads":[1.5,2,true,null],"tags":{"a":"x","b":"yé"}})"},
        {"a handle assigned over another",
         [&](const JsonItem &root) {
             JsonItem kept(JsonItemType::Array);
             kept = at(root, 1);
             return kept;
         },
         R"({"name":"south","loads":[[3,4],[5,6]],"tags":{}})"},
        {"a child taken out", [](JsonItem &root) { return root.takeChild("feeders"); },
         R"([{"name":"north","loads":[1.5,2,true,null],"tags":{"a":"x","b":"yé"}},)"
         R"({"name":"south","loads":[[3,4],[5,6]],"tags":{}}])"},
        {"a deep copy of a container not read yet",
         [](const JsonItem &root) { return root.requireChild("feeders").deepCopy(); },
         R"([{"name":"north","loads":[1.5,2,true,null],"tags":{"a":"x","b":"yé"}},)"
         R"({"name":"south","loads":[[3,4],[5,6]],"tags":{}}])"},
        {"an object seen as an object",
         [&](const JsonItem &root) { return at(root, 0).requireChild("tags").toObject(); },
         R"({"a":"x","b":"yé"})"},
        {"a heap handle sharing a record",
         [&](const JsonItem &root) {
             JsonItem *heap = JsonItem::createShared(at(root, 1).data());
             JsonItem kept = *heap;
             JsonItem::destroyHandle(heap);
             return kept;
         },
         R"({"name":"south","loads":[[3,4],[5,6]],"tags":{}})"},
        {"handles shared between a kept item and its document",
         [&](const JsonItem &root) {
             JsonItem kept(JsonItemType::Object);
             JsonItem &inDocument = const_cast<JsonItem &>(at(root, 1).requireChild("tags"));
             jsonShareRecord(kept, inDocument);
             return kept;
         },
         "{}"},
    };
    for (const KeptCase &c : cases) {
        JsonItem kept;
        {
            JsonItem root = jsonRead(documentText);
            kept = c.keep(root);
        }
        const std::string text =
            kept.getType() == JsonItemType::Array || kept.getType() == JsonItemType::Object
                ? kept.toCompactText()
                : kept.getText();
        EXPECT_EQ(text, c.compact) << c.what;
        EXPECT_EQ(jsontest::decodeAll(kept), jsontest::decodeAll(kept.deepCopy())) << c.what;
    }
}

struct ChangeCase {
    const char *what;
    std::function<void(JsonItem &root)> change;
    const char *compact;  // the document's compact text afterwards
};

TEST(JsonLifetime, ChangedDocumentsGiveEverythingBack) {
    const char *const text = R"({"a": [1, {"b": "two", "c": [3]}], "d": "\t"})";
    const ChangeCase cases[] = {
        {"nothing changed, every value read", [](JsonItem &root) { jsontest::decodeAll(root); },
         R"({"a":[1,{"b":"two","c":[3]}],"d":"\t"})"},
        {"a nested name set",
         [](JsonItem &root) { root.getChild("a").getChildAt(1).getChild("b").setName("bb"); },
         R"({"a":[1,{"bb":"two","c":[3]}],"d":"\t"})"},
        {"a nested value converted",
         [](JsonItem &root) { root.getChild("a").getChildAt(0).convertTo(JsonItemType::String); },
         R"({"a":["1",{"b":"two","c":[3]}],"d":"\t"})"},
        {"a new item appended deep down",
         [](JsonItem &root) {
             root.getChild("a").getChildAt(1).getChild("c").appendChild(JsonItem("", std::string("new")));
         },
         R"({"a":[1,{"b":"two","c":[3,"new"]}],"d":"\t"})"},
        {"an item of the document moved elsewhere in it",
         [](JsonItem &root) {
             JsonItem moved = root.getChild("a").takeChildAt(1);
             moved.setName("m");
             root.appendChild(moved);
         },
         R"({"a":[1],"d":"\t","m":{"b":"two","c":[3]}})"},
        {"a nested child erased",
         [](JsonItem &root) {
             JsonItem &a = root.getChild("a");
             a.eraseChild(a.begin());
         },
         R"({"a":[{"b":"two","c":[3]}],"d":"\t"})"},
        {"children cleared", [](JsonItem &root) { root.getChild("a").clearChildren(); },
         R"({"a":[],"d":"\t"})"},
        {"the root written through its iterator",
         [](JsonItem &root) {
             for (JsonItem &child : root) {
                 child.setName(child.getName() + "!");
             }
         },
         R"({"a!":[1,{"b":"two","c":[3]}],"d!":"\t"})"},
    };
    for (const ChangeCase &c : cases) {
        JsonItem root = jsonRead(text);
        c.change(root);
        EXPECT_EQ(root.toCompactText(), c.compact) << c.what;
    }
}

TEST(JsonLifetime, LargeContainersBesideSmallOnes) {
    // A container too large for the text's ordinary memory pieces gets one
    // of its own; the small ones around it go on as before.
    std::string text = "[[1,2],[";
    for (int i = 0; i < 70000; ++i) {
        text += (i ? "," : "") + std::to_string(i % 7);
    }
    text += "],[3,4]]";
    JsonItem root = jsonRead(text);
    ASSERT_EQ(root.getSize(), 3u);
    double sum = 0;
    for (const JsonItem &value : root.getChildAt(1)) {
        sum += value.toDouble();
    }
    EXPECT_EQ(root.getChildAt(1).getSize(), 70000u);
    EXPECT_EQ(sum, 210000.0);
    EXPECT_EQ(root.getChildAt(0).toCompactText(), "[1,2]");
    EXPECT_EQ(root.getChildAt(2).toCompactText(), "[3,4]");
}

TEST(JsonLifetime, AContainerLargerThanTheNextPieceTakesOnlyWhatItNeeds) {
    // 50000 elements: more than the text's next ordinary memory piece holds,
    // less than what always gets a piece of its own.
    const size_t n = 50000;
    std::string text = "[0";
    for (size_t i = 1; i < n; ++i) {
        text += ",0";
    }
    text += "]";
    const long long needed = static_cast<long long>(n * (sizeof(JsonItemData) + sizeof(JsonItem)));
    EXPECT_EQ(jsonRead(text).getSize(), n); // the reader's own buffers grown once, before counting
    const long long before = jsontest::bytesInUse.load();
    JsonItem root = jsonRead(text);
    ASSERT_EQ(std::as_const(root).getSize(), n);
    EXPECT_LT(jsontest::bytesInUse.load() - before, 2 * needed);
}

TEST(JsonLifetime, RecordsAfterAnOddNumberOfSlotsAreAligned) {
    // Where a handle is half the records' alignment (32-bit ARM), the
    // records after an odd number of slots, and the containers split after
    // them, must still be aligned for the double they hold.
    JsonItem root = jsonRead(R"([[1], [1, 2, 3], {"a": [true, 2.5, "x"]}, [[4]], 5])");
    std::vector<const JsonItem *> pending{&root};
    size_t seen = 0;
    while (!pending.empty()) {
        const JsonItem *item = pending.back();
        pending.pop_back();
        EXPECT_EQ(reinterpret_cast<uintptr_t>(item->data()) % alignof(JsonItemData), 0u) << item->getText();
        ++seen;
        for (const JsonItem &child : *item) {
            pending.push_back(&child);
        }
    }
    EXPECT_EQ(seen, 16u);
}

TEST(JsonLifetime, CommentsAndEscapesAreGivenBackWithTheDocument) {
    // Both give records memory of their own while the document is only read.
    JsonItem root = jsonRead("// top\n{\"a\\\"b\": [\"\\u00e9\\n\", /* c */ 1], \"x\": {\"y\": \"\\\"\"}}");
    EXPECT_EQ(jsontest::decodeAll(root), 6u);
    EXPECT_EQ(root.getComment(), " top");
    EXPECT_EQ(root.getChildAt(0).getName(), "a\"b");
    EXPECT_EQ(root.getChildAt(0).getChildAt(1).getComment(), " c ");
    EXPECT_EQ(root.getChildAt(0).getChildAt(0).getText(), "\xC3\xA9\n");
}

TEST(JsonLifetime, CopiesOfUnreadContainersSplitApartFromTheText) {
    // A container is split into the text's memory only once, by the record
    // the reader made; its copies split on their own, so that copying and
    // reading one part again and again does not pile up in the text's memory.
    JsonItem root = jsonRead(R"({"a": [[1, 2], [3, 4]]})");
    const JsonItem &a = root.requireChild("a");
    for (int round = 0; round < 3; ++round) {
        JsonItem copy = a.deepCopy();
        EXPECT_FALSE(rec(copy)->inArena);
        ASSERT_EQ(copy.getSize(), 2u);
        for (const JsonItem &pair : copy) {
            EXPECT_FALSE(rec(pair)->inArena);
            EXPECT_EQ(pair.getSize(), 2u);
        }
    }
    EXPECT_EQ(a.toCompactText(), "[[1,2],[3,4]]");
}

}  // namespace

namespace {

TEST(JsonLifetime, AllocationFailuresLeaveNothingBehind) {
    // Every allocation of reading, walking, writing, copying and changing a
    // document made to fail in turn: each attempt ends in std::bad_alloc with nothing
    // leaked or used after it was freed (the sanitizer builds check).
    const std::string text = "// top\n{\"a\\\"\": [\"x\\ny\", /* c */ {\"b\": [1, 2, {\"c\": \"\\u00e9\"}]}],"
                             " \"d\": [true, null, 1.5e3, 017], \"e\": {}}";
    const std::string expected = R"({"a\"":["x\ny",{"b":[1,2,{"c":")" "\xC3\xA9"
                                 R"("}]}],"d":[true,null,1.5e3,017],"e":{}})";
    long failures = 0;
    for (long n = 0;; ++n) {
        std::string compact;
        bool failed = false;
        jsontest::allocationsLeft.store(n);
        try {
            JsonItem root = jsonRead(text);
            jsontest::decodeAll(root);
            compact = root.toCompactText();
            (void)root.toIndentedText();
            JsonItem copy = root.deepCopy();
            jsontest::decodeAll(copy);
            copy.getChild("d").appendChild(JsonItem("", 5));
            copy.getChild("e").setName("f");
            copy.appendChild(JsonItem("a name long enough to be on the heap", std::string("and a long value too")));
            copy.appendChild(JsonItem(JsonItemType::Boolean));
            (void)copy.toCompactText();
        } catch (const std::bad_alloc &) {
            failed = true;
        }
        jsontest::allocationsLeft.store(-1);
        if (!failed) {
            EXPECT_EQ(compact, expected);
            break;
        }
        ++failures;
        ASSERT_LT(n, 100000);
    }
    EXPECT_GT(failures, 20);
}

} // namespace

namespace {

struct FailingCase {
    const char *what;
    std::function<std::string(JsonItem &root)> run; // the text it gives when nothing fails
    const char *expected;
};

TEST(JsonLifetime, ReshapingUnderAllocationFailuresLeavesNothingBehind) {
    // Operations that build a record and finish it afterwards: what they
    // made must go when finishing it fails.
    const char *const text = R"({"a": [1, {"b": "x"}], "d": {"e": true, "f": null}})";
    const FailingCase cases[] = {
        {"an object seen as an array",
         [](JsonItem &root) { return std::as_const(root).requireChild("d").toArray().toCompactText(); },
         "[true,null]"},
        {"an array seen as an object",
         [](JsonItem &root) { return std::as_const(root).requireChild("a").toObject().toCompactText(); },
         R"({"":1,"":{"b":"x"}})"},
        {"an object converted to an array in place",
         [](JsonItem &root) {
             root.getChild("d").convertTo(JsonItemType::Array);
             return root.toCompactText();
         },
         R"({"a":[1,{"b":"x"}],"d":[true,null]})"},
        {"a heap handle taking over a reference",
         [](JsonItem &root) {
             std::unique_ptr<JsonItem, void (*)(JsonItem *)> owner(
                 JsonItem::createOwning(jsonNewRecord(JsonItemType::Array)), JsonItem::destroyHandle);
             owner->appendChild(std::as_const(root).requireChild("a"));
             return owner->toCompactText();
         },
         "[[1,{\"b\":\"x\"}]]"},
    };
    for (const FailingCase &c : cases) {
        long failures = 0;
        for (long n = 0;; ++n) {
            std::string written;
            bool failed = false;
            jsontest::allocationsLeft.store(n);
            try {
                JsonItem root = jsonRead(text);
                written = c.run(root);
            } catch (const std::bad_alloc &) {
                failed = true;
            }
            jsontest::allocationsLeft.store(-1);
            if (!failed) {
                EXPECT_EQ(written, c.expected) << c.what;
                break;
            }
            ++failures;
            ASSERT_LT(n, 10000) << c.what;
        }
        EXPECT_GT(failures, 2) << c.what;
    }
}

} // namespace

namespace {

TEST(JsonLifetime, AConversionThatRunsOutOfMemoryLeavesAValidDocument) {
    // A value whose conversion fails keeps a kind and a text that go
    // together: the document still writes as JSON that reads back the same.
    const char *const text = R"({"s": "abc", "n": 12, "t": true, "o": {"k": 1}})";
    const JsonItemType kinds[] = {JsonItemType::Number, JsonItemType::Boolean, JsonItemType::String,
                                  JsonItemType::Null};
    for (const char *name : {"s", "n", "t", "o"}) {
        for (JsonItemType kind : kinds) {
            for (long n = 0;; ++n) {
                JsonItem root = jsonRead(text);
                jsontest::decodeAll(root);
                bool failed = false;
                jsontest::allocationsLeft.store(n);
                try {
                    root.getChild(name).convertTo(kind);
                } catch (const std::bad_alloc &) {
                    failed = true;
                }
                jsontest::allocationsLeft.store(-1);
                const std::string written = root.toCompactText();
                EXPECT_TRUE(jsonRead(written).equals(root)) << name << " " << int(kind) << ": " << written;
                if (!failed) {
                    break;
                }
                ASSERT_LT(n, 1000);
            }
        }
    }
}

} // namespace
