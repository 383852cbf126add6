#pragma once
// User-space driver of the board's programmable real-time units (PRU 0 and
// PRU 1), as the measurement program uses it. On a host this library is a
// simulation: program files select simulated PRU programs, the DDR buffer is a
// file under METER_ROOT and the interrupt controller is modelled in memory.
// The simulator's own controls live in <prusim/prusim.h>.
//
// Events. A PRU program raises numbered system events (0..63). The interrupt
// controller routes each enabled system event to a channel, each channel to a
// host interrupt; host interrupts 0 and 1 go back to PRU 0 and PRU 1, host
// interrupts 2..9 reach the ARM as event outputs 0..7, each of which a thread
// can wait on. An output fires once for a pending event and fires again only
// after the event has been cleared with prussdrv_pru_clear_event, so an event
// raised again while it is still pending is merged into the first.

#ifdef __cplusplus
extern "C" {
#endif

enum {
    PRUSSDRV_NUM_SYSEVENTS = 64,
    PRUSSDRV_NUM_CHANNELS = 10,
    PRUSSDRV_NUM_HOSTS = 10,
    PRUSSDRV_NUM_EVENT_OUTPUTS = 8,  // host interrupts 2..9
};

// Memory ids for prussdrv_map_prumem.
enum {
    PRU0_DATA_RAM = 0,  // 8 KiB
    PRU1_DATA_RAM = 1,  // 8 KiB
};

typedef struct {
    int sysevent;
    int channel;
} prussdrv_sysevent_route;

typedef struct {
    int channel;
    int host;
} prussdrv_channel_route;

// Interrupt controller set-up. Each list ends at its first entry of -1.
typedef struct {
    int sysevents_enabled[PRUSSDRV_NUM_SYSEVENTS + 1];
    prussdrv_sysevent_route sysevent_to_channel[PRUSSDRV_NUM_SYSEVENTS + 1];
    prussdrv_channel_route channel_to_host[PRUSSDRV_NUM_CHANNELS + 1];
    unsigned int host_enable_mask;  // bit h enables host interrupt h
} prussdrv_intc_setup;

// Every call returns 0 on success and -1 on failure unless it says otherwise.

// Starts a session: the PRUs are disabled, no event output is open.
int prussdrv_init(void);

// Opens event output 0..7 (host interrupt output + 2) so that it can be waited on.
int prussdrv_open(unsigned int event_output);

// Programs the interrupt controller; every pending event is cleared. Refuses
// a set-up with an out-of-range event, channel or host.
int prussdrv_pruintc_init(const prussdrv_intc_setup *setup);

// The address of a PRU's data RAM (PRU0_DATA_RAM or PRU1_DATA_RAM).
int prussdrv_map_prumem(unsigned int memory_id, void **address);

// Loads a program file onto a PRU and starts it; a program already running
// on that PRU is stopped first. The path may be the board path or one already
// placed under METER_ROOT.
int prussdrv_exec_program(int pru, const char *path);

// Blocks until event output fires, then returns the output's count of
// firings (at least 1). Returns 0 when the output is not open or when
// prussdrv_exit ends the session during the wait.
unsigned int prussdrv_pru_wait_event(unsigned int event_output);

// As prussdrv_pru_wait_event, for at most timeout_ms milliseconds: the
// count (> 0), 0 on timeout, -1 when the output is not open or the session
// ended.
int prussdrv_pru_wait_event_timeout(unsigned int event_output, int timeout_ms);

// Clears a pending system event and re-arms the event output, which fires
// again at once if another event routed to it is still pending.
int prussdrv_pru_clear_event(unsigned int event_output, unsigned int sysevent);

// Raises a system event from the ARM side (a request to a PRU program).
int prussdrv_pru_send_event(unsigned int sysevent);

// Halts a PRU; a running program ends without raising any event.
int prussdrv_pru_disable(unsigned int pru);

// Ends the session: both PRUs halted, outputs closed (waiters return), memory
// mappings released, the interrupt controller cleared.
int prussdrv_exit(void);

#ifdef __cplusplus
}
#endif
