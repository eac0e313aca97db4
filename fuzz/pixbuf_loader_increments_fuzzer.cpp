// Fuzz target for the gdk-pixbuf loader's incremental entry points
// (begin_load, load_increment, stop_load), called as gdk-pixbuf calls them,
// with the module loaded by file name. Input: two control bytes, then the
// file. Byte 0 seeds the sizes of the pieces the file is fed in (1 to 4096
// bytes each); bit 0 of byte 1 makes the size callback ask for a smaller
// picture. A load that succeeds must have reported the header's size first,
// handed over exactly one picture of the asked size, and (unscaled, and small
// enough) decoded to the reference decoder's pixels; a load that fails must
// name its cause in a GdkPixbuf error and hand over nothing.
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "fuzz/fuzz_support.h"
#include "image_i24b/i24b_format.h"
#include "tests/i24b_model.h"

namespace {

constexpr size_t kMaxReferenceBlock = 64 * 1024;

GdkPixbufModule gModule;

struct LoadLog {
  bool shrink = false;
  int sizeCalls = 0;
  int sizedWidth = 0;  // what the size callback was told
  int sizedHeight = 0;
  int askedWidth = 0;  // what it asked for
  int askedHeight = 0;
  int prepared = 0;
  int updated = 0;
  GdkPixbuf* pixbuf = nullptr;  // owned
};

void OnSize(gint* width, gint* height, gpointer user) {
  auto* log = static_cast<LoadLog*>(user);
  ++log->sizeCalls;
  log->sizedWidth = *width;
  log->sizedHeight = *height;
  if (log->shrink) {
    *width = (*width + 1) / 2;
    *height = (*height + 1) / 2;
  }
  log->askedWidth = *width;
  log->askedHeight = *height;
}

void OnPrepared(GdkPixbuf* pixbuf, GdkPixbufAnimation*, gpointer user) {
  auto* log = static_cast<LoadLog*>(user);
  FUZZ_CHECK(log->sizeCalls == 1, "the size comes before the picture");
  ++log->prepared;
  if (log->pixbuf == nullptr) log->pixbuf = GDK_PIXBUF(g_object_ref(pixbuf));
}

void OnUpdated(GdkPixbuf*, int, int, int, int, gpointer user) { ++static_cast<LoadLog*>(user)->updated; }


// Compares an unscaled picture with the reference decoder's bottom-up block.
void CompareWithReference(const uint8_t* file, size_t size, GdkPixbuf* pixbuf) {
  const uint32_t width = Le16(file + 12);
  const uint32_t height = Le16(file + 14);
  const size_t stride = (size_t{width} * 3 + 3) & ~size_t{3};
  if (stride * height > kMaxReferenceBlock) return;
  std::vector<uint8_t> block;
  if (!i24b::model::ReferenceDecode(file + i24b::kHeaderSize, size - i24b::kHeaderSize, width, height, &block)) return;
  const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
  const size_t rowstride = static_cast<size_t>(gdk_pixbuf_get_rowstride(pixbuf));
  for (uint32_t y = 0; y < height; ++y) {
    const guchar* row = pixels + y * rowstride;
    const uint8_t* dib = block.data() + (height - 1 - y) * stride;
    for (uint32_t x = 0; x < width; ++x) {
      if (row[3 * x] != dib[3 * x + 2] || row[3 * x + 1] != dib[3 * x + 1] || row[3 * x + 2] != dib[3 * x]) {
        char detail[120];
        snprintf(detail, sizeof detail, "%ux%u picture, pixel (%u, %u)", width, height, x, y);
        FuzzFail("the loader and the reference decoder disagree", detail);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  void* module = dlopen(KALDORIN_PIXBUF_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) FuzzFail("cannot load the gdk-pixbuf loader", dlerror());
  auto fill = reinterpret_cast<void (*)(GdkPixbufModule*)>(dlsym(module, "fill_vtable"));
  if (fill == nullptr) FuzzFail("the loader has no fill_vtable", KALDORIN_PIXBUF_MODULE);
  fill(&gModule);
  FUZZ_CHECK(gModule.begin_load && gModule.load_increment && gModule.stop_load, "the incremental entry points");
  std::string error;
  if (!i24b::model::PrepareReferenceDecoder(&error)) FuzzFail("cannot prepare the reference decoder", error.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t seed = data[0] * 2654435761u + 1;
  LoadLog log;
  log.shrink = (data[1] & 1) != 0;
  const uint8_t* file = data + 2;
  const size_t fileSize = size - 2;

  GError* error = nullptr;
  gpointer context = gModule.begin_load(OnSize, OnPrepared, OnUpdated, &log, &error);
  FUZZ_CHECK(context != nullptr && error == nullptr, "begin_load starts a load");
  bool ok = true;
  for (size_t at = 0; ok && at < fileSize;) {
    seed = seed * 1103515245 + 12345;
    const size_t n = std::min<size_t>(1 + (seed >> 20) % 4096, fileSize - at);
    ok = gModule.load_increment(context, file + at, static_cast<guint>(n), &error) != FALSE;
    FUZZ_CHECK(ok == (error == nullptr), "load_increment sets an error exactly when it fails");
    at += n;
  }
  // gdk-pixbuf calls stop_load after a failed increment too, with an error
  // of its own.
  GError* stopError = nullptr;
  const bool stopped = gModule.stop_load(context, &stopError) != FALSE;
  FUZZ_CHECK(stopped == (stopError == nullptr), "stop_load sets an error exactly when it fails");
  FUZZ_CHECK(ok || !stopped, "a load whose increment failed fails");
  ok = ok && stopped;
  if (error == nullptr) error = stopError;
  else g_clear_error(&stopError);
  if (ok) {
    FUZZ_CHECK(error == nullptr, "a load that succeeds sets no error");
    FUZZ_CHECK(log.prepared == 1 && log.updated == 1 && log.pixbuf != nullptr, "one picture, handed over once");
    FUZZ_CHECK(i24b::model::ModelHeaderCheck(file, fileSize) == 0, "only I24B pictures load");
    FUZZ_CHECK(log.sizedWidth == static_cast<int>(Le16(file + 12)) &&
                   log.sizedHeight == static_cast<int>(Le16(file + 14)),
               "the size reported is the header's");
    FUZZ_CHECK(gdk_pixbuf_get_width(log.pixbuf) == log.askedWidth &&
                   gdk_pixbuf_get_height(log.pixbuf) == log.askedHeight,
               "the picture has the size asked for");
    if (!log.shrink) CompareWithReference(file, fileSize, log.pixbuf);
  } else {
    FUZZ_CHECK(error != nullptr && error->domain == GDK_PIXBUF_ERROR, "a failed load sets a GdkPixbuf error");
    FUZZ_CHECK(strncmp(error->message, "kaldorin: I24B picture: ", 24) == 0, "the error names its subject");
    FUZZ_CHECK(log.prepared == 0 && log.pixbuf == nullptr, "a failed load hands over no picture");
  }
  if (log.pixbuf != nullptr) g_object_unref(log.pixbuf);
  g_clear_error(&error);
  return 0;
}
