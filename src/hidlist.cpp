// hidlist: lists every HID device the system knows, then waits for a key.

#include <hidapi.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#ifdef _WIN32
#include <conio.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

constexpr std::size_t text_size = 256;
constexpr std::size_t conversion_failed = static_cast<std::size_t>(-1);

// C0 and C1 controls, DEL included, would let a device move the cursor,
// retitle the window or forge report lines. Surrogates and values past
// U+10FFFF are no characters at all, yet some C libraries encode them.
bool is_unprintable(wchar_t character)
{
    if (character < 0x20 || (character >= 0x7f && character <= 0x9f))
        return true;
#if WCHAR_MAX > 0xffff
    return (character >= 0xd800 && character <= 0xdfff) || character > 0x10ffff;
#else
    return false;
#endif
}

bool has_unprintable(const wchar_t *wide)
{
    for (; *wide != L'\0'; ++wide) {
        if (is_unprintable(*wide))
            return true;
    }
    return false;
}

// The careful path: one character at a time, so that a character that cannot
// be printed costs only itself, shown as '?'.
std::size_t convert_each_character(const wchar_t *wide, char (&text)[text_size])
{
    std::size_t length = 0;
    std::mbstate_t state{};
    for (; *wide != L'\0'; ++wide) {
        char bytes[MB_LEN_MAX];
        std::size_t count = is_unprintable(*wide) ? conversion_failed : std::wcrtomb(bytes, *wide, &state);
        if (count == conversion_failed) {
            bytes[0] = '?';
            count = 1;
            state = std::mbstate_t{};
        }
        if (length + count > text_size - 1)
            break;
        std::memcpy(text + length, bytes, count);
        length += count;
    }
    return length;
}

// Device texts are untrusted: the result is at most 255 bytes, terminated,
// never cut inside a multi-byte character and free of control characters.
// An absent text reads "NULL".
void to_text(const wchar_t *wide, char (&text)[text_size])
{
    if (wide == nullptr) {
        std::strcpy(text, "NULL");
        return;
    }
    std::size_t length = has_unprintable(wide) ? conversion_failed : std::wcstombs(text, wide, text_size - 1);
    if (length == conversion_failed)
        length = convert_each_character(wide, text);
    text[length] = '\0';
}

// Device texts reach us through the locale: on Linux the library itself
// decodes the kernel's UTF-8 with it, and under the default "C" locale every
// non-ASCII name would come out empty. The fixed UTF-8 locale reads no
// environment; where it does not exist we stay on "C".
void select_utf8_text()
{
#ifdef _WIN32
    std::setlocale(LC_CTYPE, ".UTF8");
#else
    std::setlocale(LC_CTYPE, "C.UTF-8");
#endif
}

#ifdef _WIN32

void wait_for_key()
{
    // Arrows and function keys come as a prefix and a code: take both.
    int key = _getch();
    if (key == 0 || key == 0xe0)
        _getch();
}

#else

// Kept for the signal handler, which must put the console back before the
// process dies.
int console = -1;
struct termios console_mode;

void restore_console_and_die(int signal_number)
{
    tcsetattr(console, TCSANOW, &console_mode);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// The key comes from the controlling terminal, not standard input, so it
// still works when the report is redirected. Without a terminal (cron, a
// service, CI) nobody can press a key, so there is nothing to wait for.
void wait_for_key()
{
    console = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (console < 0 || tcgetattr(console, &console_mode) != 0)
        return;

    for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        std::signal(signal_number, restore_console_and_die);

    // Without ISIG, Ctrl-C and Ctrl-Z are keys like any other rather than
    // signals that would leave the console in this mode; without IXON so are
    // Ctrl-S and Ctrl-Q.
    struct termios key_mode = console_mode;
    key_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    key_mode.c_iflag &= ~static_cast<tcflag_t>(IXON);
    key_mode.c_cc[VMIN] = 1;
    key_mode.c_cc[VTIME] = 0;
    tcsetattr(console, TCSANOW, &key_mode);

    char key[32];
    while (read(console, key, sizeof key) < 0 && errno == EINTR) {
    }

    // Arrows and function keys send several bytes, which need not arrive
    // together. Swallow the rest until the console is quiet for a tenth of a
    // second, so the shell does not read them after we exit.
    key_mode.c_cc[VMIN] = 0;
    key_mode.c_cc[VTIME] = 1;
    tcsetattr(console, TCSANOW, &key_mode);
    while (read(console, key, sizeof key) > 0) {
    }

    tcsetattr(console, TCSAFLUSH, &console_mode);
}

#endif

} // namespace

int main()
{
#ifndef _WIN32
    // A reader that goes away (hidlist | head -1) must not kill us before the
    // wait; the lost output is its choice.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    select_utf8_text();

    char product[text_size];
    char serial[text_size];

    // The list and all it points to belong to the library until handed back.
    hid_device_info *devices = hid_enumerate(0, 0);
    for (const hid_device_info *device = devices; device != nullptr; device = device->next) {
        to_text(device->product_string, product);
        to_text(device->serial_number, serial);
        std::printf("HID Device %s VID %X PID %X Ser %s\r\n Path %s\r\n\r\n", product,
                    static_cast<unsigned>(device->vendor_id), static_cast<unsigned>(device->product_id),
                    serial, device->path);
    }
    hid_free_enumeration(devices);

    std::printf("Press any key to Exit");
    std::fflush(stdout);
    wait_for_key();
    return 0;
}
