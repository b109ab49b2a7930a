#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

namespace krt460::web {

struct GalleryOptions {
    std::string dir;
    std::string host = "127.0.0.1";
    int port = 8460; // 0: any free port
    // Each browser with the gallery open holds one worker with its event stream (its tabs share
    // it); the rest serve pictures.
    std::size_t maxStreams = 16;
    std::size_t workers = 48;
    // How often an idle event stream sends a comment, so that a proxy between keeps it open.
    std::chrono::milliseconds keepAlive{15000};
    std::size_t pageSize = 60;
};

// The read-only gallery of the captures in DIR and its direct subfolders: the page, the list
// of captures, their files (only those in its index, only inside DIR) and an event stream
// that tells every open page of each capture that comes, changes or goes.
class GalleryServer {
public:
    GalleryServer(GalleryOptions options, std::ostream& log);
    ~GalleryServer();
    GalleryServer(const GalleryServer&) = delete;
    GalleryServer& operator=(const GalleryServer&) = delete;

    // Looks at DIR, starts watching it and listens; false with what failed and the system's
    // words in `error`.
    bool Start(std::string& error);
    // The port listened on (the one chosen, for port 0).
    int Port() const;
    // Ends every event stream and joins the server's workers.
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace krt460::web
