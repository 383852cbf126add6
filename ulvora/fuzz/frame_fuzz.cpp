// Any bytes a Modbus TCP client may send, through libmodbus's receive and
// reply over a socket pair, with the image rebuilt before each reply as the
// server does. Nothing may crash; the stream ends with the connection.
#include "ulvora/records.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

void drain(int fd) {
    uint8_t buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) {
        return 0;
    }
    static MbRecords records = [] {
        MbRecords r{};
        mbCopyText("fuzz", r.header.site_name, 80);
        for (int k = 0; k < MB_LOAD_MAX; ++k) {
            r.loads[k].active = k % 2;
            r.loads[k].cts[k % 3].en = 1;
        }
        return r;
    }();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return 0;
    }
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 502);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 0, MB_INPUT_REGISTERS);
    modbus_set_response_timeout(ctx, 0, 1);
    modbus_set_byte_timeout(ctx, 0, 1000);
    modbus_set_socket(ctx, fds[0]);
    if (size > 0 && write(fds[1], data, size) != static_cast<ssize_t>(size)) {
        size = 0;
    }
    shutdown(fds[1], SHUT_WR);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (int round = 0; round < 1000; ++round) {
        const int n = modbus_receive(ctx, query);
        if (n > 0) {
            mbBuildImage(records, map->tab_input_registers);
            modbus_reply(ctx, query, n, map);
            drain(fds[1]);
        } else if (n == -1) {
            break;
        }
    }
    modbus_set_socket(ctx, -1);
    close(fds[0]);
    close(fds[1]);
    modbus_mapping_free(map);
    modbus_free(ctx);
    return 0;
}
