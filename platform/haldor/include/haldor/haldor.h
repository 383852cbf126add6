#pragma once
// libhaldor: the numeric kernels of the measurement chain.
//
// Calibration of raw ADC words into the channel rings, the Hann window and FFT
// of a 2048-sample window, the fundamental's frequency, RMS and phase, the
// harmonic RMS, mean squares and mean products over a window of whole cycles,
// the integrator of flexible (di/dt) current sensors, and the reactive power
// and quadrant of a fundamental.
//
// Rings and cursors are the cb_t / cbi_t of <haldor/shared_types.h>. "n samples
// from a cursor" are the samples at cursor->head, head + 1, ... wrapping at the
// ring's end. The library never moves a cursor and never checks that the
// samples it reads have been written: that accounting is the caller's.
//
// Every call that can fail returns int: nonzero on success, 0 on failure (a call
// before its set-up, a null pointer, a cursor outside its ring, more samples
// than the ring holds, a non-finite argument). A failed call sets its scalar
// outputs to zero and leaves buffers unwritten; no output is ever NaN.
//
// Threads: the set-up and clean calls are made while no other call runs. The
// calibration kernel may run on the acquisition threads while the processing
// thread uses the rest; the window, FFT, fundamental and integrator calls share
// set-up state and are made by one thread at a time. The mean-square, product,
// sample-count, angle and reactive-power calls keep no state.
//
// ---------------------------------------------------------------------------
// Choices made here (the meaning of every number below)
//
// Sample rate of the front end. The ADCs are six-channel delta-sigma converters
// clocked at 1538500 Hz (the program's default clock). Their register 1 is set to
// 0x92 at start (the first byte of the default register settings); its data-rate
// field (bits 2..0 = 2) selects an output rate of clock / 2 / 64 (a modulator at
// half the clock, decimated by 64), so the front end delivers
// 1538500 / 128 = 12019.53125 samples per second on every channel.
// This is consistent with the rest of the chain: 5 cycles at 40 Hz are 1502.4
// samples, so the fixed 2048-sample window always covers a whole five-cycle
// result window; a PRU half-buffer of 32 x 64 samples lasts 170 ms; a channel
// ring of 60000 samples holds 5 s. The simulated front end and the benchmarks
// use HLD_NOMINAL_SAMPLE_RATE; the library itself always takes the rate that the
// acquisition measured.
//
// Calibration. A raw word is a signed 32-bit two's-complement ADC count (the PRU
// sign-extends the converter's result). The calibrated sample is
// (float)count * gain, in "ring units". The entry's offset is a noise floor that
// the program subtracts from mean squares; the kernel does not touch it.
//
// Window. The periodic Hann window w[n] = 0.5 - 0.5 cos(2 pi n / N), peak 1, not
// normalised. Being periodic, a constant (DC) in the samples reaches only DFT
// bins 0 and 1 and never the fundamental.
//
// Spectrum. The unnormalised forward DFT of the windowed samples,
// X[k] = sum x[n] exp(-j 2 pi k n / N) for k = 0 .. N/2 (N/2 + 1 values, 1025 for
// N = 2048). For N/2 a power of two (the program's 2048) a float radix-4 FFT
// of N/2 complex points, within a few 1e-7 of the largest line; any other even
// N through a chirp-z transform in double.
//
// Bin. A fractional DFT bin: frequency = bin * rate / N.
//
// Frequency search. The fundamental is the largest spectral line between
// HLD_FREQ_SEARCH_MIN_HZ and HLD_FREQ_SEARCH_MAX_HZ (and at bin 4 or above).
// A tone outside 40-70 Hz but inside that band is reported as it is, for the
// caller to reject. It is valid only when that line is a local maximum and its main lobe
// holds at least HLD_FREQ_MIN_SHARE of the AC energy of the spectrum (bins 2 ..
// N/2), so DC, silence and noise give no frequency. Its position is interpolated
// from the two highest bins of the Hann lobe and refined against the exact
// window kernel, including the mirror image from the negative frequency: within
// 0.2 mHz on clean or distorted signals, within 7 mHz under white noise of 1 %
// of the amplitude over the whole band.
//
// Fundamental. Amplitude and phase are a least-squares fit of the exact Hann
// kernel (line and mirror image) to the 4 bins around the given bin. RMS in ring
// units; phase in radians of the fundamental written as cos(2 pi f t + phase),
// within -pi .. pi, with t = 0 at the window's middle sample (N/2): there a
// small error of the bin does not turn the phase, and channels evaluated at
// the same bin over the same samples compare exactly.
//
// Harmonics. Orders 2 .. HLD_HARMONIC_MAX, as far as fit below N/2. The RMS of
// order h comes from the energy of the 6 bins of its Hann main lobe around
// h * bin, after the fundamental's own leakage is taken out of those bins; the
// harmonic RMS is the root of the sum of squares, in ring units. Noise and
// interharmonics that fall into those lobes count with them; a pure sine shows
// a harmonic RMS below 1e-5 of its fundamental.
//
// Default frequency. HLD_DEFAULT_FREQUENCY = 50 Hz. Five cycles at 50 Hz last
// 100 ms, which is also exactly six cycles at 60 Hz, so currents measured without
// a valid voltage reference still cover whole cycles on either kind of grid.
//
// Sample counts. n = cycles * rate / f, in float.
//
// Mean squares and products. Accumulated in double; the mean square and the
// mean product are in ring units squared, rounded to the nearest int64; the
// mean is in ring units (float). n is taken as a whole number of samples
// (truncated); n < 1 fails.
//
// Flexible sensors. A sensor that gives di/dt is integrated per channel in place
// by H(s) = K s (s + 3 wc) / (s + wc)^3, wc = 2 pi HLD_FLEX_CORNER_HZ (0.5 Hz),
// in three bilinear first-order sections: a DC block, a leaky integrator and a
// lag network whose zero cancels the phase lead that the first two leave. From
// 40 to 70 Hz the chain is an ideal integrator to within 2e-5 rad of phase and
// 2.1e-4 of gain; K makes its gain exactly 1 at HLD_FLEX_REFERENCE_HZ = 50 Hz (a
// sensor's rated sensitivity is given there), falling as 1/f elsewhere, so the
// CT scale of a flexible sensor is its sensitivity at 50 Hz. The output lags the
// input by 90 degrees, which restores the current's own phase. A constant input
// offset never reaches the output: one present at start or changed later leaves
// a transient that has fallen below 1e-3 of the offset after 6 s.
// The chain remembers seconds of its input: where the samples of a channel
// start anew (the first samples, or the first after a gap), its state is
// seeded from the samples that follow, so that the output is the settled
// integral from the first of them on instead of a transient that rings for
// seconds. The seed is a weighted least-squares fit over up to 4096 samples
// (at least 1024; fewer leave the chain at rest), for currents from 40 Hz.
//
// Reactive power and quadrant. The phase passed is the current's fundamental
// phase minus its voltage's (negative when the current lags). Reactive power
// var = -u_fund * i_fund * sin(phase): positive for an inductive load. Quadrants
// as in four-quadrant metering, with P = U I cos(phase) and Q = var:
//   1: -pi/2 <  phase <= 0      P > 0,  Q >= 0  (import, inductive)
//   2: -pi   <  phase <= -pi/2  P <= 0, Q > 0   (export, capacitive)
//   3:  pi/2 <  phase <= pi     P < 0,  Q <= 0  (export, inductive)
//   4:  0    <  phase <= pi/2   P >= 0, Q < 0   (import, capacitive)
// A phase of -pi (or float -pi) counts as pi: quadrant 3. A phase is valid when
// finite and within +-pi as a float. aux receives the same quadrant code.
// ---------------------------------------------------------------------------

