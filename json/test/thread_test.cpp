// Several threads reading one document: items that share no record may be
// used on different threads at once, even while each is decoded for the
// first time. Also run under ThreadSanitizer.

#include "json_test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int parts = 8;
constexpr int perPart = 1500;

// {"p0": [{"v": 0, "s": "0"}, ...], "p1": [...], ...}
std::string makeDocument() {
    std::string text = "{";
    for (int p = 0; p < parts; ++p) {
        text += (p ? ",\"p" : "\"p") + std::to_string(p) + "\":[";
        for (int i = 0; i < perPart; ++i) {
            text += (i ? ",{\"v\":" : "{\"v\":") + std::to_string(p * perPart + i) + ",\"s\":\"" +
                    std::to_string(i) + "\",\"l\":[true,null]}";
        }
        text += "]";
    }
    return text + "}";
}

double expectedSum(int p) {
    double sum = 0;
    for (int i = 0; i < perPart; ++i) {
        sum += p * perPart + i;
    }
    return sum;
}

TEST(JsonThreads, PartsOfOneDocumentReadTogether) {
    const std::string text = makeDocument();
    for (int round = 0; round < 4; ++round) {
        JsonItem root = jsonRead(text);
        const JsonItem &constRoot = root;
        ASSERT_EQ(constRoot.getSize(),
                  static_cast<size_t>(parts));  // the root is split before the threads start
        std::vector<double> sums(parts, 0);
        std::vector<size_t> values(parts, 0);
        std::vector<std::thread> threads;
        for (int p = 0; p < parts; ++p) {
            threads.emplace_back([&, p] {
                const JsonItem &part = constRoot.getChildAt(static_cast<size_t>(p));
                if (p % 2 == 0) {
                    // Half the threads keep handles of their own, half only look.
                    JsonItem kept = part;
                    for (const JsonItem &entry : kept) {
                        JsonItem value = entry.requireChild("v");
                        sums[p] += value.toDouble();
                    }
                } else {
                    for (const JsonItem &entry : part) {
                        sums[p] += entry.requireChild("v").toDouble();
                    }
                }
                values[p] = jsontest::decodeAll(part);
            });
        }
        for (std::thread &t : threads) {
            t.join();
        }
        for (int p = 0; p < parts; ++p) {
            EXPECT_EQ(sums[p], expectedSum(p)) << p;
            EXPECT_EQ(values[p], static_cast<size_t>(1 + perPart * 6)) << p;
        }
    }
}

}  // namespace
