#include "bacnet/datatype_table.h"

#include <array>
#include <initializer_list>

namespace {

constexpr uint32_t kProperties = 387;

struct Entry {
    uint8_t code = 255;
    bool list = false;
};

struct Span {
    uint16_t first;
    uint16_t last;
};

struct Row {
    uint8_t code;
    bool list;
    std::initializer_list<Span> ids;
};

// Properties whose datatype does not depend on the object type. Spans are
// inclusive; a single identifier is a span of one.
constexpr Row kRows[] = {
    {1, false, {{9, 9}, {13, 13}, {24, 24}, {47, 47}, {51, 51}, {81, 81}, {99, 99}, {133, 133}, {144, 144},
                {193, 193}, {205, 205}, {271, 271}, {282, 282}, {287, 287}, {291, 292}, {295, 295}, {298, 298},
                {308, 308}, {329, 329}, {344, 344}, {353, 354}, {357, 357}, {360, 360}, {365, 365}, {373, 373},
                {386, 386}}},
    {1, true, {{169, 169}, {172, 172}}},
    {2, false, {{10, 11},   {15, 15},   {17, 17},   {33, 33},   {42, 42},   {62, 64},   {66, 67},   {73, 74},
                {88, 89},   {98, 98},   {113, 113}, {118, 118}, {120, 120}, {124, 124}, {126, 126}, {128, 128},
                {134, 134}, {137, 137}, {139, 141}, {145, 148}, {153, 153}, {155, 155}, {162, 162}, {167, 167},
                {173, 173}, {177, 178}, {180, 180}, {182, 182}, {186, 186}, {190, 191}, {195, 195}, {204, 204},
                {213, 213}, {219, 219}, {227, 227}, {229, 230}, {232, 232}, {244, 244}, {253, 253}, {255, 255},
                {273, 274}, {283, 283}, {285, 285}, {289, 290}, {294, 294}, {297, 297}, {301, 301}, {309, 309},
                {322, 323}, {326, 326}, {328, 328}, {333, 335}, {337, 337}, {339, 341}, {348, 349}, {356, 356},
                {366, 366}, {369, 369}, {374, 374}, {377, 377}, {381, 381}}},
    {2, true, {{221, 221}, {305, 305}, {336, 336}, {367, 368}}},
    {3, false, {{119, 119}, {267, 267}, {319, 319}}},
    {4, false, {{14, 14},   {21, 21},   {26, 26},   {34, 34},   {49, 49},   {61, 61},   {68, 68},   {93, 93},
                {108, 108}, {125, 125}, {127, 127}, {135, 136}, {151, 151}, {156, 156}, {188, 188}, {215, 215},
                {375, 376}, {379, 379}, {382, 384}}},
    {7, false, {{4, 4},     {12, 12},   {28, 29},   {31, 31},   {43, 44},   {46, 46},   {48, 48},
                {58, 58},   {70, 70},   {77, 77},   {91, 91},   {121, 121}, {168, 168}, {207, 207},
                {222, 222}, {310, 311}, {317, 317}, {372, 372}}},
    {7, true, {{3, 3}, {110, 110}, {210, 210}, {220, 220}, {259, 259}, {343, 343}, {346, 346}, {351, 352}}},
    {8, false, {{0, 1}, {35, 35}, {52, 52}, {96, 97}, {111, 111}, {342, 342}, {347, 347}}},
    {9, false, {{6, 6},     {20, 20},   {27, 27},   {36, 37},   {41, 41},   {50, 50},   {72, 72},   {79, 79},
                {82, 82},   {84, 84},   {90, 90},   {92, 92},   {94, 94},   {100, 100}, {103, 103}, {107, 107},
                {112, 112}, {117, 117}, {158, 158}, {160, 161}, {163, 164}, {196, 197}, {208, 208}, {226, 226},
                {231, 231}, {233, 233}, {235, 235}, {247, 247}, {260, 261}, {263, 264}, {275, 275}, {296, 296},
                {300, 300}, {306, 307}, {318, 318}, {327, 327}, {338, 338}, {359, 359}, {370, 370}, {378, 378},
                {385, 385}}},
    {9, true, {{122, 122}, {166, 166}, {175, 175}, {234, 234}, {245, 245}, {251, 251}, {272, 272},
               {303, 303}, {364, 364}, {371, 371}}},
    {10, false, {{56, 56}}},
    {11, false, {{57, 57}}},
    {12, false, {{75, 75}, {183, 183}}},
    {15, false, {{174, 174}}},
    {16, true, {{76, 76}, {154, 154}, {209, 209}}},
    {18, false, {{331, 331}}},
    {18, true, {{30, 30}, {170, 171}}},
    {19, false, {{101, 101}}},
    {19, true, {{116, 116}, {202, 202}, {206, 206}, {350, 350}}},
    {20, true, {{23, 23}}},
    {21, false, {{19, 19}, {60, 60}, {181, 181}, {355, 355}}},
    {22, true, {{5, 5}}},
    {23, true, {{102, 102}}},
    {24, true, {{55, 55}}},
    {25, true, {{53, 53}}},
    {26, true, {{123, 123}}},
    {27, true, {{38, 38}}},
    {28, false, {{249, 249}, {252, 252}, {262, 262}, {276, 277}, {279, 279}, {320, 321}}},
    {28, true, {{159, 159}, {165, 165}, {211, 211}, {228, 228}, {246, 246}, {265, 266}, {268, 269}, {286, 286}}},
    {29, true, {{54, 54}, {345, 345}}},
    {30, false, {{32, 32}}},
    {31, false, {{16, 16},   {71, 71},   {114, 115}, {129, 129}, {138, 138}, {142, 143}, {149, 150},
                 {179, 179}, {192, 192}, {254, 254}, {270, 270}, {278, 278}, {280, 281}}},
    {32, false, {{157, 157}, {203, 203}, {250, 250}}},
    {32, true, {{130, 130}}},
    {33, true, {{109, 109}}},
    {35, false, {{83, 83}}},
    {37, true, {{152, 152}}},
    {41, false, {{184, 184}}},
    {43, false, {{187, 187}}},
    {44, false, {{185, 185}}},
    {46, false, {{212, 212}, {214, 214}, {218, 218}}},
    {49, true, {{258, 258}}},
    {50, true, {{288, 288}, {302, 302}}},
    {51, true, {{256, 256}}},
    {52, false, {{248, 248}}},
    {53, true, {{304, 304}}},
    {54, true, {{257, 257}}},
    {56, true, {{332, 332}}},
    {57, true, {{330, 330}}},
    {58, false, {{358, 358}}},
    {59, false, {{361, 361}}},
    {60, true, {{362, 362}}},
    {61, true, {{363, 363}}},
    {62, false, {{380, 380}}},
};

std::array<Entry, kProperties> buildTable() {
    std::array<Entry, kProperties> table{};
    for (const Row &row : kRows) {
        for (const Span &s : row.ids) {
            for (uint32_t id = s.first; id <= s.last; ++id) {
                table[id] = Entry{row.code, row.list};
            }
        }
    }
    return table;
}

const std::array<Entry, kProperties> &table() {
    static const std::array<Entry, kProperties> t = buildTable();
    return t;
}

int result(uint8_t *flag, int code, bool list) {
    *flag = list ? 1 : 0;
    return code;
}

bool in(uint16_t type, std::initializer_list<uint16_t> types) {
    for (uint16_t t : types) {
        if (t == type) {
            return true;
        }
    }
    return false;
}

}  // namespace

