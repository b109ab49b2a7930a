// Drives KRT460.exe as a user would, through its real windows: clicks are posted, keys go
// through the program's own message loop, and what it shows, copies and writes is checked.
// One scenario per run: e2e_driver SCENARIO, with the paths in KRT460_E2E_* variables set by
// run_e2e.sh. Prints PASS/FAIL lines; the exit status is the number of failures. Expected
// pictures come from the committed sample BMP, never from the decoder under test.
#include "common/com_ptr_win32.h"
#include "common/unique_handle_win32.h"
#include "res/resource.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// Wait, input and screen helpers: they find, press, read and photograph the windows of another
// process, as a user's eyes and hands would.
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 30s; // generous: only a hang reaches it

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kDeadline) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

bool Exists(const char* path) {
    return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

std::wstring WindowText(HWND window) {
    wchar_t text[256] = {};
    Ask(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
    return text;
}

void Click(HWND dialog, int id) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// A key as the keyboard sends it to `window`: it passes through the program's message loop,
// which makes the character of the key from it.
void PostKey(HWND window, UINT key) {
    const UINT scan = ::MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    ::PostMessageW(window, WM_KEYDOWN, key, static_cast<LPARAM>(1 | scan << 16));
    ::PostMessageW(window, WM_KEYUP, key, static_cast<LPARAM>(1 | scan << 16 | 0xC0000000u));
}

// A key for the window that has the focus in `dialog` (the dialog itself when it has no
// controls).
void Press(HWND dialog, UINT key) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &gui);
    PostKey(gui.hwndFocus != nullptr && ::GetAncestor(gui.hwndFocus, GA_ROOT) == dialog
                ? gui.hwndFocus
                : dialog,
            key);
}

// The edit field of a combo box, or the field itself.
HWND EditOf(HWND field) {
    return ::GetWindow(field, GW_CHILD) != nullptr ? ::GetWindow(field, GW_CHILD) : field;
}

// Types `text` into an edit field (or a combo box's), replacing what it holds, as keys do.
void Type(HWND field, const wchar_t* text) {
    const HWND edit = EditOf(field);
    Ask(edit, EM_SETSEL, 0, -1);
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        ::PostMessageW(edit, WM_CHAR, *c, 1);
    }
}

// Ctrl+C as real input: a shortcut needs the keyboard state, which only input sets.
void PressCtrlC(HWND window) {
    ::SetForegroundWindow(window);
    WaitUntil([&] { return ::GetForegroundWindow() == window; }, 5s);
    INPUT keys[4] = {};
    const WORD codes[4] = {VK_CONTROL, 'C', 'C', VK_CONTROL};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = codes[i];
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    ::SendInput(4, keys, sizeof(INPUT));
}

// Whether two windows do not overlap and both lie inside the work area of the first's monitor.
bool ApartInsideWorkArea(HWND first, HWND second) {
    RECT a{}, b{}, overlap{}, both{}, all{};
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    return ::GetWindowRect(first, &a) && ::GetWindowRect(second, &b) &&
           ::GetMonitorInfoW(::MonitorFromWindow(first, MONITOR_DEFAULTTONEAREST), &monitor) &&
           !::IntersectRect(&overlap, &a, &b) && ::UnionRect(&both, &a, &b) &&
           ::UnionRect(&all, &both, &monitor.rcWork) && ::EqualRect(&all, &monitor.rcWork);
}

// The client area as it is on the screen, one 0xRRGGBB a pixel.
class ScreenShot {
public:
    ScreenShot(HWND window, int width, int height) : width_(width) {
        POINT origin{0, 0};
        ::ClientToScreen(window, &origin);
        const HDC screen = ::GetDC(nullptr);
        const HDC memory = ::CreateCompatibleDC(screen);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        const HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        const HGDIOBJ old = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
        const auto* pixels = static_cast<const std::uint32_t*>(bits);
        pixels_.assign(pixels, pixels + width * height);
        ::SelectObject(memory, old);
        ::DeleteObject(bitmap);
        ::DeleteDC(memory);
        ::ReleaseDC(nullptr, screen);
    }
    std::uint32_t At(int x, int y) const {
        return pixels_[static_cast<std::size_t>(y * width_ + x)] & 0xFFFFFF;
    }

private:
    int width_;
    std::vector<std::uint32_t> pixels_;
};

// The screen's pixel scale, as the program computes it.
int Scale() {
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
    ::ReleaseDC(nullptr, screen);
    return std::max(1, (dpi + 48) / 96);
}

// The packed DIB on the clipboard, taken off it.
Bytes TakeClipboardDib() {
    Bytes dib;
    WaitUntil(
        [&] {
            // Looking first keeps the clipboard free for the program while it copies.
            if (::IsClipboardFormatAvailable(CF_DIB) && ::OpenClipboard(nullptr)) {
                if (const HANDLE data = ::GetClipboardData(CF_DIB)) {
                    const auto* bytes = static_cast<const std::uint8_t*>(::GlobalLock(data));
                    dib.assign(bytes, bytes + ::GlobalSize(data));
                    ::GlobalUnlock(data);
                    ::EmptyClipboard();
                }
                ::CloseClipboard();
            }
            return !dib.empty();
        },
        10s);
    return dib;
}

BOOL CALLBACK CheckTextFits(HWND control, LPARAM fit) {
    wchar_t className[16] = {};
    ::GetClassNameW(control, className, 16);
    if (std::wstring(className) != L"Static" ||
        (::GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        return TRUE;
    }
    const HDC dc = ::GetDC(control);
    const HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(Ask(control, WM_GETFONT)));
    const std::wstring text = WindowText(control);
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    RECT client{};
    ::GetClientRect(control, &client);
    if (size.cx > client.right) {
        std::printf("  \"%ls\" needs %ld pixels, has %ld\n", text.c_str(), size.cx, client.right);
        *reinterpret_cast<bool*>(fit) = false;
    }
    return TRUE;
}

// Every static text of the dialog fits its control, measured with the dialog's font.
bool TextsFit(HWND dialog) {
    bool fit = dialog != nullptr;
    ::EnumChildWindows(dialog, CheckTextFits, reinterpret_cast<LPARAM>(&fit));
    return fit;
}

