// PNG through the Windows Imaging Component (Windows builds): the system's
// own codec, reached through COM, so the tool needs no PNG library of its
// own. Pixels are taken as WIC gives them and brought to what the libpng
// reader makes: 8-bit RGB, 16-bit samples scaled as Sample16To8 does, and
// alpha exactly when the file has an alpha channel or a tRNS chunk.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

#include "tools/kaldorin_png.h"

namespace kaldorin {

namespace {

// Owns one COM reference.
template <typename T>
struct Com {
  T* p = nullptr;
  Com() = default;
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  ~Com() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
  T** Out() { return &p; }
};

// The process's imaging factory. COM is initialised once, on the first
// thread that needs PNG (the main thread: the truncation check's worker
// never touches pictures), in the multithreaded apartment, which needs no
// message loop. Both stay for the life of the process.
IWICImagingFactory* Factory(HRESULT* failure) {
  static IWICImagingFactory* factory = nullptr;
  static const HRESULT result = [] {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) return hr;  // another apartment is as good
    return CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                            reinterpret_cast<void**>(&factory));
  }();
  *failure = result;
  return SUCCEEDED(result) ? factory : nullptr;
}

// A codec failure in words.
std::string Cause(HRESULT hr) {
  switch (hr) {
    case E_OUTOFMEMORY:
      return "out of memory";
    case WINCODEC_ERR_BADHEADER:
    case WINCODEC_ERR_BADIMAGE:
    case WINCODEC_ERR_BADSTREAMDATA:
    case WINCODEC_ERR_FRAMEMISSING:
    case WINCODEC_ERR_UNKNOWNIMAGEFORMAT:
    case WINCODEC_ERR_STREAMREAD:
    case E_FAIL:
      return "the picture data is damaged";
    case WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT:
    case WINCODEC_ERR_UNSUPPORTEDOPERATION:
      return "the system's PNG codec does not support this picture";
    case REGDB_E_CLASSNOTREG:
    case WINCODEC_ERR_COMPONENTNOTFOUND:
      return "the Windows Imaging Component is not available";
    default: {
      char text[64];
      snprintf(text, sizeof text, "the system's PNG codec failed (error 0x%08lX)", static_cast<unsigned long>(hr));
      return text;
    }
  }
}

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// What the chunks say: the bit depth, whether the picture has alpha (an
// alpha channel or a tRNS chunk, as libpng expands them) and whether the
// chunks reach IEND within the file.
struct PngLayout {
  int depth = 0;
  bool alpha = false;
  bool complete = false;
};

PngLayout ScanChunks(const std::vector<uint8_t>& file) {
  PngLayout layout;
  for (size_t at = 8; file.size() - at >= 12;) {
    uint64_t length = Be32(&file[at]);
    if (length > file.size() - at - 12) break;
    const uint8_t* type = &file[at + 4];
    if (memcmp(type, "IHDR", 4) == 0 && length >= 13) {
      layout.depth = file[at + 16];
      layout.alpha = layout.alpha || (file[at + 17] & 4) != 0;
    }
    if (memcmp(type, "tRNS", 4) == 0) layout.alpha = true;
    if (memcmp(type, "IEND", 4) == 0) {
      layout.complete = true;
      break;
    }
    at += 12 + static_cast<size_t>(length);
  }
  return layout;
}

// The pixel formats in which WIC hands over 16-bit samples (little-endian
// words); these are copied as they are and scaled here, since WIC's own
// conversion to 8 bits drops the low byte instead of rounding.
struct WideFormat {
  const GUID* format;
  int channels;  // grey; red, green, blue; or those and alpha
};

constexpr WideFormat kWideFormats[] = {
    {&GUID_WICPixelFormat16bppGray, 1},
    {&GUID_WICPixelFormat48bppRGB, 3},
    {&GUID_WICPixelFormat64bppRGBA, 4},
};

const WideFormat* FindWide(const GUID& format) {
  for (const WideFormat& wide : kWideFormats) {
    if (IsEqualGUID(*wide.format, format)) return &wide;
  }
  return nullptr;
}

