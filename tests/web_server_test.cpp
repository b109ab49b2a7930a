#include "test_files.h"
#include "web/gallery_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace krt460::web {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One connection to the gallery, spoken to in plain bytes: a target goes out as it is written.
class Connection {
public:
    explicit Connection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Connection() { ::close(fd_); }

    void Send(const std::string& request) {
        ASSERT_TRUE(connected_);
        ASSERT_EQ(::write(fd_, request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
    }
    // Reads until `done` says so, the end, or 10 s without a byte.
    bool ReadUntil(const std::function<bool(const std::string&)>& done) {
        char buffer[65536];
        pollfd ready{fd_, POLLIN, 0};
        for (ssize_t got = 0; !done(received_); received_.append(buffer, std::size_t(got))) {
            if (::poll(&ready, 1, 10000) <= 0 || (got = ::read(fd_, buffer, sizeof buffer)) <= 0) {
                return false;
            }
        }
        return true;
    }
    bool ReadUntil(const std::string& text) {
        return ReadUntil([&](const std::string& got) { return got.find(text) != got.npos; });
    }
    const std::string& Received() const { return received_; }

    // A page's event stream, opened and answered.
    static std::unique_ptr<Connection> Events(int port, const std::string& headers = "") {
        auto events = std::make_unique<Connection>(port);
        events->Send("GET /events HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n");
        events->ReadUntil("\r\n\r\n");
        return events;
    }

private:
    int fd_;
    bool connected_ = false;
    std::string received_;
};

struct Answer {
    int status = 0;
    std::string head, body;
};

class Gallery : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "sub");
        fs::copy_file(KRT460_SAMPLE_BMP, dir_ / "20261208-101500.bmp");
        fs::copy_file(KRT460_SAMPLE_BMP, dir_ / "sub" / "20261208-101501.bmp");
        // Beside DIR: never served, by whatever name.
        test::WriteFileBytes(scratch_.Path() / "20261208-101500.bmp", "SECRET");
        fs::create_symlink("../20261208-101500.bmp", dir_ / "20261208-101502.bmp");
        fs::create_directory_symlink(scratch_.Path(), dir_ / "out");
        test::WriteFileBytes(dir_ / "Scp1.bmp", "SECRET");
        test::WriteFileBytes(dir_ / ".20261208-101503.bmp", "SECRET");
        server_ = std::make_unique<GalleryServer>(
            GalleryOptions{.dir = dir_.string(), .port = 0, .maxStreams = 2}, log_);
        std::string error;
        ASSERT_TRUE(server_->Start(error)) << error;
    }

    Answer Get(const std::string& target, const std::string& method = "GET",
               const std::string& headers = "") {
        Connection connection(server_->Port());
        connection.Send(method + " " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" +
                        headers + "\r\n");
        // One answer, however the connection goes on.
        Answer answer;
        connection.ReadUntil([&](const std::string& text) {
            const std::size_t end = text.find("\r\n\r\n");
            const std::size_t length = text.find("Content-Length: ");
            if (end == text.npos || length == text.npos) {
                return false;
            }
            answer.head = text.substr(0, end);
            answer.body = text.substr(end + 4);
            const auto size = method == "HEAD" ? 0 : std::stoul(text.substr(length + 16));
            answer.body.resize(std::min<std::size_t>(answer.body.size(), size));
            return answer.body.size() == size;
        });
        std::istringstream(answer.head.substr(answer.head.find(' ') + 1)) >> answer.status;
        return answer;
    }

    test::ScratchDir scratch_;
    fs::path dir_ = scratch_.Path() / "dir";
    std::ostringstream log_;
    std::unique_ptr<GalleryServer> server_;
};

TEST_F(Gallery, NoTargetReadsAFileThatIsNoCaptureInDir) {
    const auto bytes = test::ReadFileBytes(KRT460_SAMPLE_BMP);
    const std::string sample(bytes.begin(), bytes.end());
    EXPECT_EQ(Get("/files/20261208-101500.bmp").body, sample);
    // Never served: 101502 is a link out of DIR, out/ a folder link out of it.
    std::istringstream targets(
        "/files/../20261208-101500.bmp /files/%2e%2e/20261208-101500.bmp "
        "/files/%2E%2E%2F20261208-101500.bmp /files/..%2f20261208-101500.bmp "
        "/files/sub%2f..%2f..%2f20261208-101500.bmp /files/sub/../../20261208-101500.bmp "
        "/files/./20261208-101500.bmp /files/%252e%252e/20261208-101500.bmp "
        "/files/20261208-101500.bmp%00.txt /files/sub/%00 //files/20261208-101500.bmp "
        "/files//20261208-101500.bmp /files/%2fetc%2fpasswd /etc/passwd "
        "http://x/files/../20261208-101500.bmp /files/20261208-101502.bmp "
        "/files/out/20261208-101500.bmp /png/out/20261208-101500.png "
        "/png/..%2f20261208-101500.png /files/Scp1.bmp /files/.20261208-101503.bmp "
        "/files/20261208-101500.BMP /files/20261208-101500.bmp/ "
        "/files/nosuch/20261208-101500.bmp");
    for (std::string target; targets >> target;) {
        const Answer answer = Get(target);
        EXPECT_TRUE(answer.status == 404 && answer.body == "Not found.\n") << target;
    }
    const std::string list = Get("/captures").body;
    EXPECT_NE(list.find("\"total\":2"), std::string::npos) << list;
    EXPECT_EQ(list.find("101502"), std::string::npos) << list;
    EXPECT_EQ(list.find("\"out\""), std::string::npos) << list;
}

