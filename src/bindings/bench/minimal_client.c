// The floor the hot-path benchmark compares the module with: a full read of the torso (both
// servo groups' present positions by sync read, then each neck motor's feedback) in plain
// system calls, with the checks and decoding a careful driver does and nothing a library adds. Usage: minimal_client SERIAL CAN_IFNAME READS
// Exits 0 after READS full reads, 1 when a reply is missing.
#include <fcntl.h>
#include <linux/can.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

enum { WAIT_MS = 1000, PRESENT_POSITION = 56 };

static const double PI = 3.141592653589793;
static const double NECK_POSITION_RANGE = 12.5;  // rad, the MIT feedback's +- range

static int open_port(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios settings;
    if (fd < 0 || tcgetattr(fd, &settings) != 0) return -1;
    cfmakeraw(&settings);
    return tcsetattr(fd, TCSANOW, &settings) == 0 ? fd : -1;
}

static int open_can(const char* ifname) {
    int fd = socket(AF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    struct sockaddr_can address = {.can_family = AF_CAN, .can_ifindex = (int)if_nametoindex(ifname)};
    if (fd < 0 || bind(fd, (struct sockaddr*)&address, sizeof address) != 0) return -1;
    return fd;
}

// Exactly `length` bytes, each wait bounded.
static int read_exact(int fd, uint8_t* into, size_t length) {
    for (size_t got = 0; got < length;) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, WAIT_MS) <= 0) return 0;
        ssize_t n = read(fd, into + got, length - got);
        if (n <= 0) return 0;
        got += (size_t)n;
    }
    return 1;
}

static uint8_t checksum(const uint8_t* body, size_t length) {
    unsigned sum = 0;
    for (size_t i = 0; i < length; ++i) sum += body[i];
    return (uint8_t)~sum;
}

// Present position of each of `count` servos into `radians`, as a careful driver does it:
// stale input dropped first, then each reply read as header and rest, checked and decoded.
static int sync_read(int port, const uint8_t* ids, size_t count, double* radians) {
    int waiting = 0;
    if (ioctl(port, FIONREAD, &waiting) != 0) return 0;
    if (waiting > 0) {
        uint8_t stale[256];
        if (read(port, stale, sizeof stale) < 0) return 0;
    }
    uint8_t packet[16] = {0xFF, 0xFF, 0xFE, (uint8_t)(count + 4), 0x82, PRESENT_POSITION, 2};
    size_t length = 7;
    memcpy(packet + length, ids, count);
    length += count;
    packet[length] = checksum(packet + 2, length - 2);
    ++length;
    if (write(port, packet, length) != (ssize_t)length) return 0;

    for (size_t i = 0; i < count; ++i) {
        uint8_t reply[8];  // FF FF id length error low high checksum
        if (!read_exact(port, reply, 4)) return 0;
        if (reply[0] != 0xFF || reply[1] != 0xFF || reply[2] != ids[i] || reply[3] != 4) return 0;
        if (!read_exact(port, reply + 4, 4)) return 0;
        if (reply[7] != checksum(reply + 2, 5)) return 0;
        const int16_t counts = (int16_t)(reply[5] | (reply[6] << 8));
        radians[i] = counts * 2.0 * PI / 4096.0 - PI;
    }
    return 1;
}

// The feedback request on the service id 0x7FF; the motor answers on its master id with its
// state, of which the position is kept.
static int feedback(int can, uint8_t motor, double* radians) {
    struct can_frame frame = {.can_id = 0x7FF, .len = 8, .data = {motor, 0, 0xCC}};
    if (send(can, &frame, sizeof frame, 0) != (ssize_t)sizeof frame) return 0;
    for (;;) {
        struct pollfd entry = {can, POLLIN, 0};
        if (poll(&entry, 1, WAIT_MS) <= 0) return 0;
        if (recv(can, &frame, sizeof frame, 0) != (ssize_t)sizeof frame) return 0;
        if (frame.can_id == motor && frame.len == 8) break;
    }
    const unsigned raw = ((unsigned)frame.data[1] << 8) | frame.data[2];
    *radians = raw * (2.0 * NECK_POSITION_RANGE) / 65535.0 - NECK_POSITION_RANGE;
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: minimal_client SERIAL CAN_IFNAME READS\n");
        return 2;
    }
    const int port = open_port(argv[1]);
    const int can = open_can(argv[2]);
    if (port < 0 || can < 0) {
        perror("minimal_client: open");
        return 1;
    }
    static const uint8_t ARMS[] = {1, 2, 3, 4};
    static const uint8_t NOSE[] = {5, 6, 7};
    double positions[10];
    for (long reads = strtol(argv[3], NULL, 10); reads > 0; --reads) {
        if (!sync_read(port, ARMS, 4, positions) || !sync_read(port, NOSE, 3, positions + 4)) return 1;
        for (uint8_t motor = 1; motor <= 3; ++motor) {
            if (!feedback(can, motor, positions + 6 + motor)) return 1;
        }
    }
    printf("%.4f\n", positions[0]);
    close(port);
    close(can);
    return 0;
}