// Row `y` as WIC gave it: 32-bit BGRA, or a wide format.
void StoreRow(const uint8_t* row, uint32_t y, const WideFormat* wide, RgbImage* image) {
  size_t first = static_cast<size_t>(y) * image->width;
  bool alpha = !image->alpha.empty();
  for (uint32_t x = 0; x < image->width; ++x) {
    uint8_t* out = &image->rgb[(first + x) * 3];
    if (wide == nullptr) {
      const uint8_t* px = row + static_cast<size_t>(x) * 4;
      out[0] = px[2];
      out[1] = px[1];
      out[2] = px[0];
      if (alpha) image->alpha[first + x] = px[3];
      continue;
    }
    const uint8_t* px = row + static_cast<size_t>(x) * wide->channels * 2;
    for (int c = 0; c < 3; ++c) {
      int from = wide->channels == 1 ? 0 : c;
      out[c] = Sample16To8(static_cast<unsigned>(px[2 * from] | px[2 * from + 1] << 8));
    }
    if (alpha && wide->channels == 4) image->alpha[first + x] = Sample16To8(static_cast<unsigned>(px[6] | px[7] << 8));
  }
}

// Rows copied out of the codec at a time.
constexpr uint32_t kRowsPerCopy = 64;

bool ReadFailed(HRESULT hr, std::string* error) {
  *error = "PNG: " + Cause(hr);
  return false;
}

// A write-only COM stream over an open C file, so that the picture goes
// where the libpng writer would put it (a temporary file or standard
// output) and a failed write keeps the system's cause. It lives on the
// writer's stack and outlives the encoder, so the count is only kept.
class FileStream : public IStream {
 public:
  explicit FileStream(FILE* f) : file_(f), base_(_ftelli64(f)) {}
  int savedErrno() const { return savedErrno_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISequentialStream) || IsEqualIID(iid, IID_IStream)) {
      *out = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override { return --count_; }

  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG* done) override {
    if (done != nullptr) *done = 0;
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG size, ULONG* done) override {
    errno = 0;
    size_t n = fwrite(data, 1, size, file_);
    if (done != nullptr) *done = static_cast<ULONG>(n);
    position_ += n;
    end_ = position_ > end_ ? position_ : end_;
    if (n == size) return S_OK;
    savedErrno_ = errno != 0 ? errno : EIO;
    return savedErrno_ == ENOSPC ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT;
  }
  // Positions count from where the writer started. Asking where the
  // stream stands, or seeking to where it stands, works on a pipe too.
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* now) override {
    int64_t from = origin == STREAM_SEEK_SET ? 0 : origin == STREAM_SEEK_CUR ? position_ : end_;
    int64_t target = from + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    if (target != position_) {
      if (base_ < 0 || _fseeki64(file_, base_ + target, SEEK_SET) != 0) return STG_E_INVALIDFUNCTION;
      position_ = target;
    }
    if (now != nullptr) now->QuadPart = static_cast<ULONGLONG>(position_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = static_cast<ULONGLONG>(end_);
    stat->grfMode = STGM_WRITE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  FILE* file_;
  int64_t base_;  // the file's position at the start; -1 on a pipe
  int64_t position_ = 0;
  int64_t end_ = 0;
  ULONG count_ = 1;
  int savedErrno_ = 0;
};

// Hands the rows to the encoder kRowsPerReport at a time, as blue, green,
// red, asking the progress callback between them.
HRESULT WriteRows(IWICBitmapFrameEncode* frame, const RgbImage& image, WriteProgress progress, void* user,
                  bool* cancelled, std::string* error) {
  const UINT stride = image.width * 3;
  std::vector<uint8_t> rows(static_cast<size_t>(stride) * kRowsPerReport);
  for (uint32_t done = 0; done < image.height; done += kRowsPerReport) {
    if (WriteStopped(progress, user, done, image.height, error)) {
      *cancelled = true;
      return S_OK;
    }
    uint32_t count = image.height - done < kRowsPerReport ? image.height - done : kRowsPerReport;
    const uint8_t* in = image.rgb.data() + static_cast<size_t>(done) * stride;
    for (size_t i = 0; i < static_cast<size_t>(count) * image.width; ++i) {
      rows[i * 3] = in[i * 3 + 2];
      rows[i * 3 + 1] = in[i * 3 + 1];
      rows[i * 3 + 2] = in[i * 3];
    }
    HRESULT hr = frame->WritePixels(count, stride, stride * count, rows.data());
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

}  // namespace

bool ReadPng(const std::vector<uint8_t>& file, RgbImage* image, std::string* error) {
  PngLayout layout = ScanChunks(file);
  if (!layout.complete) {
    *error = "PNG: file is truncated";
    return false;
  }
  if (file.size() > 0xFFFFFFFFu) {
    *error = "PNG: file is too large";
    return false;
  }
  HRESULT hr;
  IWICImagingFactory* factory = Factory(&hr);
  if (factory == nullptr) return ReadFailed(hr, error);
  Com<IWICStream> stream;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
  hr = factory->CreateStream(stream.Out());
  if (SUCCEEDED(hr)) {
    hr = stream->InitializeFromMemory(const_cast<BYTE*>(file.data()), static_cast<DWORD>(file.size()));
  }
  if (SUCCEEDED(hr)) hr = factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, decoder.Out());
  if (SUCCEEDED(hr)) hr = decoder->Initialize(stream.p, WICDecodeMetadataCacheOnDemand);
  if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.Out());
  UINT width = 0, height = 0;
  if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
  if (FAILED(hr)) return ReadFailed(hr, error);
  if (width == 0 || height == 0 || width > kMaxPictureSide || height > kMaxPictureSide) {
    *error = "PNG size " + std::to_string(width) + " x " + std::to_string(height) + " is not supported";
    return false;
  }
  // 16-bit samples in a wide format as they are; everything else (palettes,
  // grey of any depth, 8-bit colour) through WIC's conversion to 32-bit BGRA.
  WICPixelFormatGUID native{};
  hr = frame->GetPixelFormat(&native);
  if (FAILED(hr)) return ReadFailed(hr, error);
  const WideFormat* wide = layout.depth == 16 ? FindWide(native) : nullptr;
  Com<IWICFormatConverter> converter;
  IWICBitmapSource* source = frame.p;
  if (wide == nullptr) {
    hr = factory->CreateFormatConverter(converter.Out());
    if (SUCCEEDED(hr)) {
      hr = converter->Initialize(frame.p, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                 WICBitmapPaletteTypeCustom);
    }
    if (FAILED(hr)) return ReadFailed(hr, error);
    source = converter.p;
  }
  const UINT stride = width * (wide != nullptr ? wide->channels * 2 : 4);
  image->width = width;
  image->height = height;
  image->rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  image->alpha.assign(layout.alpha ? static_cast<size_t>(width) * height : 0, 255);
  std::vector<uint8_t> rows(static_cast<size_t>(stride) * kRowsPerCopy);
  for (uint32_t y = 0; y < height; y += kRowsPerCopy) {
    UINT count = height - y < kRowsPerCopy ? height - y : kRowsPerCopy;
    WICRect rect = {0, static_cast<INT>(y), static_cast<INT>(width), static_cast<INT>(count)};
    hr = source->CopyPixels(&rect, stride, stride * count, rows.data());
    if (FAILED(hr)) return ReadFailed(hr, error);
    for (UINT i = 0; i < count; ++i) StoreRow(rows.data() + static_cast<size_t>(i) * stride, y + i, wide, image);
  }
  return true;
}

