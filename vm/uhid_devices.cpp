// Makes HID devices on any bus through the kernel's uhid driver, for the VM:
// one at a time, each once the one before has its hidraw node, so that the
// nodes are numbered alike in every boot. Then it forks: the parent exits and
// the child keeps the devices alive (each lives as long as its own open
// /dev/uhid), turning down the kernel's report requests, until it is killed.
//
// Usage: uhid_devices TABLE. One device a line: BUS VENDOR PRODUCT NAME UNIQ
// DESCRIPTOR, the numbers in hexadecimal, the rest as hexadecimal bytes ("."
// when empty). A name or uniq that fills its field has no terminating zero,
// as a device may send it.

#include <linux/uhid.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *message)
{
    std::fprintf(stderr, "uhid_devices: %s: %s\n", message, std::strerror(errno));
    std::exit(1);
}

// Returns how many bytes of `hex` went into `bytes`, at most `size`.
std::size_t unhex(const char *hex, unsigned char *bytes, std::size_t size)
{
    std::size_t count = 0;
    for (; std::strcmp(hex, ".") != 0 && hex[0] != '\0' && hex[1] != '\0' && count < size; hex += 2) {
        const char pair[3] = {hex[0], hex[1], '\0'};
        bytes[count++] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
    }
    return count;
}

int hidraw_nodes()
{
    DIR *folder = opendir("/sys/class/hidraw");
    int count = 0;
    while (folder != nullptr && readdir(folder) != nullptr)
        ++count;
    if (folder != nullptr)
        closedir(folder);
    return count;
}

// Returns the open /dev/uhid that the new device lives by.
int create(char *line)
{
    const int uhid = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (uhid < 0)
        fail("/dev/uhid");
    uhid_event event{};
    event.type = UHID_CREATE2;
    uhid_create2_req &device = event.u.create2;
    const char *fields[6];
    for (int i = 0; i < 6; ++i) {
        fields[i] = std::strtok(i == 0 ? line : nullptr, " \n");
        if (fields[i] == nullptr)
            fail("a line needs BUS VENDOR PRODUCT NAME UNIQ DESCRIPTOR");
    }
    device.bus = static_cast<__u16>(std::strtoul(fields[0], nullptr, 16));
    device.vendor = static_cast<__u32>(std::strtoul(fields[1], nullptr, 16));
    device.product = static_cast<__u32>(std::strtoul(fields[2], nullptr, 16));
    unhex(fields[3], device.name, sizeof device.name);
    unhex(fields[4], device.uniq, sizeof device.uniq);
    device.rd_size = static_cast<__u16>(unhex(fields[5], device.rd_data, sizeof device.rd_data));

    // A driver binds the device in a kernel worker, later.
    const int before = hidraw_nodes();
    if (write(uhid, &event, sizeof event) != sizeof event)
        fail("UHID_CREATE2");
    for (int tries = 0; hidraw_nodes() == before; ++tries) {
        if (tries == 500)
            fail("no hidraw node appeared");
        usleep(10000);
    }
    return uhid;
}

void answer(int uhid)
{
    uhid_event event;
    if (read(uhid, &event, sizeof event) > 0) {
        uhid_event reply{};
        if (event.type == UHID_GET_REPORT) {
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = event.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
        } else if (event.type == UHID_SET_REPORT) {
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = event.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
        } else {
            return;
        }
        if (write(uhid, &reply, sizeof reply) != sizeof reply)
            fail("a reply");
    }
}

} // namespace

int main(int argc, char **argv)
{
    FILE *table = argc == 2 ? std::fopen(argv[1], "r") : nullptr;
    if (table == nullptr)
        fail("usage: uhid_devices TABLE");
    static char line[1 << 14];
    pollfd devices[64];
    nfds_t count = 0;
    while (count < 64 && std::fgets(line, sizeof line, table) != nullptr)
        devices[count++] = {create(line), POLLIN, 0};
    std::fclose(table);

    const pid_t keeper = fork();
    if (keeper < 0)
        fail("fork");
    while (keeper == 0 && poll(devices, count, -1) > 0) {
        for (nfds_t i = 0; i < count; ++i) {
            if (devices[i].revents & POLLIN)
                answer(devices[i].fd);
        }
    }
    return 0;
}
