// Real-input FFT: Stockham radix-4 for powers of two, Bluestein otherwise.

#include "fft.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <utility>

namespace haldor {

namespace {

bool power_of_two(uint32_t m) { return m != 0 && (m & (m - 1)) == 0; }

// exp(-j 2 pi k / n), with k reduced first so that large k lose nothing.
void unit_root(uint64_t k, uint64_t n, double *re, double *im) {
    const double a = 2.0 * std::numbers::pi * static_cast<double>(k % n) / static_cast<double>(n);
    *re = std::cos(a);
    *im = -std::sin(a);
}

}  // namespace

// A complex FFT of m points (m a power of two, m >= 2) on separate real and
// imaginary arrays. Stockham's self-sorting form: every pass reads one buffer
// and writes the other, so no bit-reversal pass is needed.
//
// A radix-4 pass on sub-transforms of length l with stride s (l * s = m) takes
// a, b, c, d = x[q + s (p + i l/4)], i = 0..3, and writes
//   y[q + s (4p + 0)] =          (a + c) + (b + d)
//   y[q + s (4p + 1)] = w^p    ((a - c) - j (b - d))
//   y[q + s (4p + 2)] = w^2p   ((a + c) - (b + d))
//   y[q + s (4p + 3)] = w^3p   ((a - c) + j (b - d)),   w = exp(-j 2 pi / l),
// for p < l/4, q < s; then l /= 4, s *= 4. When log2(m) is odd the last pass
// is a radix-2 one with l = 2 (no twiddle).
template <class T>
class ComplexFft {
public:
    explicit ComplexFft(uint32_t m) : m_(m), a_re_(m), a_im_(m), b_re_(m), b_im_(m) {
        for (uint32_t l = m; l >= 4; l /= 4) {
            Pass pass;
            pass.l = l;
            const uint32_t q = l / 4;
            pass.w.resize(6 * static_cast<size_t>(q));
            for (uint32_t p = 0; p < q; ++p) {
                for (uint32_t i = 1; i <= 3; ++i) {
                    double re = 0.0;
                    double im = 0.0;
                    unit_root(uint64_t{i} * p, l, &re, &im);
                    pass.w[(2 * (i - 1)) * q + p] = static_cast<T>(re);
                    pass.w[(2 * (i - 1) + 1) * q + p] = static_cast<T>(im);
                }
            }
            passes_.push_back(std::move(pass));
        }
        radix2_last_ = passes_.empty() ? m >= 2 : passes_.back().l / 4 == 2;
    }

    uint32_t size() const { return m_; }
    // The input arrays; fill them, then call run().
    T *in_re() { return a_re_.data(); }
    T *in_im() { return a_im_.data(); }

    // Transforms in place of the input arrays' contents; returns the arrays
    // that hold the result (the input's or the scratch ones).
    std::pair<const T *, const T *> run() { return run_from(nullptr); }

    // The same for m complex values given as (re, im) pairs: the first pass
    // reads them directly (the input arrays are not used).
    std::pair<const T *, const T *> run_interleaved(const T *in) { return run_from(in); }

private:
    std::pair<const T *, const T *> run_from(const T *interleaved) {
        T *xr = a_re_.data();
        T *xi = a_im_.data();
        T *yr = b_re_.data();
        T *yi = b_im_.data();
        if (interleaved != nullptr && passes_.empty()) {
            for (size_t i = 0; i < m_; ++i) {
                xr[i] = interleaved[2 * i];
                xi[i] = interleaved[2 * i + 1];
            }
            interleaved = nullptr;
        }
        size_t s = 1;
        for (const Pass &pass : passes_) {
            if (interleaved != nullptr) {
                first_pass_interleaved(pass, interleaved, yr, yi);
                interleaved = nullptr;
            } else if (s == 1) {
                first_pass(pass, xr, xi, yr, yi);
            } else if (s == 4) {
                fixed_pass<4>(pass, xr, xi, yr, yi);
            } else if (s == 16) {
                fixed_pass<16>(pass, xr, xi, yr, yi);
            } else if (s == 64) {
                fixed_pass<64>(pass, xr, xi, yr, yi);
            } else if (s == 256) {
                fixed_pass<256>(pass, xr, xi, yr, yi);
            } else {
                radix4(pass, s, xr, xi, yr, yi);
            }
            std::swap(xr, yr);
            std::swap(xi, yi);
            s *= 4;
        }
        if (radix2_last_) {
            radix2(s, xr, xi, yr, yi);
            std::swap(xr, yr);
            std::swap(xi, yi);
        }
        return {xr, xi};
    }

