#pragma once

#include "capture/capture_buffer.h"
#include "capture/serial_port.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace krt460 {

enum class LampState { Idle, Receiving, Received };

inline constexpr const char* kOpenPortFailedMessage = "Error: Open COM port!";

// What the receiver needs of its owner, and nothing more.
class IReceiverOwner {
public:
    virtual void ShowMessage(const std::string& text) = 0;
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

    void StartReceive(const std::string& portName);

    // Stops a worker that is still reading and waits until it has closed its port.
    void Stop();

    // Waits until the worker has ended or `timeout` has passed; true when no worker runs.
    bool WaitUntilFinished(std::chrono::milliseconds timeout);

    bool IsWorking() const;

    // Why the last StartReceive could not open its port.
    const PortError& LastOpenError() const { return lastOpenError_; }

private:
    struct Worker;
    void ReceiveWorker(Worker& worker);

    IReceiverOwner& owner_;
    CCaptureBuffer& capture_;
    PortOpener openPort_;
    ThreadLauncher launchThread_;
    PortError lastOpenError_;
    std::unique_ptr<Worker> worker_;
};

} // namespace krt460
