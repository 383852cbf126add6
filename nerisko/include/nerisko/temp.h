#pragma once
// The board temperature, read once at start-up for the log.

// Reads the raw 12-bit reading of the board's temperature ADC and converts
// it to degrees Celsius; false (and logged) when the sensor cannot be read.
bool temp_get_temperature(float *out);
