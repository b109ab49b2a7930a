// Drives KRT460.exe as a user would, through its real windows: clicks are posted, keys go
// through the program's own message loop, and what it shows, copies and writes is checked.
// One scenario per run: e2e_driver SCENARIO, with the paths in KRT460_E2E_* variables set by
// run_e2e.sh. Prints PASS/FAIL lines; the exit status is the number of failures. Expected
// pictures come from the committed sample BMP, never from the decoder under test.
#include "common/com_ptr_win32.h"
#include "common/unique_handle_win32.h"
#include "res/resource.h"
#include "window_probe.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <chrono>
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

using namespace krt460::e2e;

constexpr std::size_t kHeader = 62;
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

enum class Lamp { Idle, Receiving, Received, Unknown };

// The lamp picture stands at (6, 6), each of its pixels scale x scale on the screen.
Lamp ReadLamp(HWND main) {
    const int s = Scale();
    const ScreenShot shot(main, 30 * s, 50 * s);
    const auto at = [&](int x, int y) { return shot.At((6 + x) * s, (6 + y) * s); };
    const std::uint32_t top = at(8, 7), middle = at(8, 19), bottom = at(8, 31);
    constexpr std::uint32_t grey = 0xC0C0C0;
    if (top == grey && middle == grey && bottom == 0xFFFF00) {
        return Lamp::Idle;
    }
    if (top == grey && middle == 0x00FF00 && bottom == grey) {
        return Lamp::Receiving;
    }
    return top == 0xFF0000 && middle == grey && bottom == grey ? Lamp::Received : Lamp::Unknown;
}

bool WaitForLamp(HWND main, Lamp lamp) {
    return WaitUntil([&] { return ReadLamp(main) == lamp; });
}

long ByteCount(HWND main) {
    static const UINT query = ::RegisterWindowMessageW(L"KRT460.ByteCount");
    return static_cast<long>(Ask(main, query));
}