    struct Pass {
        uint32_t l = 0;
        std::vector<T> w;  // w^p, w^2p, w^3p for p < l/4: re and im rows of l/4 each
    };

    // The passes are kept out of line, each with its butterflies written out,
    // so that the compiler keeps the buffers' no-alias promise and vectorises
    // their loops.
    //
    // First pass (s = 1): the loop runs over p, the outputs interleave by four.
    // X(i) reads input i of a butterfly.
    template <class X>
    static inline void first_butterflies(const Pass &pass, size_t h, X x, T *__restrict yr, T *__restrict yi) {
        const size_t q = pass.l / 4;
        const T *__restrict w = pass.w.data();
        for (size_t p = 0; p < q; ++p) {
            T ar, ai, br, bi, cr, ci, dr, di;
            x(p, ar, ai);
            x(p + h, br, bi);
            x(p + 2 * h, cr, ci);
            x(p + 3 * h, dr, di);
            const T apc_r = ar + cr, apc_i = ai + ci, amc_r = ar - cr, amc_i = ai - ci;
            const T bpd_r = br + dr, bpd_i = bi + di, jbmd_r = di - bi, jbmd_i = br - dr;  // j (b - d)
            const T u1r = amc_r - jbmd_r, u1i = amc_i - jbmd_i;
            const T u2r = apc_r - bpd_r, u2i = apc_i - bpd_i;
            const T u3r = amc_r + jbmd_r, u3i = amc_i + jbmd_i;
            const T c1r = w[p], c1i = w[q + p], c2r = w[2 * q + p], c2i = w[3 * q + p];
            const T c3r = w[4 * q + p], c3i = w[5 * q + p];
            yr[4 * p] = apc_r + bpd_r;
            yi[4 * p] = apc_i + bpd_i;
            yr[4 * p + 1] = c1r * u1r - c1i * u1i;
            yi[4 * p + 1] = c1r * u1i + c1i * u1r;
            yr[4 * p + 2] = c2r * u2r - c2i * u2i;
            yi[4 * p + 2] = c2r * u2i + c2i * u2r;
            yr[4 * p + 3] = c3r * u3r - c3i * u3i;
            yi[4 * p + 3] = c3r * u3i + c3i * u3r;
        }
    }

    [[gnu::noinline]] void first_pass(const Pass &pass, const T *__restrict xr, const T *__restrict xi,
                                      T *__restrict yr, T *__restrict yi) const {
        first_butterflies(
            pass, m_ / 4,
            [&](size_t i, T &re, T &im) {
                re = xr[i];
                im = xi[i];
            },
            yr, yi);
    }

    [[gnu::noinline]] void first_pass_interleaved(const Pass &pass, const T *__restrict in, T *__restrict yr,
                                                  T *__restrict yi) const {
        first_butterflies(
            pass, m_ / 4,
            [&](size_t i, T &re, T &im) {
                re = in[2 * i];
                im = in[2 * i + 1];
            },
            yr, yi);
    }

