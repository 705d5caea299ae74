// hidlist: lists every HID device the system knows, then waits for a key.

#include <hidapi.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>

#ifdef _WIN32
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

constexpr std::size_t text_size = 256;
constexpr std::size_t conversion_failed = static_cast<std::size_t>(-1);
static_assert(MB_LEN_MAX >= 4, "a UTF-8 character takes up to four bytes");

// C0 and C1 controls, DEL included, would let a device move the cursor,
// retitle the window or forge report lines; bidirectional embeddings,
// overrides and isolates would let it reorder its own line on terminals that
// lay out such text. Lone surrogates and values past U+10FFFF are no
// characters at all, yet some C libraries encode them.
bool is_unprintable(char32_t character)
{
    return character < 0x20 || (character >= 0x7f && character <= 0x9f) ||
           (character >= 0x202a && character <= 0x202e) || (character >= 0x2066 && character <= 0x2069) ||
           (character >= 0xd800 && character <= 0xdfff) || character > 0x10ffff;
}

// Reads one character at `wide` into `character` and returns how many wide
// units it took: two for a surrogate pair where wchar_t is UTF-16.
std::size_t next_character(const wchar_t *wide, char32_t &character)
{
    character = static_cast<char32_t>(*wide);
#if WCHAR_MAX <= 0xffff
    const char32_t low = static_cast<char32_t>(wide[1]);
    if (character >= 0xd800 && character <= 0xdbff && low >= 0xdc00 && low <= 0xdfff) {
        character = 0x10000 + ((character - 0xd800) << 10) + (low - 0xdc00);
        return 2;
    }
#endif
    return 1;
}

// The bytes of one character of `count` wide units, or conversion_failed.
// Windows' C runtime has no UTF-8 locale, so there the system converts.
std::size_t encode(const wchar_t *wide, std::size_t count, char (&bytes)[MB_LEN_MAX])
{
#ifdef _WIN32
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, static_cast<int>(count), bytes,
                                           sizeof bytes, nullptr, nullptr);
    return length > 0 ? static_cast<std::size_t>(length) : conversion_failed;
#else
    static_cast<void>(count);
    std::mbstate_t state{};
    return std::wcrtomb(bytes, *wide, &state);
#endif
}

// Adds a whole character to `text`, or nothing once it would not fit in 255
// bytes: a cut never splits a character.
inline bool append(char (&text)[text_size], std::size_t &length, const char *bytes, std::size_t count)
{
    if (length + count > text_size - 1)
        return false;
    for (std::size_t i = 0; i < count; ++i)
        text[length + i] = bytes[i];
    length += count;
    return true;
}

// Device texts are untrusted: the result is at most 255 bytes, terminated,
// never cut inside a character, and every character that is unprintable or
// cannot be converted shows as '?'. An absent text reads "NULL".
void to_text(const wchar_t *wide, char (&text)[text_size])
{
    if (wide == nullptr) {
        std::strcpy(text, "NULL");
        return;
    }
    std::size_t length = 0;
    while (*wide != L'\0') {
        // Printable ASCII, nearly every device's whole name, is the same
        // byte in UTF-8 and needs no converter.
        if (*wide >= 0x20 && *wide < 0x7f) {
            const char byte = static_cast<char>(*wide);
            if (!append(text, length, &byte, 1))
                break;
            ++wide;
            continue;
        }
        char32_t character;
        const std::size_t units = next_character(wide, character);
        char bytes[MB_LEN_MAX];
        std::size_t count = is_unprintable(character) ? conversion_failed : encode(wide, units, bytes);
        if (count == conversion_failed) {
            bytes[0] = '?';
            count = 1;
        }
        if (!append(text, length, bytes, count))
            break;
        wide += units;
    }
    text[length] = '\0';
}

// A path should never be absent, but an old library or a failed allocation
// in it can leave it so.
const char *path_text(const char *path)
{
    return path != nullptr ? path : "NULL";
}

// The first failure to write the report, 0 while there is none.
int report_error = 0;

void check_written(int result)
{
    if (result < 0 && report_error == 0)
        report_error = errno;
}

#ifdef _WIN32

// The report is UTF-8 whatever the console's code page; these put back what
// hidlist changed in the console, which outlives it in cmd.exe.
UINT console_code_page;
HANDLE console_input = INVALID_HANDLE_VALUE;
DWORD console_input_mode;