#include <stdint.h>

#include "haldor/shared_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// One spectral value; same layout as a pair of floats (re, im).
typedef struct hld_complex_t {
    float r;
    float i;
} hld_complex_t;

#define HLD_NOMINAL_SAMPLE_RATE 12019.53125
#define HLD_DEFAULT_FREQUENCY 50.0f
#define HLD_FREQ_SEARCH_MIN_HZ 20.0
#define HLD_FREQ_SEARCH_MAX_HZ 100.0
#define HLD_FREQ_MIN_SHARE 0.5
#define HLD_HARMONIC_MAX 50
#define HLD_FLEX_REFERENCE_HZ 50.0
#define HLD_FLEX_CORNER_HZ 0.5
// Longest window the window, FFT and frequency set-ups accept.
#define HLD_MAX_WINDOW 65536u

// --- Calibration --------------------------------------------------------

// Keeps the address of the caller's 54-entry array (it must stay where it is
// until hld_calibrate_clean; later changes of its entries take effect at the next
// calibrated block). num_buf: rings 0 .. num_buf - 1 carry samples, 1 .. 54.
int hld_calibrate_setup(const cal_entry_t *cal_array, uint32_t num_buf);
// Writes count calibrated samples from cursor->head on (wrapping); the caller
// then advances the head. Fails for a ring index >= num_buf or count above the
// ring's size. A channel whose gain is not finite gets zeros (and the call fails)
// rather than NaN in the ring.
int hld_calibrate_calc(uint32_t ring, const uint32_t *raw, uint32_t count, const cbi_t *cursor);
void hld_calibrate_clean(void);