constexpr std::size_t kHeader = 62;
const std::string kIni = "COM1\r\n1\r\n0\r\n"; // COM1, Rahmen, no series
int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    failures += ok ? 0 : 1;
}

// UTF-8 to print, the ANSI code page for the A functions.
std::string Narrow(const std::wstring& wide, UINT codePage = CP_ACP) {
    std::string text(wide.size() * 3, '\0');
    text.resize(static_cast<std::size_t>(
        ::WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                              static_cast<int>(text.size()), nullptr, nullptr)));
    return text;
}

// The lamp's lights, top to bottom; grey is off.
using Lamp = std::array<std::uint32_t, 3>;
constexpr std::uint32_t kOff = 0xC0C0C0;
constexpr Lamp kIdle{kOff, kOff, 0xFFFF00}, kReceiving{kOff, 0x00FF00, kOff},
    kReceived{0xFF0000, kOff, kOff};

bool WhiteIn(const Bytes& bmp, int x, int y) {
    const std::size_t row = kHeader + static_cast<std::size_t>(159 - y) * 20;
    return (bmp[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
}

// Whether every pixel of a 160 x 160 BMP is as `expected(x, y, white)` says.
bool EveryPixel(const Bytes& bmp, const std::function<bool(int, int, bool)>& expected) {
    bool all = bmp.size() == 3262;
    for (int i = 0; all && i < 160 * 160; ++i) {
        all = expected(i % 160, i / 160, WhiteIn(bmp, i % 160, i / 160));
    }
    return all;
}

bool Ring(int x, int y) {
    return x == 0 || y == 0 || x == 159 || y == 159;
}

// The display window shows the picture of a BMP file black on white at (5, 5), scaled.
bool DisplayShows(HWND display, const Bytes& bmp) {
    const int s = Scale(), side = 160 * s;
    const ScreenShot shot(display, 170 * s, 170 * s);
    for (int i = 0; i < side * side; ++i) {
        const int x = i % side, y = i / side;
        if (shot.At(5 * s + x, 5 * s + y) != (WhiteIn(bmp, x / s, y / s) ? 0xFFFFFFu : 0u)) {
            return false;
        }
    }
    return true;
}

bool Closed(HWND dialog) {
    return WaitUntil([&] { return !::IsWindow(dialog); });
}

// A dialog's button clicked, and the dialog gone.
bool ClickAndClose(HWND dialog, int button) {
    Click(dialog, button);
    return Closed(dialog);
}

struct Context {
    std::string exe, trigger1, trigger2, trigger12;
    Bytes reference;
    std::string folder = {}; // the program's working folder; empty: the driver's
};

// The program under test, started in the scenario's folder and ended with the driver at the
// latest, with its main and display windows.
class Session {
public:
    explicit Session(const Context& c) : c_(c) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        std::string command = "\"" + c.exe + "\"";
        // Right after Wine's first start a start can fail once: try again before giving up.
        const char* folder = c.folder.empty() ? nullptr : c.folder.c_str();
        for (int attempt = 0; !::CreateProcessA(c.exe.c_str(), command.data(), nullptr, nullptr,
                                                FALSE, 0, nullptr, folder, &startup, &info);
             ++attempt) {
            if (attempt == 4) {
                char reason[256] = {};
                ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, ::GetLastError(), 0, reason, sizeof reason, nullptr);
                Check(false, "start " + c.exe + ": " + reason);
                std::exit(1);
            }
            std::this_thread::sleep_for(1s);
        }
        process_.reset(info.hProcess);
        ::CloseHandle(info.hThread);
        pid_ = info.dwProcessId;
        main_ = WaitForDialog(L"KRT460", IDC_RECEIVE);
        display_ = WaitForDialog(L"KRT460 - Display");
        Check(main_ != nullptr && display_ != nullptr, "main window and display window open");
        if (main_ == nullptr || display_ == nullptr) {
            std::exit(failures);
        }
        // On a screen just large enough for both at 192 dpi.
        Check(ApartInsideWorkArea(main_, display_),
              "the display window opens beside the main window, both inside the work area");
    }
    ~Session() { ::TerminateProcess(process_.get(), 1); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    HWND Main() const { return main_; }
    HWND Display() const { return display_; }

    bool Exited() const { return ::WaitForSingleObject(process_.get(), 30000) == WAIT_OBJECT_0; }
    // The lamp picture stands at (6, 6), each of its pixels scale x scale on the screen; its
    // lights' centres at (8, 7), (8, 19) and (8, 31).
    bool Lit(const Lamp& lamp) const {
        const int s = Scale();
        return WaitUntil([&] {
            const ScreenShot shot(main_, 30 * s, 50 * s);
            return Lamp{shot.At(14 * s, 13 * s), shot.At(14 * s, 25 * s),
                        shot.At(14 * s, 37 * s)} == lamp;
        });
    }
    // The count beside the lamp; -1 while none is shown.
    long Count() const {
        static const UINT query = ::RegisterWindowMessageW(L"KRT460.ByteCount");
        return static_cast<long>(Ask(main_, query));
    }
    bool Counts(long count) const {
        return WaitUntil([&] { return Count() == count; });
    }
    bool ShowsReference() const {
        return WaitUntil([&] { return DisplayShows(display_, c_.reference); }, 5s);
    }

    // A visible dialog of the program with this caption (and, if given, this control).
    HWND WaitForDialog(const std::wstring& caption, int control = 0,
                       std::chrono::milliseconds limit = kDeadline) const {
        HWND found = nullptr;
        WaitUntil(
            [&] {
                while ((found = ::FindWindowExW(nullptr, found, L"#32770", caption.c_str()))) {
                    DWORD pid = 0;
                    ::GetWindowThreadProcessId(found, &pid);
                    if (pid == pid_ && ::IsWindowVisible(found) &&
                        (control == 0 || ::GetDlgItem(found, control) != nullptr)) {
                        return true;
                    }
                }
                return false;
            },
            limit);
        return found;
    }
    bool NoMessageBox(std::chrono::milliseconds limit) const {
        return WaitForDialog(L"KRT460", 0xFFFF, limit) == nullptr;
    }

    // The text of the message box now open (UTF-8), after answering it with `button`; empty
    // when none appears.
    std::string TakeMessageBox(int button = IDOK) const {
        const HWND box = WaitForDialog(L"KRT460", 0xFFFF);
        const std::wstring wide = box != nullptr ? WindowText(::GetDlgItem(box, 0xFFFF)) : L"";
        ClickAndClose(box, button);
        return Narrow(wide, CP_UTF8);
    }

    // A request to the simulator of COM`port`. It appears whole, by a rename, so that the
    // simulator never reads it half-written, and is taken before the next is made.
    void Request(int port, const std::string& text) const {
        const std::string& trigger = Trigger(port);
        const std::string pending = trigger + ".pending";
        std::ofstream(pending, std::ios::binary) << text;
        ::MoveFileExA(pending.c_str(), trigger.c_str(), MOVEFILE_REPLACE_EXISTING);
        WaitUntil([&] { return !Exists(trigger.c_str()); });
    }

    // The instrument's print key: the bytes `range` of the frame ("1000": the first 1000,
    // "1000-3328": the rest after them), or all of it; `then` "hangup" pulls the adapter out
    // after them and plugs it in again.
    void Print(int port, const std::string& range = "", const char* then = "") const {
        Request(port, range + ' ' + then);
    }

    // How often the program has opened the port the simulator offers now, each open counted
    // once the program flushed the port (a print before that flush is lost); -1 while nobody
    // holds it.
    int Opens(int port) const {
        const std::string answer = Trigger(port) + ".answer";
        ::DeleteFileA(answer.c_str());
        Request(port, "?");
        WaitUntil([&] { return Exists(answer.c_str()); });
        const Bytes said = ReadFile(answer);
        const std::string text(said.begin(), said.end());
        return text.rfind("open ", 0) == 0 ? std::stoi(text.substr(5)) : -1;
    }
    // Waits until the program holds the port, opened afresh since it was opened `before` times:
    // only then may the instrument print.
    bool Holds(int port, int before = 0) const {
        return WaitUntil([&] { return Opens(port) > before; });
    }

    // Empfangen: the lamp turns green, and the program holds the port afresh.
    void Arm(const char* what = "Empfangen turns the lamp green", int port = 1) const {
        const int before = Opens(port);
        Click(main_, IDC_RECEIVE);
        Check(Lit(kReceiving) && Holds(port, before), what);
    }

    void Receive(int port = 1) const {
        Arm("Empfangen turns the lamp green", port);
        Check(Count() == 0, "the count beside the lamp starts at 0");
        Print(port);
        Check(Lit(kReceived), "a frame with its end marker turns it red");
        Check(Count() == 3328, "the count reaches 3328");
    }

    // Empfangen, then the instrument sends `range` of a print: `count` bytes arrive.
    void ReceivePart(const std::string& range, long count, const char* what, int port = 1) const {
        Arm(what, port);
        Print(port, range);
        Check(Counts(count), what);
    }
    // Empfangen while a print arrives, answered Ja: the count starts again from 0.
    void AnswerJa(const char* what) const {
        const int before = Opens(1);
        Click(main_, IDC_RECEIVE);
        TakeMessageBox(IDYES);
        Check(Counts(0) && Holds(1, before), what);
    }

    // Anzeigen; with `whole`, the check that Scp1.bmp is the reference picture.
    void Show(const char* whole = nullptr) const {
        ::DeleteFileA("Scp1.bmp");
        Click(main_, IDC_SHOW);
        WaitUntil([] { return ReadFile("Scp1.bmp").size() == 3262; });
        if (whole != nullptr) {
            Check(ReadFile("Scp1.bmp") == c_.reference, whole);
        }
    }

    HWND Open(int button, const wchar_t* caption, int control) const {
        Click(main_, button);
        const HWND dialog = WaitForDialog(caption, control);
        Check(dialog != nullptr, "a button opens " + std::string(caption, caption + 14));
        return dialog;
    }
    HWND OpenSettings() const {
        return Open(IDC_SETTINGS, L"KRT460  Einstellungen", IDC_RADIO_COM1);
    }

    // The about box from the system menu: every line whole, and Escape closes it.
    void CheckAboutBox() const {
        ::PostMessageW(main_, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        const HWND about = WaitForDialog(L"Info \u00fcber KRT460");
        Check(about != nullptr && TextsFit(about), "the about box opens, every line whole");
        Press(about, VK_ESCAPE);
        Check(Closed(about), "Escape closes it");
    }

    // After `how` closed it: the program ends and has written `ini`.
    void Ended(const std::string& how, const std::string& ini = kIni) const {
        Check(Exited(), how + " ends the program");
        Check(ReadFile("KRT460.ini") == Bytes(ini.begin(), ini.end()), how + " writes KRT460.ini");
    }
    void Ende(const std::string& ini = kIni) const {
        Click(main_, IDOK);
        Ended("Ende", ini);
    }
    // A log-off or shutdown: Windows asks whether the session may end, announces that it ends,
    // then ends the process itself.
    void EndSession(const std::string& ini) const {
        Check(Ask(main_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF) == TRUE, "a log-off may go on");
        Ask(main_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        ::TerminateProcess(process_.get(), 1);
        Ended("The end of the session", ini);
    }

private:
    const std::string& Trigger(int port) const {
        return port == 12 ? c_.trigger12 : port == 2 ? c_.trigger2 : c_.trigger1;
    }

    const Context& c_;
    krt460::UniqueKernelHandle process_;
    DWORD pid_ = 0;
    HWND main_ = nullptr;
    HWND display_ = nullptr;
};

// A message whose first line is `first` and whose second gives the system's reason.
bool ToldWithReason(const std::string& text, const std::string& first) {
    return text.size() > first.size() + 1 && text.compare(0, first.size() + 1, first + "\n") == 0;
}

// Anzeigen says the print was cut short after 1000 bytes, and Scp1.bmp holds them over white:
// bands 0 to 4 and 155 columns of band 5 of the reference print.
bool ShowsTheFirst1000Bytes(const Session& s, const Context& c) {
    ::DeleteFileA("Scp1.bmp");
    Click(s.Main(), IDC_SHOW);
    return s.TakeMessageBox() == "Unvollst\u00e4ndig: 1000 von 3328 Bytes empfangen." &&
           WaitUntil([&] {
               return EveryPixel(ReadFile("Scp1.bmp"), [&](int x, int y, bool white) {
                   const bool arrived = y < 40 || (y < 48 && x < 155);
                   return white == (!Ring(x, y) && (!arrived || WhiteIn(c.reference, x, y)));
               });
           });
}

void MainScenario(const Context& c) {
    const Session s(c);
    Check(s.Lit(kIdle), "start-up shows the yellow lamp");
    Check(WaitUntil([&] { return ScreenShot(s.Display(), 106, 126).At(105, 125) == 0xA8BA96; }, 5s),
          "start-up shows the sample screen, its LCD glass");
    Check(s.Count() == -1, "no count is shown before Empfangen");

    Click(s.Main(), IDC_SAVE);
    Check(s.TakeMessageBox() == "Erst Anzeigen, dann Speichern!" &&
              s.WaitForDialog(L"KRT460 Bitmaps", 0, 1s) == nullptr,
          "Speichern before any Anzeigen says so and opens no dialog");
    ::PostMessageW(s.Main(), WM_SYSCOMMAND, IDM_COPY, 0);
    const Bytes sample = TakeClipboardDib();
    Check(sample.size() > 40 && sample[4] == 160 && sample[8] == 160 && sample[14] == 4,
          "Bild kopieren before Anzeigen copies the 16-colour sample screen that is shown");

    Click(s.Main(), IDC_SHOW);
    Check(s.TakeMessageBox() == "Es ging nicht!", "Anzeigen with nothing received says so");
    Check(WaitUntil([] {
              return EveryPixel(ReadFile("Scp1.bmp"),
                                [](int x, int y, bool w) { return w != Ring(x, y); });
          }),
          "and still writes Scp1.bmp: white with the border");
    Check(s.Lit(kIdle), "the lamp is yellow after Anzeigen");

    s.Receive();
    s.Show("Anzeigen writes Scp1.bmp, the reference picture");
    Check(s.Lit(kIdle), "Anzeigen turns the lamp yellow");
    Check(s.ShowsReference(), "the display window shows the picture black on white");
    const Bytes dib(c.reference.begin() + 14, c.reference.end()); // a BMP file is "BM..." + DIB
    PressCtrlC(s.Display());
    Check(TakeClipboardDib() == dib, "Ctrl+C puts the picture on the clipboard as CF_DIB");
    // A clipboard manager or remote-desktop client may hold the clipboard for a moment.
    ::OpenClipboard(nullptr);
    ::PostMessageW(s.Main(), WM_SYSCOMMAND, IDM_COPY, 0);
    std::this_thread::sleep_for(150ms);
    ::CloseClipboard();
    Check(TakeClipboardDib() == dib, "so does Bild kopieren, waiting while another holds it");

    // A print that stops after 1000 bytes, after a whole one: Anzeigen shows those bytes over
    // white (bands 0 to 4, and 155 columns of band 5), never the rest of the print before.
    s.ReceivePart("1000", 1000, "Empfangen again: green, and 1000 bytes arrive");
    Check(ShowsTheFirst1000Bytes(s, c),
          "Anzeigen of a print cut short says so, and writes Scp1.bmp with only its bytes");

    // Empfangen while a print arrives asks; Nein changes nothing and the print completes.
    Click(s.Main(), IDC_RECEIVE);
    Check(s.TakeMessageBox(IDNO) == "Empfang l\u00e4uft (1000 von 3328 Bytes). Neu beginnen?",
          "Empfangen during a print asks");
    s.Print(1, "1000-3328");
    Check(s.Lit(kReceived) && s.Count() == 3328, "after Nein the print completes, red");
    s.Show("and shows whole");

    // Ja starts again: the next print is received whole. A second Empfangen while it waits for
    // its first byte keeps waiting, without a word.
    s.ReceivePart("1000", 1000, "Empfangen once more: 1000 bytes arrive again");
    s.AnswerJa("Ja starts again from 0");
    Check(s.Lit(kReceiving), "green");
    s.Print(1, "1000-3328"); // the instrument goes on with the print that Ja cut off
    Click(s.Main(), IDC_RECEIVE);
    Check(s.NoMessageBox(2s) && s.Count() == 0,
          "its rest is skipped, and Empfangen while waiting for a print says nothing");
    s.Print(1);
    Check(s.Lit(kReceived), "the next print arrives whole");
    s.Show("and shows whole after Ja");

    // Ja after a capture that joined a print in its middle: what it cut off is column bytes,
    // so the next print, sent right after the rest, is found by what was learned of the
    // instrument.
    s.ReceivePart("1000-2000", 1000, "Empfangen, and the middle of a print arrives");
    s.AnswerJa("Ja starts again");
    s.Print(1, "2000-6656");
    Check(s.Lit(kReceived) && s.Count() == 3328,
          "a print right after the rest of one joined mid-print arrives whole");
    s.Show("and shows whole");

    // An instrument that stopped part way: Anzeigen right after Ja, before the next byte, shows
    // the print Ja cut off as it came, never its bytes over the rest of the print before it.
    s.ReceivePart("1000", 1000, "Empfangen, and 1000 bytes arrive once more");
    s.AnswerJa("Ja");
    Check(ShowsTheFirst1000Bytes(s, c),
          "Anzeigen right after Ja shows the print cut off, as far as it got");
    s.Print(1);
    Check(s.Lit(kReceived), "and the next print arrives whole");

    // The adapter pulled out during a print: told once, with what arrived.
    s.Arm("Empfangen once more turns the lamp green");
    s.Print(1, "1000", "hangup");
    Check(s.TakeMessageBox() == "Verbindung zu COM1 unterbrochen!",
          "an unplugged adapter is told, naming the port");
    Check(s.Lit(kIdle) && s.Count() == 1000,
          "the lamp turns yellow and the count keeps the 1000 bytes that came");
    Check(s.NoMessageBox(2s), "and it is told only once");

    s.CheckAboutBox();

    // Escape and Enter hide the display window; Anzeigen brings it back where it was.
    RECT before{};
    ::GetWindowRect(s.Display(), &before);
    for (const UINT key : {UINT{VK_ESCAPE}, UINT{VK_RETURN}}) {
        Press(s.Display(), key);
        Check(WaitUntil([&] { return !::IsWindowVisible(s.Display()); }),
              key == VK_ESCAPE ? "Escape hides the display" : "Enter hides the display");
        Click(s.Main(), IDC_SHOW);
        s.TakeMessageBox(); // the 1000 bytes before the adapter went are a print cut short
        RECT after{};
        Check(WaitUntil([&] { return ::IsWindowVisible(s.Display()) != FALSE; }) &&
                  ::GetWindowRect(s.Display(), &after) &&
                  std::equal(&before.left, &before.left + 4, &after.left),
              "Anzeigen shows it again, unmoved");
    }
    Press(s.Main(), VK_ESCAPE);
    s.Ended("Escape");
}

void FilesFailScenario(const Context& c) {
    const Session s(c);
    ::CreateDirectoryA("Scp1.bmp", nullptr);
    ::CreateDirectoryA("KRT460.ini", nullptr);
    Click(s.Main(), IDC_SHOW);
    Check(s.TakeMessageBox() == "Es ging nicht!", "nothing received: Es ging nicht!");
    Check(ToldWithReason(s.TakeMessageBox(), "Scp1.bmp konnte nicht geschrieben werden!"),
          "a Scp1.bmp that cannot be written is told, with the reason");
    Check(s.Lit(kIdle), "the rest of Anzeigen goes on");
    Click(s.Main(), IDOK);
    Check(ToldWithReason(s.TakeMessageBox(), "KRT460.ini konnte nicht geschrieben werden!"),
          "a KRT460.ini that cannot be written is told, with the reason");
    Check(s.Exited(), "and the program still ends");
}

bool Checked(HWND dialog, int id, LRESULT state) {
    return Ask(::GetDlgItem(dialog, id), BM_GETCHECK) == state;
}

// The settings dialog's COM1, COM2, Andere:, Rahmen and 320 x 320: 0 unchecked, 1 checked, 2
// greyed.
using Choices = std::array<LRESULT, 5>;
Choices ChoicesIn(HWND dialog) {
    Choices choices{};
    const int ids[] = {IDC_RADIO_COM1, IDC_RADIO_COM2, IDC_RADIO_OTHER, IDC_CHECK_BORDER,
                       IDC_CHECK_320};
    std::transform(std::begin(ids), std::end(ids), choices.begin(),
                   [&](int id) { return Ask(::GetDlgItem(dialog, id), BM_GETCHECK); });
    return choices;
}
bool Shows(HWND dialog, const Choices& choices) {
    return WaitUntil([&] { return ChoicesIn(dialog) == choices; });
}

// Clicks "Jeden Ausdruck speichern" in the open settings dialog and closes it with OK; whether
// the click checked it. The button's own click, handled by the control in the program's loop: a
// mouse click through SendInput does not reach a window under Wine without a window manager.
bool CheckEveryPrintAndClose(HWND dialog) {
    ::PostMessageW(::GetDlgItem(dialog, IDC_CHECK_EVERY_PRINT), BM_CLICK, 0, 0);
    const bool checked =
        WaitUntil([&] { return Checked(dialog, IDC_CHECK_EVERY_PRINT, BST_CHECKED); });
    ClickAndClose(dialog, IDOK);
    return checked;
}

void SettingsScenario(const Context& c) {
    const Session s(c);
    HWND dialog = s.OpenSettings();
    Check(Shows(dialog, {1, 0, 0, 1, 2}), "without KRT460.ini COM1 and Rahmen, 320 x 320 greyed");
    const HWND names = ::GetDlgItem(dialog, IDC_PORT_NAME);
    Type(names, L"COM27");
    Check(Shows(dialog, {0, 0, 1, 1, 2}), "typing a name chooses Andere:");
    for (int i = 0; i < 5; ++i) {
        PostKey(EditOf(names), VK_BACK);
    }
    Check(WaitUntil([&] { return WindowText(names).empty(); }) && Shows(dialog, {1, 0, 0, 1, 2}),
          "a name typed and erased with Backspace leaves COM1 chosen, Rahmen as it was");
    Ask(::GetDlgItem(dialog, IDC_RADIO_OTHER), BM_CLICK);
    Check(ChoicesIn(dialog) == Choices{1, 0, 0, 1, 2},
          "a click on Andere: without a name keeps COM1");
    // The 320 x 320 click comes first: it has been handled once COM2 shows chosen.
    ::PostMessageW(::GetDlgItem(dialog, IDC_CHECK_320), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(dialog, IDC_RADIO_COM2), BM_CLICK, 0, 0);
    Check(Shows(dialog, {0, 1, 0, 1, 2}), "a click chooses COM2 and leaves 320 x 320 greyed");
    Press(dialog, VK_ESCAPE);
    Check(Closed(dialog), "Escape closes the dialog");

    s.Receive(2); // the frame arrives on the second port only
    dialog = s.OpenSettings();
    ::PostMessageW(::GetDlgItem(dialog, IDC_CHECK_BORDER), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return Checked(dialog, IDC_CHECK_BORDER, 0); }), "Rahmen unchecked");
    ClickAndClose(dialog, IDOK);
    s.Show();
    // Inside the ring the reference picture; the ring itself shows the screen's own dots.
    bool ringWhite = false;
    Check(EveryPixel(ReadFile("Scp1.bmp"),
                     [&](int x, int y, bool white) {
                         ringWhite = ringWhite || (Ring(x, y) && white);
                         return Ring(x, y) || white == WhiteIn(c.reference, x, y);
                     }) &&
              ringWhite,
          "without Rahmen Anzeigen draws no border");

    // Any name may be typed under "Andere:", blanks around it dropped; one that names no port
    // says so when used.
    dialog = s.OpenSettings();
    Type(::GetDlgItem(dialog, IDC_PORT_NAME), L" COM42 ");
    WaitUntil([&] { return Checked(dialog, IDC_RADIO_OTHER, BST_CHECKED); });
    ClickAndClose(dialog, IDOK);
    Click(s.Main(), IDC_RECEIVE);
    Check(s.TakeMessageBox() == "Error: Open COM port!", "a missing port says so");
    Check(s.Lit(kIdle), "and leaves the lamp yellow");
    ::PostMessageW(s.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    s.Ended("The close box", "COM42\r\n0\r\n0\r\n");
}

// KRT460.ini names \\.\COM12: the dialog shows it under "Andere:" with Rahmen kept; the list
// holds the mapped ports in natural order; a typed COM12 is taken and receives a frame. A
// log-off during a capture leaves KRT460.ini with the port chosen.
void SettingsOtherPortScenario(const Context& c) {
    const Session s(c);
    const HWND dialog = s.OpenSettings();
    const HWND names = ::GetDlgItem(dialog, IDC_PORT_NAME);
    Check(Shows(dialog, {0, 0, 1, 1, 2}) && WindowText(names) == L"\\\\.\\COM12",
          "a port other than COM1 and COM2 shows under Andere:, and Rahmen survives the restart");
    const std::vector<std::wstring> mapped{L"COM1", L"COM2", L"COM5", L"COM12"};
    std::vector<std::wstring> listed;
    for (LRESULT i = 0, n = Ask(names, CB_GETCOUNT); i < n; ++i) {
        wchar_t text[64] = {};
        Ask(names, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        if (std::count(mapped.begin(), mapped.end(), text) != 0) {
            listed.emplace_back(text);
        }
    }
    Check(listed == mapped, "the list shows COM1, COM2, COM5, COM12");
    Type(names, L"COM12");
    WaitUntil([&] { return WindowText(names) == L"COM12"; });
    Click(dialog, IDOK);
    Check(Closed(dialog), "OK closes the dialog");
    s.Receive(12);
    s.ReceivePart("1000", 1000, "1000 bytes arrive", 12);
    s.EndSession("COM12\r\n1\r\n0\r\n");
}

HWND TypeName(HWND dialog, const char* name) {
    ::SendMessageA(::GetDlgItem(dialog, IDC_FILE_NAME), WM_SETTEXT, 0,
                   reinterpret_cast<LPARAM>(name));
    return dialog;
}

void SaveAsScenario(const Context& c) {
    const Session s(c);
    s.Receive();
    s.Show();
    const auto open = [&] { return s.Open(IDC_SAVE, L"KRT460 Bitmaps", IDC_FILE_LIST); };
    HWND dialog = open();
    Click(TypeName(dialog, "test"), IDOK);
    Check(Closed(dialog) && ReadFile("test.bmp") == c.reference, "test is written as test.bmp");
    Check(s.Lit(kIdle), "the lamp returns to yellow");

    // Names as typed, each in a fresh dialog: the file written, or the message and an open
    // dialog that keeps the name.
    // Typed, the file written (or nothing), and what is told (or nothing).
    const struct {
        const char *typed, *file, *message;
    } cases[] = {
        {"bericht.png", "bericht.png", nullptr},
        {"x\\y", nullptr, "x\\y.bmp konnte nicht geschrieben werden!"},
        {"x\\y.png", nullptr, "x\\y.png konnte nicht geschrieben werden!"},
        {"", nullptr, nullptr},
    };
    for (const auto& k : cases) {
        dialog = TypeName(open(), k.typed);
        Click(dialog, IDOK);
        const std::string what = std::string("\"") + k.typed + "\" ";
        if (k.message != nullptr) {
            Check(ToldWithReason(s.TakeMessageBox(), k.message), what + "is told, with the reason");
            Check(::IsWindow(dialog) && WindowText(::GetDlgItem(dialog, IDC_FILE_NAME)).size() ==
                                            std::string(k.typed).size(),
                  what + "keeps the dialog open with the name");
            Check(!Exists("x"), what + "writes nothing");
            Press(dialog, VK_ESCAPE);
        }
        Check(Closed(dialog) && (k.file == nullptr || ReadFile(k.file).size() > 8), what + "saved");
    }
    // run_e2e.sh checks the pixels of bericht.png.
    dialog = open();
    const HWND list = ::GetDlgItem(dialog, IDC_FILE_LIST);
    for (const wchar_t* name : {L"Scp1.bmp", L"bericht.png"}) {
        Check(Ask(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                  reinterpret_cast<LPARAM>(name)) != LB_ERR,
              "the list shows " + std::string(name, name + std::wcslen(name)));
    }
    Press(TypeName(dialog, "cancelled"), VK_ESCAPE);
    Check(Closed(dialog) && !Exists("cancelled.bmp"), "Escape cancels: nothing is written");
    Check(s.Lit(kIdle), "and the lamp returns to yellow");
    s.Arm("Empfangen waits for a print");
    s.Ende(); // during a capture: the worker stops, the process ends
}

// The files of the working folder whose names match a pattern ("Scp_*.bmp").
std::vector<std::string> FilesLike(const char* pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA(pattern, &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = ::FindNextFileA(search, &found)) {
        names.emplace_back(found.cFileName);
    }
    ::FindClose(search); // fails harmlessly when nothing matched
    return names;
}

// "Jeden Ausdruck speichern", from a KRT460.ini of two lines: the option set in the dialog;
// prints saved as they come, back to back too; one that cannot be decoded kept raw and counted;
// an unplugged adapter waited for; Anhalten releases the port; the option survives a restart.
void SeriesScenario(const Context& c) {
    static const UINT query = ::RegisterWindowMessageW(L"KRT460.Series");
    const std::string ini = "COM2\r\n1\r\n1\r\n";
    {
        const Session s(c);
        s.Arm("a single Empfangen waits on COM1");
        const HWND dialog = s.OpenSettings();
        Check(Checked(dialog, IDC_CHECK_EVERY_PRINT, 0), "a KRT460.ini of two lines: not checked");
        ::PostMessageW(::GetDlgItem(dialog, IDC_RADIO_COM2), BM_CLICK, 0, 0);
        WaitUntil([&] { return Checked(dialog, IDC_RADIO_COM2, BST_CHECKED); });
        Check(CheckEveryPrintAndClose(dialog), "a click checks Jeden Ausdruck speichern");

        const HWND button = ::GetDlgItem(s.Main(), IDC_RECEIVE);
        s.Arm("Empfangen arms the series on COM2: green", 2);
        Check(s.Opens(1) < 0, "the single capture lets COM1 go");
        Check(WaitUntil([&] { return WindowText(button) == L"Anhalten"; }), "button: Anhalten");
        // The counts beside the lamp and the files: saved, kept cut short; and whether Scp1.bmp
        // is behind.
        const auto counted = [&](std::size_t saved, std::size_t partial, bool stale = false) {
            return WaitUntil([&] {
                const auto counts = static_cast<std::uint64_t>(Ask(s.Main(), query));
                return (counts & 0xFFFF) == saved && (counts >> 32 & 0xFFFF) == partial &&
                       (counts >> 48 & 1) == (stale ? 1u : 0u) &&
                       FilesLike("Scp_*.bmp").size() == saved &&
                       FilesLike("Scp_*.partial.bin").size() == partial &&
                       FilesLike("Scp_*.json").size() == saved + partial;
            });
        };
        s.Print(2, "2x");
        Check(counted(2, 0) && s.Lit(kReceived),
              "two prints back to back are both saved, each with its record; the lamp turns red");
        s.Print(2);
        Check(counted(3, 0), "a print after a pause is saved too");
        const auto files = FilesLike("Scp_*.bmp");
        Check(std::all_of(files.begin(), files.end(),
                          [&](const std::string& name) { return ReadFile(name) == c.reference; }),
              "each saved file is the picture");
        Check(ReadFile("Scp1.bmp") == c.reference && s.ShowsReference(),
              "Scp1.bmp and the display show the last");

        // The rest of a print, joined late: kept as .partial.bin, counted; the next is saved.
        s.Print(2, "1664-3328");
        WaitUntil([&] { return s.Count() == 3328 - 1664; });
        s.Print(2);
        Check(counted(4, 1), "the rest of a print is kept as .partial.bin and counted");
        s.Print(2, "0", "hangup");
        Check(s.Holds(2), "the adapter pulled out and plugged in: the series opens it again");
        s.Print(2);
        Check(counted(5, 1), "after the adapter was pulled out and plugged in, the next is saved");

        // Another program holds Scp1.bmp open, as a viewer or a virus scanner does: the series
        // goes on, each print saved under its own name, and Scp1.bmp is replaced once it is let
        // go, by the retries for a short hold, by the next print after a long one.
        const auto holdScp1 = [] {
            std::ofstream("Scp1.bmp", std::ios::binary | std::ios::trunc) << "old";
            return krt460::UniqueFileHandle(::CreateFileA("Scp1.bmp", GENERIC_READ,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                          nullptr, OPEN_EXISTING, 0, nullptr));
        };
        {
            const auto held = holdScp1();
            s.Print(2);
            Check(counted(6, 1, true) && ReadFile("Scp1.bmp") == Bytes{'o', 'l', 'd'},
                  "a print while Scp1.bmp is held open is saved, and Scp1.bmp is told behind");
        }
        Check(counted(6, 1) && ReadFile("Scp1.bmp") == c.reference,
              "let go within two seconds, Scp1.bmp is replaced without another print");
        {
            const auto held = holdScp1();
            s.Print(2);
            Check(counted(7, 1, true), "held longer, the series goes on");
            std::this_thread::sleep_for(2500ms); // longer than the program tries again
            s.Print(2);
            Check(counted(8, 1, true), "and saves the next print too");
        }
        s.Print(2);
        Check(counted(9, 1) && ReadFile("Scp1.bmp") == c.reference,
              "let go, the next print replaces Scp1.bmp");
        Check(s.NoMessageBox(1s), "and no message box was shown");

        Click(s.Main(), IDC_RECEIVE);
        Check(WaitUntil([&] { return WindowText(button) == L"Empfangen"; }) && s.Opens(2) < 0,
              "Anhalten releases the port");
        s.Ende(ini);
    }
    const Session again(c);
    const HWND dialog = again.OpenSettings();
    Check(Checked(dialog, IDC_CHECK_EVERY_PRINT, BST_CHECKED) && ClickAndClose(dialog, IDCANCEL),
          "the option survives a restart");
    again.Ende(ini);
}

// At 192 dpi (run_e2e.sh sets it): the lamp and the picture are doubled, dot for dot, and every
// text still fits.
void HighDpiScenario(const Context& c) {
    const Session s(c);
    Check(Scale() == 2, "the screen runs at 192 dpi");
    Check(s.Lit(kIdle), "the lamp shows doubled");
    const ScreenShot lamp(s.Main(), 60, 100);
    int lit = 0;
    for (int x = 0; x < 60; ++x) {
        lit += lamp.At(x, (6 + 31) * 2) == 0xFFFF00 ? 1 : 0;
    }
    Check(lit == 18, "the yellow disc's widest row is 18 pixels, twice 9");
    s.Receive();
    s.Show("Scp1.bmp stays 160 x 160");
    Check(s.ShowsReference(), "the display shows the picture doubled, dot for dot");
    s.CheckAboutBox();
    s.Ende();
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    std::wstring folder = SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path)) ? path : L"";
    ::CoTaskMemFree(path);
    return folder;
}

// Whether two paths name one file or folder, in any case; a folder's may end in a backslash,
// as the Installer writes it.
bool SamePath(const std::wstring& a, const std::wstring& b) {
    const auto trimmed = [](const std::wstring& path) {
        return path.substr(0, path.find_last_not_of(L'\\') + 1);
    };
    return !a.empty() && ::CompareStringOrdinal(trimmed(a).c_str(), -1, trimmed(b).c_str(), -1,
                                                TRUE) == CSTR_EQUAL;
}

// A shortcut's target and working folder, read from the .lnk as the shell reads it.
struct Shortcut {
    std::wstring target, folder;
};

Shortcut ReadShortcut(const std::wstring& path) {
    krt460::ComPtr<IShellLinkW> link;
    krt460::ComPtr<IPersistFile> file;
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {};
    if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IShellLinkW, reinterpret_cast<void**>(link.put()))) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))) &&
        SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
        link->GetWorkingDirectory(folder, MAX_PATH);
    }
    return {target, folder};
}

