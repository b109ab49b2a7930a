// The extension _krt460: the core's decode, receive, series and keeper as Python values. Every
// rule stays in the core; this file only turns its values into Python ones. Waits release the
// GIL in slices of 50 ms and look for signals in between, so that Ctrl-C ends them at once and
// other threads run on. No thread of the core ever calls into Python.

#include "capture/serial_port.h"
#include "capture/serial_receiver.h"
#include "image/picture_output.h"
#include "keep/capture_keeper.h"
#include "keep/series.h"
#include "settings/settings_file.h"
#include "version.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;
using namespace krt460;

namespace {

constexpr std::chrono::milliseconds kSlice{50};

// The exception classes, made once by the module (see PYBIND11_MODULE).
PyObject* g_notAHardcopy = nullptr;
PyObject* g_portBusy = nullptr;
PyObject* g_portLost = nullptr;
PyObject* g_stalled = nullptr;

[[noreturn]] void Raise(PyObject* type, py::object instance) {
    PyErr_SetObject(type, instance.ptr());
    throw py::error_already_set();
}

// An OSError with the system's words; the core keeps no error number with them.
py::error_already_set OsError(const std::string& message) {
    PyErr_SetString(PyExc_OSError, message.c_str());
    return py::error_already_set();
}

// Throws error_already_set when a signal handler raised (KeyboardInterrupt).
void CheckSignals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

std::string PortOrDefault(const std::optional<std::string>& port) {
    if (!port) {
        return CSettingsFile::LoadSettings(kSettingsFileName).portName;
    }
    if (port->empty()) {
        throw py::value_error("needs a port name, not an empty one");
    }
    return *port;
}

bool BorderOrDefault(std::optional<bool> border) {
    return border ? *border : CSettingsFile::LoadSettings(kSettingsFileName).border;
}

// A port that could not be opened, as the OSError its error number names (FileNotFoundError,
// PermissionError with the remedy), or PortBusy.
[[noreturn]] void RaiseOpenFailed(const StartResult& started, const std::string& port) {
    if (started.outcome == StartOutcome::WorkerFailed) {
        throw std::runtime_error("cannot start the receive thread; the port is released");
    }
    const PortError& error = started.error;
    std::string message = error.Describe();
    const bool busy = error.code == EBUSY || error.code == EWOULDBLOCK;
    if (error.code == EACCES || error.code == EPERM) {
        message += "; join the group that owns the port (" + std::string(kPortGroupHint) +
                   "), then log in again";
    }
    py::object type = busy ? py::reinterpret_borrow<py::object>(g_portBusy)
                           : py::reinterpret_borrow<py::object>(PyExc_OSError);
    py::object instance = type(error.code, message, port);
    Raise(reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())), instance);
}

// The picture of one hardcopy. Its pixels (0 black, 1 white: the bit of the one-bit rows and of
// the BMP's palette) are unpacked when first asked for.
class Picture {
public:
    Picture(const CScreenImage& image, bool border) : image_(image), border_(border) {}

    const std::vector<std::uint8_t>& Pixels() {
        // Eight pixels a byte at once, from a table of every byte's eight.
        static const auto kSpread = [] {
            std::array<std::array<std::uint8_t, 8>, 256> spread{};
            for (std::size_t byte = 0; byte < spread.size(); ++byte) {
                for (std::size_t bit = 0; bit < 8; ++bit) {
                    spread[byte][bit] = static_cast<std::uint8_t>((byte >> (7 - bit)) & 1);
                }
            }
            return spread;
        }();
        if (pixels_.empty()) {
            pixels_.resize(static_cast<std::size_t>(kScreenWidth * kScreenHeight));
            auto pixel = pixels_.begin();
            for (const PixelRow& row : image_.Rows()) {
                for (const std::uint8_t byte : row) {
                    pixel = std::copy(kSpread[byte].begin(), kSpread[byte].end(), pixel);
                }
            }
        }
        return pixels_;
    }

