// A gdk-pixbuf loader module for I24B pictures, so that GTK image viewers,
// file managers and gdk-pixbuf-thumbnailer show them. It gathers the whole
// file (given at once or piece by piece), reports the size from the header
// as soon as the header is in, and decodes when the data is complete: a
// picture is handed to the host only when every row decoded from real data.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

// The module interface is declared only with this defined.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "gdk_pixbuf/i24b_pixbuf_decode.h"

namespace {

constexpr const char* kSubject = "kaldorin: I24B picture: ";

struct LoadContext {
  GdkPixbufModuleSizeFunc sizeFunc;
  GdkPixbufModulePreparedFunc preparedFunc;
  GdkPixbufModuleUpdatedFunc updatedFunc;
  gpointer userData;
  guint8* bytes;  // the file so far
  size_t size;
  size_t capacity;
  bool headerChecked;
  i24b::Header header;
  int wantedWidth;  // the size the host asked for (the picture's unless size-func changed it)
  int wantedHeight;
  GError* failure;  // the first increment's error: the load stays failed
};

// Pixel blocks come straight from the kernel: zero, and (from 4 MiB on)
// aligned for transparent huge pages, which makes filling them much
// cheaper, as the platform stand-in does for glimmet.
constexpr size_t kHugePage = size_t{2} << 20;

guchar* AllocatePixels(size_t bytes) {
  const size_t mapped = bytes < (size_t{4} << 20) ? bytes : bytes + kHugePage;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (mapped == bytes) return static_cast<guchar*>(p);
  // Trim to a huge-page boundary at the front and to `bytes` at the back.
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  const size_t pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t kept = (bytes + pageSize - 1) / pageSize * pageSize;
  if (aligned > start) munmap(p, aligned - start);
  const size_t tail = start + mapped - (aligned + kept);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + kept), tail);
  madvise(reinterpret_cast<void*>(aligned), kept, MADV_HUGEPAGE);
  return reinterpret_cast<guchar*>(aligned);
}

// The block's size travels as the destroy function's data.
void FreePixels(guchar* pixels, gpointer bytes) { munmap(pixels, GPOINTER_TO_SIZE(bytes)); }

void Fail(GError** error, int code, const char* cause) {
  g_set_error(error, GDK_PIXBUF_ERROR, code, "%s%s", kSubject, cause);
}

// Appends `n` bytes, doubling the buffer as it fills.
bool Append(LoadContext* context, const guint8* data, size_t n, GError** error) {
  if (n > context->capacity - context->size) {
    size_t capacity = context->capacity < 65536 ? 65536 : context->capacity;
    while (capacity - context->size < n) {
      if (capacity > SIZE_MAX / 2) {
        Fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
        return false;
      }
      capacity *= 2;
    }
    auto* grown = static_cast<guint8*>(g_try_realloc(context->bytes, capacity));
    if (grown == nullptr) {
      Fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
      return false;
    }
    context->bytes = grown;
    context->capacity = capacity;
  }
  memcpy(context->bytes + context->size, data, n);
  context->size += n;
  return true;
}

// Checks the header once its bytes are in and tells the host the size.
bool CheckHeader(LoadContext* context, GError** error) {
  unsigned char raw[i24b::kHeaderSize];
  memcpy(raw, context->bytes, sizeof raw);
  if (i24b::ParseHeader(raw, &context->header) != kResultOk) {
    Fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "not an I24B picture: the header is not I24B's");
    return false;
  }
  context->headerChecked = true;
  if (context->header.width == 0 || context->header.height == 0) {
    Fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the header gives no pixels (a width or height of 0)");
    return false;
  }
  context->wantedWidth = context->header.width;
  context->wantedHeight = context->header.height;
  if (context->sizeFunc != nullptr) {
    context->sizeFunc(&context->wantedWidth, &context->wantedHeight, context->userData);
    // A size of 0 is how a host asks for the size alone.
    if (context->wantedWidth <= 0 || context->wantedHeight <= 0) {
      Fail(error, GDK_PIXBUF_ERROR_FAILED, "loading stopped after the size");
      return false;
    }
  }
  return true;
}

// Decodes the gathered file and hands the picture to the host.
bool Finish(LoadContext* context, GError** error) {
  if (!context->headerChecked) {
    if (context->size < i24b::kHeaderSize) {
      Fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "ends early: the header is cut short");
      return false;
    }
    if (!CheckHeader(context, error)) return false;
  }
  const i24b::Header& header = context->header;
  // No allocation for a picture whose data cannot hold it.
  const uint64_t needed = i24b::FewestCodedBytes(header.width, header.height);
  if (context->size - i24b::kHeaderSize < needed) {
    char cause[160];
    snprintf(cause, sizeof cause, "ends early: a %u x %u picture needs at least %llu bytes of coded data, the file has %llu",
             header.width, header.height, static_cast<unsigned long long>(needed),
             static_cast<unsigned long long>(context->size - i24b::kHeaderSize));
    Fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, cause);
    return false;
  }
  // Every row of the block is whole, the last one too (gdk_pixbuf_new
  // promises no padding after the last row).
  const uint32_t rowstride = i24b::RowStride(header.width);
  const size_t pixelBytes = size_t{rowstride} * header.height;
  guchar* pixels = AllocatePixels(pixelBytes);
  if (pixels == nullptr) {
    Fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory for the pixels");
    return false;
  }
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, FALSE, 8, header.width, header.height,
                                               static_cast<int>(rowstride), FreePixels, GSIZE_TO_POINTER(pixelBytes));
  uint32_t firstGuessedRow = i24b::kNoGuessedRow;
  const ResultCode result =
      DecodeIntoPixbuf(context->bytes, context->size, header, pixels, pixelBytes, &firstGuessedRow);
  if (result != kResultOk || firstGuessedRow != i24b::kNoGuessedRow) {
    g_object_unref(pixbuf);
    if (result == kResultOutOfMemory) {
      Fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory for the decoder's tables");
    } else if (result != kResultOk) {
      char cause[80];
      snprintf(cause, sizeof cause, "the decoder failed with result %d", static_cast<int>(result));
      Fail(error, GDK_PIXBUF_ERROR_FAILED, cause);
    } else {
      char cause[120];
      snprintf(cause, sizeof cause, "ends early: rows %u to %u of %u are guessed", firstGuessedRow + 1,
               static_cast<unsigned>(header.height), static_cast<unsigned>(header.height));
      Fail(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, cause);
    }
    return false;
  }
  if (context->wantedWidth != header.width || context->wantedHeight != header.height) {
    GdkPixbuf* scaled =
        gdk_pixbuf_scale_simple(pixbuf, context->wantedWidth, context->wantedHeight, GDK_INTERP_BILINEAR);
    g_object_unref(pixbuf);
    if (scaled == nullptr) {
      Fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory for the scaled picture");
      return false;
    }
    pixbuf = scaled;
  }
  if (context->preparedFunc != nullptr) context->preparedFunc(pixbuf, nullptr, context->userData);
  if (context->updatedFunc != nullptr) {
    context->updatedFunc(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                         context->userData);
  }
  g_object_unref(pixbuf);
  return true;
}

