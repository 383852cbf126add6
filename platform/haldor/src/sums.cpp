// Means, mean squares and mean products over a window of whole samples.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "haldor/haldor.h"
#include "ring.h"

namespace {

// n as a whole number of samples, or 0 when it cannot be read from every ring.
uint32_t whole_samples(float n, std::initializer_list<const cbi_t *> cursors) {
    if (!std::isfinite(n) || n < 1.0f) {
        return 0;
    }
    auto count = static_cast<double>(n) >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(n);
    for (const cbi_t *c : cursors) {
        if (!haldor::cursor_ok(c) || count > c->cb->size) {
            return 0;
        }
    }
    return count;
}

// A double mean rounded to int64; false when it does not fit.
bool to_int64(double mean, int64_t *out) {
    if (!std::isfinite(mean) || std::fabs(mean) >= 9.2e18) {
        return false;
    }
    *out = std::llround(mean);
    return true;
}

// Four independent sums keep the additions from queuing behind each other;
// float products are exact in double, so only the additions round. The sums
// live in locals inside the loops, and the loops stay out of line, so that the
// compiler pairs them into vector registers (sample i + k always goes to sum k,
// so the pairing does not change a single bit of the result).
struct Sums {
    double s[4] = {0, 0, 0, 0};
    double q[4] = {0, 0, 0, 0};
    [[gnu::noinline]] void add(const float *__restrict x, uint32_t n) {
        double s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];
        double q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const double v0 = x[i], v1 = x[i + 1], v2 = x[i + 2], v3 = x[i + 3];
            s0 += v0;
            s1 += v1;
            s2 += v2;
            s3 += v3;
            q0 += v0 * v0;
            q1 += v1 * v1;
            q2 += v2 * v2;
            q3 += v3 * v3;
        }
        s[0] = s0, s[1] = s1, s[2] = s2, s[3] = s3;
        q[0] = q0, q[1] = q1, q[2] = q2, q[3] = q3;
        for (; i < n; ++i) {
            const double v = x[i];
            s[0] += v;
            q[0] += v * v;
        }
    }
    [[gnu::noinline]] void add_difference(const float *__restrict a, const float *__restrict b, uint32_t n) {
        double s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];
        double q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const double v0 = static_cast<double>(a[i]) - b[i];
            const double v1 = static_cast<double>(a[i + 1]) - b[i + 1];
            const double v2 = static_cast<double>(a[i + 2]) - b[i + 2];
            const double v3 = static_cast<double>(a[i + 3]) - b[i + 3];
            s0 += v0;
            s1 += v1;
            s2 += v2;
            s3 += v3;
            q0 += v0 * v0;
            q1 += v1 * v1;
            q2 += v2 * v2;
            q3 += v3 * v3;
        }
        s[0] = s0, s[1] = s1, s[2] = s2, s[3] = s3;
        q[0] = q0, q[1] = q1, q[2] = q2, q[3] = q3;
        for (; i < n; ++i) {
            const double v = static_cast<double>(a[i]) - b[i];
            s[0] += v;
            q[0] += v * v;
        }
    }
    double sum() const { return (s[0] + s[1]) + (s[2] + s[3]); }
    double sum_sq() const { return (q[0] + q[1]) + (q[2] + q[3]); }
};

// Sum of (a - ma) (b - mb), in the same four-way arrangement.
struct Products {
    double p[4] = {0, 0, 0, 0};
    void add(const float *__restrict a, const float *__restrict b, uint32_t n, double ma, double mb) {
        double p0 = p[0], p1 = p[1], p2 = p[2], p3 = p[3];
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            p0 += (a[i] - ma) * (b[i] - mb);
            p1 += (a[i + 1] - ma) * (b[i + 1] - mb);
            p2 += (a[i + 2] - ma) * (b[i + 2] - mb);
            p3 += (a[i + 3] - ma) * (b[i + 3] - mb);
        }
        p[0] = p0, p[1] = p1, p[2] = p2, p[3] = p3;
        for (; i < n; ++i) {
            p[0] += (a[i] - ma) * (b[i] - mb);
        }
    }
    double sum() const { return (p[0] + p[1]) + (p[2] + p[3]); }
};

int finish(const Sums &sums, uint32_t count, int64_t *m, float *d) {
    double mean = sums.sum() / count;
    if (!to_int64(sums.sum_sq() / count, m) || !std::isfinite(mean)) {
        *m = 0;
        return 0;
    }
    *d = static_cast<float>(mean);
    return 1;
}

}  // namespace

extern "C" int hld_rmss_dc_calc(float n, const cbi_t *cursor, int64_t *m, float *d) {
    if (m == nullptr || d == nullptr) {
        return 0;
    }
    *m = 0;
    *d = 0.0f;
    uint32_t count = whole_samples(n, {cursor});
    if (count == 0) {
        return 0;
    }
    Sums sums;
    haldor::for_each_run(cursor, count, [&](const float *x, uint32_t k) { sums.add(x, k); });
    return finish(sums, count, m, d);
}

extern "C" int hld_rmss_lineline_dc_calc(float n, const cbi_t *a, const cbi_t *b, int64_t *m, float *d) {
    if (m == nullptr || d == nullptr) {
        return 0;
    }
    *m = 0;
    *d = 0.0f;
    uint32_t count = whole_samples(n, {a, b});
    if (count == 0) {
        return 0;
    }
    Sums sums;
    haldor::for_each_pair_run(a, b, count, [&](const float *x, const float *y, uint32_t k) {
        sums.add_difference(x, y, k);
    });
    return finish(sums, count, m, d);
}

extern "C" int hld_real_power_calc(float mean_a, float mean_b, float n, const cbi_t *a, const cbi_t *b,
                                   int64_t *p) {
    if (p == nullptr) {
        return 0;
    }
    *p = 0;
    uint32_t count = whole_samples(n, {a, b});
    if (count == 0 || !std::isfinite(mean_a) || !std::isfinite(mean_b)) {
        return 0;
    }
    const double ma = mean_a;
    const double mb = mean_b;
    Products products;
    haldor::for_each_pair_run(a, b, count, [&](const float *x, const float *y, uint32_t k) {
        products.add(x, y, k, ma, mb);
    });
    if (!to_int64(products.sum() / count, p)) {
        *p = 0;
        return 0;
    }
    return 1;
}

extern "C" uint32_t hld_cbi_filled(const cbi_t *cursor, const float *position) {
    if (!haldor::cursor_ok(cursor)) {
        return 0;
    }
    int64_t pos = haldor::ring_offset(cursor->cb, position);
    if (pos < 0) {
        return 0;
    }
    auto head = static_cast<int64_t>(cursor->head - cursor->cb->base);
    return static_cast<uint32_t>(head >= pos ? head - pos : head + cursor->cb->size - pos);
}

extern "C" int hld_sample_count_calc(float f, double rate, uint32_t cycles, float *n) {
    if (n == nullptr) {
        return 0;
    }
    *n = 0.0f;
    if (!std::isfinite(f) || f <= 0.0f || !std::isfinite(rate) || rate <= 0.0 || cycles == 0) {
        return 0;
    }
    double count = cycles * rate / f;
    if (!std::isfinite(count) || count > 3.0e38) {
        return 0;
    }
    *n = static_cast<float>(count);
    return *n > 0.0f ? 1 : 0;
}
