#pragma once
// The properties the value decoder fuzz target decodes into: the first octet
// of an input picks one. The codec's golden record replays the corpus with
// the same choice.

#include <cstddef>
#include <cstdint>

namespace value_fuzz {

struct Target {
    uint16_t type;
    uint32_t property;
    int32_t index;
};

// One entry per datatype the table gives, plus index forms and a
// proprietary property.
inline constexpr Target kTargets[] = {
    {0, 81, -1},   {0, 169, -1},  {8, 62, -1},   {15, 86, -1},  {19, 87, -1},  {19, 87, 0},   {19, 87, 5},
    {45, 85, -1},  {2, 85, -1},   {1, 87, -1},   {1, 87, 16},   {46, 85, -1},  {47, 85, -1},  {0, 77, -1},
    {19, 110, -1}, {19, 110, 2},  {0, 111, -1},  {39, 85, -1},  {3, 85, -1},   {4, 87, -1},   {42, 85, -1},
    {50, 85, -1},  {8, 75, -1},   {17, 85, -1},  {45, 87, -1},  {44, 87, -1},  {40, 7, -1},   {8, 76, -1},
    {8, 30, -1},   {0, 101, -1},  {8, 116, -1},  {6, 23, -1},   {0, 19, -1},   {8, 5, -1},    {15, 102, -1},
    {8, 55, -1},   {11, 53, -1},  {17, 123, -1}, {17, 123, 3},  {17, 38, -1},  {0, 249, -1},  {0, 159, -1},
    {17, 54, -1},  {20, 132, -1}, {17, 32, -1},  {0, 16, -1},   {0, 130, -1},  {0, 130, 2},   {0, 157, -1},
    {12, 109, -1}, {7, 2, -1},    {9, 83, -1},   {11, 85, -1},  {8, 152, -1},  {20, 131, -1}, {23, 184, -1},
    {24, 187, -1}, {23, 185, -1}, {28, 212, -1}, {25, 131, -1}, {27, 131, -1}, {32, 258, -1}, {35, 288, -1},
    {32, 256, -1}, {37, 85, -1},  {37, 304, -1}, {32, 257, -1}, {26, 85, -1},  {56, 332, -1}, {56, 330, -1},
    {0, 358, -1},  {15, 361, -1}, {15, 362, -1}, {56, 363, -1}, {54, 380, -1}, {53, 85, -1},  {0, 600, -1},
};
inline constexpr size_t kTargetCount = sizeof kTargets / sizeof kTargets[0];

}  // namespace value_fuzz