    py::bytes Encode(const std::string& path, int scale) const {
        if (scale < 1 || scale > 8) {
            throw py::value_error("scale takes 1 to 8, not " + std::to_string(scale));
        }
        PictureOptions options;
        options.scale = scale;
        std::vector<std::uint8_t> bytes;
        std::string error;
        if (!EncodePicture(image_, path, options, bytes, error)) {
            throw std::runtime_error("cannot encode the picture: " + error);
        }
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }

    void Save(const std::filesystem::path& file, int scale) const {
        const std::string path = file.string();
        const std::string bytes = Encode(path, scale);
        std::string error;
        const std::span<const std::uint8_t> span(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        if (path == "-") {
            throw py::value_error("save takes a file name; png() and bmp() give the bytes");
        }
        if (!WriteOutput(path, span, error)) {
            throw OsError("cannot write '" + path + "': " + error);
        }
    }

    bool Border() const { return border_; }

private:
    CScreenImage image_;
    bool border_;
    std::vector<std::uint8_t> pixels_;
};

// One print as it came, judged by the keeper's rule.
class Capture {
public:
    Capture(Print print, const Kept& kept, std::string port, bool border)
        : print_(std::move(print)), as_(kept.as), port_(std::move(port)), border_(border) {
        if (as_ == KeptAs::Picture) {
            picture_ = std::make_shared<Picture>(kept.image, border_);
        }
    }

    py::bytes Data() const {
        return {reinterpret_cast<const char*>(print_.bytes.data()), print_.bytes.size()};
    }
    const char* End() const { return CaptureEndName(print_.end, print_.bytes.size()); }
    std::optional<std::string> KeptAs() const {
        const char* name = KeptAsName(as_);
        return name != nullptr ? std::optional<std::string>(name) : std::nullopt;
    }
    bool EndMarker() const { return print_.hasEndMarker; }
    std::optional<py::tuple> LineErrorsOf() const {
        const LineErrors& e = print_.lineErrors;
        if (!e.known) {
            return std::nullopt;
        }
        return py::make_tuple(e.framing, e.parity, e.overrun, e.breaks);
    }
    double Received() const {
        const auto at = print_.lastByteAt == std::chrono::system_clock::time_point{}
                            ? std::chrono::system_clock::now()
                            : print_.lastByteAt;
        return std::chrono::duration<double>(at.time_since_epoch()).count();
    }
    std::shared_ptr<Picture> PictureOf() const { return picture_; }
    const std::string& Port() const { return port_; }

