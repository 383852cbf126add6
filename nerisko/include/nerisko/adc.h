#pragma once
// ADC control: the ADC clock, reset, chip selects and daisy chain through
// /dev/zor_adc, the register settings of each ADC from
// /etc/zor-driver/adc_settings (or defaults), and the SPI commands that the
// one-shot PRU programs carry out. ADCs are numbered 1..num_adcs here (their
// chip selects). Used only while the acquisition program is stopped.

#include <cstdint>

constexpr uint32_t ADC_SETTINGS_PER_ADC = 10;

// Device requests of the ADC control driver.
constexpr unsigned long ADC_RESET = 0x6D01;
constexpr unsigned long ADC_ENABLE_CS = 0x40046D02;
constexpr unsigned long ADC_DISABLE_CS = 0x40046D03;
constexpr unsigned long ADC_ENABLE_DAISY = 0x6D04;
constexpr unsigned long ADC_DISABLE_DAISY = 0x6D05;
constexpr unsigned long ADC_SET_ADC_CLK = 0x40046D06;

// Opens /dev/zor_adc and sets the ADC clock (Hz).
bool adc_open(int clock_hz);
// Resets and configures every ADC and starts continuous conversion.
bool adc_start();
// Releases the chip selects and closes the device.
void adc_close();
// Writes the settings to every ADC, the last of the chain first.
void adc_configure();
// Fills ten bytes per ADC from the defaults and the settings file.
void adc_load_settings(uint8_t *settings);

// One SPI transaction each through a PRU program; 0 on success, -1 on
// failure. cs: 1..9.
int spi_cmd(int fd, uint8_t command, int cs);
int spi_write(int fd, uint8_t first_register, const uint8_t *bytes, uint32_t count, int cs);
int spi_read_settings(int fd, int cs);
