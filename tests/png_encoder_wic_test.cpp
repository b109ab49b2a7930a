#include "image/png_encoder_wic.h"

#include <gtest/gtest.h>
#include <wincodec.h>

#include <vector>

namespace krt460 {
namespace {

// A stream that takes nothing, as on a full disk; it lives on the test's stack.
class RefusingStream final : public IStream {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
        const bool known = IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IStream) ||
                           IsEqualIID(id, IID_ISequentialStream);
        *object = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { return kRefused; }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return kRefused; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
        return kRefused;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return kRefused; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return kRefused;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return kRefused; }
    HRESULT STDMETHODCALLTYPE Revert() override { return kRefused; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return kRefused;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return kRefused;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return kRefused; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return kRefused; }

private:
    static constexpr HRESULT kRefused = STG_E_MEDIUMFULL;
};

TEST(PngEncoderWic, AFailingStepGivesAnErrorNotACrash) {
    RefusingStream refusing;
    IStream* memory = nullptr;
    ASSERT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, &memory), S_OK);
    const GUID noCodec{0x4b52'5434, 0x3630, 0x0000, {0, 0, 0, 0, 0, 0, 0, 1}};
    const std::pair<IStream*, const GUID*> cases[] = {
        {&refusing, &GUID_ContainerFormatPng}, // a full disk
        {memory, &noCodec},                    // a system without the codec (Wine without libpng)
    };
    const std::vector<std::uint8_t> rows(20 * 160, 0xAA);
    for (const auto& [stream, container] : cases) {
        std::string error;
        EXPECT_FALSE(EncodeWithWic(stream, *container, 160, 160, rows, error));
        EXPECT_EQ(error.rfind("PNG: ", 0), 0u) << error;
    }
    memory->Release();
}

} // namespace
} // namespace krt460
