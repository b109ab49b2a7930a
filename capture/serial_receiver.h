#pragma once

#include "capture/capture_buffer.h"
#include "capture/serial_port.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace krt460 {

enum class LampState { Idle, Receiving, Received };

inline constexpr const char* kOpenPortFailedMessage = "Error: Open COM port!";

// How a capture ended.
enum class CaptureEnd {
    Complete, // all 3328 bytes arrived
    PortLost, // the device went away (adapter unplugged, line hung up); the bytes so far kept
    Stopped,  // Stop() cut it short
};

// What StartReceive did.
enum class StartOutcome { Started, OpenFailed, WorkerFailed };
struct StartResult {
    StartOutcome outcome = StartOutcome::Started;
    PortError error; // why the port could not be opened
};

// Whether the port stays open after a complete frame, so that the next print's bytes are kept.
enum class AfterFrame { ClosePort, KeepPortOpen };

// What the receiver needs of its owner, and nothing more.
class IReceiverOwner {
public:
    // From the thread that calls StartReceive.
    virtual void SetLamp(LampState state) = 0;
    // From the worker: store the state and ask for a repaint; touch no window.
    virtual void StoreLampAndRepaint(LampState state) = 0;

protected:
    ~IReceiverOwner() = default;
};

// Receives one hardcopy: opens and configures the port, then a worker thread stores byte after
// byte in the capture buffer until the frame is complete, judges the end marker and closes the
// port. One worker at a time; destroying the receiver stops and joins it.
class CSerialReceiver {
public:
    using PortOpener = std::function<OpenResult(const std::string&)>;
    using ThreadLauncher = std::function<std::thread(std::function<void()>)>;

    explicit CSerialReceiver(IReceiverOwner& owner,
                             CCaptureBuffer& capture = CCaptureBuffer::Instance(),
                             PortOpener openPort = OpenSerialPort,
                             ThreadLauncher launchThread = nullptr);
    ~CSerialReceiver();
    CSerialReceiver(const CSerialReceiver&) = delete;
    CSerialReceiver& operator=(const CSerialReceiver&) = delete;

    // Resets the count, opens the port and starts a worker. A failed open changes nothing else:
    // a worker still reading goes on.
    StartResult StartReceive(const std::string& portName,
                             AfterFrame afterFrame = AfterFrame::ClosePort);

    // After a complete frame received with KeepPortOpen: resets the count and reads the next
    // frame from the same port, without a flush, so that bytes that came meanwhile are its start.
    StartResult ReceiveNext();

    // Stops a worker that is still reading and waits until it has closed its port.
    void Stop();

    // Waits until the worker has ended or `timeout` has passed; true when no worker runs.
    bool WaitUntilFinished(std::chrono::milliseconds timeout);

    bool IsWorking() const;

    // How the last worker ended; nothing while it runs, before the first or after Stop().
    std::optional<CaptureEnd> LastEnd() const;

private:
    struct Worker;
    StartResult Launch(std::unique_ptr<SerialPort> port, AfterFrame afterFrame);
    void ReceiveWorker(Worker& worker);

    IReceiverOwner& owner_;
    CCaptureBuffer& capture_;
    PortOpener openPort_;
    ThreadLauncher launchThread_;
    std::unique_ptr<Worker> worker_;
};

} // namespace krt460