    // Writes the print into `dir` as listen would: its names, its record; the paths written.
    std::vector<std::string> Keep(const std::filesystem::path& folder) const {
        const std::string dir = folder.string();
        if (dir.empty()) {
            throw py::value_error("needs a folder, not an empty one");
        }
        KeeperOptions options;
        options.dir = dir;
        options.port = port_;
        options.border = border_;
        Kept kept;
        {
            py::gil_scoped_release unlocked; // a write that flushes may take a while
            std::error_code ignored; // a folder that cannot be made fails the write, told below
            std::filesystem::create_directories(folder, ignored); // as listen makes its folder
            kept = CCaptureKeeper(options).Keep(print_);
        }
        if (kept.as == KeptAs::NotWritten) {
            std::string message = "cannot write '" + kept.file + "': " + kept.error;
            if (!kept.rescued.empty()) {
                message += "; its bytes are in " + kept.rescued;
            }
            throw OsError(message);
        }
        if (kept.file.empty()) {
            return {}; // nothing came, or noise: nothing to keep
        }
        const std::string raw = kept.as == KeptAs::Partial ? ".partial.bin" : ".bin";
        const std::string extension = kept.as == KeptAs::Picture ? ".bmp" : raw;
        const std::string base = kept.file.substr(0, kept.file.size() - extension.size());
        std::vector<std::string> paths{kept.file};
        if (kept.as == KeptAs::Picture) {
            paths.push_back(base + raw);
        }
        paths.push_back(base + ".json");
        return paths;
    }

private:
    Print print_;
    krt460::KeptAs as_;
    std::string port_;
    bool border_;
    std::shared_ptr<Picture> picture_;
};

Kept Judge(const Print& print, bool border) {
    KeeperOptions judging;
    judging.dir.clear();
    judging.border = border;
    return CCaptureKeeper(judging).Keep(print);
}

std::shared_ptr<Picture> Decode(const py::object& data, bool border) {
    if (py::isinstance<py::str>(data) || !PyObject_CheckBuffer(data.ptr())) {
        throw py::type_error("decode takes bytes-like data (bytes, bytearray, memoryview, a "
                             "uint8 array), not " +
                             std::string(Py_TYPE(data.ptr())->tp_name));
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        throw py::error_already_set();
    }
    const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> release(&view, PyBuffer_Release);
    if (view.itemsize != 1) {
        throw py::type_error("decode takes bytes, not items of " + std::to_string(view.itemsize) +
                             " bytes");
    }
    // Only the first 3328 bytes count, as when receiving.
    const std::span<const std::uint8_t> bytes(
        static_cast<const std::uint8_t*>(view.buf),
        std::min(static_cast<std::size_t>(view.len), kFrameLength));
    CScreenImage image;
    if (!image.Decode(bytes, border)) {
        Raise(g_notAHardcopy, py::reinterpret_borrow<py::object>(g_notAHardcopy)(
                                  "the bytes are not a complete hardcopy (twenty bands not "
                                  "found)"));
    }
    return std::make_shared<Picture>(image, border);
}

// One print, as `krt460 receive` takes it.
std::shared_ptr<Capture> Receive(const std::optional<std::string>& portName, double timeout,
                                 std::optional<bool> borderChoice) {
    const std::string port = PortOrDefault(portName);
    const bool border = BorderOrDefault(borderChoice);
    PrintQueue prints;
    CSerialReceiver receiver(prints);
    CaptureOptions receiving;
    receiving.stallTimeout = StallTimeout(timeout);
    StartResult started;
    {
        py::gil_scoped_release unlocked;
        started = receiver.StartReceive(port, receiving);
    }
    if (started.outcome != StartOutcome::Started) {
        RaiseOpenFailed(started, port);
    }
    std::optional<Print> print;
    for (;;) {
        {
            py::gil_scoped_release unlocked;
            print = prints.Wait(kSlice);
        }
        if (print) {
            break;
        }
        try {
            CheckSignals();
        } catch (...) {
            py::gil_scoped_release unlocked;
            receiver.Stop(); // the port is released before the exception goes on
            throw;
        }
    }
    const Kept kept = Judge(*print, border);
    auto capture = std::make_shared<Capture>(*print, kept, port, border);
    if (print->end == CaptureEnd::Stalled || print->end == CaptureEnd::PortLost) {
        const bool stalled = print->end == CaptureEnd::Stalled;
        const std::string message =
            stalled ? "no data for " + py::str(py::float_(timeout)).cast<std::string>() + " s on " +
                          port + " after " + std::to_string(print->bytes.size()) + " bytes"
                    : "port " + port + " lost (unplugged?) after " +
                          std::to_string(print->bytes.size()) + " of " +
                          std::to_string(kFrameLength) + " bytes";
        PyObject* type = stalled ? g_stalled : g_portLost;
        py::object instance = stalled
                                  ? py::reinterpret_borrow<py::object>(type)(message)
                                  : py::reinterpret_borrow<py::object>(type)(ENODEV, message, port);
        instance.attr("capture") = capture;
        Raise(type, instance);
    }
    return capture;
}

// Print after print through the core's series, which judges and counts and writes nothing: the
// script keeps what it wants. One caller at a time waits; close() from another thread ends the
// wait within a slice.
class Listener {
public:
    Listener(const std::optional<std::string>& portName, bool waitForPort, double timeout,
             std::optional<bool> borderChoice)
        : port_(PortOrDefault(portName)), border_(BorderOrDefault(borderChoice)) {
        SeriesOptions options;
        options.port = port_;
        options.stallTimeout = StallTimeout(timeout);
        options.keeping.dir.clear();
        options.keeping.border = border_;
        options.keeping.port = port_;
        series_ = std::make_unique<CSeries>(std::move(options));
        // A port not there yet is looked for again, in slices, until a signal says stop.
        bool interrupted = false;
        const auto keepWaiting = [&interrupted](const StartResult&) {
            const auto until = std::chrono::steady_clock::now() + kPortRetryInterval;
            while (std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(kSlice);
                py::gil_scoped_acquire locked;
                if (PyErr_CheckSignals() != 0) {
                    interrupted = true;
                    return false;
                }
            }
            return true;
        };
        StartResult started;
        {
            py::gil_scoped_release unlocked;
            started = series_->Start(waitForPort, keepWaiting);
        }
        if (interrupted) {
            throw py::error_already_set();
        }
        if (started.outcome != StartOutcome::Started) {
            RaiseOpenFailed(started, port_);
        }
    }

