#include "cli/capture_session.h"
#include "cli/console.h"
#include "cli/serve_command.h"
#include "web/gallery_server.h"

#include <chrono>
#include <iostream>

namespace krt460::cli {

ExitCode RunServe(const ServeOptions& options) {
    BindAddress address;
    ParseBindAddress(options.bind, address); // checked with the command line
    web::GalleryOptions gallery;
    gallery.dir = options.dir;
    gallery.host = address.host;
    gallery.port = address.port;
    const SignalGuard signalGuard;
    web::GalleryServer server(gallery, std::cerr);
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "error: " << error << '\n';
        return kExitFailure;
    }
    const bool v6 = address.host.find(':') != std::string::npos;
    const std::string url = "http://" + (v6 ? "[" + address.host + "]" : address.host) + ":" +
                            std::to_string(server.Port()) + "/";
    std::cerr << "Serving the captures in " << options.dir << " at " << url
              << (IsLoopback(address.host)
                      ? " to this machine only (--bind 0.0.0.0:8460 serves the network)"
                      : " to the network: read-only and without a login, to anyone who reaches "
                        "this machine")
              << "; Ctrl-C ends" << std::endl;
    while (SleepUnlessSignalled(std::chrono::hours(1))) {
    }
    server.Stop();
    std::cerr << "Gallery stopped\n";
    return kExitOk;
}

} // namespace krt460::cli