bool WritePng(FILE* f, const RgbImage& image, WriteProgress progress, void* user, std::string* error) {
  if (image.width > 0x7FFFFFFFu / 3) {
    *error = "picture is too wide for a PNG file";
    return false;
  }
  HRESULT hr;
  IWICImagingFactory* factory = Factory(&hr);
  if (factory == nullptr) {
    *error = "PNG: " + Cause(hr);
    return false;
  }
  FileStream stream(f);
  bool cancelled = false;
  {
    Com<IWICBitmapEncoder> encoder;
    Com<IWICBitmapFrameEncode> frame;
    Com<IPropertyBag2> options;
    hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Out());
    if (SUCCEEDED(hr)) hr = encoder->Initialize(&stream, WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.Out(), options.Out());
    if (SUCCEEDED(hr)) hr = frame->Initialize(options.p);
    if (SUCCEEDED(hr)) hr = frame->SetSize(image.width, image.height);
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR)) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(hr)) hr = WriteRows(frame.p, image, progress, user, &cancelled, error);
    if (cancelled) return false;
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
  }
  if (FAILED(hr) || stream.savedErrno() != 0) {
    // The system's cause of a failed write says more than the codec's code.
    *error = stream.savedErrno() != 0 ? strerror(stream.savedErrno()) : "PNG: " + Cause(hr);
    return false;
  }
  if (progress != nullptr) progress(image.height, image.height, user);
  return true;
}

}  // namespace kaldorin