    // The passes of the program's 1024-point transform (s = 4 .. 256): with s
    // fixed the rows of a butterfly lie at constant offsets from one base, so
    // the loop needs few registers and no run-time overlap checks.
    template <size_t s>
    [[gnu::noinline]] void fixed_pass(const Pass &pass, const T *__restrict xr, const T *__restrict xi,
                                      T *__restrict yr, T *__restrict yi) const {
        const size_t q = pass.l / 4;
        const size_t h = m_ / 4;
        const T *__restrict w = pass.w.data();
        for (size_t p = 0; p < q; ++p) {
            const T c1r = w[p], c1i = w[q + p], c2r = w[2 * q + p], c2i = w[3 * q + p];
            const T c3r = w[4 * q + p], c3i = w[5 * q + p];
            const size_t i0 = s * p;
            const size_t o0 = 4 * s * p;
            for (size_t k = 0; k < s; ++k) {
                const size_t i = i0 + k;
                const size_t o = o0 + k;
                const T ar = xr[i], ai = xi[i], br = xr[i + h], bi = xi[i + h];
                const T cr = xr[i + 2 * h], ci = xi[i + 2 * h], dr = xr[i + 3 * h], di = xi[i + 3 * h];
                const T apc_r = ar + cr, apc_i = ai + ci, amc_r = ar - cr, amc_i = ai - ci;
                const T bpd_r = br + dr, bpd_i = bi + di, jbmd_r = di - bi, jbmd_i = br - dr;
                const T u1r = amc_r - jbmd_r, u1i = amc_i - jbmd_i;
                const T u2r = apc_r - bpd_r, u2i = apc_i - bpd_i;
                const T u3r = amc_r + jbmd_r, u3i = amc_i + jbmd_i;
                yr[o] = apc_r + bpd_r;
                yi[o] = apc_i + bpd_i;
                yr[o + s] = c1r * u1r - c1i * u1i;
                yi[o + s] = c1r * u1i + c1i * u1r;
                yr[o + 2 * s] = c2r * u2r - c2i * u2i;
                yi[o + 2 * s] = c2r * u2i + c2i * u2r;
                yr[o + 3 * s] = c3r * u3r - c3i * u3i;
                yi[o + 3 * s] = c3r * u3i + c3i * u3r;
            }
        }
    }

    // Other passes (longer transforms): the loop runs over the s contiguous
    // butterflies of each p.
    [[gnu::noinline]] void radix4(const Pass &pass, size_t s, const T *__restrict xr, const T *__restrict xi,
                                  T *__restrict yr, T *__restrict yi) const {
        const size_t q = pass.l / 4;
        const size_t h = m_ / 4;  // s * l/4
        const T *__restrict w = pass.w.data();
        for (size_t p = 0; p < q; ++p) {
            const T c[6] = {w[p], w[q + p], w[2 * q + p], w[3 * q + p], w[4 * q + p], w[5 * q + p]};
            const T *ar = xr + s * p;
            const T *ai = xi + s * p;
            T *br = yr + 4 * s * p;
            T *bi = yi + 4 * s * p;
            column(s, c, ar, ai, ar + h, ai + h, ar + 2 * h, ai + 2 * h, ar + 3 * h, ai + 3 * h, br, bi, br + s,
                   bi + s, br + 2 * s, bi + 2 * s, br + 3 * s, bi + 3 * s);
        }
    }

    // The butterflies of one p: s of them on contiguous samples. Each input
    // and output row is its own pointer so that the compiler sees that they
    // never overlap (they lie at least s apart).
    [[gnu::noinline]] static void column(size_t s, const T *c, const T *__restrict ar, const T *__restrict ai,
                                         const T *__restrict br, const T *__restrict bi, const T *__restrict cr,
                                         const T *__restrict ci, const T *__restrict dr, const T *__restrict di,
                                         T *__restrict y0r, T *__restrict y0i, T *__restrict y1r,
                                         T *__restrict y1i, T *__restrict y2r, T *__restrict y2i,
                                         T *__restrict y3r, T *__restrict y3i) {
        const T c1r = c[0], c1i = c[1], c2r = c[2], c2i = c[3], c3r = c[4], c3i = c[5];
        for (size_t k = 0; k < s; ++k) {
            const T apc_r = ar[k] + cr[k], apc_i = ai[k] + ci[k], amc_r = ar[k] - cr[k], amc_i = ai[k] - ci[k];
            const T bpd_r = br[k] + dr[k], bpd_i = bi[k] + di[k];
            const T jbmd_r = di[k] - bi[k], jbmd_i = br[k] - dr[k];  // j (b - d)
            const T u1r = amc_r - jbmd_r, u1i = amc_i - jbmd_i;
            const T u2r = apc_r - bpd_r, u2i = apc_i - bpd_i;
            const T u3r = amc_r + jbmd_r, u3i = amc_i + jbmd_i;
            y0r[k] = apc_r + bpd_r;
            y0i[k] = apc_i + bpd_i;
            y1r[k] = c1r * u1r - c1i * u1i;
            y1i[k] = c1r * u1i + c1i * u1r;
            y2r[k] = c2r * u2r - c2i * u2i;
            y2i[k] = c2r * u2i + c2i * u2r;
            y3r[k] = c3r * u3r - c3i * u3i;
            y3i[k] = c3r * u3i + c3i * u3r;
        }
    }

