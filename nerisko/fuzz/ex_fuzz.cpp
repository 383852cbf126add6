// The EX receive path: framing, tokens, argument checks and dispatch of
// every command, with the chain, velsard and the board stubbed (ex_stubs.cpp).
// Every answer must be whole: value lines, then exactly one known status
// line ended by CR LF.

#include "nerisko/ex.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string answers;

void collect(const char *data, size_t n) { answers.append(data, n); }

bool stop_stub() { return true; }
bool start_stub(const mapping *) { return true; }
const ex_chain_t kStubChain{stop_stub, start_stub};

bool known_status(const std::string &s) {
    return s == "PASS" || s == "SYNTAX_ERROR" || s == "NOT_IMPLEMENTED" || s == "FAIL" || s == "DEPRECATED";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = false;
    if (!ready) {
        ex_set_output(collect);
        ex_set_chain(&kStubChain);
        ex_result_wait_ms = 0;
        ex_key_wait_ms = 0;
        ex_rs485_wait_ms = 0;
        ex_rs485_char_ms = 0;
        ready = true;
    }
    ex_reset_line();
    answers.clear();
    // The first byte cuts the rest into reads of that many bytes (1..256),
    // as a port delivers a line in pieces.
    const size_t piece = size > 0 ? static_cast<size_t>(data[0]) + 1 : 1;
    const char *p = reinterpret_cast<const char *>(data) + (size > 0 ? 1 : 0);
    size_t left = size > 0 ? size - 1 : 0;
    while (left > 0) {
        const size_t n = left < piece ? left : piece;
        size_t done = 0;
        while (done < n) {
            done += ex_receive(p + done, n - done);
        }
        p += n;
        left -= n;
    }
    // Each answer ends with its status line.
    size_t start = 0;
    for (size_t end = answers.find("\r\n"); end != std::string::npos; end = answers.find("\r\n", start)) {
        const std::string answer = answers.substr(start, end - start);
        const size_t cr = answer.rfind('\r');
        const std::string status = cr == std::string::npos ? answer : answer.substr(cr + 1);
        if (!known_status(status)) {
            std::abort();
        }
        start = end + 2;
    }
    if (start != answers.size()) {
        std::abort();  // an answer without its status line
    }
    return 0;
}