int propGetDatatype(uint16_t t, uint32_t property, uint8_t *isArrayOrList) {
    uint8_t ignored = 0;
    uint8_t *flag = isArrayOrList != nullptr ? isArrayOrList : &ignored;
    *flag = 0;
    if (property >= kProperties) {
        return 255;
    }
    switch (property) {
        case 2:  // action
            if (t == 7) return result(flag, 34, true);
            if (t == 12) return result(flag, 9, false);
            return 255;
        case 7:  // alarm-values
        case 39:  // fault-values
            if (in(t, {13, 19})) return result(flag, 2, true);
            if (in(t, {21, 22, 30, 36})) return result(flag, 9, true);
            if (property == 7 && t == 39) return result(flag, 8, true);
            if (t == 40) return result(flag, 7, true);
            return 255;
        case 40:  // feedback-value
            if (t == 4) return result(flag, 9, false);
            if (t == 14) return result(flag, 2, false);
            return 255;
        case 22:  // cov-increment
        case 25:  // deadband
            if (in(t, {45, 48})) return result(flag, 2, false);
            if (t == 46) return result(flag, 5, false);
            return result(flag, 4, false);
        case 45:  // high-limit
        case 59:  // low-limit
        case 65:  // max-pres-value
            if (in(t, {23, 48})) return result(flag, 2, false);
            if (t == 45) return result(flag, 3, false);
            if (t == 46) return result(flag, 5, false);
            return result(flag, 4, false);
        case 69:   // min-pres-value
        case 106:  // resolution
            if (t == 45) return result(flag, 3, false);
            if (t == 46) return result(flag, 5, false);
            if (t == 48) return result(flag, 2, false);
            return result(flag, 4, false);
        case 78:   // object-property-reference
        case 132:  // log-device-object-property
            return result(flag, 29, t == 27);
        case 85:  // present-value
            if (in(t, {0, 1, 2, 12, 24, 54})) return result(flag, 4, false);
            if (in(t, {3, 4, 5, 21, 22, 28, 30})) return result(flag, 9, false);
            if (t == 6) return result(flag, 1, false);
            if (in(t, {7, 13, 14, 19, 23, 48})) return result(flag, 2, false);
            if (t == 11) return result(flag, 36, true);
            if (t == 17) return result(flag, 15, false);
            if (t == 26) return result(flag, 55, true);
            if (t == 37) return result(flag, 52, false);
            if (t == 39) return result(flag, 8, false);
            if (t == 40) return result(flag, 7, false);
            if (in(t, {41, 42})) return result(flag, 10, false);
            if (in(t, {43, 44})) return result(flag, 31, false);
            if (t == 45) return result(flag, 3, false);
            if (t == 46) return result(flag, 5, false);
            if (t == 47) return result(flag, 6, false);
            if (in(t, {49, 50})) return result(flag, 11, false);
            if (t == 52) return result(flag, 12, false);
            if (t == 53) return result(flag, 63, false);
            return 255;
        case 86:  // priority
            return result(flag, 2, t == 15);
        case 87:  // priority-array
            *flag = 1;
            if (in(t, {1, 2, 54})) return 4;
            if (in(t, {4, 5, 30})) return 9;
            if (in(t, {14, 19})) return 2;
            if (t >= 39 && t <= 50) return 15;
            return 255;
        case 104:  // relinquish-default
            if (in(t, {1, 2, 54})) return result(flag, 4, false);
            if (in(t, {4, 5, 30})) return result(flag, 9, false);
            if (in(t, {14, 19, 48})) return result(flag, 2, false);
            if (t == 39) return result(flag, 8, false);
            if (t == 40) return result(flag, 7, false);
            if (in(t, {41, 42})) return result(flag, 10, false);
            if (in(t, {43, 44})) return result(flag, 31, false);
            if (t == 45) return result(flag, 3, false);
            if (t == 46) return result(flag, 5, false);
            if (t == 47) return result(flag, 6, false);
            if (in(t, {49, 50})) return result(flag, 11, false);
            return 255;
        case 131:  // log-buffer
            *flag = 1;
            if (t == 20) return 38;
            if (t == 25) return 47;
            if (t == 27) return 48;
            return 255;
        case 176:  // adjust-value
            return result(flag, t == 36 ? 3 : 4, false);
        case 189:  // update-time
            return result(flag, t == 37 ? 32 : 31, false);
        default: {
            const Entry &e = table()[property];
            *flag = e.list ? 1 : 0;
            return e.code;
        }
    }
}
