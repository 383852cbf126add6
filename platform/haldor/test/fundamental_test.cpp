// Window, FFT, frequency, fundamental and harmonics against closed forms and
// brute-force long-double DFTs. Every window is read across the ring's end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>

#include "reference.h"

namespace haldor_test {
namespace {

constexpr uint32_t kRingSize = 5000;

// Window start positions that make the 2048 samples cross the ring's end at
// different places, including the first and last sample of the window.
constexpr uint32_t kStarts[] = {kRingSize - 1, kRingSize - 1000, kRingSize - 2047, 1234};

struct Analysis {
    int freq_ok = 0;
    float f = 0, bin = 0;
    int fund_ok = 0;
    float phase = 0, rms_fund = 0, rms_harm = 0;
};

// Runs the chain on one channel, with the bin found on that channel.
Analysis analyse(SpectrumKernels &k, const Signal &sig, uint32_t start) {
    Ring ring(kRingSize);
    ring.write(start, sig.render(kWindow, kRate));
    auto spectrum = k.spectrum(ring.cursor(start));
    Analysis a;
    a.freq_ok = hld_fund_frequency_calc(kRate, spectrum.data(), &a.f, &a.bin);
    a.fund_ok = hld_fund_rms_phase_calc(kRate, a.bin, spectrum.data(), &a.phase, &a.rms_fund, &a.rms_harm);
    return a;
}

TEST(Spectrum, WindowAndFftMatchLongDoubleDft) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    Signal sig{{{50.2L, 30000, 0.3L}, {151.0L, 4000, -1.0L}, {1234.5L, 900, 2.0L}}, 1500, 200, 7};
    auto samples = sig.render(kWindow, kRate);
    for (uint32_t start : kStarts) {
        SCOPED_TRACE("start " + std::to_string(start));
        Ring ring(kRingSize);
        ring.write(start, samples);
        cbi_t cur = ring.cursor(start);
        std::vector<float> windowed(kWindow);
        ASSERT_TRUE(hld_hanning_calc(&cur, windowed.data()));
        for (uint32_t i = 0; i < kWindow; ++i) {
            long double expect = hann(i, kWindow) * samples[i];
            ASSERT_NEAR(windowed[i], static_cast<double>(expect), 1e-6 * 40000) << "sample " << i;
        }
        std::vector<hld_complex_t> spectrum(kWindow / 2 + 1);
        ASSERT_TRUE(hld_fft_calc(windowed.data(), spectrum.data()));
        // Float FFT against the exact DFT of the same input: errors stay a
        // few 1e-7 of the largest line.
        const long double peak = std::abs(dft_at(windowed, 9));
        for (uint32_t m = 0; m <= kWindow / 2; m += (start == kStarts[0] ? 1 : 37)) {
            auto ref = dft_at(windowed, m);
            EXPECT_NEAR(spectrum[m].r, static_cast<double>(ref.real()), 2e-6 * static_cast<double>(peak)) << m;
            EXPECT_NEAR(spectrum[m].i, static_cast<double>(ref.imag()), 2e-6 * static_cast<double>(peak)) << m;
        }
    }
}

// Every kind of even length the set-up accepts: half-lengths that are odd and
// even powers of two (radix-4 passes with and without the closing radix-2
// pass, the program's fixed-stride passes and the general one beyond them) and
// others, prime ones included (chirp-z transform).
TEST(Spectrum, FftOfEveryKindOfLengthMatchesLongDoubleDft) {
    const Signal sig{{{50.2L, 30000, 0.3L}, {1510.0L, 4000, -1.0L}, {4234.5L, 900, 2.0L}}, 1500, 200, 7};
    for (uint32_t n : {16u, 32u, 64u, 2048u, 4096u, 8192u, 18u, 30u, 1500u, 2042u, 6000u}) {
        SCOPED_TRACE("n " + std::to_string(n));
        ASSERT_TRUE(hld_fft_setup(n));
        const auto x = sig.render(n, kRate);
        std::vector<hld_complex_t> out(n / 2 + 1, hld_complex_t{NAN, NAN});
        ASSERT_TRUE(hld_fft_calc(x.data(), out.data()));
        std::vector<std::complex<long double>> root(n);
        for (uint32_t k = 0; k < n; ++k) {
            root[k] = std::polar(1.0L, -2 * kPiL * k / n);
        }
        std::vector<std::complex<long double>> ref(n / 2 + 1);
        long double peak = 0;
        for (uint32_t m = 0; m <= n / 2; ++m) {
            for (uint32_t i = 0; i < n; ++i) {
                ref[m] += static_cast<long double>(x[i]) * root[static_cast<uint64_t>(i) * m % n];
            }
            peak = std::max(peak, std::abs(ref[m]));
        }
        const double tol = 2e-6 * static_cast<double>(peak);
        for (uint32_t m = 0; m <= n / 2; ++m) {
            ASSERT_NEAR(out[m].r, static_cast<double>(ref[m].real()), tol) << "bin " << m;
            ASSERT_NEAR(out[m].i, static_cast<double>(ref[m].imag()), tol) << "bin " << m;
        }
    }
    hld_fft_clean();
    std::vector<float> x(2048);
    std::vector<hld_complex_t> out(1025);
    EXPECT_EQ(hld_fft_calc(x.data(), out.data()), 0);
}

TEST(Spectrum, FrequencyFrom40_5To69_5Hz) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    double worst = 0;
    int i = 0;
    for (long double f = 40.5L; f <= 69.5L + 1e-9L; f += 0.25L, ++i) {
        Signal sig{{{f, 20000.0L * (1 + i % 4), 0.37L * i}}};
        uint32_t start = kStarts[i % 4];
        SCOPED_TRACE("f " + std::to_string(static_cast<double>(f)) + " start " + std::to_string(start));
        Analysis a = analyse(k, sig, start);
        ASSERT_TRUE(a.freq_ok);
        EXPECT_NEAR(a.f, static_cast<double>(f), 0.01);
        EXPECT_NEAR(a.bin, static_cast<double>(f * kWindow / kRate), 0.01 * kWindow / kRate);
        worst = std::max(worst, std::fabs(a.f - static_cast<double>(f)));
    }
    RecordProperty("worst_error_hz", std::to_string(worst));
}

