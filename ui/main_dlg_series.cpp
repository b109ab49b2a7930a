#include "ui/main_dlg.h"

#include "res/resource.h"

#include "ui/framework/message_box.h"
#include "ui/picture_export.h"

#include <filesystem>
#include <utility>

// The main window's series ("Jeden Ausdruck speichern"): the series keeps every print; the
// window shows the last picture, keeps Scp1.bmp up to date, sets the lamp and counts.
namespace krt460::ui {
namespace {

// A Scp1.bmp held open by another program is tried again ten times, 200 ms apart.
constexpr UINT kScp1RetryInterval = 200;
constexpr int kScp1Tries = 10;

} // namespace

UINT CMainDlg::SeriesQueryMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"KRT460.Series");
    return message;
}

INT_PTR CMainDlg::OnSeriesQuery(WPARAM, LPARAM) {
    LRESULT counts = -1;
    if (series_) {
        const CCaptureKeeper::Counts& kept = series_->Counted();
        counts = static_cast<LRESULT>(kept.pictures & 0xFFFFu) |
                 static_cast<LRESULT>(kept.unreadable & 0xFFFFu) << 16 |
                 static_cast<LRESULT>(kept.partial & 0xFFFFu) << 32 |
                 static_cast<LRESULT>(seriesStatus_.scp1Stale ? 1 : 0) << 48;
    }
    ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, counts);
    return TRUE;
}

StartResult CMainDlg::StartSeries(bool skipRestOfPrint) {
    // Print after print; one that stops arriving for 10 s is kept as it is; an adapter pulled
    // out is waited for. The series finds prints by what single captures learned.
    SeriesOptions options;
    options.port = settings_.portName;
    options.skipRestOfPrint = skipRestOfPrint;
    options.learned = receiver_.Template();
    options.keeping.prefix = "Scp_";
    options.keeping.port = settings_.portName;
    options.keeping.border = settings_.border;
    options.keeping.rawBesidePicture = false;
    series_.emplace(std::move(options), [this] { PostPrintsArrived(); });
    const StartResult started = series_->Start();
    if (started.outcome != StartOutcome::Started) {
        series_.reset();
        return started;
    }
    // A single capture still waiting on another port ends only now, so that a failed open
    // changes nothing; its last print is told before the series' first.
    if (receiver_.IsWorking()) {
        receiver_.Stop();
        OnPrintsArrived(0, 0);
    }
    seriesStatus_ = SeriesStatus{};
    seriesStatus_.port = settings_.portName;
    endSilently_ = false;
    ::SetDlgItemTextW(Handle(), IDC_RECEIVE, L"Anhalten");
    return started;
}

void CMainDlg::EndSeries(bool silent) {
    if (!series_) {
        return;
    }
    endSilently_ = silent;
    series_->Stop();
    TakeSeriesOutcomes(); // what came meanwhile, and a print cut off, is kept as ever
}

void CMainDlg::TakeSeriesOutcomes() {
    while (series_) {
        const std::optional<SeriesOutcome> outcome = series_->Next(std::chrono::milliseconds(0));
        if (!outcome) {
            return;
        }
        OnSeriesOutcome(*outcome);
    }
}

void CMainDlg::OnSeriesOutcome(const SeriesOutcome& outcome) {
    // Nobody may be at the PC: what cannot be shown is counted, never put in a box. A print
    // that cannot be written ends the series, told once.
    switch (outcome.event) {
    case SeriesEvent::Kept:
        if (outcome.kept.as == KeptAs::Stray) {
            break;
        }
        lastPrint_ = outcome.print;
        if (outcome.kept.as == KeptAs::Picture) {
            image_ = outcome.kept.image;
            ReplaceScp1();
            SetLamp(LampState::Received);
        }
        break;
    case SeriesEvent::Held: // never: the window's series holds nothing
    case SeriesEvent::NotWritten:
        lastPrint_ = outcome.print;
        break;
    case SeriesEvent::PortLost:
    case SeriesEvent::PortBack:
        seriesStatus_.portGone = outcome.event == SeriesEvent::PortLost;
        SetLamp(seriesStatus_.portGone ? LampState::Idle : LampState::Receiving);
        break;
    case SeriesEvent::CaughtUp:
        break;
    case SeriesEvent::Ended:
        OnSeriesEnded(outcome);
        return;
    }
    if (series_) {
        seriesStatus_.counts = series_->Counted();
    }
    ShowCount();
}

void CMainDlg::OnSeriesEnded(const SeriesOutcome& ended) {
    receiver_.Remember(series_->Template());
    series_.reset();
    ::KillTimer(Handle(), kScp1Timer);
    ::SetDlgItemTextW(Handle(), IDC_RECEIVE, L"Empfangen");
    SetLamp(LampState::Idle);
    ShowCount();
    if (ended.failure && !endSilently_) {
        // At a log-off nobody reads it: the bytes are in the temporary folder all the same.
        const Kept& failed = *ended.failure;
        const std::string name = std::filesystem::path(failed.file).filename().string();
        ShowNotWritten(Handle(), name,
                       failed.error + (failed.rescued.empty()
                                           ? ""
                                           : "\nDie empfangenen Bytes sind in " + failed.rescued +
                                                 " gesichert."));
    }
}

void CMainDlg::ReplaceScp1() {
    std::string error;
    bool heldOpen = false;
    ::KillTimer(Handle(), kScp1Timer);
    seriesStatus_.scp1Stale = !ShowPicture(error, &heldOpen);
    if (seriesStatus_.scp1Stale && heldOpen) {
        scp1Tries_ = 0;
        ::SetTimer(Handle(), kScp1Timer, kScp1RetryInterval, nullptr);
    }
}

void CMainDlg::OnScp1Retry() {
    bool heldOpen = false;
    std::string error;
    if (image_.SaveBitmapFile("Scp1.bmp", &error, &heldOpen)) {
        seriesStatus_.scp1Stale = false;
    } else if (heldOpen && ++scp1Tries_ < kScp1Tries) {
        return; // the timer tries again
    }
    // Replaced, or it stays as it is until the next print replaces it.
    ::KillTimer(Handle(), kScp1Timer);
    ShowCount();
}

} // namespace krt460::ui