void restore_console()
{
    if (console_code_page != 0)
        SetConsoleOutputCP(console_code_page);
    if (console_input != INVALID_HANDLE_VALUE)
        SetConsoleMode(console_input, console_input_mode);
}

BOOL WINAPI restore_console_on_break(DWORD)
{
    restore_console();
    return FALSE; // the default handler then ends the process
}

void prepare_output()
{
    // Text mode would turn each "\r\n" into CR CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    console_input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (console_input != INVALID_HANDLE_VALUE && !GetConsoleMode(console_input, &console_input_mode)) {
        CloseHandle(console_input);
        console_input = INVALID_HANDLE_VALUE;
    }
    console_code_page = GetConsoleOutputCP();
    SetConsoleCtrlHandler(restore_console_on_break, TRUE);
    if (console_code_page != 0)
        SetConsoleOutputCP(CP_UTF8);
}

void wait_for_key()
{
    // An arrow or a function key comes as a prefix and a code, but the C
    // runtime keeps the code to itself: one call takes the whole key. A second
    // after 0xE0 would eat the next key where 0xE0 is a letter (cp1252 'à').
    _getch();
    restore_console();
}

#else

// Device texts reach us through the locale: on Linux the library itself
// decodes the kernel's UTF-8 with it, and under the default "C" locale every
// non-ASCII name would come out empty. C libraries name their UTF-8 locale
// differently; none of these reads the environment. Without any, we stay on
// "C" and non-ASCII text shows as '?'.
void prepare_output()
{
    // A reader that goes away (hidlist | head -1) must not kill us before the
    // wait; the lost output is its choice.
    std::signal(SIGPIPE, SIG_IGN);
    for (const char *name : {"C.UTF-8", "C.utf8", "UTF-8", "en_US.UTF-8"}) {
        if (std::setlocale(LC_CTYPE, name) != nullptr)
            return;
    }
}

double seconds_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Kept for the signal handlers. The console's mode is saved once, the first
// time hidlist owns the console: read from the background it would be the
// foreground program's (a shell's own line-editing mode), and read after a
// stop it would be whatever the shell put back, key mode itself included.
int console = -1;
struct termios console_mode;
struct termios key_mode;
volatile sig_atomic_t waiting = 0;   // key mode is taken or wanted
volatile sig_atomic_t continued = 0; // a SIGCONT came since this was cleared

constexpr int ending_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

bool in_foreground()
{
    return tcgetpgrp(console) == getpgrp();
}

// From the background the console's mode is the foreground program's: it is
// never written from there. Should the shell move hidlist back between the
// check and the write, SIGTTOU stops it until it owns the console again.
void set_console_mode(const struct termios &mode, int when = TCSANOW)
{
    if (in_foreground())
        tcsetattr(console, when, &mode);
}

// The signals hidlist handles, which are blocked inside each handler and
// while the console's modes are being set up or changed.
sigset_t handled_signals()
{
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal_number : ending_signals)
        sigaddset(&handled, signal_number);
    sigaddset(&handled, SIGTSTP);
    sigaddset(&handled, SIGCONT);
    return handled;
}

void handle(int signal_number, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = handled_signals();
    sigaction(signal_number, &action, nullptr);
}

// A signal the parent ignores (nohup's SIGHUP, say) stays ignored.
bool ignored_at_start(int signal_number)
{
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return current.sa_handler == SIG_IGN;
}

// What a handler that ends or suspends the wait puts back.
void give_console_back()
{
    if (waiting)
        set_console_mode(console_mode);
}

void restore_console_and_die(int signal_number)
{
    give_console_back();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number); // delivered once this handler returns
}

// Suspends the way full-screen programs do: the shell gets its console back
// and, once we continue, resume() takes key mode again.
void suspend(int)
{
    const int saved_errno = errno;
    give_console_back();
    std::signal(SIGTSTP, SIG_DFL);
    std::raise(SIGTSTP);
    sigset_t suspend_signal;
    sigemptyset(&suspend_signal);
    sigaddset(&suspend_signal, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &suspend_signal, nullptr); // stops here until SIGCONT
    handle(SIGTSTP, suspend);
    errno = saved_errno;
}