    // l = 2: y[q] = x[q] + x[q + s], y[q + s] = x[q] - x[q + s], s = m/2.
    [[gnu::noinline]] void radix2(size_t s, const T *__restrict xr, const T *__restrict xi, T *__restrict yr,
                T *__restrict yi) const {
        for (size_t k = 0; k < s; ++k) {
            const T ar = xr[k], ai = xi[k], br = xr[k + s], bi = xi[k + s];
            yr[k] = ar + br;
            yi[k] = ai + bi;
            yr[k + s] = ar - br;
            yi[k + s] = ai - bi;
        }
    }

    uint32_t m_;
    std::vector<T> a_re_, a_im_, b_re_, b_im_;
    std::vector<Pass> passes_;
    bool radix2_last_ = false;
};

RealFft::RealFft() = default;
RealFft::~RealFft() = default;

bool RealFft::init(uint32_t n) {
    n_ = 0;
    fast_.reset();
    chirp_fft_.reset();
    auto release = [](auto &...v) { ((v.clear(), v.shrink_to_fit()), ...); };
    release(sep_re_, sep_im_, sep_re_d_, sep_im_d_, chirp_re_, chirp_im_, kernel_re_, kernel_im_, re_d_, im_d_,
            conv_re_, conv_im_);
    if (n < 4 || n % 2 != 0) {
        return false;
    }
    const uint32_t m = n / 2;
    if (power_of_two(m)) {
        fast_ = std::make_unique<ComplexFft<float>>(m);
        sep_re_.resize(m);
        sep_im_.resize(m);
        for (uint32_t k = 0; k < m; ++k) {
            double re = 0.0;
            double im = 0.0;
            unit_root(k, n, &re, &im);
            sep_re_[k] = static_cast<float>(0.5 * re);
            sep_im_[k] = static_cast<float>(0.5 * im);
        }
    } else {
        // Bluestein: X[k] = c[k] sum z[i] c[i] conj(c[k - i]), c[k] = exp(-j pi k^2 / m),
        // a convolution done by a power-of-two FFT of at least 2m - 1 points.
        uint32_t len = 1;
        while (len < 2 * m - 1) {
            len *= 2;
        }
        chirp_fft_ = std::make_unique<ComplexFft<double>>(len);
        chirp_re_.resize(m);
        chirp_im_.resize(m);
        sep_re_d_.resize(m);
        sep_im_d_.resize(m);
        for (uint32_t k = 0; k < m; ++k) {
            // k^2 mod 2m keeps the angle exact for large k.
            unit_root(uint64_t{k} * k % (2 * uint64_t{m}), 2 * uint64_t{m}, &chirp_re_[k], &chirp_im_[k]);
            unit_root(k, n, &sep_re_d_[k], &sep_im_d_[k]);
        }
        double *br = chirp_fft_->in_re();
        double *bi = chirp_fft_->in_im();
        for (uint32_t i = 0; i < len; ++i) {
            br[i] = 0.0;
            bi[i] = 0.0;
        }
        for (uint32_t k = 0; k < m; ++k) {
            br[k] = chirp_re_[k];
            bi[k] = -chirp_im_[k];
            if (k > 0) {
                br[len - k] = chirp_re_[k];
                bi[len - k] = -chirp_im_[k];
            }
        }
        auto [kr, ki] = chirp_fft_->run();
        kernel_re_.assign(kr, kr + len);
        kernel_im_.assign(ki, ki + len);
        for (uint32_t i = 0; i < len; ++i) {
            kernel_re_[i] /= len;
            kernel_im_[i] /= len;
        }
        re_d_.resize(m);
        im_d_.resize(m);
        conv_re_.resize(len);
        conv_im_.resize(len);
    }
    n_ = n;
    return true;
}

void RealFft::forward(const float *in, hld_complex_t *out) {
    if (fast_) {
        forward_power_of_two(in, out);
    } else if (chirp_fft_) {
        forward_any(in, out);
    }
}

// With Z the transform of z[i] = x[2i] + j x[2i + 1] (m points):
//   E[k] = (Z[k] + conj Z[m - k]) / 2,  O[k] = (Z[k] - conj Z[m - k]) / 2j,
//   X[k] = E[k] + exp(-j 2 pi k / n) O[k],  Z[m] = Z[0].
namespace {

// Bins 1 .. m - 1 into out (re, im pairs); kept out of line so that the
// compiler vectorises it. hr, hi: the twiddles halved, which folds the halves
// of E and O into them (exactly: halving is exact in binary floating point):
//   X = (A + B) / 2 + h (A - B) / j,  A = Z[k], B = conj Z[m - k], h = W / 2.
[[gnu::noinline]] void separate(size_t m, const float *__restrict fr, const float *__restrict fi,
                                const float *__restrict hr, const float *__restrict hi, float *__restrict out) {
    for (size_t k = 1; k < m; ++k) {
        const float ar = fr[k], ai = fi[k];
        const float br = fr[m - k], bi = -fi[m - k];
        const float dr = ar - br, di = ai - bi;
        out[2 * k] = 0.5f * (ar + br) + hr[k] * di + hi[k] * dr;
        out[2 * k + 1] = 0.5f * (ai + bi) - hr[k] * dr + hi[k] * di;
    }
}

}  // namespace

void RealFft::forward_power_of_two(const float *in, hld_complex_t *out) {
    const uint32_t m = n_ / 2;
    auto [fr, fi] = fast_->run_interleaved(in);
    static_assert(sizeof(hld_complex_t) == 2 * sizeof(float));
    separate(m, fr, fi, sep_re_.data(), sep_im_.data(), reinterpret_cast<float *>(out));
    out[0] = {fr[0] + fi[0], 0.0f};
    out[m] = {fr[0] - fi[0], 0.0f};
}

void RealFft::forward_any(const float *in, hld_complex_t *out) {
    const uint32_t m = n_ / 2;
    const uint32_t len = chirp_fft_->size();
    double *ar = chirp_fft_->in_re();
    double *ai = chirp_fft_->in_im();
    for (uint32_t i = 0; i < m; ++i) {
        const double xr = in[2 * i];
        const double xi = in[2 * i + 1];
        ar[i] = xr * chirp_re_[i] - xi * chirp_im_[i];
        ai[i] = xr * chirp_im_[i] + xi * chirp_re_[i];
    }
    for (uint32_t i = m; i < len; ++i) {
        ar[i] = 0.0;
        ai[i] = 0.0;
    }
    {
        auto [fr, fi] = chirp_fft_->run();
        // The inverse transform as conj(FFT(conj(.))): keep the conjugate of the product.
        for (uint32_t i = 0; i < len; ++i) {
            conv_re_[i] = fr[i] * kernel_re_[i] - fi[i] * kernel_im_[i];
            conv_im_[i] = -(fr[i] * kernel_im_[i] + fi[i] * kernel_re_[i]);
        }
    }
    for (uint32_t i = 0; i < len; ++i) {
        ar[i] = conv_re_[i];
        ai[i] = conv_im_[i];
    }
    auto [cr, ci] = chirp_fft_->run();
    for (uint32_t k = 0; k < m; ++k) {
        const double vr = cr[k];
        const double vi = -ci[k];
        re_d_[k] = vr * chirp_re_[k] - vi * chirp_im_[k];
        im_d_[k] = vr * chirp_im_[k] + vi * chirp_re_[k];
    }
    out[0] = {static_cast<float>(re_d_[0] + im_d_[0]), 0.0f};
    out[m] = {static_cast<float>(re_d_[0] - im_d_[0]), 0.0f};
    for (uint32_t k = 1; k < m; ++k) {
        const double zr = re_d_[k], zi = im_d_[k];
        const double br = re_d_[m - k], bi = -im_d_[m - k];
        const double er = 0.5 * (zr + br), ei = 0.5 * (zi + bi);
        const double or_ = 0.5 * (zi - bi), oi = -0.5 * (zr - br);
        const double wr = sep_re_d_[k], wi = sep_im_d_[k];
        out[k] = {static_cast<float>(er + wr * or_ - wi * oi), static_cast<float>(ei + wr * oi + wi * or_)};
    }
}

}  // namespace haldor
