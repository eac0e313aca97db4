// The gdk-pixbuf loader as GTK programs use it: gdk-pixbuf finds it through
// a private loaders cache that names only our module, and recognises I24B
// files through a private MIME database holding our types. Pictures are
// made with our encoder, whose input glimmet reproduces exactly, so every
// decoded pixel is compared with the encoder's input.
#include <stdlib.h>
#include <string.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/test_files.h"
#include "image_i24b/i24b_encoder.h"

namespace {

// A subprocess of gdk-pixbuf's own tools, with the sanitizer runtime this
// build's module needs preloaded. Returns the exit status, or -1.
int RunTool(const std::vector<std::string>& argv, std::string* output) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  gchar** env = g_get_environ();
  if (strlen(KALDORIN_SANITIZER_PRELOAD) != 0) {
    env = g_environ_setenv(env, "LD_PRELOAD", KALDORIN_SANITIZER_PRELOAD, TRUE);
    env = g_environ_setenv(env, "ASAN_OPTIONS", "detect_leaks=0", TRUE);  // the tools' own
  }
  gchar* out = nullptr;
  gchar* err = nullptr;
  gint status = -1;
  GError* error = nullptr;
  const bool ran = g_spawn_sync(nullptr, args.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &status,
                                &error);
  g_strfreev(env);
  if (output != nullptr) *output = std::string(out != nullptr ? out : "") + (err != nullptr ? err : "");
  g_free(out);
  g_free(err);
  if (!ran) {
    if (output != nullptr) *output = error->message;
    g_error_free(error);
    return -1;
  }
  return g_spawn_check_wait_status(status, nullptr) ? 0 : 1;
}

// The private loaders cache and MIME database, made before gdk-pixbuf or
// GIO read their environment.
class LoaderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string mimeDir = dir_.path() + "/share/mime";
    ASSERT_EQ(0, g_mkdir_with_parents((mimeDir + "/packages").c_str(), 0755));
    Bytes xml;
    ASSERT_TRUE(ReadWholeFile(KALDORIN_MIME_XML, &xml));
    dir_.Write("share/mime/packages/kaldorin.xml", xml);
    std::string output;
    ASSERT_EQ(0, RunTool({"update-mime-database", mimeDir}, &output)) << output;
    ASSERT_EQ(0, RunTool({KALDORIN_QUERY_LOADERS, KALDORIN_PIXBUF_MODULE}, &output)) << output;
    const std::string cache = dir_.Write("loaders.cache", Bytes(output.begin(), output.end()));
    setenv("GDK_PIXBUF_MODULE_FILE", cache.c_str(), 1);
    setenv("XDG_DATA_DIRS", (dir_.path() + "/share:/usr/share").c_str(), 1);
  }

 private:
  ScratchDir dir_;
};

[[maybe_unused]] const ::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(new LoaderEnvironment);

// Pixels with runs, gradients and noise, top-down RGB.
Bytes TestPixels(uint32_t width, uint32_t height) {
  Bytes rgb(size_t{width} * height * 3);
  uint32_t seed = width * 7919 + height;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &rgb[(size_t{y} * width + x) * 3];
      seed = seed * 1103515245 + 12345;
      const bool flat = (x / 8 + y / 4) % 3 == 0;
      p[0] = flat ? 40 : static_cast<uint8_t>(x * 255 / width);
      p[1] = flat ? 200 : static_cast<uint8_t>(y * 255 / height + (seed >> 28));
      p[2] = flat ? 90 : static_cast<uint8_t>(seed >> 16);
    }
  }
  return rgb;
}

Bytes Encode(const Bytes& rgb, uint32_t width, uint32_t height) {
  Bytes file;
  std::string error;
  EXPECT_TRUE(i24b::EncodeI24B(rgb.data(), width, height, &file, nullptr, nullptr, nullptr, &error)) << error;
  return file;
}

// The picture's pixels without row padding, top-down RGB.
Bytes PixelsOf(GdkPixbuf* pixbuf) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
  Bytes rgb;
  for (int y = 0; y < height; ++y) {
    const guchar* row = pixels + size_t(y) * gdk_pixbuf_get_rowstride(pixbuf);
    for (int x = 0; x < width; ++x) rgb.insert(rgb.end(), row + x * channels, row + x * channels + 3);
  }
  return rgb;
}

// What an incremental load through GdkPixbufLoader gave.
struct IncrementalLoad {
  GdkPixbuf* pixbuf = nullptr;  // owned; null when the load failed
  GError* error = nullptr;      // owned
  size_t fedWhenSized = 0;      // bytes written when size-prepared came (0: never)
  size_t fed = 0;
};