gpointer BeginLoad(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
                   GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, GError** error) {
  auto* context = static_cast<LoadContext*>(g_try_malloc0(sizeof(LoadContext)));
  if (context == nullptr) {
    Fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
    return nullptr;
  }
  context->sizeFunc = sizeFunc;
  context->preparedFunc = preparedFunc;
  context->updatedFunc = updatedFunc;
  context->userData = userData;
  return context;
}

gboolean LoadIncrement(gpointer data, const guchar* buf, guint size, GError** error) {
  auto* context = static_cast<LoadContext*>(data);
  if (context->failure != nullptr) {
    g_propagate_error(error, g_error_copy(context->failure));
    return FALSE;
  }
  const bool hadHeader = context->size >= i24b::kHeaderSize;
  GError* failure = nullptr;
  if (Append(context, buf, size, &failure) &&
      (hadHeader || context->size < i24b::kHeaderSize || CheckHeader(context, &failure))) {
    return TRUE;
  }
  context->failure = g_error_copy(failure);
  g_propagate_error(error, failure);
  return FALSE;
}

// gdk-pixbuf calls this after a failed increment too, with a fresh error.
gboolean StopLoad(gpointer data, GError** error) {
  auto* context = static_cast<LoadContext*>(data);
  bool ok = false;
  if (context->failure != nullptr) {
    g_propagate_error(error, context->failure);
  } else {
    ok = Finish(context, error);
  }
  g_free(context->bytes);
  g_free(context);
  return ok ? TRUE : FALSE;
}

// A whole file: read it into memory and decode as an incremental load does.
GdkPixbuf* LoadFile(FILE* file, GError** error) {
  GdkPixbuf* picture = nullptr;
  LoadContext context = {};
  context.preparedFunc = [](GdkPixbuf* pixbuf, GdkPixbufAnimation*, gpointer user) {
    *static_cast<GdkPixbuf**>(user) = GDK_PIXBUF(g_object_ref(pixbuf));
  };
  context.userData = &picture;
  bool ok = true;
  if (fseek(file, 0, SEEK_END) == 0) {
    const long end = ftell(file);
    if (end > 0 && fseek(file, 0, SEEK_SET) == 0) {
      context.bytes = static_cast<guint8*>(g_try_malloc(static_cast<size_t>(end)));
      if (context.bytes == nullptr) {
        Fail(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
        ok = false;
      } else {
        context.capacity = static_cast<size_t>(end);
      }
    }
  }
  guint8 chunk[65536];
  size_t got = 0;
  while (ok && (got = fread(chunk, 1, sizeof chunk, file)) > 0) ok = Append(&context, chunk, got, error);
  if (ok && ferror(file)) {
    Fail(error, GDK_PIXBUF_ERROR_FAILED, "cannot read the file");
    ok = false;
  }
  if (ok) ok = Finish(&context, error);
  g_free(context.bytes);
  return ok ? picture : nullptr;
}

}  // namespace

extern "C" G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
  module->load = LoadFile;
  module->begin_load = BeginLoad;
  module->load_increment = LoadIncrement;
  module->stop_load = StopLoad;
}

extern "C" G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
  // The header as gdk-pixbuf's own sniffing sees it: "I24B", version
  // 0x00010000, a reserved zero word, any width and height, 24 bits per
  // pixel, a reserved zero word. 'z' bytes must be zero, 'x' bytes are any;
  // the loader itself checks the header with i24b::ParseHeader.
  static GdkPixbufModulePattern signature[] = {
      {const_cast<gchar*>("I24Bzz\1zzzzzxxxx\30zzzzzzz"), const_cast<gchar*>("    zz zzzzzxxxx zzzzzzz"), 100},
      {nullptr, nullptr, 0},
  };
  static const gchar* mimeTypes[] = {"image/x-kaldorin-i24b", nullptr};
  static const gchar* extensions[] = {"i24", nullptr};
  info->name = const_cast<gchar*>("kaldorin-i24b");
  info->signature = signature;
  info->description = const_cast<gchar*>("KALDORIN I24B picture");
  info->mime_types = const_cast<gchar**>(mimeTypes);
  info->extensions = const_cast<gchar**>(extensions);
  info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
  info->license = const_cast<gchar*>("Other");
}