// After the installer: the Start-menu shortcut starts the installed program in
// Documents\KRT460, and that is where Empfangen and Anzeigen put Scp1.bmp and Ende KRT460.ini.
void InstalledScenario(const Context& c) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const Shortcut shortcut = ReadShortcut(KnownFolder(FOLDERID_Programs) + L"\\KRT460.lnk");
    Check(SamePath(shortcut.target,
                   KnownFolder(FOLDERID_LocalAppData) + L"\\Programs\\KRT460\\KRT460.exe"),
          "the Start-menu shortcut KRT460 starts the installed KRT460.exe: " +
              Narrow(shortcut.target));
    Check(SamePath(shortcut.folder, KnownFolder(FOLDERID_Documents) + L"\\KRT460"),
          "in Documents\\KRT460: " + Narrow(shortcut.folder));
    ::CoUninitialize();
    if (failures > 0) {
        return;
    }
    Context installed = c;
    installed.exe = Narrow(shortcut.target);
    installed.folder = Narrow(shortcut.folder);
    const Session s(installed);
    ::SetCurrentDirectoryW(shortcut.folder.c_str()); // the program's folder, not the driver's
    s.Receive();
    s.Show("Anzeigen writes Scp1.bmp in Documents\\KRT460");
    s.Ende();
}

