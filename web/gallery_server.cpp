#include "web/gallery_server.h"

#include "image/bmp_reader.h"
#include "image/picture_output.h"
#include "image/png_encoder.h"
#include "web/capture_index.h"
#include "web/event_hub.h"
#include "web/file_access.h"
#include "web/folder_watcher.h"
#include "web/gallery_json.h"
#include "web/gallery_page.h"
#include "web/request_target.h"

#include <httplib.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace krt460::web {
namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

// The page loads nothing but from here; nothing may frame it.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; worker-src 'self'; "
    "style-src 'self'; img-src 'self'; connect-src 'self'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";

// A request is a GET of a short target, with headers of at most 8 KiB together: anything
// longer is no URL the gallery makes. (httplib refuses any line over 8 KiB by itself.)
constexpr std::size_t kTargetLimit = 2048;
constexpr std::size_t kHeaderLimit = 8192;
// Pictures are at most 1280 x 1280 one-bit pixels, records and raw bytes a few KiB.
constexpr std::size_t kFileLimit = 1024 * 1024;
// A record is a few hundred bytes; anything much larger is not one.
constexpr std::size_t kRecordLimit = 64 * 1024;
// How soon an event stream notices that its page went away.
constexpr std::chrono::milliseconds kPeerCheck{250};

void Text(Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(text, "text/plain; charset=utf-8");
}

// A URL with the file's version names those bytes for ever; without it they may change.
void SetCaching(Response& res, const Target& target, const FileFacts& facts) {
    const auto version = target.query.find("v");
    res.set_header("Cache-Control",
                   version != target.query.end() && version->second == VersionOf(facts)
                       ? "public, max-age=31536000, immutable"
                       : "no-cache");
}

void NotAllowed(Response& res) {
    res.set_header("Allow", "GET, HEAD");
    Text(res, 405, "The gallery is read-only: GET and HEAD only.\n");
}

const char* ContentTypeOf(CaptureFileKind kind) {
    switch (kind) {
    case CaptureFileKind::Bmp:
        return "image/bmp";
    case CaptureFileKind::Png:
        return "image/png";
    case CaptureFileKind::Record:
        return "application/json";
    case CaptureFileKind::Raw:
    case CaptureFileKind::Partial:
        break;
    }
    return "application/octet-stream";
}

} // namespace

class GalleryServer::Impl {
public:
    Impl(GalleryOptions options, std::ostream& log)
        : options_(std::move(options)), hub_(options_.maxStreams), log_(log) {}

    bool Start(std::string& error);
    void Stop();
    int port_ = 0;

private:
    HandlerResponse Answer(const Request& req, Response& res);
    void Respond(const Request& req, Response& res);
    void ServeFile(const Target& target, Response& res);
    void ServePng(const Target& target, Response& res);
    void ServeList(const Target& target, Response& res);
    void ServeEvents(Response& res);
    void Publish(const std::vector<Change>& changes);
    // The capture with its record, read now: the index keeps none.
    Capture WithRecord(Capture capture) const;
    std::string PathOf(const Capture& capture, CaptureFileKind kind) const;
    // A capture's file, read through the index: no text of the request is a path. `facts` gets
    // its version.
    std::optional<std::string> Read(const std::string& folder, const std::string& base,
                                    CaptureFileKind kind, FileFacts& facts) const;

    const GalleryOptions options_;
    std::string root_; // DIR's real path, taken once
    CaptureIndex index_;
    EventHub hub_;
    std::ostream& log_;
    std::unique_ptr<FolderWatcher> watcher_;
    httplib::Server server_;
    std::thread thread_;
};

