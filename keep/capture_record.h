#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace krt460 {

// The files of one print share a base name: an optional prefix ("Scp_" for KRT460.exe's series),
// the local time YYYYMMDD-HHMMSS, and "-2", "-3", ... when that was taken. Anything else in a
// folder, hidden and temporary files among them, is no capture.
enum class CaptureFileKind { Bmp, Png, Raw, Partial, Record };

struct CaptureName {
    std::string prefix;    // "" or "Scp_"
    std::string stamp;     // YYYYMMDD-HHMMSS
    unsigned sequence = 1; // 1 for the bare stamp, else the number after it
    CaptureFileKind kind = CaptureFileKind::Bmp;

    // The name without its extension, as the keeper claimed it.
    std::string Base() const;
};

// The extension of each kind, ".partial.bin" before ".bin".
const char* ExtensionOf(CaptureFileKind kind);

// The parts of a capture's file name, or nothing when the name is no capture's.
std::optional<CaptureName> ParseCaptureName(std::string_view fileName);

// What a print was kept as, recorded beside it in BASE.json, so that a script or the gallery
// can read it without decoding: one small file per capture, claimed with its other files.
struct CaptureRecord {
    std::string received; // local time, ISO 8601 with its offset: 2026-12-08T10:15:00+01:00
    std::string port;
    unsigned bytes = 0;
    std::string end;  // "complete", "cut" (the next print began), "stalled", "port-lost", "stopped"
    std::string kept; // "picture", "raw" (could not be decoded), "partial" (cut short)
    bool endMarker = false;
    std::string picture;          // the picture's file name, if any
    std::string raw;              // the raw bytes' file name (.bin or .partial.bin), if any
    bool lineErrorsKnown = false; // a pseudo-terminal counts none
    unsigned framing = 0;
    unsigned parity = 0;
    unsigned overrun = 0;
    unsigned breaks = 0;

    bool operator==(const CaptureRecord&) const = default;
};

std::string RecordToJson(const CaptureRecord& record);

// Reads what RecordToJson writes (unknown members are skipped); nothing when the text is not
// such a record.
std::optional<CaptureRecord> RecordFromJson(std::string_view json);

} // namespace krt460
