// The only file that sees the kernel's termios2: <asm/termbits.h> clashes with <termios.h>,
// and 1,000,000 baud is not one of the B* constants, so it is set as an arbitrary rate (BOTHER).
#include "servo_bus/serial_port/line_settings.hpp"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace kestro::servo_bus {

Result<void, IoError> apply_line_settings(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return fail(IoError::from_errno(errno));

    // Raw mode, as cfmakeraw sets it, plus no software flow control in either direction.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

    // 8 data bits, no parity, 1 stop bit, no RTS/CTS; receiver on, modem status ignored.
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    tio.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = SERVO_BUS_BAUD_RATE;
    tio.c_ospeed = SERVO_BUS_BAUD_RATE;

    // VMIN 1 with the non-blocking descriptor: an empty queue reads as EAGAIN, which the port
    // waits out with poll, so a read of 0 bytes can only mean a hang-up. (VMIN 0 would make an
    // empty queue read as 0 bytes, indistinguishable from end of file.)
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    if (ioctl(fd, TCSETS2, &tio) != 0) return fail(IoError::from_errno(errno));
    return {};
}

}  // namespace kestro::servo_bus
