// PNG through the Windows Imaging Component.
#include "image/png_encoder.h"

#include "common/com_ptr_win32.h"
#include "common/file_output.h"

#include <initguid.h> // defines the WIC GUIDs in this file

#include <objbase.h>
#include <wincodec.h>

namespace krt460 {
namespace {

// The encoder's steps, each only after the one before succeeded: a step uses what the one
// before made.
HRESULT Encode(IStream* stream, UINT width, UINT height, std::span<const std::uint8_t> rows) {
    ComPtr<IWICImagingFactory> factory;
    HRESULT result =
        ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(result)) {
        return result;
    }
    ComPtr<IWICBitmapEncoder> encoder;
    if (FAILED(result = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put())) ||
        FAILED(result = encoder->Initialize(stream, WICBitmapEncoderNoCache))) {
        return result;
    }
    ComPtr<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormatBlackWhite; // bit 1 white, as our rows
    if (FAILED(result = encoder->CreateNewFrame(frame.put(), nullptr)) ||
        FAILED(result = frame->Initialize(nullptr)) ||
        FAILED(result = frame->SetSize(width, height)) ||
        FAILED(result = frame->SetPixelFormat(&format))) {
        return result;
    }
    if (!IsEqualGUID(format, GUID_WICPixelFormatBlackWhite)) {
        return WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT; // the encoder offered another format
    }
    const UINT stride = (width + 7) / 8;
    if (FAILED(result = frame->WritePixels(height, stride, static_cast<UINT>(rows.size()),
                                           const_cast<BYTE*>(rows.data()))) ||
        FAILED(result = frame->Commit())) {
        return result;
    }
    return encoder->Commit();
}

// The whole stream, from its start.
HRESULT ReadAll(IStream* stream, std::vector<std::uint8_t>& bytes) {
    STATSTG info{};
    HRESULT result = stream->Stat(&info, STATFLAG_NONAME);
    if (FAILED(result) ||
        FAILED(result = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr))) {
        return result;
    }
    bytes.resize(static_cast<std::size_t>(info.cbSize.QuadPart));
    ULONG read = 0;
    result = stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    return SUCCEEDED(result) && read != bytes.size() ? E_FAIL : result;
}

} // namespace

bool EncodePng(int width, int height, std::span<const std::uint8_t> rows,
               std::vector<std::uint8_t>& png, std::string& error) {
    const HRESULT initialised = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HRESULT result = S_OK;
    {
        ComPtr<IStream> stream;
        if (SUCCEEDED(result = ::CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) &&
            SUCCEEDED(result = Encode(stream.get(), static_cast<UINT>(width),
                                      static_cast<UINT>(height), rows))) {
            result = ReadAll(stream.get(), png);
        }
    }
    if (SUCCEEDED(initialised)) {
        ::CoUninitialize();
    }
    if (FAILED(result)) {
        png.clear();
        error = "PNG: " + SystemErrorText(static_cast<unsigned long>(result));
    }
    return SUCCEEDED(result);
}

} // namespace krt460