    ~Listener() {
        py::gil_scoped_release unlocked;
        Close();
    }

    // The next capture within `timeout` seconds (none: until one comes); None when none came.
    // StopIteration once closed.
    std::shared_ptr<Capture> Next(std::optional<double> timeout) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(timeout ? *timeout : 0.0));
        for (;;) {
            std::optional<SeriesOutcome> outcome;
            bool ended = false;
            {
                py::gil_scoped_release unlocked;
                const std::lock_guard<std::mutex> lock(mutex_);
                if (!series_) {
                    ended = true;
                } else if ((outcome = series_->Next(kSlice)) &&
                           outcome->event == SeriesEvent::Ended) {
                    series_.reset();
                    ended = true;
                }
            }
            if (ended) {
                throw py::stop_iteration();
            }
            // A lost port is waited for, as listen does; its coming and going is no capture.
            if (outcome && outcome->event == SeriesEvent::Kept) {
                return std::make_shared<Capture>(std::move(outcome->print), outcome->kept, port_,
                                                 border_);
            }
            try {
                CheckSignals();
            } catch (...) {
                py::gil_scoped_release unlocked;
                Close();
                throw;
            }
            if (timeout && std::chrono::steady_clock::now() >= deadline) {
                return nullptr;
            }
        }
    }

    // Stops the series and releases the port; a print under way is dropped.
    void Close() {
        const std::lock_guard<std::mutex> lock(mutex_);
        series_.reset();
    }

    const std::string& Port() const { return port_; }

private:
    std::string port_;
    bool border_;
    std::mutex mutex_;
    std::unique_ptr<CSeries> series_;
};

PyObject* NewException(py::module_& m, const char* name, PyObject* base, const char* doc) {
    PyObject* type =
        PyErr_NewExceptionWithDoc((std::string("krt460.") + name).c_str(), doc, base, nullptr);
    if (type == nullptr) {
        throw py::error_already_set();
    }
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

} // namespace

