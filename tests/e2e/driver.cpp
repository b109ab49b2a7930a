// Drives KRT460.exe as a user would, by posting commands to its real windows, and checks what it
// shows and writes. One scenario per run: e2e_driver SCENARIO, with the paths in KRT460_E2E_*
// variables set by run_e2e.sh. Prints PASS/FAIL lines; the exit status is the number of failures.
#include "image/screen_image.h"
#include "res/resource.h"
#include "ui/framework/handles.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using krt460::ui::UniqueKernelHandle;
using Bytes = std::vector<std::uint8_t>;

constexpr auto kDeadline = 30s; // generous: only a hang reaches it
int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    failures += ok ? 0 : 1;
}

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

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::wstring WindowText(HWND window) {
    wchar_t text[256] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                          5000, &ignored);
    return text;
}

// The program under test, started in the scenario's folder.
class Program {
public:
    explicit Program(const std::string& exe) {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        std::string command = "\"" + exe + "\"";
        if (!::CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info)) {
            Check(false, "start " + exe);
            std::exit(1);
        }
        process_.reset(info.hProcess);
        ::CloseHandle(info.hThread);
        pid_ = info.dwProcessId;
    }
    ~Program() {
        if (!Exited(0ms)) {
            ::TerminateProcess(process_.get(), 1);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Exited(std::chrono::milliseconds wait = kDeadline) const {
        return ::WaitForSingleObject(process_.get(), static_cast<DWORD>(wait.count())) ==
               WAIT_OBJECT_0;
    }

    // A top-level dialog of the program with this caption (and, if given, this control).
    HWND FindDialog(const std::wstring& caption, int withControl = 0) const {
        struct Search {
            DWORD pid;
            const std::wstring* caption;
            int control;
            HWND found;
        } search{pid_, &caption, withControl, nullptr};
        ::EnumWindows(
            [](HWND window, LPARAM param) -> BOOL {
                auto& s = *reinterpret_cast<Search*>(param);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(window, &pid);
                wchar_t className[32] = {};
                ::GetClassNameW(window, className, 32);
                if (pid == s.pid && std::wstring(className) == L"#32770" &&
                    ::IsWindowVisible(window) && WindowText(window) == *s.caption &&
                    (s.control == 0 || ::GetDlgItem(window, s.control) != nullptr)) {
                    s.found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    HWND WaitForDialog(const std::wstring& caption, int withControl = 0) const {
        HWND window = nullptr;
        WaitUntil([&] { return (window = FindDialog(caption, withControl)) != nullptr; });
        return window;
    }

    // The text of the message box now open, after closing it; empty when none appears.
    std::string TakeMessageBox() const {
        const HWND box = WaitForDialog(L"KRT460", 0xFFFF);
        if (box == nullptr) {
            return {};
        }
        const std::wstring wide = WindowText(::GetDlgItem(box, 0xFFFF));
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        WaitUntil([&] { return !::IsWindow(box); });
        return std::string(wide.begin(), wide.end());
    }

private:
    UniqueKernelHandle process_;
    DWORD pid_ = 0;
};

void Click(HWND dialog, int id) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// The client area as it is on the screen, one COLORREF a pixel.
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
    // 0xRRGGBB
    std::uint32_t At(int x, int y) const {
        return pixels_[static_cast<std::size_t>(y * width_ + x)] & 0xFFFFFF;
    }

private:
    int width_;
    std::vector<std::uint32_t> pixels_;
};

enum class Lamp { Idle, Receiving, Received, Unknown };

Lamp ReadLamp(HWND main) {
    // Centres of the top, middle and bottom discs, the lamp picture standing at (6, 6).
    const ScreenShot shot(main, 30, 50);
    const std::uint32_t top = shot.At(14, 13), middle = shot.At(14, 25), bottom = shot.At(14, 37);
    constexpr std::uint32_t grey = 0xC0C0C0;
    if (top == grey && middle == grey && bottom == 0xFFFF00) {
        return Lamp::Idle;
    }
    if (top == grey && middle == 0x00FF00 && bottom == grey) {
        return Lamp::Receiving;
    }
    if (top == 0xFF0000 && middle == grey && bottom == grey) {
        return Lamp::Received;
    }
    return Lamp::Unknown;
}

bool WaitForLamp(HWND main, Lamp lamp) {
    return WaitUntil([&] { return ReadLamp(main) == lamp; });
}

long ByteCount(HWND main) {
    static const UINT query = ::RegisterWindowMessageW(L"KRT460.ByteCount");
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(main, query, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<long>(static_cast<LONG_PTR>(result));
}

bool WaitForByteCount(HWND main, long count) {
    return WaitUntil([&] { return ByteCount(main) == count; });
}

// What the decoder makes of a recorded frame, computed here with the same core.
Bytes ExpectedBitmap(const Bytes& frame, bool border) {
    krt460::CaptureBytes buffer{};
    std::copy_n(frame.begin(), std::min(frame.size(), krt460::kFrameLength), buffer.begin());
    krt460::CScreenImage image;
    (void)image.ParseBands(buffer);
    image.BuildImage();
    if (border) {
        image.DrawBorder();
    }
    image.DescribeRows();
    const auto encoded = image.EncodeBitmap();
    return {encoded.begin(), encoded.end()};
}

// The display window shows the picture of a BMP file black on white at (5, 5).
bool DisplayShows(HWND display, const Bytes& bmp) {
    const ScreenShot shot(display, 170, 170);
    for (int y = 0; y < 160; ++y) {
        for (int x = 0; x < 160; ++x) {
            const std::size_t row =
                krt460::kBitmapHeaderSize + static_cast<std::size_t>(159 - y) * 20;
            const bool white = (bmp[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
            if (shot.At(5 + x, 5 + y) != (white ? 0xFFFFFFu : 0u)) {
                std::printf("  display pixel (%d, %d) is %06x\n", x, y, shot.At(5 + x, 5 + y));
                return false;
            }
        }
    }
    return true;
}

struct Context {
    std::string exe, frameFile, referenceBmp, trigger1, trigger2;
    Bytes frame;
};

class Session {
public:
    explicit Session(const Context& c) : c_(c), program_(c.exe) {
        main_ = program_.WaitForDialog(L"KRT460", IDC_RECEIVE);
        display_ = program_.WaitForDialog(L"KRT460 - Display");
        Check(main_ != nullptr && display_ != nullptr, "main window and display window open");
        if (main_ == nullptr || display_ == nullptr) {
            std::exit(failures);
        }
    }
    HWND Main() const { return main_; }
    HWND Display() const { return display_; }
    const Program& Prog() const { return program_; }

    // The instrument's print key: `count` bytes of the frame, or all of it. The request appears
    // whole, by a rename, so that the simulator never reads it half-written.
    void Print(int port, long count = -1) const {
        const std::string& trigger = port == 2 ? c_.trigger2 : c_.trigger1;
        const std::string pending = trigger + ".pending";
        WriteFile(pending, count < 0 ? "" : std::to_string(count));
        ::MoveFileExA(pending.c_str(), trigger.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    void Receive(int port = 1) const {
        Click(main_, IDC_RECEIVE);
        Check(WaitForLamp(main_, Lamp::Receiving), "Empfangen turns the lamp green");
        Check(ByteCount(main_) == 0, "the count beside the lamp starts at 0");
        Print(port);
        Check(WaitForLamp(main_, Lamp::Received), "a frame with its end marker turns it red");
        Check(ByteCount(main_) == 3328, "the count reaches 3328");
    }

    void End(const char* how, const std::function<void()>& close, const std::string& ini) const {
        close();
        Check(program_.Exited(), std::string(how) + " ends the program");
        const Bytes written = ReadFile("KRT460.ini");
        Check(std::string(written.begin(), written.end()) == ini,
              std::string(how) + " writes KRT460.ini");
    }
    void Ende(const std::string& ini = "COM1\r\n1\r\n") const {
        End(
            "Ende", [&] { Click(main_, IDOK); }, ini);
    }

private:
    const Context& c_;
    Program program_;
    HWND main_ = nullptr;
    HWND display_ = nullptr;
};

bool IsSampleScreen(HWND display) {
    // The LCD glass of the sample picture, not the black on white of a decoded one.
    const ScreenShot shot(display, 170, 170);
    return shot.At(5 + 100, 5 + 120) == 0xA8BA96;
}

void MainScenario(const Context& c) {
    const Session s(c);
    Check(WaitForLamp(s.Main(), Lamp::Idle), "start-up shows the yellow lamp");
    Check(WaitUntil([&] { return IsSampleScreen(s.Display()); }, 5s),
          "start-up shows the sample screen");
    Check(ByteCount(s.Main()) == -1, "no count is shown before Empfangen");

    Click(s.Main(), IDC_SHOW);
    Check(s.Prog().TakeMessageBox() == "Es ging nicht!", "Anzeigen with nothing received says so");
    Check(WaitUntil([] { return ReadFile("Scp1.bmp").size() == 3262; }) &&
              ReadFile("Scp1.bmp") == ExpectedBitmap(Bytes(3328, 0), true),
          "and still writes Scp1.bmp: white with the border");
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the lamp is yellow after Anzeigen");

    s.Receive();
    ::DeleteFileA("Scp1.bmp");
    Click(s.Main(), IDC_SHOW);
    Check(WaitUntil([] { return ReadFile("Scp1.bmp").size() == 3262; }) &&
              ReadFile("Scp1.bmp") == ReadFile(c.referenceBmp),
          "Anzeigen writes Scp1.bmp identical to krt460 decode of the frame");
    Check(WaitForLamp(s.Main(), Lamp::Idle), "Anzeigen turns the lamp yellow");
    Check(WaitUntil([&] { return DisplayShows(s.Display(), ReadFile(c.referenceBmp)); }, 5s),
          "the display window shows the picture black on white");

    // Empfangen while a capture runs: refused, and the capture needs a further full frame.
    Click(s.Main(), IDC_RECEIVE);
    Check(WaitForLamp(s.Main(), Lamp::Receiving), "Empfangen again turns the lamp green");
    s.Print(1, 1000);
    Check(WaitForByteCount(s.Main(), 1000), "1000 bytes arrive");
    Click(s.Main(), IDC_RECEIVE);
    Check(s.Prog().TakeMessageBox() == "Error: Open COM port!",
          "Empfangen during a capture says Error: Open COM port!");
    Check(ByteCount(s.Main()) == 0, "and the count starts again at 0");
    s.Print(1);
    Check(WaitForLamp(s.Main(), Lamp::Received), "the capture ends red after a further frame");
    Check(ByteCount(s.Main()) == 3328, "with 3328 bytes");

    ::PostMessageW(s.Main(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    const HWND about = s.Prog().WaitForDialog(L"Info \u00fcber KRT460");
    Check(about != nullptr, "the system-menu command opens Info \u00fcber KRT460");
    if (about != nullptr) {
        Click(about, IDOK);
        Check(WaitUntil([&] { return !::IsWindow(about); }), "OK closes the about box");
    }

    // Escape hides the display window; Anzeigen brings it back where it was.
    RECT before{};
    ::GetWindowRect(s.Display(), &before);
    ::PostMessageW(s.Display(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    Check(WaitUntil([&] { return !::IsWindowVisible(s.Display()); }), "Escape hides the display");
    Click(s.Main(), IDC_SHOW);
    RECT after{};
    Check(WaitUntil([&] { return ::IsWindowVisible(s.Display()) != FALSE; }) &&
              ::GetWindowRect(s.Display(), &after) &&
              std::memcmp(&before, &after, sizeof before) == 0,
          "Anzeigen shows it again, unmoved");
    s.Ende();
}

void EscapeScenario(const Context& c) {
    const Session s(c);
    s.End(
        "Escape", [&] { ::PostMessageW(::GetDlgItem(s.Main(), IDOK), WM_KEYDOWN, VK_ESCAPE, 0); },
        "COM1\r\n1\r\n");
}

void CloseBoxScenario(const Context& c) {
    const Session s(c);
    s.End(
        "The close box", [&] { ::PostMessageW(s.Main(), WM_SYSCOMMAND, SC_CLOSE, 0); },
        "COM1\r\n1\r\n");
}

void MissingPortScenario(const Context& c) {
    const Session s(c);
    Click(s.Main(), IDC_RECEIVE);
    Check(s.Prog().TakeMessageBox() == "Error: Open COM port!", "a missing port says so");
    // Read once the message box has gone and the window is painted again.
    Check(WaitForLamp(s.Main(), Lamp::Idle), "and leaves the lamp yellow");
    s.Ende("COM42\r\n1\r\n");
}

void CloseDuringCaptureScenario(const Context& c) {
    const Session s(c);
    Click(s.Main(), IDC_RECEIVE);
    Check(WaitForLamp(s.Main(), Lamp::Receiving), "Empfangen turns the lamp green");
    s.Print(1, 1000);
    Check(WaitForByteCount(s.Main(), 1000), "1000 bytes arrive");
    s.Ende(); // the worker is stopped; the process must not linger
}

void Scp1FailsScenario(const Context& c) {
    const Session s(c);
    ::CreateDirectoryA("Scp1.bmp", nullptr);
    Click(s.Main(), IDC_SHOW);
    Check(s.Prog().TakeMessageBox() == "Es ging nicht!", "nothing received: Es ging nicht!");
    Check(s.Prog().TakeMessageBox() == "Scp1.bmp konnte nicht geschrieben werden!",
          "a Scp1.bmp that cannot be written is told");
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the rest of Anzeigen goes on");
    s.Ende();
}

bool Checked(HWND dialog, int id, LRESULT state) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutW(::GetDlgItem(dialog, id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000,
                          &result);
    return static_cast<LRESULT>(result) == state;
}

HWND OpenSettings(const Session& s) {
    Click(s.Main(), IDC_SETTINGS);
    const HWND dialog = s.Prog().WaitForDialog(L"KRT460  Einstellungen", IDC_RADIO_COM1);
    Check(dialog != nullptr, "Einstellungen opens its dialog");
    return dialog;
}

void CloseDialog(HWND dialog, int button) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitUntil([&] { return !::IsWindow(dialog); });
}

void SettingsScenario(const Context& c) {
    const Session s(c);
    HWND dialog = OpenSettings(s);
    if (dialog == nullptr) {
        return;
    }
    Check(Checked(dialog, IDC_RADIO_COM1, BST_CHECKED) && Checked(dialog, IDC_RADIO_COM2, 0),
          "without KRT460.ini COM1 is checked");
    Check(Checked(dialog, IDC_CHECK_BORDER, BST_CHECKED), "and Rahmen");
    Check(Checked(dialog, IDC_CHECK_320, BST_INDETERMINATE), "320 x 320 shows greyed");
    ::PostMessageW(::GetDlgItem(dialog, IDC_CHECK_320), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(dialog, IDC_RADIO_COM2), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return Checked(dialog, IDC_RADIO_COM2, BST_CHECKED); }),
          "a click chooses COM2");
    Check(Checked(dialog, IDC_CHECK_320, BST_INDETERMINATE), "a click leaves 320 x 320 greyed");
    ::PostMessageW(::GetDlgItem(dialog, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
    Check(WaitUntil([&] { return !::IsWindow(dialog); }), "Escape closes the dialog");

    s.Receive(2); // the frame arrives on the second port only
    dialog = OpenSettings(s);
    if (dialog == nullptr) {
        return;
    }
    ::PostMessageW(::GetDlgItem(dialog, IDC_CHECK_BORDER), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return Checked(dialog, IDC_CHECK_BORDER, 0); }), "Rahmen unchecked");
    CloseDialog(dialog, IDOK);
    Click(s.Main(), IDC_SHOW);
    Check(WaitUntil([&] { return ReadFile("Scp1.bmp") == ExpectedBitmap(c.frame, false); }),
          "without Rahmen Anzeigen draws no border");
    s.Ende("COM2\r\n0\r\n");
}

void SettingsKeepPortScenario(const Context& c, const std::string& ini) {
    const Session s(c);
    const HWND dialog = OpenSettings(s);
    if (dialog == nullptr) {
        return;
    }
    Check(Checked(dialog, IDC_RADIO_COM2, BST_CHECKED) && Checked(dialog, IDC_RADIO_COM1, 0),
          "a port other than exactly COM1 shows as COM2");
    CloseDialog(dialog, IDOK);
    s.Ende(ini); // unchanged until a radio button is clicked
}

HWND OpenSaveAs(const Session& s) {
    Click(s.Main(), IDC_SAVE);
    const HWND dialog = s.Prog().WaitForDialog(L"KRT460 Bitmaps", IDC_FILE_LIST);
    Check(dialog != nullptr, "Speichern opens its dialog");
    return dialog;
}

void SaveAs(HWND dialog, const char* name) {
    ::SendMessageA(::GetDlgItem(dialog, IDC_FILE_NAME), WM_SETTEXT, 0,
                   reinterpret_cast<LPARAM>(name));
    Click(dialog, IDOK);
}

void SaveAsScenario(const Context& c) {
    const Session s(c);
    s.Receive();
    Click(s.Main(), IDC_SHOW);
    Check(WaitUntil([&] { return ReadFile("Scp1.bmp") == ReadFile(c.referenceBmp); }),
          "Anzeigen writes Scp1.bmp");

    HWND dialog = OpenSaveAs(s);
    if (dialog == nullptr) {
        return;
    }
    const LRESULT found =
        ::SendMessageA(::GetDlgItem(dialog, IDC_FILE_LIST), LB_FINDSTRINGEXACT,
                       static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("Scp1.bmp"));
    Check(found != LB_ERR, "the list shows Scp1.bmp");
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &gui);
    Check(gui.hwndFocus == ::GetDlgItem(dialog, IDOK), "the focus is on Save");
    SaveAs(dialog, "test");
    Check(WaitUntil([&] { return !::IsWindow(dialog); }), "Save closes the dialog");
    Check(ReadFile("test.bmp") == ReadFile("Scp1.bmp"), "test is written as test.bmp");
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the lamp returns to yellow");

    dialog = OpenSaveAs(s);
    SaveAs(dialog, "TEST.BMP");
    Check(WaitUntil([&] { return !::IsWindow(dialog); }) &&
              ReadFile("TEST.BMP") == ReadFile("Scp1.bmp"),
          "TEST.BMP is written as typed");

    dialog = OpenSaveAs(s);
    SaveAs(dialog, "x\\y");
    Check(s.Prog().TakeMessageBox() == "x\\y.bmp konnte nicht geschrieben werden!",
          "a name in a missing folder is told");
    Check(::IsWindow(dialog) && WindowText(::GetDlgItem(dialog, IDC_FILE_NAME)) == L"x\\y",
          "and the dialog stays open with the name");
    Check(::GetFileAttributesA("x") == INVALID_FILE_ATTRIBUTES, "nothing is written");
    Click(dialog, IDCANCEL);
    Check(WaitUntil([&] { return !::IsWindow(dialog); }), "Abbrechen closes it");

    dialog = OpenSaveAs(s);
    SaveAs(dialog, "");
    Check(WaitUntil([&] { return !::IsWindow(dialog); }), "an empty name closes the dialog");
    s.Ende();
}

void CancelSaveAsScenario(const Context& c) {
    const Session s(c);
    s.Receive();
    const HWND dialog = OpenSaveAs(s);
    if (dialog == nullptr) {
        return;
    }
    ::SendMessageA(::GetDlgItem(dialog, IDC_FILE_NAME), WM_SETTEXT, 0,
                   reinterpret_cast<LPARAM>("cancelled"));
    Click(dialog, IDCANCEL);
    Check(WaitUntil([&] { return !::IsWindow(dialog); }), "Abbrechen closes the dialog");
    Check(::GetFileAttributesA("cancelled.bmp") == INVALID_FILE_ATTRIBUTES,
          "Abbrechen writes nothing");
    Check(WaitForLamp(s.Main(), Lamp::Idle), "and the lamp returns to yellow");
    s.Ende();
}

// Shows the program at work for a caller that takes screenshots: after each step it prints
// "READY name" and waits until a file "next" appears in its folder.
void WaitForCaller(const char* step) {
    std::printf("READY %s\n", step);
    std::fflush(stdout);
    WaitUntil([] { return ::DeleteFileA("next") != FALSE; }, std::chrono::minutes(5));
}

void DemoScenario(const Context& c, bool dialogs) {
    const Session s(c);
    Click(s.Main(), IDC_RECEIVE);
    Check(WaitForLamp(s.Main(), Lamp::Received), "a hardcopy arrives");
    Click(s.Main(), IDC_SHOW);
    Check(WaitUntil([] { return ReadFile("Scp1.bmp").size() == 3262; }), "Scp1.bmp is written");
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the picture is shown");
    WaitForCaller("main");
    if (dialogs) {
        if (const HWND settings = OpenSettings(s)) {
            WaitForCaller("settings");
            CloseDialog(settings, IDOK);
        }
        if (const HWND saveAs = OpenSaveAs(s)) {
            ::SendMessageA(::GetDlgItem(saveAs, IDC_FILE_NAME), WM_SETTEXT, 0,
                           reinterpret_cast<LPARAM>("messung"));
            WaitForCaller("save-as");
            CloseDialog(saveAs, IDCANCEL);
        }
    }
    s.Ende();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: e2e_driver SCENARIO\n");
        return 2;
    }
    Context c{Env("KRT460_E2E_EXE"),      Env("KRT460_E2E_FRAME"),    Env("KRT460_E2E_REFERENCE"),
              Env("KRT460_E2E_TRIGGER1"), Env("KRT460_E2E_TRIGGER2"), {}};
    c.frame = ReadFile(c.frameFile);
    const std::string scenario = argv[1];
    const std::map<std::string, std::function<void()>> scenarios{
        {"main", [&] { MainScenario(c); }},
        {"escape", [&] { EscapeScenario(c); }},
        {"close-box", [&] { CloseBoxScenario(c); }},
        {"missing-port", [&] { MissingPortScenario(c); }},
        {"close-during-capture", [&] { CloseDuringCaptureScenario(c); }},
        {"scp1-fails", [&] { Scp1FailsScenario(c); }},
        {"settings", [&] { SettingsScenario(c); }},
        {"settings-lower-case", [&] { SettingsKeepPortScenario(c, "com1\r\n1\r\n"); }},
        {"settings-com3", [&] { SettingsKeepPortScenario(c, "COM3\r\n1\r\n"); }},
        {"save-as", [&] { SaveAsScenario(c); }},
        {"save-as-cancel", [&] { CancelSaveAsScenario(c); }},
        {"demo", [&] { DemoScenario(c, false); }},
        {"screenshots", [&] { DemoScenario(c, true); }},
    };
    const auto found = scenarios.find(scenario);
    if (found == scenarios.end()) {
        std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
        return 2;
    }
    found->second();
    return failures;
}
