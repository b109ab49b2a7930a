#pragma once

#include "capture/print.h"
#include "image/screen_image.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace krt460 {

// The picture's file: its bytes from a decoded image, or false with the reason.
using PictureEncoder =
    std::function<bool(const CScreenImage&, std::vector<std::uint8_t>&, std::string&)>;

struct KeeperOptions {
    std::string dir = ".";
    std::string prefix;           // before each print's time stamp: "Scp_" for KRT460.exe's series
    std::string port;             // recorded with each print
    bool border = true;           // the one-pixel black ring
    bool rawBesidePicture = true; // the 3328 bytes as .bin beside every picture too
    std::string pictureExtension = ".bmp";
    PictureEncoder encodePicture; // none: the 3262-byte BMP
};

enum class KeptAs {
    Nothing,   // no byte came
    Stray,     // noise, counted and not written
    Picture,   // 3328 bytes whose twenty bands decode; a missing marker is noted
    Raw,       // 3328 bytes that cannot be decoded: kept as .bin
    Partial,   // a print cut short (or with bytes added): kept as .partial.bin
    NotWritten // its file could not be written; the bytes went to the temporary folder
};

// What became of one print, for a face to put in its own words.
struct Kept {
    KeptAs as = KeptAs::Nothing;
    std::string file; // the picture, the .bin or the .partial.bin, as DIR/NAME (NotWritten: the
                      // one that could not be)
    std::size_t bytes = 0;
    CaptureEnd end = CaptureEnd::Complete;
    bool markerMissing = false;
    LineErrors lineErrors;
    std::string error;   // NotWritten: the system's reason
    std::string rescued; // NotWritten: where the bytes are instead; empty when nowhere
    CScreenImage image;  // Picture: the decoded picture
};

// Keeps every print of a series by one rule, for every face: judges it, claims its names
// atomically (DIR/PREFIX + YYYYMMDD-HHMMSS, -2, -3, ... never replacing a file), writes it with
// its verdict record (BASE.json) and counts it.
class CCaptureKeeper {
public:
    explicit CCaptureKeeper(KeeperOptions options);

    Kept Keep(const Print& print);

    struct Counts {
        unsigned pictures = 0;
        unsigned unreadable = 0;
        unsigned partial = 0;
        unsigned strays = 0;
        std::size_t strayBytes = 0;
    };
    const Counts& Counted() const { return counts_; }
    const KeeperOptions& Options() const { return options_; }

private:
    KeeperOptions options_;
    Counts counts_;
};

// Puts bytes that could not be kept where they belong into the system's temporary folder as
// krt460-YYYYMMDD-HHMMSS.bin; the file, or empty with the reason in `error`.
std::string KeepInTemporaryFolder(std::span<const std::uint8_t> bytes, std::string& error);

// The local time at `when` as 2026-12-08T10:15:00+01:00.
std::string LocalTimeIso8601(std::time_t when);

} // namespace krt460