// Shows the program at work for a caller that takes screenshots: after each step it prints
// "READY name" and waits until the caller's file (KRT460_E2E_NEXT) appears.
void WaitForCaller(const char* step) {
    std::printf("READY %s\n", step);
    std::fflush(stdout);
    // Looks four times a second: the caller may be measuring what the program costs, and every
    // look is work for the Wine server too.
    const std::string next = Env("KRT460_E2E_NEXT");
    for (int i = 0; i < 5 * 60 * 4 && !::DeleteFileA(next.c_str()); ++i) {
        std::this_thread::sleep_for(250ms);
    }
}

// The states whose cost scripts/measure_receive.sh measures, each announced to the caller: the
// program idle, waiting for a print, receiving one (at 9600 baud), stalled part way, and after
// its adapter was pulled out.
void MeasureScenario(const Context& c) {
    const Session s(c);
    Check(s.Lit(kIdle), "the program is up");
    WaitForCaller("idle");
    s.Arm("Empfangen waits");
    WaitForCaller("waiting");
    s.Print(1);
    Check(WaitUntil([&] { return s.Count() > 0; }), "a print arrives");
    WaitForCaller("receiving");
    Check(s.Lit(kReceived), "the print is complete");
    s.ReceivePart("1000", 1000, "a print stops part way");
    WaitForCaller("stalled");
    s.Print(1, "0", "hangup");
    Check(!s.TakeMessageBox().empty(), "the adapter is pulled out");
    WaitForCaller("lost");
    // A series: armed and waiting, armed while a print arrives, and the moment it is saved.
    CheckEveryPrintAndClose(s.OpenSettings());
    s.Arm("a series is armed");
    WaitForCaller("armed");
    s.Print(1);
    Check(WaitUntil([&] { return s.Count() > 0; }), "a print arrives in the series");
    WaitForCaller("armed-receiving");
    Check(WaitUntil([] { return !FilesLike("Scp_*.bmp").empty(); }), "and is saved");
    WaitForCaller("saved");
    s.Ende("COM1\r\n1\r\n1\r\n");
}