// Also after SIGSTOP, which no handler sees, and after a shell that put its
// own mode back when we stopped.
void resume(int)
{
    const int saved_errno = errno;
    continued = 1;
    if (waiting)
        set_console_mode(key_mode);
    errno = saved_errno;
}

// Stops the whole job, as reading the console from the background would,
// until the shell brings it to the foreground. False when nothing can: the
// job is orphaned, or SIGTTIN is ignored or blocked, so it did not stop.
bool await_foreground()
{
    while (!in_foreground()) {
        continued = 0;
        kill(0, SIGTTIN);
        if (!continued)
            return false;
    }
    return true;
}

// The key comes from the controlling terminal, not standard input, so it
// still works when the report is redirected. Without a terminal (cron, a
// service, CI) nobody can press a key, so there is nothing to wait for.
void wait_for_key()
{
    console = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (console < 0)
        return;
    // A continue can never be ignored, only unseen: this handler is always ours.
    handle(SIGCONT, resume);
    if (!await_foreground())
        return;

    // Until key_mode is made, no handler may run.
    const sigset_t handled = handled_signals();
    sigset_t unblocked;
    sigprocmask(SIG_BLOCK, &handled, &unblocked);
    if (tcgetattr(console, &console_mode) != 0) {
        sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        return;
    }
    // Without ISIG, Ctrl-C and Ctrl-Z are keys like any other rather than
    // signals that would leave the console in this mode; without IXON so are
    // Ctrl-S and Ctrl-Q.
    key_mode = console_mode;
    key_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    key_mode.c_iflag &= ~static_cast<tcflag_t>(IXON);
    key_mode.c_cc[VMIN] = 1;
    key_mode.c_cc[VTIME] = 0;
    for (int signal_number : ending_signals) {
        if (!ignored_at_start(signal_number))
            handle(signal_number, restore_console_and_die);
    }
    if (!ignored_at_start(SIGTSTP))
        handle(SIGTSTP, suspend);
    waiting = 1;
    set_console_mode(key_mode);
    sigprocmask(SIG_SETMASK, &unblocked, nullptr);

    // In the background the read stops hidlist until it is brought back.
    char key[32];
    while (read(console, key, sizeof key) < 0 && errno == EINTR) {
    }

    // Arrows and function keys send several bytes, which need not arrive
    // together: swallow what follows within a tenth of a second, so the shell
    // does not read it after we exit. A held key repeats for as long as it is
    // held, so the swallowing has a limit of its own.
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    key_mode.c_cc[VMIN] = 0;
    key_mode.c_cc[VTIME] = 1;
    set_console_mode(key_mode);
    sigprocmask(SIG_SETMASK, &unblocked, nullptr);
    const double drain_end = seconds_now() + 0.3;
    while (seconds_now() < drain_end && read(console, key, sizeof key) > 0) {
    }

    sigprocmask(SIG_BLOCK, &handled, nullptr);
    set_console_mode(console_mode, TCSAFLUSH);
    waiting = 0;
    sigprocmask(SIG_SETMASK, &unblocked, nullptr);
}

#endif

} // namespace

int main()
{
    prepare_output();

    char product[text_size];
    char serial[text_size];

    // The list and all it points to belong to the library until handed back.
    hid_device_info *devices = hid_enumerate(0, 0);
    for (const hid_device_info *device = devices; device != nullptr; device = device->next) {
        to_text(device->product_string, product);
        to_text(device->serial_number, serial);
        check_written(std::printf("HID Device %s VID %X PID %X Ser %s\r\n Path %s\r\n\r\n", product,
                                  static_cast<unsigned>(device->vendor_id),
                                  static_cast<unsigned>(device->product_id), serial, path_text(device->path)));
    }
    hid_free_enumeration(devices);

    check_written(std::printf("Press any key to Exit"));
    check_written(std::fflush(stdout));
    wait_for_key();
    check_written(std::fclose(stdout));

    // A reader that went away (hidlist | head -1) took all it wanted; any
    // other failure lost the report, which must not pass for success.
    if (report_error != 0 && report_error != EPIPE) {
        std::fprintf(stderr, "hidlist: cannot write the report: %s\n", std::strerror(report_error));
        return 1;
    }
    return 0;
}