// Signals that a meter sees: distortion, offsets, noise. Frequency within
// 0.01 Hz, fundamental RMS within 0.05 % (0.1 % with noise), phase within
// 1e-3 rad of the closed form.
struct FundamentalCase {
    const char *name;
    long double f;
    long double phase;
    long double dc;
    long double h3, h5;  // harmonic amplitudes relative to the fundamental
    long double noise;   // noise RMS relative to the fundamental amplitude
};

const FundamentalCase kFundamentalCases[] = {
    {"pure 40.5 Hz", 40.5L, 0.1L, 0, 0, 0, 0},
    {"pure 50 Hz", 50.0L, -2.9L, 0, 0, 0, 0},
    {"pure 60 Hz", 60.0L, 3.1L, 0, 0, 0, 0},
    {"pure 69.5 Hz", 69.5L, -0.7L, 0, 0, 0, 0},
    {"harmonics 49.9 Hz", 49.9L, 1.0L, 0, 0.10L, 0.05L, 0},
    {"harmonics 59.95 Hz", 59.95L, -1.5L, 0, 0.10L, 0.05L, 0},
    {"large DC 50.3 Hz", 50.3L, 0.5L, 2.0L, 0, 0, 0},
    {"negative DC 44 Hz", 44.0L, 2.5L, -0.3L, 0, 0, 0},
    {"noise 1 % 50 Hz", 50.0L, 0.8L, 0, 0, 0, 0.01L},
    {"noise 1 % 65 Hz", 65.0L, -2.2L, 0, 0, 0, 0.01L},
    {"everything 47.3 Hz", 47.3L, -0.1L, 0.5L, 0.10L, 0.05L, 0.005L},
    {"everything 68.8 Hz", 68.8L, 1.9L, -0.5L, 0.10L, 0.05L, 0.005L},
};

TEST(Spectrum, FundamentalWithDistortionDcAndNoise) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    const long double amp = 300000;
    for (const auto &c : kFundamentalCases) {
        for (uint32_t start : kStarts) {
            SCOPED_TRACE(std::string(c.name) + " start " + std::to_string(start));
            Signal sig;
            sig.tones = {{c.f, amp, c.phase}};
            if (c.h3 > 0) {
                sig.tones.push_back({3 * c.f, c.h3 * amp, 0.4L});
                sig.tones.push_back({5 * c.f, c.h5 * amp, -1.3L});
            }
            sig.dc = c.dc * amp;
            sig.noise_rms = c.noise * amp;
            sig.seed = start;
            Analysis a = analyse(k, sig, start);
            ASSERT_TRUE(a.freq_ok);
            ASSERT_TRUE(a.fund_ok);
            EXPECT_NEAR(a.f, static_cast<double>(c.f), 0.01);
            const double rms = static_cast<double>(amp / std::sqrt(2.0L));
            EXPECT_NEAR(a.rms_fund, rms, (c.noise > 0 ? 1e-3 : 5e-4) * rms);
            // Phase at the window's middle sample.
            const long double middle = c.phase + 2 * kPiL * c.f * (kWindow / 2) / kRate;
            EXPECT_NEAR(angle_diff(a.phase, static_cast<double>(middle)), 0.0, 1e-3);
        }
    }
}