void DemoScenario(const Context& c, bool dialogs) {
    const Session s(c);
    Click(s.Main(), IDC_RECEIVE);
    Check(s.Lit(kReceived), "a hardcopy arrives");
    s.Show();
    Check(s.Lit(kIdle), "the picture is shown");
    WaitForCaller("main");
    if (dialogs) {
        const HWND settings = s.OpenSettings();
        WaitForCaller("settings");
        ClickAndClose(settings, IDOK);
        const HWND saveAs = TypeName(s.Open(IDC_SAVE, L"KRT460 Bitmaps", IDC_FILE_LIST), "messung");
        WaitForCaller("save-as");
        ClickAndClose(saveAs, IDCANCEL);
    }
    s.Ende();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: e2e_driver SCENARIO\n");
        return 2;
    }
    ::SetProcessDPIAware(); // screen pixels, as the DPI-aware program draws them
    const Context c{Env("KRT460_E2E_EXE"), Env("KRT460_E2E_TRIGGER1"), Env("KRT460_E2E_TRIGGER2"),
                    Env("KRT460_E2E_TRIGGER12"), ReadFile(Env("KRT460_E2E_REFERENCE"))};
    const std::map<std::string, std::function<void()>> scenarios{
        {"main", [&] { MainScenario(c); }},
        {"files-fail", [&] { FilesFailScenario(c); }},
        {"settings", [&] { SettingsScenario(c); }},
        {"settings-other-port", [&] { SettingsOtherPortScenario(c); }},
        {"save-as", [&] { SaveAsScenario(c); }},
        {"high-dpi", [&] { HighDpiScenario(c); }},
        {"series", [&] { SeriesScenario(c); }},
        {"installed", [&] { InstalledScenario(c); }},
        {"demo", [&] { DemoScenario(c, false); }},
        {"measure", [&] { MeasureScenario(c); }},
        {"screenshots", [&] { DemoScenario(c, true); }},
    };
    const auto found = scenarios.find(argv[1]);
    if (found == scenarios.end()) {
        std::fprintf(stderr, "unknown scenario %s\n", argv[1]);
        return 2;
    }
    found->second();
    return failures;
}
