#pragma once

#include <windows.h>

namespace krt460::ui {

// The application object: one static instance of a class derived from this one. WinMain runs
// its start-up; when InitInstance returns false no message loop runs and the process exits.
class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    static CWinApp* Current() { return current_; }
    int Run();

protected:
    virtual BOOL InitInstance() = 0;
    // The themed look of the controls (the manifest asks for common controls 6).
    static void EnableVisualStyles();

private:
    static CWinApp* current_;
};

} // namespace krt460::ui