bool GalleryServer::Impl::Start(std::string& error) {
    const std::unique_ptr<char, decltype(&std::free)> real(
        ::realpath(options_.dir.c_str(), nullptr), &std::free);
    if (!real) {
        error = "cannot serve '" + options_.dir + "': " + std::strerror(errno);
        return false;
    }
    root_ = real.get();
    watcher_ = std::make_unique<FolderWatcher>(
        root_, index_, [this](const std::vector<Change>& changes) { Publish(changes); }, log_);
    std::string why;
    if (!watcher_->Start(why)) {
        error = "cannot serve '" + options_.dir + "': " + why;
        return false;
    }
    // A client that goes away mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    const std::size_t workers = options_.workers;
    server_.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    // Not httplib's default SO_REUSEPORT: a second server on the same address must fail, not
    // share the port and answer every other request.
    server_.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_tcp_nodelay(true);     // an answer goes out whole at once, not after a delayed ACK
    server_.set_keep_alive_timeout(3); // an idle connection holds a worker: close it soon
    server_.set_keep_alive_max_count(100);
    server_.set_read_timeout(5);
    server_.set_write_timeout(5);
    server_.set_payload_max_length(0);
    server_.set_default_headers({{"Content-Security-Policy", kPolicy},
                                 {"X-Content-Type-Options", "nosniff"},
                                 {"Referrer-Policy", "no-referrer"},
                                 {"Cross-Origin-Resource-Policy", "same-origin"}});
    // Every request is answered here, before httplib's routing: that sees only the methods it
    // knows, and matches the decoded path, in which %2f is already a "/".
    server_.set_pre_routing_handler(
        [this](const Request& req, Response& res) { return Answer(req, res); });
    // A method httplib does not know fails its parse (400) and comes here with its name.
    server_.set_error_handler(
        httplib::Server::HandlerWithResponse([](const Request& req, Response& res) {
            if (res.status != 400 || req.method.empty() || req.method == "GET" ||
                req.method == "HEAD") {
                return HandlerResponse::Unhandled;
            }
            NotAllowed(res);
            res.set_header("Connection", "close"); // what follows the line was not read
            return HandlerResponse::Handled;
        }));
    errno = 0;
    port_ = options_.port == 0
                ? server_.bind_to_any_port(options_.host)
                : (server_.bind_to_port(options_.host, options_.port) ? options_.port : -1);
    if (port_ < 0) {
        error = "cannot listen on " + options_.host + " port " + std::to_string(options_.port) +
                ": " + (errno != 0 ? std::strerror(errno) : "no such address");
        watcher_->Stop();
        return false;
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // A stop before the server runs would be lost, and its thread never end: Start returns only
    // once it runs.
    for (int i = 0; i < 5000 && !server_.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void GalleryServer::Impl::Stop() {
    hub_.Stop(); // first: the server joins its workers, and each stream holds one
    if (thread_.joinable()) {
        server_.stop();
        thread_.join();
    }
    if (watcher_) {
        watcher_->Stop();
    }
}

void GalleryServer::Impl::Publish(const std::vector<Change>& changes) {
    for (const Change& change : changes) {
        if (change.removed) {
            hub_.Publish("removed", "{\"key\":" + JsonString(change.capture.Key()) + "}");
        } else {
            hub_.Publish("capture", CaptureJson(WithRecord(change.capture)));
        }
    }
}

std::string GalleryServer::Impl::PathOf(const Capture& capture, CaptureFileKind kind) const {
    return root_ + (capture.folder.empty() ? "" : "/" + capture.folder) + "/" +
           capture.FileName(kind);
}

Capture GalleryServer::Impl::WithRecord(Capture capture) const {
    if (capture.File(CaptureFileKind::Record)) {
        if (const auto json =
                ReadInside(root_, PathOf(capture, CaptureFileKind::Record), kRecordLimit)) {
            capture.record = RecordFromJson(*json);
        }
    }
    return capture;
}

HandlerResponse GalleryServer::Impl::Answer(const Request& req, Response& res) {
    Respond(req, res);
    if (res.status >= 400) {
        // httplib cuts every answer to the request's ranges, an error's text too: an error is
        // sent whole. (The request is httplib's own, not const: it only hands it out as such.)
        const_cast<Request&>(req).ranges.clear();
    }
    return HandlerResponse::Handled;
}

void GalleryServer::Impl::Respond(const Request& req, Response& res) {
    if (req.method != "GET" && req.method != "HEAD") {
        NotAllowed(res);
        return;
    }
    std::size_t headerBytes = 0;
    for (const auto& [name, value] : req.headers) {
        headerBytes += name.size() + value.size() + 4;
    }
    if (req.target.size() > kTargetLimit) {
        Text(res, 414, "The request's target is too long.\n");
        return;
    }
    if (headerBytes > kHeaderLimit) {
        Text(res, 431, "The request's headers are too large.\n");
        return;
    }
    // One range at most, and only of a file: many ranges of one picture would make one request
    // into megabytes of answer.
    if (req.ranges.size() > 1) {
        Text(res, 416, "One range at a time.\n");
        return;
    }
    if (req.get_header_value<std::uint64_t>("Content-Length") > 0 ||
        req.has_header("Transfer-Encoding")) {
        // The body is not read: the connection cannot go on after it.
        res.set_header("Connection", "close");
        Text(res, 413, "A GET has no body.\n");
        return;
    }
    const Target target = ReadTarget(req.target);
    switch (target.route) {
    case Route::Page:
        res.set_header("Cache-Control", "no-cache");
        res.set_content(kGalleryHtml.data(), kGalleryHtml.size(), "text/html; charset=utf-8");
        break;
    case Route::Script:
        res.set_header("Cache-Control", "no-cache");
        res.set_content(kGalleryScript.data(), kGalleryScript.size(),
                        "text/javascript; charset=utf-8");
        break;
    case Route::Worker:
        res.set_header("Cache-Control", "no-cache");
        res.set_content(kGalleryWorker.data(), kGalleryWorker.size(),
                        "text/javascript; charset=utf-8");
        break;
    case Route::Style:
        res.set_header("Cache-Control", "no-cache");
        res.set_content(kGalleryStyle.data(), kGalleryStyle.size(), "text/css; charset=utf-8");
        break;
    case Route::Captures:
        ServeList(target, res);
        break;
    case Route::Events:
        ServeEvents(res);
        break;
    case Route::File:
        ServeFile(target, res);
        break;
    case Route::Png:
        ServePng(target, res);
        break;
    case Route::None:
        Text(res, 404, "Not found.\n");
        break;
    }
}

std::optional<std::string> GalleryServer::Impl::Read(const std::string& folder,
                                                     const std::string& base, CaptureFileKind kind,
                                                     FileFacts& facts) const {
    const std::optional<Capture> capture = index_.Find(folder, base);
    if (!capture || !capture->File(kind)) {
        return std::nullopt;
    }
    facts = *capture->File(kind);
    return ReadInside(root_, PathOf(*capture, kind), kFileLimit);
}

void GalleryServer::Impl::ServeFile(const Target& target, Response& res) {
    const std::optional<CaptureName> name = ParseCaptureName(target.name);
    FileFacts facts;
    std::optional<std::string> bytes =
        name ? Read(target.folder, name->Base(), name->kind, facts) : std::nullopt;
    if (!bytes) {
        Text(res, 404, "Not found.\n");
        return;
    }
    SetCaching(res, target, facts);
    if (name->kind == CaptureFileKind::Raw || name->kind == CaptureFileKind::Partial) {
        res.set_header("Content-Disposition", "attachment; filename=\"" + target.name + "\"");
    }
    res.set_content(std::move(*bytes), ContentTypeOf(name->kind));
}

void GalleryServer::Impl::ServePng(const Target& target, Response& res) {
    int scale = 1;
    if (const auto asked = target.query.find("scale"); asked != target.query.end()) {
        const std::string& text = asked->second;
        if (text.size() != 1 || text[0] < '1' || text[0] > '8') {
            Text(res, 400, "scale takes 1 to 8.\n");
            return;
        }
        scale = text[0] - '0';
    }
    FileFacts facts;
    const std::optional<std::string> bmp =
        Read(target.folder, target.name, CaptureFileKind::Bmp, facts);
    CScreenImage image;
    if (!bmp || !ReadScreenBitmap(
                    std::span(reinterpret_cast<const std::uint8_t*>(bmp->data()), bmp->size()),
                    image.Rows())) {
        Text(res, 404, "Not found.\n");
        return;
    }
    const ScaledPicture picture = ScalePicture(image, scale);
    std::vector<std::uint8_t> png;
    std::string error;
    if (!EncodePng(picture.width, picture.height, picture.rows, png, error)) {
        Text(res, 500, error + "\n");
        return;
    }
    SetCaching(res, target, facts);
    res.set_content(std::string(png.begin(), png.end()), "image/png");
}

void GalleryServer::Impl::ServeList(const Target& target, Response& res) {
    ListingPage asked;
    asked.pageSize = options_.pageSize;
    if (const auto page = target.query.find("page"); page != target.query.end()) {
        char* end = nullptr;
        const unsigned long number = std::strtoul(page->second.c_str(), &end, 10);
        if (page->second.empty() || *end != '\0' || number < 1 || number > 1000000) {
            Text(res, 400, "page takes a number from 1.\n");
            return;
        }
        asked.page = number - 1;
    }
    if (const auto folder = target.query.find("folder"); folder != target.query.end()) {
        asked.folder = folder->second;
    }
    Listing listing = index_.List(asked.folder, asked.page, asked.pageSize);
    for (Capture& capture : listing.captures) {
        capture = WithRecord(std::move(capture));
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(ListingJson(listing, index_.Folders(), asked), "application/json");
}

void GalleryServer::Impl::ServeEvents(Response& res) {
    std::shared_ptr<EventHub::Stream> stream = hub_.Open();
    if (!stream) {
        res.set_header("Retry-After", "30");
        Text(res, 503,
             "At most " + std::to_string(hub_.MaxStreams()) +
                 " pages get live updates at once; close one, this one tries again in 30 s.\n");
        return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no"); // a reverse proxy passes each event at once
    // httplib learns that a client went only when a write fails, which may be long after: the
    // stream looks every quarter second whether its peer hung up, so that a page closed or
    // reloaded frees its place at once.
    const auto keepAlive = options_.keepAlive;
    auto quietSince = std::chrono::steady_clock::now();
    // Exactly "text/event-stream": httplib compresses text/* but that, and an event would wait
    // in the compressor.
    res.set_chunked_content_provider(
        "text/event-stream",
        [stream, keepAlive, quietSince](std::size_t offset, httplib::DataSink& sink) mutable {
            if (offset == 0) {
                static const std::string kHello = "retry: 2000\n: the gallery's events\n\n";
                return sink.write(kHello.data(), kHello.size());
            }
            std::string text;
            for (;;) {
                switch (stream->Next(kPeerCheck, text)) {
                case EventHub::Stream::Wake::Events:
                    quietSince = std::chrono::steady_clock::now();
                    return sink.write(text.data(), text.size());
                case EventHub::Stream::Wake::Idle:
                    if (!sink.is_writable()) {
                        return false;
                    }
                    if (std::chrono::steady_clock::now() - quietSince >= keepAlive) {
                        quietSince = std::chrono::steady_clock::now();
                        return sink.write(": keep-alive\n\n", 14);
                    }
                    continue;
                case EventHub::Stream::Wake::Stopped:
                    break;
                }
                return false;
            }
        });
}

GalleryServer::GalleryServer(GalleryOptions options, std::ostream& log)
    : impl_(std::make_unique<Impl>(std::move(options), log)) {}

GalleryServer::~GalleryServer() {
    Stop();
}

bool GalleryServer::Start(std::string& error) {
    return impl_->Start(error);
}

int GalleryServer::Port() const {
    return impl_->port_;
}

void GalleryServer::Stop() {
    impl_->Stop();
}

} // namespace krt460::web