TEST(Spectrum, PhaseBetweenChannels) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    const long double shifts[] = {-3.1L, -2.0944L, -1.2L, -0.01L, 0.0L, 0.3L, 1.5708L, 2.0944L, 3.0L};
    int i = 0;
    for (long double f : {40.5L, 45.7L, 50.0L, 53.21L, 60.0L, 66.6L, 69.5L}) {
        for (long double shift : shifts) {
            ++i;
            SCOPED_TRACE("f " + std::to_string(static_cast<double>(f)) + " shift " +
                         std::to_string(static_cast<double>(shift)));
            // Channel a gives the bin; channel b, on another ring with another
            // wrap point, is evaluated at that bin, as the processing does.
            const long double pa = 0.2L * i;
            Signal sa{{{f, 250000, pa}, {3 * f, 20000, 0.1L}}, 1000};
            Signal sb{{{f, 3000.0L * (1 + i % 5), pa + shift}, {5 * f, 400, 2.0L}}, -50};
            Ring ra(kRingSize), rb(kRingSize + 77);
            uint32_t start_a = kStarts[i % 4], start_b = (kStarts[(i + 1) % 4] + 77) % rb.size();
            ra.write(start_a, sa.render(kWindow, kRate));
            rb.write(start_b, sb.render(kWindow, kRate));
            auto spec_a = k.spectrum(ra.cursor(start_a));
            auto spec_b = k.spectrum(rb.cursor(start_b));
            float f_est, bin, phase_a, phase_b, rms, harm;
            ASSERT_TRUE(hld_fund_frequency_calc(kRate, spec_a.data(), &f_est, &bin));
            ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, bin, spec_a.data(), &phase_a, &rms, &harm));
            ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, bin, spec_b.data(), &phase_b, &rms, &harm));
            EXPECT_NEAR(angle_diff(phase_b - phase_a, static_cast<double>(shift)), 0.0, 1e-3);
            EXPECT_NEAR(rms, static_cast<double>(3000.0L * (1 + i % 5) / std::sqrt(2.0L)),
                        5e-4 * 3000.0 * (1 + i % 5) / std::sqrt(2.0));
        }
    }
}

TEST(Spectrum, HarmonicRmsAndThd) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    const long double amp = 200000;
    for (long double f : {40.5L, 49.97L, 50.0L, 60.0L, 61.3L, 69.5L}) {
        SCOPED_TRACE("f " + std::to_string(static_cast<double>(f)));
        // 10 % third and 5 % fifth: THD = sqrt(0.01 + 0.0025) = 11.18 %.
        Signal distorted{{{f, amp, 0.5L}, {3 * f, 0.10L * amp, 1.1L}, {5 * f, 0.05L * amp, -2.4L}}, 0.1L * amp};
        Analysis a = analyse(k, distorted, kStarts[0]);
        ASSERT_TRUE(a.fund_ok);
        const double harm = static_cast<double>(amp * std::sqrt(0.0125L) / std::sqrt(2.0L));
        EXPECT_NEAR(a.rms_harm, harm, 2e-3 * harm);
        EXPECT_NEAR(a.rms_harm / a.rms_fund, std::sqrt(0.0125), 2e-3 * std::sqrt(0.0125));

        // A pure sine (with DC) shows no harmonics: the fundamental's own
        // leakage is taken out of the harmonic lobes.
        Signal pure{{{f, amp, -0.5L}}, 0.2L * amp};
        a = analyse(k, pure, kStarts[2]);
        ASSERT_TRUE(a.fund_ok);
        EXPECT_LT(a.rms_harm / a.rms_fund, 2e-4);
    }
}