bool WhiteIn(const Bytes& bmp, int x, int y) {
    const std::size_t row = kHeader + static_cast<std::size_t>(159 - y) * 20;
    return (bmp[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
}

// Whether every pixel of a 160 x 160 BMP is as `expected(x, y, white)` says.
bool EveryPixel(const Bytes& bmp, const std::function<bool(int, int, bool)>& expected) {
    for (int i = 0; bmp.size() == 3262 && i < 160 * 160; ++i) {
        if (!expected(i % 160, i / 160, WhiteIn(bmp, i % 160, i / 160))) {
            return false;
        }
    }
    return bmp.size() == 3262;
}

bool Ring(int x, int y) {
    return x == 0 || y == 0 || x == 159 || y == 159;
}

// The display window shows the picture of a BMP file black on white at (5, 5), scaled.
bool DisplayShows(HWND display, const Bytes& bmp) {
    const int s = Scale();
    const ScreenShot shot(display, 170 * s, 170 * s);
    for (int y = 0; y < 160 * s; ++y) {
        for (int x = 0; x < 160 * s; ++x) {
            if (shot.At(5 * s + x, 5 * s + y) != (WhiteIn(bmp, x / s, y / s) ? 0xFFFFFFu : 0u)) {
                return false;
            }
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

    // A visible dialog of the program with this caption (and, if given, this control).
    HWND WaitForDialog(const std::wstring& caption, int control = 0,
                       std::chrono::milliseconds limit = kDeadline) const {
        DialogSearch search{pid_, caption, control};
        WaitUntil([&] { return !::EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search)); },
                  limit);
        return search.found;
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
        Check(WaitForLamp(main_, Lamp::Receiving) && Holds(port, before), what);
    }

    void Receive(int port = 1) const {
        Arm("Empfangen turns the lamp green", port);
        Check(ByteCount(main_) == 0, "the count beside the lamp starts at 0");
        Print(port);
        Check(WaitForLamp(main_, Lamp::Received), "a frame with its end marker turns it red");
        Check(ByteCount(main_) == 3328, "the count reaches 3328");
    }

    // Empfangen, then the instrument sends `range` of a print: `count` bytes arrive.
    void ReceivePart(const std::string& range, long count, const char* what, int port = 1) const {
        Arm(what, port);
        Print(port, range);
        Check(WaitUntil([&] { return ByteCount(main_) == count; }), what);
    }
    // Empfangen while a print arrives, answered Ja: the count starts again from 0.
    void AnswerJa(const char* what) const {
        const int before = Opens(1);
        Click(main_, IDC_RECEIVE);
        TakeMessageBox(IDYES);
        Check(WaitUntil([&] { return ByteCount(main_) == 0; }) && Holds(1, before), what);
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
    void Ended(const std::string& how, const std::string& ini = "COM1\r\n1\r\n0\r\n") const {
        Check(Exited(), how + " ends the program");
        const Bytes written = ReadFile("KRT460.ini");
        Check(std::string(written.begin(), written.end()) == ini, how + " writes KRT460.ini");
    }
    void Ende(const std::string& ini = "COM1\r\n1\r\n0\r\n") const {
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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "start-up shows the yellow lamp");
    const auto glass = [&] { return ScreenShot(s.Display(), 170, 170).At(105, 125) == 0xA8BA96; };
    Check(WaitUntil(glass, 5s), "start-up shows the sample screen, its LCD glass");
    Check(ByteCount(s.Main()) == -1, "no count is shown before Empfangen");

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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the lamp is yellow after Anzeigen");

    s.Receive();
    s.Show("Anzeigen writes Scp1.bmp, the reference picture");
    Check(WaitForLamp(s.Main(), Lamp::Idle), "Anzeigen turns the lamp yellow");
    Check(WaitUntil([&] { return DisplayShows(s.Display(), c.reference); }, 5s),
          "the display window shows the picture black on white");
    const Bytes dib(c.reference.begin() + 14, c.reference.end()); // a BMP file is "BM..." + DIB
    PressCtrlC(s.Display());
    Check(TakeClipboardDib() == dib, "Ctrl+C puts the picture on the clipboard as CF_DIB");
    // A clipboard manager or remote-desktop client may hold the clipboard for a moment.
    ::OpenClipboard(nullptr);
    ::PostMessageW(s.Main(), WM_SYSCOMMAND, IDM_COPY, 0);
    std::this_thread::sleep_for(150ms);
    ::CloseClipboard();
    Check(TakeClipboardDib() == dib,
          "so does Bild kopieren from the system menu, waiting while another program holds "
          "the clipboard");

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
    Check(WaitForLamp(s.Main(), Lamp::Received) && ByteCount(s.Main()) == 3328,
          "after Nein the print completes, red");
    s.Show("and shows whole");

    // Ja starts again: the next print is received whole. A second Empfangen while it waits for
    // its first byte keeps waiting, without a word.
    s.ReceivePart("1000", 1000, "Empfangen once more: 1000 bytes arrive again");
    s.AnswerJa("Ja starts again from 0");
    Check(WaitForLamp(s.Main(), Lamp::Receiving), "green");
    s.Print(1, "1000-3328"); // the instrument goes on with the print that Ja cut off
    Click(s.Main(), IDC_RECEIVE);
    Check(s.WaitForDialog(L"KRT460", 0xFFFF, 2s) == nullptr && ByteCount(s.Main()) == 0,
          "its rest is skipped, and Empfangen while waiting for a print says nothing");
    s.Print(1);
    Check(WaitForLamp(s.Main(), Lamp::Received), "the next print arrives whole");
    s.Show("and shows whole after Ja");

    // Ja after a capture that joined a print in its middle: what it cut off is column bytes,
    // so the next print, sent right after the rest, is found by what was learned of the
    // instrument.
    s.ReceivePart("1000-2000", 1000, "Empfangen, and the middle of a print arrives");
    s.AnswerJa("Ja starts again");
    s.Print(1, "2000-6656");
    Check(WaitForLamp(s.Main(), Lamp::Received) && ByteCount(s.Main()) == 3328,
          "a print right after the rest of one joined mid-print arrives whole");
    s.Show("and shows whole");

    // An instrument that stopped part way: Anzeigen right after Ja, before the next byte, shows
    // the print Ja cut off as it came, never its bytes over the rest of the print before it.
    s.ReceivePart("1000", 1000, "Empfangen, and 1000 bytes arrive once more");
    s.AnswerJa("Ja");
    Check(ShowsTheFirst1000Bytes(s, c),
          "Anzeigen right after Ja shows the print cut off, as far as it got");
    s.Print(1);
    Check(WaitForLamp(s.Main(), Lamp::Received), "and the next print arrives whole");

    // The adapter pulled out during a print: told once, with what arrived.
    s.Arm("Empfangen once more turns the lamp green");
    s.Print(1, "1000", "hangup");
    Check(s.TakeMessageBox() == "Verbindung zu COM1 unterbrochen!",
          "an unplugged adapter is told, naming the port");
    Check(WaitForLamp(s.Main(), Lamp::Idle) && ByteCount(s.Main()) == 1000,
          "the lamp turns yellow and the count keeps the 1000 bytes that came");
    Check(s.WaitForDialog(L"KRT460", 0xFFFF, 2s) == nullptr, "and it is told only once");

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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the rest of Anzeigen goes on");
    Click(s.Main(), IDOK);
    Check(ToldWithReason(s.TakeMessageBox(), "KRT460.ini konnte nicht geschrieben werden!"),
          "a KRT460.ini that cannot be written is told, with the reason");
    Check(s.Exited(), "and the program still ends");
}

bool Checked(HWND dialog, int id, LRESULT state) {
    return Ask(::GetDlgItem(dialog, id), BM_GETCHECK) == state;
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
    Check(Checked(dialog, IDC_RADIO_COM1, BST_CHECKED) && Checked(dialog, IDC_RADIO_OTHER, 0) &&
              Checked(dialog, IDC_CHECK_BORDER, BST_CHECKED),
          "without KRT460.ini COM1 and Rahmen are checked");
    Check(Checked(dialog, IDC_CHECK_320, BST_INDETERMINATE), "320 x 320 shows greyed");
    const HWND names = ::GetDlgItem(dialog, IDC_PORT_NAME);
    Type(names, L"COM27");
    Check(WaitUntil([&] { return Checked(dialog, IDC_RADIO_OTHER, BST_CHECKED); }),
          "typing a name chooses Andere:");
    for (int i = 0; i < 5; ++i) {
        PostKey(EditOf(names), VK_BACK);
    }
    Check(WaitUntil([&] { return WindowText(names).empty(); }) &&
              Checked(dialog, IDC_RADIO_COM1, BST_CHECKED) && Checked(dialog, IDC_RADIO_OTHER, 0) &&
              Checked(dialog, IDC_CHECK_BORDER, BST_CHECKED),
          "a name typed and erased with Backspace leaves COM1 chosen, Rahmen as it was");
    Ask(::GetDlgItem(dialog, IDC_RADIO_OTHER), BM_CLICK);
    Check(Checked(dialog, IDC_RADIO_COM1, BST_CHECKED) && Checked(dialog, IDC_RADIO_OTHER, 0),
          "a click on Andere: without a name keeps COM1");
    ::PostMessageW(::GetDlgItem(dialog, IDC_CHECK_320), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(dialog, IDC_RADIO_COM2), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return Checked(dialog, IDC_RADIO_COM2, BST_CHECKED); }),
          "a click chooses COM2");
    Check(Checked(dialog, IDC_CHECK_320, BST_INDETERMINATE), "a click leaves 320 x 320 greyed");
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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "and leaves the lamp yellow");
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
    Check(Checked(dialog, IDC_RADIO_OTHER, BST_CHECKED) && WindowText(names) == L"\\\\.\\COM12" &&
              Checked(dialog, IDC_CHECK_BORDER, BST_CHECKED),
          "a port other than COM1 and COM2 shows under Andere:, and Rahmen survives the restart");
    std::vector<int> order;
    for (LRESULT i = 0, n = Ask(names, CB_GETCOUNT); i < n; ++i) {
        wchar_t text[64] = {};
        Ask(names, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        if (const std::wstring name = text; name.rfind(L"COM", 0) == 0) {
            const int number = std::stoi(name.substr(3));
            if (number == 1 || number == 2 || number == 5 || number == 12) {
                order.push_back(number);
            }
        }
    }
    Check(order == std::vector<int>{1, 2, 5, 12}, "the list shows COM1, COM2, COM5, COM12");
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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the lamp returns to yellow");

    // Names as typed, each in a fresh dialog: the file written, or the message and an open
    // dialog that keeps the name.
    struct Case {
        const char* typed;
        const char* file;    // written, or nothing
        const char* message; // told, or nothing
    };
    const Case cases[] = {
        {"bericht.png", "bericht.png", nullptr},
        {"x\\y", nullptr, "x\\y.bmp konnte nicht geschrieben werden!"},
        {"x\\y.png", nullptr, "x\\y.png konnte nicht geschrieben werden!"},
        {"", nullptr, nullptr},
    };
    for (const Case& k : cases) {
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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "and the lamp returns to yellow");
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
    const std::string ini = "COM1\r\n1\r\n1\r\n";
    {
        const Session s(c);
        const HWND dialog = s.OpenSettings();
        Check(Checked(dialog, IDC_CHECK_EVERY_PRINT, 0), "a KRT460.ini of two lines: not checked");
        Check(CheckEveryPrintAndClose(dialog), "a click checks Jeden Ausdruck speichern");

        const HWND button = ::GetDlgItem(s.Main(), IDC_RECEIVE);
        s.Arm("Empfangen arms the series: green");
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
        s.Print(1, "2x");
        Check(counted(2, 0) && WaitForLamp(s.Main(), Lamp::Received),
              "two prints back to back are both saved, each with its record, and the lamp turns "
              "red");
        s.Print(1);
        Check(counted(3, 0), "a print after a pause is saved too");
        const auto files = FilesLike("Scp_*.bmp");
        Check(std::all_of(files.begin(), files.end(),
                          [&](const std::string& name) { return ReadFile(name) == c.reference; }),
              "each saved file is the picture");
        Check(ReadFile("Scp1.bmp") == c.reference &&
                  WaitUntil([&] { return DisplayShows(s.Display(), c.reference); }, 5s),
              "Scp1.bmp and the display show the last");

        // The rest of a print, joined late: kept as .partial.bin, counted; the next is saved.
        s.Print(1, "1664-3328");
        WaitUntil([&] { return ByteCount(s.Main()) == 3328 - 1664; });
        s.Print(1);
        Check(counted(4, 1), "the rest of a print is kept as .partial.bin and counted");
        s.Print(1, "0", "hangup");
        Check(s.Holds(1), "the adapter pulled out and plugged in: the series opens it again");
        s.Print(1);
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
            s.Print(1);
            Check(counted(6, 1, true) && ReadFile("Scp1.bmp") == Bytes{'o', 'l', 'd'},
                  "a print while Scp1.bmp is held open is saved, and Scp1.bmp is told behind");
        }
        Check(counted(6, 1) && ReadFile("Scp1.bmp") == c.reference,
              "let go within two seconds, Scp1.bmp is replaced without another print");
        {
            const auto held = holdScp1();
            s.Print(1);
            Check(counted(7, 1, true), "held longer, the series goes on");
            std::this_thread::sleep_for(2500ms); // longer than the program tries again
            s.Print(1);
            Check(counted(8, 1, true), "and saves the next print too");
        }
        s.Print(1);
        Check(counted(9, 1) && ReadFile("Scp1.bmp") == c.reference,
              "let go, the next print replaces Scp1.bmp");
        Check(s.WaitForDialog(L"KRT460", 0xFFFF, 1s) == nullptr, "and no message box was shown");

        Click(s.Main(), IDC_RECEIVE);
        Check(WaitUntil([&] { return WindowText(button) == L"Empfangen"; }) && s.Opens(1) < 0,
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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the lamp shows doubled");
    const ScreenShot lamp(s.Main(), 60, 100);
    int lit = 0;
    for (int x = 0; x < 60; ++x) {
        lit += lamp.At(x, (6 + 31) * 2) == 0xFFFF00 ? 1 : 0;
    }
    Check(lit == 18, "the yellow disc's widest row is 18 pixels, twice 9");
    s.Receive();
    s.Show("Scp1.bmp stays 160 x 160");
    Check(WaitUntil([&] { return DisplayShows(s.Display(), c.reference); }, 5s),
          "the display shows the picture doubled, dot for dot");
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
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the program is up");
    WaitForCaller("idle");
    s.Arm("Empfangen waits");
    WaitForCaller("waiting");
    s.Print(1);
    Check(WaitUntil([&] { return ByteCount(s.Main()) > 0; }), "a print arrives");
    WaitForCaller("receiving");
    Check(WaitForLamp(s.Main(), Lamp::Received), "the print is complete");
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
    Check(WaitUntil([&] { return ByteCount(s.Main()) > 0; }), "a print arrives in the series");
    WaitForCaller("armed-receiving");
    Check(WaitUntil([] { return !FilesLike("Scp_*.bmp").empty(); }), "and is saved");
    WaitForCaller("saved");
    s.Ende("COM1\r\n1\r\n1\r\n");
}

void DemoScenario(const Context& c, bool dialogs) {
    const Session s(c);
    Click(s.Main(), IDC_RECEIVE);
    Check(WaitForLamp(s.Main(), Lamp::Received), "a hardcopy arrives");
    s.Show();
    Check(WaitForLamp(s.Main(), Lamp::Idle), "the picture is shown");
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
