#include "ui/SkinPictures.h"

#include <wincodec.h>
#include <wrl/client.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "ui/SkinScale.h"

using Microsoft::WRL::ComPtr;

namespace {

// The drawings the artwork has, by the DPI they are drawn for.
struct DrawnScale {
    UINT dpi;
    const wchar_t* type;
};
constexpr DrawnScale kDrawnScales[] = {
    {120, L"SKIN125"}, {144, L"SKIN150"}, {168, L"SKIN175"}, {192, L"SKIN200"}};

const DrawnScale& DrawingFor(UINT dpi) {
    for (const DrawnScale& scale : kDrawnScales)
        if (scale.dpi >= dpi)
            return scale;
    return kDrawnScales[std::size(kDrawnScales) - 1];
}

HMODULE Module() {
    return ::GetModuleHandleW(nullptr);
}

// The picture's size at 96 DPI, from its bitmap resource's header.
bool DefaultSize(UINT id, SIZE* size) {
    HRSRC res = ::FindResourceW(Module(), MAKEINTRESOURCEW(id), RT_BITMAP);
    HGLOBAL data = res ? ::LoadResource(Module(), res) : nullptr;
    const auto* header =
        data ? static_cast<const BITMAPINFOHEADER*>(::LockResource(data)) : nullptr;
    if (!header || ::SizeofResource(Module(), res) < sizeof(BITMAPINFOHEADER) ||
        header->biSize < sizeof(BITMAPINFOHEADER))
        return false;
    *size = {header->biWidth, std::abs(header->biHeight)};
    return true;
}

// COM for the calling thread while it decodes: pictures load on the window's thread and
// on the worker threads that show prompts. A thread already in the other apartment
// kind keeps it (COM is usable there as it is).
class CComScope {
public:
    CComScope() : m_hr(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
    ~CComScope() {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }

private:
    HRESULT m_hr;
};

// Decodes the PNG stored as resource (id, type).
bool DecodeDrawing(UINT id, const wchar_t* type, SkinPixels* out) {
    HRSRC res = ::FindResourceW(Module(), MAKEINTRESOURCEW(id), type);
    HGLOBAL data = res ? ::LoadResource(Module(), res) : nullptr;
    auto* bytes = data ? static_cast<BYTE*>(::LockResource(data)) : nullptr;
    if (!bytes)
        return false;

    CComScope com;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    UINT width = 0, height = 0;
    if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&factory))) ||
        FAILED(factory->CreateStream(&stream)) ||
        FAILED(stream->InitializeFromMemory(bytes, ::SizeofResource(Module(), res))) ||
        FAILED(factory->CreateDecoderFromStream(stream.Get(), nullptr,
                                                WICDecodeMetadataCacheOnDemand, &decoder)) ||
        FAILED(decoder->GetFrame(0, &frame)) ||
        FAILED(factory->CreateFormatConverter(&converter)) ||
        FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGR,
                                     WICBitmapDitherTypeNone, nullptr, 0,
                                     WICBitmapPaletteTypeCustom)) ||
        FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0)
        return false;
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    if (FAILED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size() * 4),
                                     reinterpret_cast<BYTE*>(pixels.data()))))
        return false;
    for (uint32_t& p : pixels)
        p &= 0x00FFFFFF; // the fourth byte of 32bppBGR carries nothing
    *out = {static_cast<int>(width), static_cast<int>(height), std::move(pixels)};
    return true;
}

// A bitmap compatible with the screen, as LoadBitmapW makes for the 96-DPI pictures.
CBitmap ScreenBitmap(const SkinPixels& pixels) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = pixels.width;
    bi.bmiHeader.biHeight = -pixels.height; // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    CBitmap bitmap;
    if (HDC screen = ::GetDC(nullptr)) {
        bitmap.Attach(::CreateDIBitmap(screen, &bi.bmiHeader, CBM_INIT, pixels.data.data(), &bi,
                                       DIB_RGB_COLORS));
        ::ReleaseDC(nullptr, screen);
    }
    return bitmap;
}

// For each new pixel along one axis, the old pixels it covers and the share of each.
struct Tap {
    int index;
    double weight;
};
std::vector<std::vector<Tap>> AreaTaps(int from, int to) {
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(to));
    const double span = static_cast<double>(from) / to; // old pixels per new pixel
    for (int i = 0; i < to; ++i) {
        const double start = i * span, end = (i + 1) * span;
        for (int s = static_cast<int>(start); s < from && s < end; ++s) {
            const double overlap = std::min(end, s + 1.0) - std::max(start, static_cast<double>(s));
            if (overlap > 0)
                taps[static_cast<size_t>(i)].push_back({s, overlap / span});
        }
    }
    return taps;
}

uint32_t Channel(uint32_t pixel, int shift) {
    return (pixel >> shift) & 0xFF;
}

} // namespace

SkinPixels ResampleByArea(const SkinPixels& source, int width, int height) {
    SkinPixels out;
    if (source.width <= 0 || source.height <= 0 || width <= 0 || height <= 0 ||
        source.data.size() != static_cast<size_t>(source.width) * source.height)
        return out;
    const auto across = AreaTaps(source.width, width);
    const auto down = AreaTaps(source.height, height);

    // Across each old row first (three channels per pixel), then down each new column.
    std::vector<double> rows(static_cast<size_t>(width) * source.height * 3);
    for (int y = 0; y < source.height; ++y) {
        const uint32_t* in = &source.data[static_cast<size_t>(y) * source.width];
        double* row = &rows[static_cast<size_t>(y) * width * 3];
        for (int x = 0; x < width; ++x)
            for (const Tap& t : across[static_cast<size_t>(x)])
                for (int c = 0; c < 3; ++c)
                    row[x * 3 + c] += t.weight * Channel(in[t.index], 16 - 8 * c);
    }
    out.width = width;
    out.height = height;
    out.data.resize(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double sum[3] = {};
            for (const Tap& t : down[static_cast<size_t>(y)])
                for (int c = 0; c < 3; ++c)
                    sum[c] += t.weight * rows[(static_cast<size_t>(t.index) * width + x) * 3 + c];
            uint32_t pixel = 0;
            for (int c = 0; c < 3; ++c) {
                const long value = std::lround(std::clamp(sum[c], 0.0, 255.0));
                pixel |= static_cast<uint32_t>(value) << (16 - 8 * c);
            }
            out.data[static_cast<size_t>(y) * width + x] = pixel;
        }
    }
    return out;
}

CBitmap LoadSkinPicture(UINT id, UINT dpi) {
    CBitmap picture;
    if (dpi <= kDefaultDpi) {
        picture.LoadBitmap(id);
        return picture;
    }
    SIZE base{};
    if (!DefaultSize(id, &base))
        return picture;
    const CSkinScale scale(dpi);
    const int width = scale.Px(base.cx), height = scale.Px(base.cy);
    SkinPixels drawn;
    if (!DecodeDrawing(id, DrawingFor(dpi).type, &drawn))
        return picture;
    if (drawn.width != width || drawn.height != height)
        drawn = ResampleByArea(drawn, width, height);
    return ScreenBitmap(drawn);
}
