// The Windows Imaging Component's encoders, writing into any stream: the seam through which a
// test names a codec that the system lacks, or hands in a stream that fails.
#pragma once

#include <objidl.h>

#include <cstdint>
#include <span>
#include <string>

namespace krt460 {

// As EncodePng, with the encoder of `container` (GUID_ContainerFormatPng for EncodePng), into
// `stream`. False with `error` set at the first step that fails.
bool EncodeWithWic(IStream* stream, const GUID& container, int width, int height,
                   std::span<const std::uint8_t> rows, std::string& error);

} // namespace krt460
