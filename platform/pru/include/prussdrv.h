#pragma once
// The PRU user-space driver interface as Nerisko uses it, served on a build
// machine by the simulated PRU of platform/pru (pru/sim.h): PRU 0 with its
// data RAM, the interrupt controller that routes PRU system events to host
// event outputs, and the programs that run on the PRU.
//
// Calls return 0 (or a count) on success and -1 on failure.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PRUSS0_PRU0_DATARAM 0u
#define PRUSS_INTC_END (-1)

// Interrupt controller set-up: lists end with PRUSS_INTC_END.
typedef struct prussdrv_intc_init_t {
    int32_t sysevts_enabled[16];
    int32_t sysevt_to_channel[16][2];  // {system event, channel}
    int32_t channel_to_host[11][2];    // {channel, host interrupt}
    uint32_t host_enable_bitmask;
} prussdrv_intc_init_t;

int prussdrv_init(void);
// Opens event output evtout (0..7, host interrupt evtout + 2).
int prussdrv_open(unsigned evtout);
int prussdrv_pruintc_init(const prussdrv_intc_init_t *init);
int prussdrv_map_prumem(unsigned ram_id, void **address);
// Loads the program file (a board path) onto the PRU and starts it.
int prussdrv_exec_program(int pru, const char *path);
// Blocks until event output evtout has an event; returns the event count.
unsigned prussdrv_pru_wait_event(unsigned evtout);
// As prussdrv_pru_wait_event for at most timeout_ms: 1 with an event, 0 when
// the time ran out, -1 for an output that is not open.
int prussdrv_pru_wait_event_timeout(unsigned evtout, int timeout_ms);
int prussdrv_pru_clear_event(unsigned evtout, unsigned sysevent);
// Sends system event sysevent to the PRU.
int prussdrv_pru_send_event(unsigned sysevent);
// Halts the PRU whatever its program is doing.
int prussdrv_pru_disable(unsigned pru);
int prussdrv_exit(void);

#ifdef __cplusplus
}
#endif
