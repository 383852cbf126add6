// The C entry points of the driver library over the simulated PRU.

#include <prussdrv.h>

#include "sim.h"

using prusim::detail::Sim;

extern "C" {

int prussdrv_init(void) { return Sim::get().init(); }

int prussdrv_open(unsigned int event_output) { return Sim::get().open(event_output); }

int prussdrv_pruintc_init(const prussdrv_intc_setup *setup) {
    return setup == nullptr ? -1 : Sim::get().intc_init(*setup);
}

int prussdrv_map_prumem(unsigned int memory_id, void **address) {
    return Sim::get().map_prumem(memory_id, address);
}

int prussdrv_exec_program(int pru, const char *path) { return Sim::get().exec_program(pru, path); }

unsigned int prussdrv_pru_wait_event(unsigned int event_output) {
    const int r = Sim::get().wait_event(event_output, -1);
    return r < 0 ? 0u : static_cast<unsigned int>(r);
}

int prussdrv_pru_wait_event_timeout(unsigned int event_output, int timeout_ms) {
    return Sim::get().wait_event(event_output, timeout_ms < 0 ? 0 : timeout_ms);
}

int prussdrv_pru_clear_event(unsigned int event_output, unsigned int sysevent) {
    return Sim::get().clear_event(event_output, sysevent);
}

int prussdrv_pru_send_event(unsigned int sysevent) { return Sim::get().send_event(sysevent); }

int prussdrv_pru_disable(unsigned int pru) { return Sim::get().disable(pru); }

int prussdrv_exit(void) { return Sim::get().exit_session(); }

}  // extern "C"
