#include "nerisko/agg.h"
#include "nerisko/agg_internal.h"
#include "nerisko/stats.h"

#include "arvent.h"
#include "haldor/haldor.h"
#include "nerisko/acquisition.h"
#include "meter/sysio.h"

#include <syslog.h>

#include <atomic>
#include <cmath>
#include <cstring>

avg_buf_t five_cycle_avg_buf[2];

namespace {

std::atomic<uint32_t> pf_sign{0};
std::atomic<bool> outputs_suspended{false};

// x squared in double, back to float, times w.
float weighted_square(float x, float w) {
    const double d = x;
    return static_cast<float>(d * d) * w;
}

float mean_root(float sum, float weight) { return weight > 0.0f ? std::sqrt(sum / weight) : 0.0f; }
float mean(float sum, float weight) { return weight > 0.0f ? sum / weight : 0.0f; }

void thd(float harm, float fund, data_float_t *thd_f, data_float_t *thd_r) {
    if (fund > 0.0f) {
        thd_f->value = harm / fund * 100.0f;
        const double h = harm;
        const double f = fund;
        thd_r->value = static_cast<float>(h / std::sqrt(h * h + f * f) * 100.0);
    }
}

float total_thd(float sum_harm, float sum_fund) {
    return sum_harm > 0.0f && sum_fund > 0.0f ? std::sqrt(sum_harm) / std::sqrt(sum_fund) * 100.0f : 0.0f;
}

float apparent_pf(float w, float va) {
    if (std::fabs(va) > std::fabs(w)) {
        return w / va;
    }
    return w < 0.0f ? -1.0f : 1.0f;
}

void accumulate_ct(data_i &a, const data_i &r, float u_fund, float w, bool aggregated) {
    a.channel = r.channel;
    a.rms.value += weighted_square(r.rms.value, w);
    a.rms_u.value += weighted_square(r.rms_u.value, w);
    a.rms_fund.value += weighted_square(r.rms_fund.value, w);
    a.rms_harm.value += weighted_square(r.rms_harm.value, w);
    a.w.value += w * r.w.value;
    if (aggregated) {
        a.w_fund.value += w * r.w_fund.value;
        a.var.value += w * r.var.value;
        return;
    }
    const float ui = u_fund * r.rms_fund.value;
    a.w_fund.value += static_cast<float>(static_cast<double>(ui) * std::cos(static_cast<double>(r.phase.value)) *
                                         static_cast<double>(w));
    double q = 0.0;
    uint8_t aux = 0;
    if (hld_reactive_power_fund_calc(u_fund, r.rms_fund.value, r.phase.value, &q, &aux) == 0) {
        sys_log(LOG_ERR, "VAR calculation invalid phase: %f", static_cast<double>(r.phase.value));
    }
    a.var.value += w * static_cast<float>(q);
}

}  // namespace

int agg_set_pf_sign() {
    device_config c{};
    if (ipc_device_config_get(&c) == 0) {
        sys_log(LOG_ERR, "Failed to get device config from IPC");
        return 0;
    }
    if (!agg_set_pf_sign_value(c.values[1])) {
        sys_log(LOG_ERR, "Invalid power factor sign type");
        return 0;
    }
    sys_log(LOG_INFO, "Setting power factor sign to %u", pf_sign.load());
    return 1;
}

bool agg_set_pf_sign_value(uint32_t sign) {
    if (sign > 1) {
        return false;
    }
    pf_sign.store(sign);
    return true;
}

uint32_t agg_get_pf_sign() { return pf_sign.load(); }

void agg_accumulate(avg_buf_t *a, const data_set_t *r, float w, bool samples_weight, bool aggregated) {
    data_set_t &d = a->data;
    d.flags |= r->flags & DATA_FLAG_DEFAULT_FREQUENCY;
    d.samples += samples_weight ? w : r->samples;
    d.frequency.value += w * r->frequency.value;
    for (uint32_t k = 0; k < 3; ++k) {
        data_u &s = d.set_u.u[k];
        const data_u &x = r->set_u.u[k];
        s.channel = x.channel;
        s.phase.value += w * x.phase.value;
        s.rms_ln.value += weighted_square(x.rms_ln.value, w);
        s.rms_ll.value += weighted_square(x.rms_ll.value, w);
        s.rms_fund.value += weighted_square(x.rms_fund.value, w);
        s.rms_harm.value += weighted_square(x.rms_harm.value, w);
    }
    for (uint32_t l = 0; l < 48; ++l) {
        data_i_set &s = d.sets_i[l];
        const data_i_set &x = r->sets_i[l];
        s.load_id = x.load_id;
        for (uint32_t j = 0; j < 3; ++j) {
            accumulate_ct(s.i[j], x.i[j], r->set_u.u[j].rms_fund.value, w, aggregated);
        }
        s.p.w.value += w * x.p.w.value;
        s.rms.value += w * x.rms.value;
    }
    a->weight += w;
}

