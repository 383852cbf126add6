#include "meter/root.h"

#include <cstdlib>

namespace meter {

std::string meter_root() {
    const char *env = std::getenv("METER_ROOT");
    if (env == nullptr) {
        return {};
    }
    std::string root(env);
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

std::string meter_path(std::string_view board_path) {
    if (board_path.empty() || board_path.front() != '/') {
        return std::string(board_path);
    }
    return meter_root() + std::string(board_path);
}

}  // namespace meter
