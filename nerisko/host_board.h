#pragma once
// The simulated board under the program on a build machine: the PRU's
// program files and physical memory under METER_ROOT, and the signals the
// simulated front end samples, in real time.

// The default scenario matches the velsard stand-in's default mapping: two
// voltage sets of 230 V at 50 Hz on channels 0-5 and four loads of three CTs
// (100 A / 333 mV sensors on channels 6-17) with different power factors,
// one of them exporting, and some harmonics. False when the simulated PRU
// refuses it.
bool host_board_setup();