// Writes `data` in pieces of 1, 7, 23 and 4093 bytes, in turn.
IncrementalLoad LoadInPieces(const Bytes& data) {
  IncrementalLoad load;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("kaldorin-i24b", &load.error);
  if (loader == nullptr) return load;
  g_signal_connect(loader, "size-prepared", G_CALLBACK(+[](GdkPixbufLoader*, int, int, gpointer user) {
                     auto* l = static_cast<IncrementalLoad*>(user);
                     l->fedWhenSized = l->fed;
                   }),
                   &load);
  static const size_t kPieces[] = {1, 7, 23, 4093};
  bool ok = true;
  for (size_t at = 0, i = 0; ok && at < data.size(); ++i) {
    const size_t n = std::min(kPieces[i % 4], data.size() - at);
    load.fed = at + n;
    ok = gdk_pixbuf_loader_write(loader, data.data() + at, n, &load.error);
    at += n;
  }
  // A failed write has closed the load; close reports nothing more then.
  const bool closed = gdk_pixbuf_loader_close(loader, ok ? &load.error : nullptr);
  if (ok && closed) {
    load.pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (load.pixbuf != nullptr) g_object_ref(load.pixbuf);
  } else {
    EXPECT_EQ(nullptr, gdk_pixbuf_loader_get_pixbuf(loader)) << "no picture from a failed load";
  }
  g_object_unref(loader);
  return load;
}

// The first count of bytes written in LoadInPieces' pieces that holds the header.
size_t FedForHeader(size_t total) {
  static const size_t kPieces[] = {1, 7, 23, 4093};
  size_t fed = 0;
  for (size_t i = 0; fed < 24 && fed < total; ++i) fed = std::min(fed + kPieces[i % 4], total);
  return fed;
}