TEST_F(Gallery, AnswersOnlyGetAndHeadWithHeadersThatFit) {
    for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH", "PROPFIND", "FOO"}) {
        const Answer answer = Get("/", method);
        EXPECT_EQ(answer.status, 405) << method;
        EXPECT_NE(answer.head.find("Allow: GET, HEAD"), std::string::npos) << method;
    }
    const Answer page = Get("/");
    EXPECT_EQ(page.status, 200);
    for (const char* header : {"Content-Security-Policy: default-src 'none'; script-src 'self'",
                               "X-Content-Type-Options: nosniff", "Cache-Control: no-cache"}) {
        EXPECT_NE(page.head.find(header), std::string::npos) << header << "\n" << page.head;
    }
    EXPECT_EQ(Get("/", "HEAD").status, 200);
    // The URL the list gives a picture names its version: cached for ever.
    const std::string list = Get("/captures?folder=sub").body;
    const std::size_t at = list.find("/files/sub/20261208-101501.bmp?v=");
    ASSERT_NE(at, std::string::npos) << list;
    const Answer picture = Get(list.substr(at, list.find('"', at) - at));
    EXPECT_NE(picture.head.find("immutable"), std::string::npos) << picture.head;
    EXPECT_NE(picture.head.find("Content-Type: image/bmp"), std::string::npos);
    EXPECT_EQ(Get("/png/sub/20261208-101501.png?scale=9").status, 400);
    EXPECT_NE(Get("/png/sub/20261208-101501.png?scale=2").head.find("image/png"),
              std::string::npos);
    EXPECT_EQ(Get("/" + std::string(3000, 'a')).status, 414);
    EXPECT_EQ(Get("/", "GET", "Content-Length: 5\r\n").status, 413);
    // An error is answered whole, never cut to the ranges asked for.
    const Answer ranges = Get("/files/nosuch.bmp", "GET", "Range: bytes=0-1,4-5\r\n");
    EXPECT_EQ(ranges.status, 416);
    EXPECT_EQ(ranges.body, "One range at a time.\n");
    EXPECT_EQ(Get("/files/nosuch.bmp", "GET", "Range: bytes=0-2\r\n").body, "Not found.\n");
}

TEST_F(Gallery, EveryOpenPageHearsOfEachWayAFileComesAndGoes) {
    // A compressed stream would hold its events back.
    const auto events =
        Connection::Events(server_->Port(), "Accept-Encoding: gzip, br, deflate\r\n");
    ASSERT_NE(events->Received().find("200 OK"), std::string::npos);
    EXPECT_EQ(events->Received().find("Content-Encoding"), std::string::npos);
    const std::string bmp = "BM and more";
    // Temporary and hidden names first: never told.
    test::WriteFileBytes(dir_ / ".20261208-110000.bmp.XXXXXX", bmp);
    test::WriteFileBytes(dir_ / "krt0001.tmp", bmp);
    fs::rename(dir_ / ".20261208-110000.bmp.XXXXXX", dir_ / "20261208-110000.bmp");
    EXPECT_TRUE(events->ReadUntil("\"key\":\"/20261208-110000\"")) << "renamed in";
    test::WriteFileBytes(dir_ / ".link", bmp);
    fs::create_hard_link(dir_ / ".link", dir_ / "20261208-110001.bmp");
    fs::remove(dir_ / ".link");
    EXPECT_TRUE(events->ReadUntil("\"key\":\"/20261208-110001\"")) << "linked in";
    test::WriteFileBytes(dir_ / "20261208-110002.bin", std::string(3328, 'x'));
    EXPECT_TRUE(events->ReadUntil("\"verdict\":\"undecodable\"")) << "written in place";
    fs::create_directory(dir_ / "new bench");
    test::WriteFileBytes(dir_ / "new bench" / "20261208-110003.partial.bin", "x");
    EXPECT_TRUE(events->ReadUntil("\"folder\":\"new bench\"")) << "a folder added while running";
    fs::remove(dir_ / "20261208-110000.bmp");
    EXPECT_TRUE(events->ReadUntil("event: removed\ndata: {\"key\":\"/20261208-110000\"}"));
    EXPECT_EQ(events->Received().find("krt0001"), std::string::npos);
    EXPECT_EQ(events->Received().find(".20261208-110000"), std::string::npos);
    EXPECT_NE(Get("/captures").body.find("\"new bench\""), std::string::npos);
    EXPECT_EQ(Get("/files/new%20bench/20261208-110003.partial.bin").body, "x");
}

// A second gallery on the same address fails to start rather than share the port.
TEST_F(Gallery, ASecondGalleryFailsStreamsBeyondTheLimitAreRefusedAndStopWakesEveryStream) {
    GalleryServer second(GalleryOptions{.dir = dir_.string(), .port = server_->Port()}, log_);
    std::string error;
    EXPECT_FALSE(second.Start(error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    std::vector<std::unique_ptr<Connection>> streams;
    streams.push_back(Connection::Events(server_->Port()));
    streams.push_back(Connection::Events(server_->Port()));
    const Answer refused = Get("/events");
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("At most 2 pages"), std::string::npos) << refused.body;
    // A page closed frees its place within a second, long before a keep-alive would fail.
    streams.pop_back();
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    std::string answer;
    while (answer.find("200 OK") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        answer = Connection::Events(server_->Port())->Received(); // each try a new page
    }
    EXPECT_NE(answer.find("200 OK"), std::string::npos) << answer;
    const auto start = std::chrono::steady_clock::now();
    server_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "a stream kept the server";
}

} // namespace
} // namespace krt460::web
