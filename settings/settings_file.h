#pragma once

#include <string>

namespace krt460 {

inline constexpr const char* kSettingsFileName = "KRT460.ini";
inline constexpr const char* kDefaultPortName = "COM1";

struct Settings {
    std::string portName = kDefaultPortName;
    bool border = true;
    bool saveEveryPrint = false; // Empfangen arms a series that saves every print

    bool operator==(const Settings&) const = default;
};

// The settings file: the port name, then "1" or "0" for the border flag, then "1" or "0" for
// saving every print. A file of two lines (an older version's) reads as not saving every print;
// an older version reads this one's first two lines and ignores the third. Reading follows
// the rules of a text stream on Windows (CR LF is a line end, 0x1A ends the file) on every
// platform, so one file means the same everywhere.
class CSettingsFile {
public:
    // Defaults when the file cannot be opened; never creates it.
    static Settings LoadSettings(const std::string& fileName);
    // False when the file could not be written completely, with the system's reason in
    // `reason` when one is asked for.
    static bool SaveSettings(const std::string& fileName, const Settings& settings,
                             std::string* reason = nullptr);
};

} // namespace krt460
