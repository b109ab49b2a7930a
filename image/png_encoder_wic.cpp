// PNG through the Windows Imaging Component.
#include "image/png_encoder_wic.h"
#include "image/png_encoder.h"

#include "common/file_output.h"

#include <initguid.h> // defines the WIC GUIDs in this file

#include <objbase.h>
#include <wincodec.h>

namespace krt460 {
namespace {

// A COM interface pointer released when it goes.
template <typename T> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() {
        if (pointer_ != nullptr) {
            pointer_->Release();
        }
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* operator->() const { return pointer_; }
    T* get() const { return pointer_; }
    T** put() { return &pointer_; }

private:
    T* pointer_ = nullptr;
};

// The encoder's steps, each only after the one before succeeded: a step uses what the one
// before made.
HRESULT Encode(IStream* stream, const GUID& container, UINT width, UINT height,
               std::span<const std::uint8_t> rows) {
    ComPtr<IWICImagingFactory> factory;
    HRESULT result =
        ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                           IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(result)) {
        return result;
    }
    ComPtr<IWICBitmapEncoder> encoder;
    if (FAILED(result = factory->CreateEncoder(container, nullptr, encoder.put())) ||
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

std::string ErrorText(HRESULT result) {
    return "PNG: " + SystemErrorText(static_cast<unsigned long>(result));
}

} // namespace

bool EncodeWithWic(IStream* stream, const GUID& container, int width, int height,
                   std::span<const std::uint8_t> rows, std::string& error) {
    const HRESULT initialised = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HRESULT result =
        Encode(stream, container, static_cast<UINT>(width), static_cast<UINT>(height), rows);
    if (SUCCEEDED(initialised)) {
        ::CoUninitialize();
    }
    if (FAILED(result)) {
        error = ErrorText(result);
    }
    return SUCCEEDED(result);
}

bool EncodePng(int width, int height, std::span<const std::uint8_t> rows,
               std::vector<std::uint8_t>& png, std::string& error) {
    png.clear();
    ComPtr<IStream> stream;
    HRESULT result = ::CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    if (FAILED(result)) {
        error = ErrorText(result);
        return false;
    }
    if (!EncodeWithWic(stream.get(), GUID_ContainerFormatPng, width, height, rows, error)) {
        return false;
    }
    STATSTG info{};
    ULONG read = 0;
    if (SUCCEEDED(result = stream->Stat(&info, STATFLAG_NONAME)) &&
        SUCCEEDED(result = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr))) {
        png.resize(static_cast<std::size_t>(info.cbSize.QuadPart));
        result = stream->Read(png.data(), static_cast<ULONG>(png.size()), &read);
    }
    if (FAILED(result) || read != png.size()) {
        error = ErrorText(FAILED(result) ? result : E_FAIL);
        png.clear();
        return false;
    }
    return true;
}

} // namespace krt460
