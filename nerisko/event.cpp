#include "nerisko/event.h"

#include "meter/sysio.h"

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
    SYS_ASSERT(kind < EVENTS_MAX, "event < EVENTS_MAX");
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

namespace {

uint32_t print_ch = 0;

void print_line() {
    sys_log(LOG_INFO, "********************************************************************************");
}

void print3(const char *format, const data_float_t &a, const data_float_t &b, const data_float_t &c,
            double scale = 1.0) {
    sys_log(LOG_INFO, format, a.value * scale, b.value * scale, c.value * scale);
}

void print3d(const char *format, const data_double_t &a, const data_double_t &b, const data_double_t &c) {
    sys_log(LOG_INFO, format, a.value, b.value, c.value);
}

}  // namespace

void event_set_print_ch(uint32_t channel) { print_ch = channel; }

void event_print_data(event_data_t *ev) {
    const processing_set_t *set = ev->set;
    const data_set_t *r = ev->data;
    int k = -1;
    for (int l = 0; l < static_cast<int>(MAPPING_I_SET_MAX) && set->isets[l] != nullptr && k < 0; ++l) {
        for (const mapping_i_channel &ct : set->isets[l]->i) {
            if (ct.active && ct.channel == print_ch) {
                k = l;
                break;
            }
        }
    }
    if (k < 0) {
        return;
    }
    const data_u *u = r->set_u.u;
    const data_i_set &load = r->sets_i[k];
    const data_i *i = load.i;
    print_line();
    sys_log(LOG_INFO, "ts: begin: 0x%llx", static_cast<unsigned long long>(r->ts_begin));
    sys_log(LOG_INFO, "      end: 0x%llx", static_cast<unsigned long long>(r->ts_end));
    sys_log(LOG_INFO, "  samples: %f", static_cast<double>(r->samples));
    sys_log(LOG_INFO, "    flags: 0x%x", r->flags & 1u);
    sys_log(LOG_INFO, "voltages");
    sys_log(LOG_INFO, "volt channel:\t%16u\t%16u\t%16u", u[0].channel, u[1].channel, u[2].channel);
    sys_log(LOG_INFO, "frequency:\t%16f", static_cast<double>(r->frequency.value));
    print3("voltage (V):\t%16f\t%16f\t%16f", u[0].rms_ln, u[1].rms_ln, u[2].rms_ln);
    print3("voltage fund (V):%15f\t%16f\t%16f", u[0].rms_fund, u[1].rms_fund, u[2].rms_fund);
    print3("phase:\t\t%16f\t%16f\t%16f", u[0].phase, u[1].phase, u[2].phase);
    print3("thd_f (%%):\t%16f\t%16f\t%16f", u[0].thd_f, u[1].thd_f, u[2].thd_f, 100.0);
    print3("thd_r (%%):\t%16f\t%16f\t%16f", u[0].thd_r, u[1].thd_r, u[2].thd_r, 100.0);
    sys_log(LOG_INFO, "currents");
    sys_log(LOG_INFO, "curr channel:\t%16u\t%16u\t%16u", i[0].channel, i[1].channel, i[2].channel);
    print3("current (A):\t%16f\t%16f\t%16f", i[0].rms, i[1].rms, i[2].rms);
    print3("current fund (A):%15f\t%16f\t%16f", i[0].rms_fund, i[1].rms_fund, i[2].rms_fund);
    print3("CT input (V):\t%16f\t%16f\t%16f", i[0].rms_u, i[1].rms_u, i[2].rms_u);
    print3("phase:\t\t%16f\t%16f\t%16f", i[0].phase, i[1].phase, i[2].phase);
    print3("thd_f (%%):\t%16f\t%16f\t%16f", i[0].thd_f, i[1].thd_f, i[2].thd_f, 100.0);
    print3("thd_r (%%):\t%16f\t%16f\t%16f", i[0].thd_r, i[1].thd_r, i[2].thd_r, 100.0);
    sys_log(LOG_INFO, "powers");
    print3("Real (W):\t%16f\t%16f\t%16f", i[0].w, i[1].w, i[2].w);
    print3("Apparent (VA):\t%16f\t%16f\t%16f", i[0].va, i[1].va, i[2].va);
    print3("Reactive (VAR):\t%16f\t%16f\t%16f", i[0].var, i[1].var, i[2].var);
    print3d("Wh:\t\t%16f\t%16f\t%16f", i[0].wh, i[1].wh, i[2].wh);
    print3d("VAh:\t\t%16f\t%16f\t%16f", i[0].vah, i[1].vah, i[2].vah);
    print3d("VARh:\t\t%16f\t%16f\t%16f", i[0].varh, i[1].varh, i[2].varh);
    print3("dpf:\t\t%16f\t%16f\t%16f", i[0].dpf, i[1].dpf, i[2].dpf);
    print3("apf:\t\t%16f\t%16f\t%16f", i[0].apf, i[1].apf, i[2].apf);
    print3("pd:\t\t%16f\t%16f\t%16f", i[0].peak_demand, i[1].peak_demand, i[2].peak_demand);
    sys_log(LOG_INFO, "system aggregates");
    const data_p_set &p = load.p;
    sys_log(LOG_INFO, "Current (A):\t%16f", static_cast<double>(load.rms.value));
    sys_log(LOG_INFO, "Real (W):\t%16f", static_cast<double>(p.w.value));
    sys_log(LOG_INFO, "Apparent (VA):\t%16f", static_cast<double>(p.va.value));
    sys_log(LOG_INFO, "Reactive (VAR):\t%16f", static_cast<double>(p.var.value));
    sys_log(LOG_INFO, "Wh:\t\t%16f", p.wh.value);
    sys_log(LOG_INFO, "VAh:\t\t%16f", p.vah.value);
    sys_log(LOG_INFO, "VARh:\t\t%16f", p.varh.value);
    sys_log(LOG_INFO, "apf:\t\t%16f", static_cast<double>(p.apf.value));
    sys_log(LOG_INFO, "pd:\t\t%16f", static_cast<double>(p.peak_demand.value));
    print_line();
}
