#pragma once
// Forward DFT of a real sequence of even length n: the n/2 + 1 values
// X[k] = sum x[i] exp(-j 2 pi k i / n), k = 0 .. n/2, unnormalised.
//
// The n real samples are read as n/2 complex ones (even samples real, odd
// samples imaginary), transformed by one complex FFT of n/2 points and then
// separated into the spectrum of the real sequence. When n/2 is a power of two
// the complex FFT is a Stockham radix-4 (one radix-2 pass at the end when the
// power is odd) in float, on separate real and imaginary arrays so that the
// compiler can vectorise every pass on any target. Other even lengths go
// through Bluestein's chirp-z transform in double.
//
// One object is used by one thread at a time: the scratch arrays are its own.

#include <cstdint>
#include <memory>
#include <vector>

#include "haldor/haldor.h"

namespace haldor {

template <class T>
class ComplexFft;

class RealFft {
public:
    RealFft();
    ~RealFft();
    RealFft(const RealFft &) = delete;
    RealFft &operator=(const RealFft &) = delete;

    // False (and unusable, its memory released) for an odd n or one below 4.
    bool init(uint32_t n);
    uint32_t size() const { return n_; }
    // in: n samples; out: n/2 + 1 values.
    void forward(const float *in, hld_complex_t *out);

private:
    uint32_t n_ = 0;
    std::unique_ptr<ComplexFft<float>> fast_;       // n/2 a power of two
    std::unique_ptr<ComplexFft<double>> chirp_fft_;  // Bluestein's convolution length
    // exp(-j 2 pi k / n) for k < n/2: the separation of the real spectrum
    // (halved in the float tables).
    std::vector<float> sep_re_, sep_im_;
    std::vector<double> sep_re_d_, sep_im_d_;
    // Bluestein: the chirp exp(-j pi k^2 / m) and the transformed conjugate
    // chirp of the convolution (divided by its length).
    std::vector<double> chirp_re_, chirp_im_, kernel_re_, kernel_im_;
    std::vector<double> re_d_, im_d_, conv_re_, conv_im_;

    void forward_power_of_two(const float *in, hld_complex_t *out);
    void forward_any(const float *in, hld_complex_t *out);
};

}  // namespace haldor
