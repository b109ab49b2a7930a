#pragma once

#include "capture/print.h"
#include "image/screen_image.h"
#include "keep/capture_files.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace krt460 {

// The picture's file: its bytes from a decoded image, or false with the reason.
using PictureEncoder =
    std::function<bool(const CScreenImage&, std::vector<std::uint8_t>&, std::string&)>;

// The bytes of the prints a keeper holds in memory at most (some 1200 whole prints); a print
// beyond is only in the rescue folder.
constexpr std::size_t kHeldBytesLimit = std::size_t{4} << 20;
// The bytes of the copies a keeper leaves in the rescue folder at most: under a service a RAM
// disk that systemd and others need too. A print beyond, not held in memory, is lost.
constexpr std::size_t kRescueBytesLimit = std::size_t{16} << 20;
// How often held prints are tried again: a folder that takes no files now may soon again.
constexpr std::chrono::seconds kHeldRetryInterval{5};

struct KeeperOptions {
    std::string dir = "."; // empty: prints are judged and counted, nothing is written (a script
                           // keeps each print itself)
    std::string prefix;    // before each print's time stamp: "Scp_" for KRT460.exe's series
    std::string port;      // recorded with each print
    bool border = true;    // the one-pixel black ring
    bool rawBesidePicture = true; // the 3328 bytes as .bin beside every picture too
    std::string pictureExtension = ".bmp";
    PictureEncoder encodePicture; // none: the 3262-byte BMP
    // A print whose files cannot be written is held, to be written by Retry once the folder
    // takes files again (nobody may be there: listen); else it is NotWritten (someone watches).
    // Either way its bytes go at once to `rescueDir` (empty: RescueFolder()).
    bool hold = false;
    std::size_t holdAtMost = kHeldBytesLimit;
    std::string rescueDir;
    std::size_t rescueAtMost = kRescueBytesLimit;
    NewFileWriter writeFile = WriteNewFileAtomically; // a test puts faults in
};

enum class KeptAs {
    Nothing,    // no byte came
    Stray,      // noise, counted and not written
    Picture,    // 3328 bytes whose twenty bands decode; a missing marker is noted
    Raw,        // 3328 bytes that cannot be decoded: kept as .bin
    Partial,    // a print cut short (or with bytes added): kept as .partial.bin
    Held,       // its files could not be written (or prints before it wait): held for Retry
    NotWritten, // its files could not be written and it is not held: its bytes only in `rescued`
};

// What became of one print, for a face to put in its own words.
struct Kept {
    KeptAs as = KeptAs::Nothing;
    std::string file; // the picture, the .bin or the .partial.bin, as DIR/NAME (Held,
                      // NotWritten: the one that could not be written)
    std::size_t bytes = 0;
    CaptureEnd end = CaptureEnd::Complete;
    bool markerMissing = false;
    LineErrors lineErrors;
    std::string error;   // Held, NotWritten: the system's reason; empty when not tried
    std::string rescued; // Held, NotWritten: the copy of its bytes; empty when none could be made
    bool rescueFull = false; // no copy made: the rescue folder holds the most it may
    CScreenImage image;      // Picture: the decoded picture
};

// Keeps every print of a series by one rule, for every face: judges it, claims its names
// atomically (DIR/PREFIX + YYYYMMDD-HHMMSS, -2, -3, ... never replacing a file), writes it with
// its verdict record (BASE.json) and counts it.
class CCaptureKeeper {
public:
    explicit CCaptureKeeper(KeeperOptions options);

    Kept Keep(const Print& print);

    // Writes the held prints, oldest first, under the names and times they came with, for as
    // long as the folder takes them; what became of each one written.
    std::vector<Kept> Retry();
    std::size_t Held() const { return held_.size(); }
    std::size_t HeldWithoutCopy() const;
    // Takes up the copies a keeper of this prefix left in the rescue folder (it stopped while
    // holding them) as held prints, in the order of their names, as many as memory holds; each
    // is judged by its bytes and written under the time its name gives. How many it took up.
    // Only for a rescue folder of one's own: in a shared one, copies may be another's.
    std::size_t TakeUp();

    struct Counts {
        unsigned pictures = 0;
        unsigned unreadable = 0;
        unsigned partial = 0;
        unsigned strays = 0;
        std::size_t strayBytes = 0;
        unsigned lost = 0; // neither written nor copied
    };
    const Counts& Counted() const { return counts_; }
    const KeeperOptions& Options() const { return options_; }

private:
    struct HeldPrint {
        Print print;
        std::string rescued;
    };

    Kept Judge(const Print& print) const;
    bool Write(const Print& print, Kept& kept);
    void Count(KeptAs as);
    Kept NotWrittenHere(Kept kept, const Print& print);

    KeeperOptions options_;
    Counts counts_;
    std::deque<HeldPrint> held_;
    std::size_t heldBytes_ = 0;
    std::size_t rescuedBytes_ = 0; // of the copies in the rescue folder that are this keeper's
};

// Where the bytes of prints that cannot be written go at once: a service's runtime directory
// ($RUNTIME_DIRECTORY), which outlives it, else the temporary folder; empty when there is none.
std::string RescueFolder();

// Puts bytes that could not be kept where they belong into the system's temporary folder as
// krt460-YYYYMMDD-HHMMSS.bin; the file, or empty with the reason in `error`.
std::string KeepInTemporaryFolder(std::span<const std::uint8_t> bytes, std::string& error);

// How a print ended, as its record says it: "complete", "cut" (it ended without all its bytes,
// as the next print began), "stalled", "port-lost" or "stopped".
const char* CaptureEndName(CaptureEnd end, std::size_t bytes);

// What a print was kept as, as its record says it ("picture", "raw", "partial", "stray"); null
// for a print that is none of them (no byte came, or it waits to be written).
const char* KeptAsName(KeptAs as);

// The local time at `when` as 2026-12-08T10:15:00+01:00.
std::string LocalTimeIso8601(std::time_t when);

} // namespace krt460
