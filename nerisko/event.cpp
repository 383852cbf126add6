#include "nerisko/event.h"

#include "nerisko/sysio.h"

#include <syslog.h>

#include <new>

event_node_t *event_list[EVENTS_MAX] = {};

bool event_register(event_cb_t callback, uint32_t kind) {
    if (kind >= EVENTS_MAX) {
        sys_log(LOG_WARNING, "Incorrect number given");
        return false;
    }
    auto *node = new (std::nothrow) event_node_t{callback, event_list[kind]};
    if (node == nullptr) {
        sys_log(LOG_ERR, "Failed to register event callback");
        return false;
    }
    event_list[kind] = node;
    return true;
}

void event_exec(event_data_t *ev, uint32_t kind) {
    NERISKO_ASSERT(kind < EVENTS_MAX, "event < EVENTS_MAX");
    for (event_node_t *n = event_list[kind]; n != nullptr; n = n->next) {
        n->callback(ev);
    }
}

void event_cleanup() {
    for (event_node_t *&head : event_list) {
        while (head != nullptr) {
            event_node_t *next = head->next;
            delete head;
            head = next;
        }
    }
}
