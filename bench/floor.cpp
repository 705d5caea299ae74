// The least a HID device lister can do: take the library's list and hand it
// back. hidlist's cost is measured against this.

#include <hidapi.h>

int main()
{
    hid_free_enumeration(hid_enumerate(0, 0));
    return 0;
}
