#pragma once

#include "image/screen_image.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace krt460 {

enum class PictureFormat { Bmp, Png };

struct PictureOptions {
    std::optional<PictureFormat> format; // unset: by the output's extension
    int scale = 1;                       // each dot becomes scale x scale pixels
    bool border = true;                  // the command line's --border or --no-border, else
                                         // the flag of KRT460.ini, else on
};

// The one-bit picture enlarged: rows top-down, (width + 7) / 8 bytes each, bit 1 white.
struct ScaledPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rows;
};

ScaledPicture ScalePicture(const CScreenImage& image, int scale);

PictureFormat FormatFor(const PictureOptions& options, const std::string& path);

// The decoded picture as the bytes of a BMP or PNG file (the format by the options, else by
// `path`). At scale 1 a BMP is the program's own 3262-byte file, byte for byte. False with the
// reason in `error`.
bool EncodePicture(const CScreenImage& image, const std::string& path,
                   const PictureOptions& options, std::vector<std::uint8_t>& bytes,
                   std::string& error);

// Writes the decoded picture as BMP or PNG. False with the system's reason in `error`.
bool WritePicture(const CScreenImage& image, const std::string& path, const PictureOptions& options,
                  std::string& error);

// Writes `bytes` as the whole file, complete or not at all, or to standard output for "-".
// False with the system's reason in `error`.
bool WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error);

// ".bmp" or ".png": the extension of a picture named by the program.
const char* PictureExtension(const PictureOptions& options);

} // namespace krt460
