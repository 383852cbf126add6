#pragma once
// Helpers shared by the JSON library's tests.

#include "json_data.h"
#include "meter/json.h"

#include <atomic>
#include <string>
#include <vector>

namespace jsontest {

// Allocations through operator new allowed before the next one fails with
// std::bad_alloc; negative: none fails (failing_new.cpp).
extern std::atomic<long> allocationsLeft;
// Bytes taken through operator new and not yet given back.
extern std::atomic<long long> bytesInUse;

inline JsonItemData *rec(const JsonItem &item) { return item.data(); }

// Reads every value of the tree, without recursion: what a caller that walks
// a whole document does.
inline size_t decodeAll(const JsonItem &root) {
    size_t values = 0;
    std::vector<const JsonItem *> pending{&root};
    while (!pending.empty()) {
        const JsonItem *item = pending.back();
        pending.pop_back();
        ++values;
        (void)item->getText();
        (void)item->getName();
        (void)item->toDouble();
        (void)item->toBoolean();
        for (const JsonItem &child : *item) {
            pending.push_back(&child);
        }
    }
    return values;
}

inline std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

} // namespace jsontest