void agg_finish(avg_buf_t *a) {
    data_set_t &d = a->data;
    const float W = a->weight;
    d.frequency.value = mean(d.frequency.value, W);
    float sum_fund = 0.0f;
    float sum_harm = 0.0f;
    for (data_u &u : d.set_u.u) {
        u.rms_ln.value = mean_root(u.rms_ln.value, W);
        u.phase.value = mean(u.phase.value, W);
        u.rms_ll.value = mean_root(u.rms_ll.value, W);
        sum_fund += u.rms_fund.value;
        u.rms_fund.value = mean_root(u.rms_fund.value, W);
        sum_harm += u.rms_harm.value;
        u.rms_harm.value = mean_root(u.rms_harm.value, W);
        thd(u.rms_harm.value, u.rms_fund.value, &u.thd_f, &u.thd_r);
    }
    d.set_u.thd.value = total_thd(sum_harm, sum_fund);

    const uint32_t sign = pf_sign.load();
    for (data_i_set &l : d.sets_i) {
        float load_fund = 0.0f;
        float load_harm = 0.0f;
        float va_dpf = 0.0f;
        for (uint32_t j = 0; j < 3; ++j) {
            data_i &c = l.i[j];
            c.rms.value = mean_root(c.rms.value, W);
            load_fund += c.rms_fund.value;
            c.rms_fund.value = mean_root(c.rms_fund.value, W);
            load_harm += c.rms_harm.value;
            c.rms_harm.value = mean_root(c.rms_harm.value, W);
            c.rms_u.value = mean_root(c.rms_u.value, W);
            c.var.value = mean(c.var.value, W);
            l.p.var.value += c.var.value;
            c.w_fund.value = mean(c.w_fund.value, W);
            c.phase.value = std::atan2(-c.var.value, c.w_fund.value);
            uint8_t q = 0;
            if (hld_reactive_power_quadrant(c.phase.value, &q) != 0) {
                c.var_quadrant = q;
            }
            thd(c.rms_harm.value, c.rms_fund.value, &c.thd_f, &c.thd_r);
            c.w.value = mean(c.w.value, W);
            c.va.value = d.set_u.u[j].rms_ln.value * c.rms.value;
            l.p.va.value += c.va.value;
            float apf = apparent_pf(c.w.value, c.va.value);
            if (sign == 1) {
                apf = std::fabs(apf);
                if (hld_angles_wrap_to_pi(c.phase.value) > 0.0f) {
                    apf = -apf;
                }
            }
            c.apf.value = apf;
            auto dpf = static_cast<float>(std::cos(static_cast<double>(c.phase.value)));
            if ((apf < 0.0f && dpf > 0.0f) || (apf > 0.0f && dpf < 0.0f)) {
                dpf = -dpf;
            }
            c.dpf.value = dpf;
            va_dpf += c.va.value * c.dpf.value;
        }
        l.rms.value = mean(l.rms.value, W);
        l.p.w.value = mean(l.p.w.value, W);
        l.thd.value = total_thd(load_harm, load_fund);
        float apf = apparent_pf(l.p.w.value, l.p.va.value);
        if (sign == 1) {
            apf = std::fabs(apf);
            if (l.p.var.value < 0.0f) {
                apf = -apf;
            }
        }
        l.p.apf.value = apf;
        l.p.dpf.value = l.p.va.value > 0.0f ? va_dpf / l.p.va.value : 1.0f;
    }
}

void agg_outputs_suspend(bool on) { outputs_suspended = on; }
bool agg_outputs_suspended() { return outputs_suspended.load(); }

void agg_fill_demand(avg_buf_t *a, uint32_t set) { stats_fill(set, &a->data); }

void agg_collect_one_second(event_data_t *ev) {
    const data_set_t *r = ev->data;
    const uint32_t s = r->set;
    if (s >= 2) {
        sys_log(LOG_ERR, "Result of an unknown voltage set %u ignored", s);
        return;
    }
    avg_buf_t &a = five_cycle_avg_buf[s];
    if (a.data.ts_begin == 0) {
        a.data.set = s;
        a.data.ts_begin = r->ts_begin;
        a.data.ts_end = r->ts_begin + AGG_TICKS_PER_SECOND;
    }
    const uint64_t end = a.data.ts_end;
    if (r->ts_end < end) {
        agg_accumulate(&a, r, r->samples, true, false);
        return;
    }
    // The part of r before the boundary, in samples, never more than r has:
    // a record that begins after the boundary (the window before it was
    // skipped) gives nothing to the second that closes.
    const uint32_t tps = acquisition_get_ts_per_sample();
    float w1 = 0.0f;
    if (r->ts_begin < end && tps > 0) {
        w1 = static_cast<float>((static_cast<double>(end) - static_cast<double>(r->ts_begin)) /
                                static_cast<double>(tps));
    }
    w1 = std::fmin(std::fmax(w1, 0.0f), r->samples);
    agg_accumulate(&a, r, w1, true, false);
    // A second without samples (a gap right after the record that ended on
    // its start) measured nothing: it is absent, not a second of zeros.
    if (a.weight > 0.0f) {
        agg_finish(&a);
        // Read once: a second is either the meter's or a test run's throughout.
        const bool suspended = agg_outputs_suspended();
        if (!suspended) {
            agg_pulse_out_seed(ev->set, &a);
            agg_advance_energy(&a);
        }
        agg_fill_demand(&a, s);
        event_data_t one_second{ev->set, &a.data};
        event_exec(&one_second, EVENT_ONE_SECOND);
        if (!suspended) {
            agg_pulse_out_step(ev->set, &a);
            agg_energy_second_closed(&a, s);
        }
    }

    // The registers go on into the next second; nothing else does.
    static avg_buf_t carried[2];
    std::memset(&carried[s], 0, sizeof carried[s]);
    agg_copy_energy(&a, &carried[s]);
    std::memset(&a, 0, sizeof a);
    agg_copy_energy(&carried[s], &a);
    a.data.set = s;
    // A gap (skipped windows) starts the next second at the record, not at
    // a boundary that lies in the past.
    a.data.ts_begin = r->ts_begin > end ? r->ts_begin : end;
    a.data.ts_end = a.data.ts_begin + AGG_TICKS_PER_SECOND;
    agg_accumulate(&a, r, r->samples - w1, true, false);
}
