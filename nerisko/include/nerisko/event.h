#pragma once
// The four lists of result callbacks, one per period. Every list runs on the
// processing thread: kind 0 for each five-cycle result, kinds 1 to 3 from
// inside the aggregation callbacks below them. Lists grow only at start-up,
// before the processing thread runs, and carry no lock.

#include "nerisko/data.h"

#include <cstdint>

#include "nerisko/processing_set.h"

// The argument of every callback; both pointers are valid only during the call.
struct event_data_t {
    processing_set_t *set;
    data_set_t *data;
};

using event_cb_t = void (*)(event_data_t *);

constexpr uint32_t EVENT_FIVE_CYCLE = 0;
constexpr uint32_t EVENT_ONE_SECOND = 1;
constexpr uint32_t EVENT_MINUTE = 2;
constexpr uint32_t EVENT_FIVE_MINUTE = 3;
constexpr uint32_t EVENTS_MAX = 4;

struct event_node_t {
    event_cb_t callback;
    event_node_t *next;
};

// The list heads, one per kind; the newest registration is at the head.
extern event_node_t *event_list[EVENTS_MAX];

// Puts callback at the head of the kind's list, so that it runs before the
// ones registered earlier. False (and nothing registered) for a kind above 3
// or when no memory is left; both are logged.
bool event_register(event_cb_t callback, uint32_t kind);
// Runs the kind's callbacks, newest first, each with ev. kind must be below
// EVENTS_MAX.
void event_exec(event_data_t *ev, uint32_t kind);
// Frees every node of the four lists (shutdown).
void event_cleanup();

// The CT channel (6..53) whose load event_print_data dumps.
void event_set_print_ch(uint32_t channel);
// Diagnostic callback: logs the result block of the first load of the set
// that has an active CT on the print channel; nothing when none has.
void event_print_data(event_data_t *ev);