// --- Window, FFT, fundamental -------------------------------------------

// n: window and FFT length, even, 16 .. HLD_MAX_WINDOW (the program uses 2048).
int hld_hanning_setup(uint32_t n);
int hld_fft_setup(uint32_t n);
int hld_frequency_phase_setup(uint32_t n);
void hld_hanning_clean(void);
void hld_fft_clean(void);
void hld_frequency_phase_clean(void);

// out[i] = sample i from the cursor times w[i], for the set-up window length.
int hld_hanning_calc(const cbi_t *cursor, float *out);
// spectrum: n/2 + 1 values of the DFT of in[0 .. n-1].
int hld_fft_calc(const float *in, hld_complex_t *spectrum);

// Nonzero when a valid fundamental was found: *f in Hz and *bin. On failure
// *f = 0 and *bin = 0.
int hld_fund_frequency_calc(double rate, const hld_complex_t *spectrum, float *f, float *bin);
// The fundamental at the given bin (from hld_fund_frequency_calc, or the
// default bin): its phase, its RMS and the RMS of its harmonics. Fails (all
// outputs 0) for a bin too close to DC or to N/2, or a rate not above 0.
int hld_fund_rms_phase_calc(double rate, float bin, const hld_complex_t *spectrum, float *phase,
                            float *rms_fund, float *rms_harm);

float hld_get_default_frequency(void);
// HLD_DEFAULT_FREQUENCY * N / rate, with N of the frequency set-up (2048 before
// it); 0 for a rate not above 0.
float hld_get_default_frequency_bin(double rate);
// *n = cycles * rate / f; fails (*n = 0) unless f, rate and cycles are above 0
// and finite.
int hld_sample_count_calc(float f, double rate, uint32_t cycles, float *n);

// --- Window sums ---------------------------------------------------------

// Mean square *m and mean *d of n samples from the cursor.
int hld_rmss_dc_calc(float n, const cbi_t *cursor, int64_t *m, float *d);
// The same for the sample-by-sample difference a - b.
int hld_rmss_lineline_dc_calc(float n, const cbi_t *a, const cbi_t *b, int64_t *m, float *d);
// Mean of (a - mean_a) * (b - mean_b) over n samples.
int hld_real_power_calc(float mean_a, float mean_b, float n, const cbi_t *a, const cbi_t *b, int64_t *p);

// Samples from position up to cursor->head, with wrap-around; 0 when the
// position lies outside the ring.
uint32_t hld_cbi_filled(const cbi_t *cursor, const float *position);

// --- Flexible sensors ----------------------------------------------------

// One integrator per channel 0 .. channels - 1, all at rest.
int hld_flex_setup(double rate, uint32_t channels);
// Integrates n samples from the cursor in place, continuing the channel's state.
int hld_flex_calc(uint32_t channel, const cbi_t *cursor, uint32_t n);
// The channel's input starts anew at the cursor: its state is seeded from the
// n raw samples there (read, not written), which the next hld_flex_calc of
// the channel integrates from the same cursor on. n counts only samples that
// run on evenly from the cursor (up to the next gap).
int hld_flex_seed(uint32_t channel, const cbi_t *cursor, uint32_t n);
void hld_flex_clean(void);

// --- Angles and reactive power -------------------------------------------

// The angle wrapped into -pi .. pi; 0 for a non-finite angle.
float hld_angles_wrap_to_pi(float angle);
// *var = -u_fund * i_fund * sin(phase) and *aux = the quadrant. Returns 0 (and
// *var = 0, *aux = 0) for an invalid phase or a negative or non-finite RMS.
int hld_reactive_power_fund_calc(double u_fund, double i_fund, float phase, double *var, uint8_t *aux);
// *q = quadrant 1..4 of the phase (table above); 0 for an invalid phase.
int hld_reactive_power_quadrant(float phase, uint8_t *q);

#ifdef __cplusplus
}
#endif
