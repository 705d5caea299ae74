// Prints what the real HID library lists, record by record, in the device
// format of the library double (VID PID PATH SERIAL PRODUCT, texts as
// hexadecimal code points), so a test can derive the report hidlist should
// print on the same machine.

#include <hidapi.h>

#include <clocale>
#include <cstdio>

static void print_text(const wchar_t *text)
{
    if (text == nullptr) {
        std::printf(" -");
        return;
    }
    if (*text == L'\0')
        std::printf(" .");
    for (const wchar_t *character = text; *character != L'\0'; ++character)
        std::printf("%s%lx", character == text ? " " : ",", static_cast<unsigned long>(*character));
}

int main()
{
    // The same locale hidlist selects, so the library decodes names alike.
    std::setlocale(LC_CTYPE, "C.UTF-8");
    hid_device_info *devices = hid_enumerate(0, 0);
    for (const hid_device_info *device = devices; device != nullptr; device = device->next) {
        std::printf("%x %x %s", device->vendor_id, device->product_id, device->path);
        print_text(device->serial_number);
        print_text(device->product_string);
        std::printf("\n");
    }
    hid_free_enumeration(devices);
    return 0;
}
