#pragma once

#include "keep/capture_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace krt460::web {

// What the gallery knows of one file: with its size, its time is the file's version.
struct FileFacts {
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds since the epoch

    bool operator==(const FileFacts&) const = default;
};

inline constexpr std::size_t kFileKinds = 5; // CaptureFileKind's values

// One print as the gallery shows it: the files of one base name in one folder, which may arrive
// in any order.
struct Capture {
    std::string folder; // a direct subfolder of DIR, or "" for DIR itself
    CaptureName name;   // its kind is of no account here
    std::array<std::optional<FileFacts>, kFileKinds> files;
    // From BASE.json, when it reads as one: read by whoever shows the capture, the index keeps
    // none (100,000 records would fill the service's memory).
    std::optional<CaptureRecord> record;

    const std::optional<FileFacts>& File(CaptureFileKind kind) const {
        return files[static_cast<std::size_t>(kind)];
    }
    std::string FileName(CaptureFileKind kind) const { return name.Base() + ExtensionOf(kind); }
    std::string Key() const { return folder + "/" + name.Base(); }
};

// What a capture amounts to, from its record where there is one, else from its files: a
// .partial.bin is a print cut short, a .bin alone one that could not be decoded.
enum class Verdict {
    Picture,     // a picture to show
    Awaited,     // the record names a picture that is not there (yet)
    CutShort,    // kept as .partial.bin
    Undecodable, // kept raw: no hardcopy
};
Verdict VerdictOf(const Capture& capture);

// A capture that came, changed, or went (`removed`: its last file is gone).
struct Change {
    bool removed = false;
    Capture capture;
};

// A file found by looking at a folder.
struct FoundFile {
    std::string name;
    FileFacts facts;
};

struct Listing {
    std::vector<Capture> captures; // newest first
    std::size_t total = 0;         // of the folder asked for, or of all
};

// Every capture in DIR and its direct subfolders, newest first (by the time in the name, then
// the number after it), kept in memory so that no request looks at the disk to list. Thread-safe:
// the watcher changes it while requests read it.
class CaptureIndex {
public:
    // A file is in place, new or rewritten; nothing when the capture is as it was.
    std::optional<Change> Put(const std::string& folder, const FoundFile& file);
    // A file went; nothing when it was not known.
    std::optional<Change> Remove(const std::string& folder, const std::string& fileName);
    // What a look at the whole folder found, in place of what was known of it; what came, changed
    // or went is added to `changes` where someone listens (at start nobody: 100,000 captures,
    // told whole, would take more memory than the index).
    void Replace(const std::string& folder, const std::vector<FoundFile>& files,
                 std::vector<Change>* changes);
    // The folder went, and every capture in it.
    std::vector<Change> RemoveFolder(const std::string& folder);
    void AddFolder(const std::string& folder);

    // Page `page` (from 0) of `pageSize` captures, of one folder or of all.
    Listing List(const std::optional<std::string>& folder, std::size_t page,
                 std::size_t pageSize) const;
    std::optional<Capture> Find(const std::string& folder, const std::string& base) const;
    // The folders that hold captures, DIR's own ("") first, then by name: an empty DIR above
    // the services' folders is no choice in the filter.
    std::vector<std::string> Folders() const;

private:
    // Where a capture stands in the list, newest first: stamp, then sequence, then folder and
    // prefix to tell captures of one second apart. Compact, as are its files: at one print a
    // minute a folder holds 100,000 captures after 70 days.
    struct Place {
        std::uint64_t stamp; // YYYYMMDDHHMMSS as a number
        std::uint32_t sequence;
        bool series;               // "Scp_"
        const std::string* folder; // in folderNames_
        bool operator>(const Place& other) const;
    };
    struct Files {
        std::uint8_t present = 0; // a bit for each CaptureFileKind
        std::array<FileFacts, kFileKinds> facts{};
        bool operator==(const Files&) const = default;
    };
    using Captures = std::map<Place, Files, std::greater<>>;

    static Place PlaceOf(const std::string& folder, const CaptureName& name);
    // The folder's name as the index keeps it; `folder` itself when it has none (to look up).
    const std::string& Interned(const std::string& folder) const;
    const std::string& Intern(const std::string& folder);
    static void Add(Files& files, CaptureFileKind kind, const FileFacts& facts);
    static Capture CaptureOf(const Place& place, const Files& files);
    std::optional<Change> PutLocked(const std::string& folder, const FoundFile& file);

    mutable std::mutex mutex_;
    Captures captures_;
    std::set<std::string> folderNames_;          // each folder's name once; few, never dropped
    std::map<std::string, std::size_t> folders_; // captures in each
};

} // namespace krt460::web
