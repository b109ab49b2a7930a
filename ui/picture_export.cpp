#include "ui/picture_export.h"

#include "common/file_output.h"
#include "ui/framework/message_box.h"

#include <initguid.h> // defines the WIC GUIDs in this file

#include <objbase.h>
#include <wincodec.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace krt460::ui {
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

// A clipboard manager or a remote-desktop client holds the clipboard for a moment after every
// change; wait for it briefly rather than tell the user it is not available.
bool OpenClipboardWhenFree(HWND owner) {
    const ULONGLONG giveUpAt = ::GetTickCount64() + 1000;
    while (!::OpenClipboard(owner)) {
        if (::GetTickCount64() >= giveUpAt) {
            return false;
        }
        ::Sleep(20);
    }
    return true;
}

} // namespace

bool HasExtension(const std::string& fileName, std::string_view extension) {
    const std::size_t length = extension.size();
    return fileName.size() >= length &&
           std::equal(fileName.end() - static_cast<std::ptrdiff_t>(length), fileName.end(),
                      extension.begin(), [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

std::vector<std::uint8_t> EncodePng(const CScreenImage& image, std::string& error) {
    const HRESULT initialised = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::vector<std::uint8_t> png;
    HRESULT result = S_OK;
    {
        ComPtr<IWICImagingFactory> factory;
        ComPtr<IStream> stream;
        ComPtr<IWICBitmapEncoder> encoder;
        ComPtr<IWICBitmapFrameEncode> frame;
        WICPixelFormatGUID format = GUID_WICPixelFormatBlackWhite; // bit 1 white, as our rows
        const auto step = [&result](HRESULT next) {
            if (SUCCEEDED(result)) {
                result = next;
            }
            return SUCCEEDED(result);
        };
        step(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put())));
        step(::CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) &&
            step(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put())) &&
            step(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)) &&
            step(encoder->CreateNewFrame(frame.put(), nullptr)) &&
            step(frame->Initialize(nullptr)) && step(frame->SetSize(kScreenWidth, kScreenHeight)) &&
            step(frame->SetPixelFormat(&format));
        if (SUCCEEDED(result) && !IsEqualGUID(format, GUID_WICPixelFormatBlackWhite)) {
            result = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
        }
        auto* rows = const_cast<BYTE*>(reinterpret_cast<const BYTE*>(image.Rows().data()));
        step(frame->WritePixels(kScreenHeight, kRowBytes, kScreenHeight * kRowBytes, rows)) &&
            step(frame->Commit()) && step(encoder->Commit());
        HGLOBAL memory = nullptr;
        if (step(::GetHGlobalFromStream(stream.get(), &memory))) {
            STATSTG info{};
            stream->Stat(&info, STATFLAG_NONAME);
            const auto* bytes = static_cast<const std::uint8_t*>(::GlobalLock(memory));
            png.assign(bytes, bytes + info.cbSize.QuadPart);
            ::GlobalUnlock(memory);
        }
    }
    if (SUCCEEDED(initialised)) {
        ::CoUninitialize();
    }
    if (FAILED(result)) {
        error = "PNG: " + SystemErrorText(static_cast<unsigned long>(result));
        png.clear();
    }
    return png;
}

bool SavePicture(const CScreenImage& image, const std::string& fileName, std::string& error) {
    if (!HasExtension(fileName, ".png")) {
        return image.SaveBitmapFile(fileName, &error);
    }
    const std::vector<std::uint8_t> png = EncodePng(image, error);
    return !png.empty() && WriteFileAtomically(fileName, png, error);
}

void ShowNotWritten(HWND owner, const std::string& fileName, const std::string& reason) {
    // The reason is in the user's language and ANSI code page, as the message box reads it.
    const std::string text = fileName + " konnte nicht geschrieben werden!\n" + reason;
    ShowMessage(owner, text.c_str());
}

std::vector<std::uint8_t> ShownPictureDib(const CScreenImage& image, bool decoded, HBITMAP shown) {
    if (decoded) {
        // The BMP file without its 14-byte file header is exactly the packed DIB.
        const BitmapFileBytes file = image.EncodeBitmap();
        return {file.begin() + 14, file.end()};
    }
    // The sample screen, in its own 16 colours.
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[16];
    } info{};
    info.header = {
        sizeof(BITMAPINFOHEADER), kScreenWidth, kScreenHeight, 1, 4, BI_RGB, 0, 0, 0, 0, 0};
    const std::size_t stride = (kScreenWidth * 4 + 31) / 32 * 4;
    std::vector<std::uint8_t> dib(sizeof info + stride * kScreenHeight);
    const HDC screen = ::GetDC(nullptr);
    const int lines = ::GetDIBits(screen, shown, 0, kScreenHeight, dib.data() + sizeof info,
                                  reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    if (lines != kScreenHeight) {
        return {};
    }
    std::memcpy(dib.data(), &info, sizeof info);
    return dib;
}

bool CopyDibToClipboard(HWND owner, const std::vector<std::uint8_t>& dib) {
    if (dib.empty() || !OpenClipboardWhenFree(owner)) {
        return false;
    }
    bool placed = false;
    if (::EmptyClipboard()) {
        if (const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, dib.size())) {
            std::memcpy(::GlobalLock(memory), dib.data(), dib.size());
            ::GlobalUnlock(memory);
            placed = ::SetClipboardData(CF_DIB, memory) != nullptr;
            if (!placed) {
                ::GlobalFree(memory); // the clipboard owns it only once placed
            }
        }
    }
    ::CloseClipboard();
    return placed;
}

} // namespace krt460::ui
