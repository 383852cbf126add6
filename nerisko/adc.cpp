#include "nerisko/adc.h"

#include "nerisko/frontend.h"
#include "meter/sysio.h"

#include <fcntl.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int adc_fd = -1;

constexpr uint8_t kDefaults[ADC_SETTINGS_PER_ADC] = {0x92, 0xF0, 0x40, 0x00, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};
constexpr const char *kSettingsFile = "/etc/zor-driver/adc_settings";
constexpr size_t kSettingsMax = 64 * 1024;  // far beyond nine lines

bool request(unsigned long req, int value, bool with_value) {
    return sys_ioctl(adc_fd, req, with_value ? &value : nullptr) != -1;
}

// Reads the whole (small) settings file; false when it cannot be opened or
// read: a line cut short by a failed read could pass for other values.
bool read_text(std::string *out) {
    const int fd = sys_open(kSettingsFile, O_RDONLY);
    if (fd < 0) {
        return false;
    }
    out->resize(kSettingsMax);
    const ssize_t n = sys_read_all(fd, out->data(), out->size());
    sys_close(fd);
    out->resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n >= 0;
}

// The values of one line: hexadecimal bytes separated by commas; an
// unreadable value ends the line's values there.
std::vector<uint8_t> parse_line(const std::string &line) {
    std::vector<uint8_t> values;
    size_t pos = 0;
    while (pos <= line.size()) {
        const size_t comma = line.find(',', pos);
        const std::string field = line.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const char *start = field.c_str();
        char *end = nullptr;
        const unsigned long v = std::strtoul(start, &end, 16);
        if (end == start) {
            break;
        }
        while (*end == ' ' || *end == '\t' || *end == '\r') {
            ++end;
        }
        if (*end != '\0') {
            values.push_back(static_cast<uint8_t>(v & 0xFFu));
            break;  // junk after the number ends the values
        }
        values.push_back(static_cast<uint8_t>(v & 0xFFu));
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    return values;
}

}  // namespace

void adc_load_settings(uint8_t *settings) {
    for (uint32_t n = 0; n < num_adcs; ++n) {
        std::memcpy(settings + n * ADC_SETTINGS_PER_ADC, kDefaults, ADC_SETTINGS_PER_ADC);
    }
    std::string text;
    if (!read_text(&text)) {
        sys_log(LOG_INFO, "Failed to load ADC settings, using default values");
        return;
    }
    uint32_t failed_from = num_adcs;  // first ADC whose line ended the reading
    size_t pos = 0;
    for (uint32_t n = 0; n < num_adcs; ++n) {
        if (pos >= text.size()) {
            continue;  // end of file: this ADC keeps its defaults
        }
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            nl = text.size();
        }
        const std::vector<uint8_t> values = parse_line(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (values.size() != ADC_SETTINGS_PER_ADC) {
            failed_from = n;
            break;
        }
        std::memcpy(settings + n * ADC_SETTINGS_PER_ADC, values.data(), ADC_SETTINGS_PER_ADC);
    }
    for (uint32_t n = failed_from; n < num_adcs; ++n) {
        std::memcpy(settings + n * ADC_SETTINGS_PER_ADC, kDefaults, ADC_SETTINGS_PER_ADC);
        sys_log(LOG_INFO, "Failed to load ADC settings for ADC %d, using default values", static_cast<int>(n + 1));
    }
    sys_log(LOG_INFO, "Loaded ADC settings");
}

bool adc_open(int clock_hz) {
    adc_fd = sys_open("/dev/zor_adc", O_WRONLY);
    if (adc_fd < 0) {
        sys_log(LOG_ERR, "failed to open /dev/zor_adc");
        return false;
    }
    sys_log(LOG_DEBUG, "freq: %d", clock_hz);
    if (!request(ADC_SET_ADC_CLK, clock_hz, true)) {
        sys_log(LOG_ERR, "failed to send SET_ADC_CLK");
        return false;
    }
    return true;
}

void adc_configure() {
    std::vector<uint8_t> settings(ADC_SETTINGS_PER_ADC * num_adcs);
    adc_load_settings(settings.data());
    for (int n = static_cast<int>(num_adcs); n >= 1; --n) {
        const uint8_t *s = settings.data() + (n - 1) * ADC_SETTINGS_PER_ADC;
        spi_cmd(adc_fd, 0x11, n);  // leave continuous-read mode for register access
        sys_log(LOG_DEBUG, "writing adc %d set: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", n, s[0], s[1],
                s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9]);
        spi_write(adc_fd, 1, s, ADC_SETTINGS_PER_ADC, n);
        spi_read_settings(adc_fd, n);
    }
}

bool adc_start() {
    for (int n = static_cast<int>(num_adcs); n >= 2; --n) {
        if (!request(ADC_DISABLE_CS, n, true)) {
            sys_log(LOG_ERR, "failed to send DISABLE_CS command");
            return false;
        }
    }
    if (!request(ADC_RESET, 0, false)) {
        sys_log(LOG_ERR, "Failed to send ADC RESET command");
        return false;
    }
    if (!request(ADC_DISABLE_DAISY, 0, false)) {
        sys_log(LOG_ERR, "Failed to send ADC DISABLE_DAISY command");
        return false;
    }
    adc_configure();
    if (!request(ADC_ENABLE_DAISY, 0, false)) {
        sys_log(LOG_ERR, "failed to send ADC ENABLE_DAISY command");
        return false;
    }
    for (int n = static_cast<int>(num_adcs); n >= 2; --n) {
        if (!request(ADC_ENABLE_CS, n, true)) {
            sys_log(LOG_ERR, "failed to send ADC ENABLE_CS command");
            return false;
        }
    }
    spi_cmd(adc_fd, 0x08, 1);  // start conversions
    spi_cmd(adc_fd, 0x10, 1);  // continuous-read mode
    return true;
}

void adc_close() {
    if (adc_fd < 0) {
        return;
    }
    for (int n = static_cast<int>(num_adcs); n >= 2; --n) {
        if (!request(ADC_DISABLE_CS, n, true)) {
            sys_log(LOG_INFO, "failed to send DISABLE_CS command");
        }
    }
    sys_close(adc_fd);
    adc_fd = -1;
}