Bytes WithWord(Bytes b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

struct LoadCase {
  const char* name;
  uint32_t width;  // of the encoded picture
  uint32_t height;
  // Bytes of the encoded file to keep (0: all), or a file of its own.
  size_t keep;
  Bytes (*make)(const Bytes& encoded);
  const char* error;  // null: loads to the encoder's input; else a part of the message
  GdkPixbufError code;
};

Bytes HeaderOnlyVersion2(const Bytes& e) { return WithWord(e, 4, 0x00020000); }
Bytes ZeroWidth(const Bytes& e) {
  Bytes b = e;
  b[12] = b[13] = 0;
  return b;
}
Bytes CutTwoBytes(const Bytes& e) { return Bytes(e.begin(), e.end() - 2); }

const LoadCase kLoadCases[] = {
    {"one pixel", 1, 1, 0, nullptr, nullptr, GDK_PIXBUF_ERROR_FAILED},
    {"3x2", 3, 2, 0, nullptr, nullptr, GDK_PIXBUF_ERROR_FAILED},
    {"odd width 33x9", 33, 9, 0, nullptr, nullptr, GDK_PIXBUF_ERROR_FAILED},
    {"odd width 127x5, rows of 381 bytes", 127, 5, 0, nullptr, nullptr, GDK_PIXBUF_ERROR_FAILED},
    {"300x200, many pieces", 300, 200, 0, nullptr, nullptr, GDK_PIXBUF_ERROR_FAILED},
    {"cut inside the header", 33, 9, 10, nullptr, "ends early: the header is cut short",
     GDK_PIXBUF_ERROR_CORRUPT_IMAGE},
    {"cut to fewer bytes than any coding takes", 300, 200, 60, nullptr, "ends early: a 300 x 200 picture needs",
     GDK_PIXBUF_ERROR_CORRUPT_IMAGE},
    {"last two bytes cut off", 300, 200, 0, CutTwoBytes, "ends early: rows", GDK_PIXBUF_ERROR_CORRUPT_IMAGE},
    {"another version in the header", 33, 9, 0, HeaderOnlyVersion2, "not an I24B picture",
     GDK_PIXBUF_ERROR_CORRUPT_IMAGE},
    {"a width of 0", 33, 9, 0, ZeroWidth, "no pixels", GDK_PIXBUF_ERROR_CORRUPT_IMAGE},
};

void ExpectFailure(const LoadCase& c, GdkPixbuf* pixbuf, const GError* error, const char* how) {
  EXPECT_EQ(nullptr, pixbuf) << how;
  ASSERT_NE(nullptr, error) << how;
  EXPECT_EQ(GDK_PIXBUF_ERROR, error->domain) << how << ": " << error->message;
  EXPECT_EQ(c.code, error->code) << how << ": " << error->message;
  EXPECT_NE(nullptr, strstr(error->message, c.error)) << how << ": " << error->message;
  EXPECT_NE(nullptr, strstr(error->message, "kaldorin: I24B picture: ")) << how << ": " << error->message;
}

TEST(PixbufLoader, LoadsWholeAndInPiecesOrFailsWithTheCause) {
  ScratchDir dir;
  for (const LoadCase& c : kLoadCases) {
    SCOPED_TRACE(c.name);
    const Bytes rgb = TestPixels(c.width, c.height);
    Bytes data = Encode(rgb, c.width, c.height);
    if (c.keep != 0) data.resize(c.keep);
    if (c.make != nullptr) data = c.make(data);
    // By extension, and (for whole pictures) by content under another name.
    const std::string path = dir.Write("picture.i24", data);
    const std::string unnamed = dir.Write("picture.bin", data);

    GError* error = nullptr;
    GdkPixbuf* whole = gdk_pixbuf_new_from_file(path.c_str(), &error);
    IncrementalLoad pieces = LoadInPieces(data);
    if (c.error != nullptr) {
      ExpectFailure(c, whole, error, "from the file");
      ExpectFailure(c, pieces.pixbuf, pieces.error, "in pieces");
    } else {
      ASSERT_NE(nullptr, whole) << error->message;
      ASSERT_NE(nullptr, pieces.pixbuf) << pieces.error->message;
      EXPECT_EQ(rgb, PixelsOf(whole));
      EXPECT_EQ(rgb, PixelsOf(pieces.pixbuf));
      EXPECT_EQ(FedForHeader(data.size()), pieces.fedWhenSized) << "the size comes with the header";

      GdkPixbuf* sniffed = gdk_pixbuf_new_from_file(unnamed.c_str(), &error);
      ASSERT_NE(nullptr, sniffed) << error->message;
      EXPECT_EQ(rgb, PixelsOf(sniffed));
      g_object_unref(sniffed);
      // A requested size: decoded, then scaled.
      GdkPixbuf* scaled = gdk_pixbuf_new_from_file_at_scale(path.c_str(), 7, 3, FALSE, &error);
      ASSERT_NE(nullptr, scaled) << error->message;
      EXPECT_EQ(7, gdk_pixbuf_get_width(scaled));
      EXPECT_EQ(3, gdk_pixbuf_get_height(scaled));
      g_object_unref(scaled);
    }
    if (whole != nullptr) g_object_unref(whole);
    if (pieces.pixbuf != nullptr) g_object_unref(pieces.pixbuf);
    g_clear_error(&error);
    g_clear_error(&pieces.error);
  }
}

TEST(PixbufLoader, ThumbnailerWritesAThumbnail) {
  ScratchDir dir;
  const std::string in = dir.Write("in.i24", Encode(TestPixels(300, 200), 300, 200));
  const std::string out = dir.File("out.png");
  std::string output;
  ASSERT_EQ(0, RunTool({"gdk-pixbuf-thumbnailer", "-s", "128", in, out}, &output)) << output;
  GError* error = nullptr;
  GdkPixbuf* thumbnail = gdk_pixbuf_new_from_file(out.c_str(), &error);
  ASSERT_NE(nullptr, thumbnail) << error->message;
  GdkPixbufFormat* format = gdk_pixbuf_get_file_info(out.c_str(), nullptr, nullptr);
  ASSERT_NE(nullptr, format);
  gchar* name = gdk_pixbuf_format_get_name(format);
  EXPECT_STREQ("png", name);
  g_free(name);
  EXPECT_EQ(128, gdk_pixbuf_get_width(thumbnail));
  EXPECT_EQ(85, gdk_pixbuf_get_height(thumbnail));
  g_object_unref(thumbnail);
}

// Which MIME type the shared MIME database gives a file name and its first bytes.
TEST(PixbufLoader, MimeTypesByNameAndContent) {
  const Bytes picture = Encode(TestPixels(5, 5), 5, 5);
  const Bytes archive = {'P', 'A', 'C', 'K', 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes text = {'s', 'c', 'o', 'r', 'e', '=', '1', '\n'};
  struct Case {
    const char* name;
    const Bytes* data;  // null: by name alone
    const char* type;
    bool ours;
  } cases[] = {
      {"PICTURE.I24", nullptr, "image/x-kaldorin-i24b", true},
      {"picture.bin", &picture, "image/x-kaldorin-i24b", true},
      {"GAME.PAK", &archive, "application/x-kaldorin-pack", true},
      {"GAME.DAT", &archive, "application/x-kaldorin-pack", true},
      {"scores.dat", &text, "application/x-kaldorin-pack", false},
      {"scores.dat", nullptr, "application/x-kaldorin-pack", false},
  };
  for (const Case& c : cases) {
    gchar* type = g_content_type_guess(c.name, c.data != nullptr ? c.data->data() : nullptr,
                                       c.data != nullptr ? c.data->size() : 0, nullptr);
    EXPECT_EQ(c.ours, g_content_type_equals(type, c.type) != FALSE) << c.name << " is " << type;
    g_free(type);
  }
}

}  // namespace