PYBIND11_MODULE(_krt460, m) {
    m.doc() = "The core of KRT460: decode, receive and listen (use the package krt460).";
    g_notAHardcopy = NewException(m, "NotAHardcopy", PyExc_ValueError,
                                  "The bytes are not a hardcopy whose twenty bands decode.");
    g_portBusy = NewException(m, "PortBusy", PyExc_OSError,
                              "The port is held by another program or by this one.");
    g_portLost = NewException(m, "PortLost", PyExc_OSError,
                              "The port went away during a receive (adapter unplugged); "
                              "`.capture` holds what came.");
    g_stalled = NewException(m, "Stalled", PyExc_TimeoutError,
                             "No byte came for the timeout during a receive; `.capture` holds "
                             "what came.");

    py::class_<Picture, std::shared_ptr<Picture>>(m, "Picture", py::buffer_protocol(),
                                                  "The 160 x 160 picture of one hardcopy.")
        .def_buffer([](Picture& picture) {
            const std::vector<std::uint8_t>& pixels = picture.Pixels();
            return py::buffer_info(const_cast<std::uint8_t*>(pixels.data()), 1,
                                   py::format_descriptor<std::uint8_t>::format(), 2,
                                   {kScreenHeight, kScreenWidth}, {kScreenWidth, 1}, true);
        })
        .def(
            "png", [](const Picture& p, int scale) { return p.Encode(".png", scale); },
            py::arg("scale") = 1, "The bytes of a 1-bit PNG, each dot scale x scale pixels.")
        .def(
            "bmp", [](const Picture& p, int scale) { return p.Encode(".bmp", scale); },
            py::arg("scale") = 1,
            "The bytes of the monochrome BMP (at scale 1 the program's own 3262-byte file).")
        .def("save", &Picture::Save, py::arg("path"), py::arg("scale") = 1,
             "Writes a PNG (path ending .png) or BMP, complete or not at all.")
        .def_property_readonly("border", &Picture::Border,
                               "Whether the one-pixel black ring is drawn.");

    py::class_<Capture, std::shared_ptr<Capture>>(m, "Capture", "One print as it came.")
        .def_property_readonly("data", &Capture::Data, "The bytes that came.")
        .def_property_readonly("end", &Capture::End,
                               "How it ended: complete, cut, stalled, port-lost or stopped.")
        .def_property_readonly("kept_as", &Capture::KeptAs,
                               "picture, raw, partial or stray; None when no byte came.")
        .def_property_readonly("end_marker", &Capture::EndMarker)
        .def_property_readonly("_line_errors", &Capture::LineErrorsOf)
        .def_property_readonly("_received", &Capture::Received)
        .def_property_readonly("picture", &Capture::PictureOf,
                               "The decoded Picture, or None when the bytes do not decode.")
        .def_property_readonly("port", &Capture::Port)
        .def("keep", &Capture::Keep, py::arg("dir"),
             "Writes it into dir as listen does (names, record); the paths written.");

    py::class_<Listener>(m, "Listener", "Print after print on one port; see krt460.listen.")
        .def(py::init<const std::optional<std::string>&, bool, double, std::optional<bool>>(),
             py::arg("port") = py::none(), py::arg("wait_for_port") = false,
             py::arg("timeout") = 10.0, py::arg("border") = py::none())
        .def("__iter__", [](Listener& self) -> Listener& { return self; })
        .def("__next__", [](Listener& self) { return self.Next(std::nullopt); })
        .def("next_within", &Listener::Next, py::arg("timeout"),
             "The next Capture within timeout seconds, or None; StopIteration once closed.")
        .def(
            "close",
            [](Listener& self) {
                py::gil_scoped_release unlocked;
                self.Close();
            },
            "Stops listening and releases the port.")
        .def("__enter__", [](Listener& self) -> Listener& { return self; })
        .def("__exit__",
             [](Listener& self, const py::args&) {
                 py::gil_scoped_release unlocked;
                 self.Close();
             })
        .def_property_readonly("port", &Listener::Port);

    m.def("decode", &Decode, py::arg("data"), py::arg("border") = true,
          "Decodes a hardcopy (any bytes-like object; the first 3328 bytes count) into a "
          "Picture; NotAHardcopy when its bands do not decode.");
    m.def("receive", &Receive, py::arg("port") = py::none(), py::arg("timeout") = 10.0,
          py::arg("border") = py::none(),
          "Receives one print as `krt460 receive` does (port None: the port in ./KRT460.ini, "
          "else COM1); timeout: seconds without a byte that end it, 0 waits for ever. Stalled "
          "or PortLost, with what came as `.capture`, when it ends short.");
    m.def("_ports", [] {
        std::vector<py::tuple> ports;
        for (const PortInfo& port : ListSerialPorts()) {
            ports.push_back(py::make_tuple(port.name, port.description, port.accessible));
        }
        return ports;
    });
    m.attr("FRAME_LENGTH") = kFrameLength;
    m.attr("__version__") = KRT460_VERSION;
}
