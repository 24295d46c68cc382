// The USB serial converter library the link uses for its USB transport. Devices are the
// kernel's USB serial converters of vendor 0x0403 found in sysfs; each is known by its USB
// product string (the description) and opened as its /dev/ttyUSBn with termios. Nothing here
// blocks: reads take what has arrived; what a write cannot put now is held back (up to 64 KiB)
// and goes out at the next write or queue-status call.
//
// Tests map descriptions to other device paths (pseudo-terminals): either the environment
// variable ZENTROVA_D2XX_MAP="desc=/path;desc2=/path2" or D2xx::setDeviceMap. Mapped devices
// are listed after the real ones with ID 0x04036001.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace D2xx {

using Handle = uint32_t;  // 0 = no device; handles are never reused
using Status = uint32_t;

enum : Status {
    OK = 0,
    INVALID_HANDLE = 1,
    DEVICE_NOT_FOUND = 2,
    DEVICE_NOT_OPENED = 3,
    IO_ERROR = 4,
    INVALID_PARAMETER = 6,
    INVALID_BAUD_RATE = 7,
    OTHER_ERROR = 18,
};

// open flags
constexpr uint32_t OPEN_BY_SERIAL_NUMBER = 1;
constexpr uint32_t OPEN_BY_DESCRIPTION = 2;
// data characteristics
constexpr uint8_t BITS_7 = 7;
constexpr uint8_t BITS_8 = 8;
constexpr uint8_t STOP_BITS_1 = 0;
constexpr uint8_t STOP_BITS_2 = 2;
constexpr uint8_t PARITY_NONE = 0;
constexpr uint8_t PARITY_ODD = 1;
constexpr uint8_t PARITY_EVEN = 2;
// flow control
constexpr uint16_t FLOW_NONE = 0x0000;
constexpr uint16_t FLOW_RTS_CTS = 0x0100;
constexpr uint16_t FLOW_XON_XOFF = 0x0400;
// purge mask
constexpr uint32_t PURGE_RX = 1;
constexpr uint32_t PURGE_TX = 2;

// Vendor and product of the converter the instrument carries.
constexpr uint32_t INSTRUMENT_DEVICE_ID = 0x04036001;

// One attached device as the device list reports it.
struct DeviceInfo {
    uint32_t flags = 0;  // bit 0: opened by this process
    uint32_t type = 0;
    uint32_t id = 0;  // vendor << 16 | product
    uint32_t locId = 0;
    std::string serialNumber;
    std::string description;
    std::string path;  // the device node
    Handle handle = 0;
};

Status openEx(const std::string& arg, uint32_t flags, Handle* handle);
Status setBaudRate(Handle h, uint32_t baud);
Status setDataCharacteristics(Handle h, uint8_t wordLength, uint8_t stopBits, uint8_t parity);
Status setFlowControl(Handle h, uint16_t flow, uint8_t xon, uint8_t xoff);
Status purge(Handle h, uint32_t mask);
Status setTimeouts(Handle h, uint32_t readMs, uint32_t writeMs);
// Bytes waiting in the receive queue.
Status getQueueStatus(Handle h, uint32_t* rxBytes);
// Takes at most count waiting bytes; never waits.
Status read(Handle h, void* buf, uint32_t count, uint32_t* got);
// Writes count bytes, holding back in order what the device does not take now; *written is
// count, or 0 when the device already holds back too much to take the whole write.
Status write(Handle h, const void* buf, uint32_t count, uint32_t* written);
Status close(Handle h);
// Scans the attached devices; the details below refer to this scan.
Status createDeviceInfoList(uint32_t* count);
Status getDeviceInfoDetail(uint32_t index, DeviceInfo* info);

// Test hooks.
// Replaces the description-to-path map (the environment's map is read only until this is called).
void setDeviceMap(const std::vector<std::pair<std::string, std::string>>& map);
// Forgets the map set above: the environment's map is read again at the next use.
void resetDeviceMap();
// Folder taken as /sys (for a made-up device tree); "" restores /sys.
void setSysfsRoot(const std::string& root);
// Makes the named call ("setBaudRate", "setDataCharacteristics", "setFlowControl", "purge",
// "setTimeouts", "getQueueStatus", "read", "write", "createDeviceInfoList", "getDeviceInfoDetail")
// fail with IO_ERROR until cleared with an empty set.
void setFailingCalls(const std::vector<std::string>& calls);
// Counts calls of read since the start (tests check that nothing was read).
uint64_t readCallCount();

}  // namespace D2xx
