// Stands in for the HID library at link time. hid_enumerate builds the list
// described by the file named in HID_DOUBLE_DEVICES the way the library does,
// every record and string on the heap; the double then insists that the list
// goes back exactly once, by its head, and ends the run with status 70 and a
// message on standard error when it does not.
//
// One device a line: VID PID PATH SERIAL PRODUCT, the IDs in hexadecimal, the
// texts as comma-separated hexadecimal wide units, "." for an empty text and
// "-" for an absent one (or an absent path).
//
// HID_DOUBLE_PLANT makes hid_enumerate commit one fault first, so that a
// sanitized build can show its runtime reports what it claims to catch, in
// the very program and environment the tests use: heap-overflow, leak or
// signed-overflow.

#include <hidapi.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class List { not_made, made, released };
List list = List::not_made;
hid_device_info *made_head = nullptr;

[[noreturn]] void fail(const char *message)
{
    std::fprintf(stderr, "hid double: %s\n", message);
    std::_Exit(70);
}

void check_released()
{
    if (list == List::made)
        fail("the device list was never released");
}

// The caller owns the results, as with the library's own strings.
char *parse_path(const char *field)
{
    if (std::strcmp(field, "-") == 0)
        return nullptr;
    auto *path = static_cast<char *>(std::malloc(std::strlen(field) + 1));
    return std::strcpy(path, field);
}

wchar_t *parse_text(const char *field)
{
    if (std::strcmp(field, "-") == 0)
        return nullptr;
    std::size_t length = std::strcmp(field, ".") == 0 ? 0 : 1;
    for (const char *c = field; *c != '\0'; ++c)
        length += *c == ',';
    auto *text = static_cast<wchar_t *>(std::calloc(length + 1, sizeof(wchar_t)));
    for (std::size_t i = 0; i < length; ++i) {
        char *end;
        text[i] = static_cast<wchar_t>(std::strtoul(field, &end, 16));
        field = end + 1;
    }
    return text;
}

hid_device_info *parse_device(char *line)
{
    const char *vendor = std::strtok(line, " \n");
    const char *product = std::strtok(nullptr, " \n");
    const char *path = std::strtok(nullptr, " \n");
    const char *serial_text = std::strtok(nullptr, " \n");
    const char *product_text = std::strtok(nullptr, " \n");
    if (product_text == nullptr)
        fail("a device line needs VID PID PATH SERIAL PRODUCT");
    auto *device = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
    device->vendor_id = static_cast<unsigned short>(std::strtoul(vendor, nullptr, 16));
    device->product_id = static_cast<unsigned short>(std::strtoul(product, nullptr, 16));
    device->path = parse_path(path);
    device->serial_number = parse_text(serial_text);
    device->product_string = parse_text(product_text);
    return device;
}

// volatile, so that the compiler can neither see the fault nor drop it.
void commit_planted_fault(const char *fault)
{
    if (std::strcmp(fault, "heap-overflow") == 0) {
        auto *block = static_cast<volatile char *>(std::malloc(4));
        volatile std::size_t past_the_end = 4;
        block[past_the_end] = 1;
        std::free(const_cast<char *>(block));
    } else if (std::strcmp(fault, "leak") == 0) {
        void *volatile last_pointer = std::malloc(64);
        last_pointer = nullptr;
        static_cast<void>(last_pointer);
    } else if (std::strcmp(fault, "signed-overflow") == 0) {
        volatile int largest = INT_MAX;
        volatile int past_largest = largest + 1;
        static_cast<void>(past_largest);
    } else {
        fail("HID_DOUBLE_PLANT names no fault it knows");
    }
}

} // namespace

hid_device_info *hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    if (vendor_id != 0 || product_id != 0)
        fail("hid_enumerate was asked for a filtered list");
    if (list != List::not_made)
        fail("hid_enumerate was called twice");
    if (const char *fault = std::getenv("HID_DOUBLE_PLANT"))
        commit_planted_fault(fault);
    const char *scenario = std::getenv("HID_DOUBLE_DEVICES");
    FILE *file = scenario != nullptr ? std::fopen(scenario, "r") : nullptr;
    if (file == nullptr)
        fail("HID_DOUBLE_DEVICES names no readable file");

    hid_device_info **link = &made_head;
    static char line[1 << 16];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        *link = parse_device(line);
        link = &(*link)->next;
    }
    std::fclose(file);

    list = List::made;
    std::atexit(check_released);
    return made_head;
}

void hid_free_enumeration(hid_device_info *devices)
{
    if (list != List::made)
        fail(list == List::released ? "the device list was released twice"
                                    : "a device list was released before any was made");
    if (devices != made_head)
        fail("the device list was released by something other than its head");
    while (devices != nullptr) {
        hid_device_info *next = devices->next;
        std::free(devices->path);
        std::free(devices->serial_number);
        std::free(devices->product_string);
        // A read after release should find garbage, not the old strings.
        std::memset(devices, 0xa5, sizeof *devices);
        std::free(devices);
        devices = next;
    }
    list = List::released;
}
