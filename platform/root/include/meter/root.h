#pragma once
// Where the board's absolute paths live on this machine.
//
// Every absolute path of the board (/dev/zor_*, /data, /config,
// /etc/zor-driver, EEPROM and sysfs files, PRU program files) is opened
// through meter_path(). On the board METER_ROOT is unset and the path is used
// as it stands; on a host the simulated platform lives under METER_ROOT, so a
// test or a local run never touches the host's own /dev, /data or /config.

#include <string>
#include <string_view>

namespace meter {

// The path to open for an absolute board path. Relative paths are returned
// unchanged. METER_ROOT is read on every call, so a test may set it late.
std::string meter_path(std::string_view board_path);

// The root in force: METER_ROOT without trailing slashes, or "" on the board.
std::string meter_root();

}  // namespace meter
