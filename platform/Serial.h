// Serial devices: a port named "COMn" (or "\\.\COMn") is looked up in the settings store
// (HKLM "HARDWARE\DEVICEMAP\SERIALCOMM", filled from /sys/class/tty); a name that is a path
// (/dev/ttyUSB0, a pseudo-terminal) is opened as it is. The device runs raw, non-blocking,
// and takes its line settings as a Win32-shaped state block translated to termios.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The device control block of the port library.
struct CommState {
    // Flag bits.
    static constexpr uint32_t fBinary = 0x1, fParity = 0x2, fOutxCtsFlow = 0x4, fOutxDsrFlow = 0x8;
    static constexpr uint32_t fDtrControlMask = 0x30, fDtrEnable = 0x10, fDtrHandshake = 0x20;
    static constexpr uint32_t fDsrSensitivity = 0x40, fTXContinueOnXoff = 0x80, fOutX = 0x100, fInX = 0x200;
    static constexpr uint32_t fNull = 0x800;
    static constexpr uint32_t fRtsControlMask = 0x3000, fRtsEnable = 0x1000, fRtsHandshake = 0x2000,
                              fRtsToggle = 0x3000;
    uint32_t BaudRate = 19200;
    uint32_t Flags = fBinary;
    uint16_t XonLim = 0, XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    char XonChar = 17, XoffChar = 19;
};

// Flags: bit 0 CTS hold, bit 1 DSR hold, bit 3 XOFF hold, bit 4 XOFF sent.
struct CommStatus {
    uint32_t Flags = 0;
    uint32_t InQueue = 0;
    uint32_t OutQueue = 0;
};

// Modem lines (high nibble of the modem status byte).
constexpr uint32_t MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80;
// Error bits: receive overflow, overrun, parity, framing, break.
constexpr uint32_t CE_RXOVER = 1, CE_OVERRUN = 2, CE_RXPARITY = 4, CE_FRAME = 8, CE_BREAK = 16;
// Escape functions.
constexpr int SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8,
              CLRBREAK = 9;
// Purge flags.
constexpr uint32_t PURGE_TXABORT = 1, PURGE_RXABORT = 2, PURGE_TXCLEAR = 4, PURGE_RXCLEAR = 8;
// Win32-style error numbers reported by the open.
constexpr int SERIAL_ERROR_NOT_FOUND = 2, SERIAL_ERROR_ACCESS_DENIED = 5, SERIAL_ERROR_GEN_FAILURE = 31;

// One open serial device. Every operation is safe to call from any one thread at a time.
class SerialDevice {
  public:
    virtual ~SerialDevice() = default;
    // A descriptor that polls readable when input (or, for fakes, a line event) is waiting.
    virtual int pollFd() const = 0;
    // Readable descriptor for writes: the real device's fd, -1 for fakes (always writable).
    virtual int writeFd() const { return pollFd(); }
    virtual bool getState(CommState& s) = 0;
    virtual bool setState(const CommState& s) = 0;
    // Bytes read (0 when none waits), -1 on failure.
    virtual int read(void* buf, int size) = 0;
    // Bytes taken (0 when the device is full), -1 on failure.
    virtual int write(const void* buf, int size) = 0;
    // Bytes waiting in the driver's input queue.
    virtual int inQueue() = 0;
    // Current modem lines (MS_* bits).
    virtual uint32_t modemLines() = 0;
    // Error bits (CE_*) that arose since the last call; the driver's counters where it has them.
    virtual uint32_t takeErrors() = 0;
    virtual bool escape(int func) = 0;
    virtual bool purge(uint32_t flags) = 0;
    // Bytes written but not yet sent by the driver (0 when it cannot tell).
    virtual int outQueue() { return 0; }
    // RS-485 keying by the driver (RTS high while sending, low once the last bit has left).
    // True when the driver now does it (on) or no longer does it (off); false when it has no
    // such support, and the port keys RTS itself.
    virtual bool setRs485(bool on) {
        (void)on;
        return false;
    }
};

// Opens a device by port name ("COM3", "\\.\COM3") or by path. On failure returns null and
// sets lastError to SERIAL_ERROR_NOT_FOUND, SERIAL_ERROR_ACCESS_DENIED (held elsewhere) or
// SERIAL_ERROR_GEN_FAILURE.
std::unique_ptr<SerialDevice> openSerialDevice(const std::string& name, int& lastError);

// Takes over a tty that another layer opened (a telephony line hands its device over): it keeps
// its settings and is closed with the returned device. Null when fd is no tty.
std::unique_ptr<SerialDevice> adoptSerialDevice(int fd);

// Opens the tty at path for one holder, as the serial port and the USB converter both do:
// refused with SERIAL_ERROR_ACCESS_DENIED when another holder claimed it, also for a privileged
// process that the tty's exclusive flag alone would let in. The claim is the exclusive flag
// and a lock that ends with this process; releaseTty gives both back and closes. -1 on failure.
int claimTty(const std::string& path, int& lastError);
void releaseTty(int fd);

// Whether a device exists (0) without claiming it or changing any of its settings; a device
// that another holder claimed counts as present but gives SERIAL_ERROR_ACCESS_DENIED.
int probeSerialDevice(const std::string& name);

// Tests: while a factory is installed, openSerialDevice asks it first; a null result with
// lastError 0 falls through to the real devices.
using SerialFactory = std::function<std::unique_ptr<SerialDevice>(const std::string& name, int& lastError)>;
void setSerialFactory(SerialFactory f);

// The device path of a port name: a path stays as it is; "COMn" and "\\.\COMn" are looked
// up in HKLM "HARDWARE\DEVICEMAP\SERIALCOMM" (the value whose data is "COMn" names the
// device). A number not found refreshes the map from /sys/class/tty ($ZENTROVA_SYS_TTY when
// set) at most every two seconds. "" when unknown.
std::string serialDevicePath(const std::string& name);
// The port number of a name "COMn" / "\\.\COMn" (0 when it is not one).
int serialPortNumber(const std::string& name);
// Fills HKLM "HARDWARE\DEVICEMAP\SERIALCOMM" from /sys/class/tty (or sysRoot for tests):
// devices already listed keep their COM number; new ones get the lowest free number from 1,
// in name order (ttyS*, ttyUSB*, ttyACM*, others). Ports of ttyS* without a UART are skipped.
// Returns the map (device path, COM number).
std::vector<std::pair<std::string, int>> refreshSerialComMap(const std::string& sysRoot = "/sys/class/tty");
