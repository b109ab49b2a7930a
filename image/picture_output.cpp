#include "image/picture_output.h"

#include "common/file_output.h"
#include "image/png_encoder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace krt460 {

ScaledPicture ScalePicture(const CScreenImage& image, int scale) {
    ScaledPicture picture{kScreenWidth * scale, kScreenHeight * scale, {}};
    const auto stride = static_cast<std::size_t>((picture.width + 7) / 8);
    picture.rows.assign(stride * static_cast<std::size_t>(picture.height), 0);
    for (int y = 0; y < picture.height; ++y) {
        const PixelRow& source = image.Rows()[static_cast<std::size_t>(y / scale)];
        std::uint8_t* target = picture.rows.data() + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < picture.width; ++x) {
            const int sourceX = x / scale;
            if ((source[static_cast<std::size_t>(sourceX / 8)] >> (7 - sourceX % 8)) & 1) {
                target[x / 8] = static_cast<std::uint8_t>(target[x / 8] | (0x80 >> (x % 8)));
            }
        }
    }
    return picture;
}

PictureFormat FormatFor(const PictureOptions& options, const std::string& path) {
    if (options.format) {
        return *options.format;
    }
    std::string extension = path.size() >= 4 ? path.substr(path.size() - 4) : "";
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".png" ? PictureFormat::Png : PictureFormat::Bmp;
}

bool WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes, std::string& error) {
    if (path != "-") {
        return WriteFileAtomically(path, bytes, error);
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    if (std::fflush(stdout) != 0 || !written) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

const char* PictureExtension(const PictureOptions& options) {
    return options.format == PictureFormat::Png ? ".png" : ".bmp";
}

bool EncodePicture(const CScreenImage& image, const std::string& path,
                   const PictureOptions& options, std::vector<std::uint8_t>& bytes,
                   std::string& error) {
    if (FormatFor(options, path) == PictureFormat::Png) {
        const ScaledPicture picture = ScalePicture(image, options.scale);
        return EncodePng(picture.width, picture.height, picture.rows, bytes, error);
    }
    if (options.scale == 1) {
        const BitmapFileBytes file = image.EncodeBitmap(); // the program's own file
        bytes.assign(file.begin(), file.end());
        return true;
    }
    const ScaledPicture picture = ScalePicture(image, options.scale);
    bytes = EncodeMonochromeBitmap(picture.width, picture.height, picture.rows);
    return true;
}

bool WritePicture(const CScreenImage& image, const std::string& path, const PictureOptions& options,
                  std::string& error) {
    std::vector<std::uint8_t> bytes;
    return EncodePicture(image, path, options, bytes, error) && WriteOutput(path, bytes, error);
}

} // namespace krt460