// Nothing that is not a fundamental is reported as one.
TEST(Spectrum, NoFundamentalInDcSilenceNoiseOrOutOfBand) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    struct Case {
        const char *name;
        Signal sig;
    } cases[] = {
        {"silence", Signal{}},
        {"DC only", Signal{{}, 123456}},
        {"white noise", Signal{{}, 0, 5000, 3}},
        {"DC and noise", Signal{{}, -40000, 30, 4}},
        {"tone at 150 Hz only", Signal{{{150, 100000, 0}}}},
        {"tone at 3 kHz only", Signal{{{3000, 100000, 0}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Ring ring(kRingSize);
        ring.write(kStarts[1], c.sig.render(kWindow, kRate));
        auto spectrum = k.spectrum(ring.cursor(kStarts[1]));
        float f = -1, bin = -1;
        EXPECT_EQ(hld_fund_frequency_calc(kRate, spectrum.data(), &f, &bin), 0);
        EXPECT_EQ(f, 0.0f);
        EXPECT_EQ(bin, 0.0f);
    }
    // A tone outside the accepted 40-70 Hz but inside the search band is
    // reported as what it is, so that the caller can reject it.
    Analysis a = analyse(k, Signal{{{35.0L, 100000, 1.0L}}}, kStarts[0]);
    ASSERT_TRUE(a.freq_ok);
    EXPECT_NEAR(a.f, 35.0, 0.01);
}

TEST(Spectrum, DcOnlyHasNoFundamentalAtTheDefaultBin) {
    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    Ring ring(kRingSize);
    ring.write(kStarts[0], Signal{{}, 800000}.render(kWindow, kRate));
    auto spectrum = k.spectrum(ring.cursor(kStarts[0]));
    float phase, rms, harm;
    ASSERT_TRUE(hld_fund_rms_phase_calc(kRate, hld_get_default_frequency_bin(kRate), spectrum.data(), &phase, &rms,
                                        &harm));
    EXPECT_LT(rms, 1e-6 * 800000);
    EXPECT_LT(harm, 1e-6 * 800000);
}

TEST(Spectrum, DefaultFrequencyAndBin) {
    EXPECT_EQ(hld_get_default_frequency(), 50.0f);
    EXPECT_FLOAT_EQ(hld_get_default_frequency_bin(kRate), static_cast<float>(50.0 * 2048 / kRate));
    EXPECT_EQ(hld_get_default_frequency_bin(0.0), 0.0f);
    EXPECT_EQ(hld_get_default_frequency_bin(-5.0), 0.0f);
    ASSERT_TRUE(hld_frequency_phase_setup(1024));
    EXPECT_FLOAT_EQ(hld_get_default_frequency_bin(8000.0), 50.0f * 1024 / 8000);
    hld_frequency_phase_clean();
}

TEST(Spectrum, RefusesBadSetUpAndCallsWithoutIt) {
    for (uint32_t n : {0u, 8u, 2047u, HLD_MAX_WINDOW + 2}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(hld_hanning_setup(n), 0);
        EXPECT_EQ(hld_fft_setup(n), 0);
        EXPECT_EQ(hld_frequency_phase_setup(n), 0);
    }
    Ring ring(kRingSize);
    cbi_t cur = ring.cursor(0);
    std::vector<float> buf(kWindow);
    std::vector<hld_complex_t> spectrum(kWindow / 2 + 1, hld_complex_t{1, 1});
    EXPECT_EQ(hld_hanning_calc(&cur, buf.data()), 0);
    EXPECT_EQ(hld_fft_calc(buf.data(), spectrum.data()), 0);
    float f = 1, bin = 1, phase = 1, rms = 1, harm = 1;
    EXPECT_EQ(hld_fund_frequency_calc(kRate, spectrum.data(), &f, &bin), 0);
    EXPECT_EQ(f + bin, 0.0f);
    EXPECT_EQ(hld_fund_rms_phase_calc(kRate, 8.5f, spectrum.data(), &phase, &rms, &harm), 0);
    EXPECT_EQ(phase + rms + harm, 0.0f);

    SpectrumKernels k;
    ASSERT_TRUE(k.ok);
    // A window longer than the ring, a cursor outside its ring.
    Ring small(kWindow - 1);
    cbi_t short_cur = small.cursor(0);
    EXPECT_EQ(hld_hanning_calc(&short_cur, buf.data()), 0);
    cbi_t stray{cur.cb, ring.at(0) + kRingSize};
    EXPECT_EQ(hld_hanning_calc(&stray, buf.data()), 0);
    EXPECT_EQ(hld_hanning_calc(nullptr, buf.data()), 0);
    // Bins whose fit would reach the DC bins or beyond N/2, and bad rates.
    for (float b : {0.0f, 2.9f, -4.0f, 1023.0f, 1023.5f, 3e9f, -3e9f, 1e30f, NAN, INFINITY}) {
        SCOPED_TRACE(b);
        EXPECT_EQ(hld_fund_rms_phase_calc(kRate, b, spectrum.data(), &phase, &rms, &harm), 0);
    }
    EXPECT_EQ(hld_fund_rms_phase_calc(0.0, 8.5f, spectrum.data(), &phase, &rms, &harm), 0);
    EXPECT_EQ(hld_fund_frequency_calc(NAN, spectrum.data(), &f, &bin), 0);
    // Rates whose search band lies beyond every bin, or beyond an int.
    for (double rate : {1e-300, 1e-6, 1.0, 1e300}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(hld_fund_frequency_calc(rate, spectrum.data(), &f, &bin), 0);
    }
}

}  // namespace
}  // namespace haldor_test
