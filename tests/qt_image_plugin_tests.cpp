// The Qt image plug-in as Qt programs use it: QImageReader and QImageWriter
// with this build's plug-in folder on Qt's library path (built once per Qt
// version). Pictures written through the plug-in must read back exactly
// and decode through glimmet to the same pixels; bad files must be refused
// with a warning naming the cause.
#include <string.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <gtest/gtest.h>

#include <string>

#include "tests/plugin_exports.h"

namespace {

std::string gWarnings;  // what the plug-in said through qWarning

void RecordMessage(QtMsgType, const QMessageLogContext&, const QString& message) {
  gWarnings += message.toStdString() + "\n";
}

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "qt_image_plugin_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QCoreApplication(argc, argv);
    QCoreApplication::addLibraryPath(KALDORIN_QT_PLUGIN_DIR);
    qInstallMessageHandler(RecordMessage);
  }
  void TearDown() override { delete app_; }

 private:
  QCoreApplication* app_ = nullptr;
};

[[maybe_unused]] const ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Top-down RGB without row padding.
Bytes PixelsOf(const QImage& image) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  Bytes out;
  for (int y = 0; y < rgb.height(); ++y) out.insert(out.end(), rgb.constScanLine(y), rgb.constScanLine(y) + rgb.width() * 3);
  return out;
}

// glimmet's GetPicture of an I24B file in memory, as top-down RGB.
Bytes GlimmetPixels(const Bytes& file) {
  Plugin plugin;
  if (!LoadPlugin("glimmet", &plugin)) return Bytes();
  GlimmetExports glimmet;
  Bytes rgb;
  HLOCAL info = nullptr;
  HLOCAL pixels = nullptr;
  if (FindExports(plugin, &glimmet) &&
      glimmet.getPicture(AsSource(file), SizeOf(file), kInputMemory, &info, &pixels, nullptr, 0) == kResultOk) {
    const Bytes header = TakeBlock(info);
    const Bytes dib = TakeBlock(pixels);
    int32_t width = 0;
    int32_t height = 0;
    memcpy(&width, &header[4], 4);
    memcpy(&height, &header[8], 4);
    const size_t stride = (size_t(width) * 3 + 3) & ~size_t{3};
    for (int32_t y = height - 1; y >= 0; --y) {
      for (int32_t x = 0; x < width; ++x) {
        const uint8_t* p = &dib[size_t(y) * stride + size_t(x) * 3];
        rgb.insert(rgb.end(), {p[2], p[1], p[0]});
      }
    }
  }
  UnloadPlugin(&plugin);
  return rgb;
}

// Gradients, flat blocks and noise.
QImage TestPicture(int width, int height, QImage::Format format) {
  QImage image(width, height, format);
  uint32_t seed = uint32_t(width) * 7919 + uint32_t(height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      seed = seed * 1103515245 + 12345;
      const bool flat = (x / 8 + y / 4) % 3 == 0;
      image.setPixel(x, y, flat ? qRgb(40, 200, 90) : qRgb(x * 255 / width, (y * 255 / height + (seed >> 28)) & 255, (seed >> 16) & 255));
    }
  }
  return image;
}

QImage SeeThrough(QImage image) {
  image = image.convertToFormat(QImage::Format_ARGB32);
  image.setPixel(1, 0, qRgba(10, 20, 30, 128));
  return image;
}

TEST(QtImagePlugin, FoundInThisQt) {
  EXPECT_TRUE(QImageReader::supportedImageFormats().contains("i24b"));
  EXPECT_TRUE(QImageReader::supportedImageFormats().contains("i24"));
  EXPECT_TRUE(QImageReader::supportedMimeTypes().contains("image/x-kaldorin-i24b"));
  EXPECT_TRUE(QImageWriter::supportedImageFormats().contains("i24b"));
}

// Bytes as a pipe gives them: a device that cannot seek or tell its size.
struct Stream : QIODevice {
  explicit Stream(const Bytes& bytes) : left(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())) {
    open(QIODevice::ReadOnly);
  }
  bool isSequential() const override { return true; }
  qint64 readData(char* data, qint64 most) override {
    const QByteArray part = left.left(most);
    left.remove(0, part.size());
    memcpy(data, part.constData(), size_t(part.size()));
    return part.size();
  }
  qint64 writeData(const char*, qint64) override { return -1; }
  QByteArray left;
};

struct WriteCase {
  const char* name;
  QImage image;
  const char* warning;  // null: written, read back and decoded by glimmet alike
};

TEST(QtImagePlugin, WritesAndReadsBackExactly) {
  const WriteCase cases[] = {
      {"samples/sample.png", QImage(KALDORIN_SAMPLES_DIR "/sample.png"), nullptr},
      {"samples/sample.bmp", QImage(KALDORIN_SAMPLES_DIR "/sample.bmp"), nullptr},
      {"one pixel", TestPicture(1, 1, QImage::Format_RGB32), nullptr},
      {"odd width 127x5, rows of 381 bytes", TestPicture(127, 5, QImage::Format_RGB888), nullptr},
      {"opaque ARGB32 300x200", TestPicture(300, 200, QImage::Format_ARGB32), nullptr},
      {"one pixel half transparent", SeeThrough(TestPicture(3, 2, QImage::Format_RGB32)),
       "1 of the 6 pixels are not fully opaque"},
      {"wider than I24B", QImage(65536, 1, QImage::Format_RGB888), "I24B holds 1 to 65535"},
  };
  ScratchDir dir;
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.image.isNull());
    gWarnings.clear();
    const std::string path = dir.File("picture.i24");
    remove(path.c_str());
    QImageWriter writer(QString::fromStdString(path), "i24b");
    const bool written = writer.write(c.image);
    if (c.warning != nullptr) {
      EXPECT_FALSE(written);
      EXPECT_NE(std::string::npos, gWarnings.find(c.warning)) << gWarnings;
      continue;
    }
    ASSERT_TRUE(written) << gWarnings << writer.errorString().toStdString();
    Bytes file;
    ASSERT_TRUE(ReadWholeFile(path, &file));
    const Bytes expected = PixelsOf(c.image);
    EXPECT_EQ(expected, GlimmetPixels(file)) << "glimmet decodes what was written";

    // By suffix, and by content under another suffix; the size from the header.
    const std::string other = dir.Write("picture.bin", file);
    for (const std::string& name : {path, other}) {
      QImageReader reader(QString::fromStdString(name));
      EXPECT_EQ(c.image.size(), reader.size());
      EXPECT_EQ("i24b", reader.format().toStdString()) << name;
      const QImage back = reader.read();
      ASSERT_FALSE(back.isNull()) << name << ": " << reader.errorString().toStdString() << gWarnings;
      EXPECT_EQ(QImage::Format_RGB888, back.format());
      EXPECT_EQ(expected, PixelsOf(back)) << name;
    }
    Stream stream(file);
    EXPECT_EQ(expected, PixelsOf(QImageReader(&stream, "i24b").read())) << "from a stream" << gWarnings;
  }
}

struct ReadCase {
  const char* name;
  Bytes (*make)(const Bytes& encoded);  // from a 300x200 picture
  bool recognised;                      // by its header
  const char* warning;                  // part of the warning; null: any outcome but a crash
};

Bytes WithWord(Bytes b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

const ReadCase kReadCases[] = {
    {"cut inside the header", [](const Bytes& e) { return Bytes(e.begin(), e.begin() + 10); }, false,
     "not an I24B picture"},
    {"another version", [](const Bytes& e) { return WithWord(e, 4, 0x00020000); }, false, "not an I24B picture"},
    {"a height of 0", [](const Bytes& e) { return WithWord(e, 12, 300); }, true, "the header gives no pixels"},
    {"header alone", [](const Bytes& e) { return Bytes(e.begin(), e.begin() + 24); }, true,
     "ends early: a 300 x 200 picture needs at least"},
    {"65535 x 65535 in 1000 bytes", [](const Bytes& e) { return WithWord(Bytes(e.begin(), e.begin() + 1000), 12, 0xFFFFFFFF); },
     true, "ends early: a 65535 x 65535 picture needs at least 63913009 bytes of coded data, the file has 976"},
    {"last two bytes cut off", [](const Bytes& e) { return Bytes(e.begin(), e.end() - 2); }, true,
     "ends early: rows "},
    {"coded data overwritten with 0xFF", [](const Bytes& e) {
       Bytes b = e;
       memset(&b[24], 0xFF, b.size() - 24);
       return b;
     }, true, nullptr},
};

TEST(QtImagePlugin, RefusesBadFilesWithTheCause) {
  QImage picture = TestPicture(300, 200, QImage::Format_RGB888);
  QBuffer encoded;
  encoded.open(QIODevice::WriteOnly);
  ASSERT_TRUE(QImageWriter(&encoded, "i24b").write(picture));
  const Bytes e(encoded.data().begin(), encoded.data().end());
  ScratchDir dir;
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write("bad.i24", c.make(e));
    gWarnings.clear();
    QImageReader byContent(QString::fromStdString(path), QByteArray());
    byContent.setDecideFormatFromContent(true);
    EXPECT_EQ(c.recognised, byContent.canRead());
    QImageReader reader(QString::fromStdString(path), "i24b");
    const QImage image = reader.read();
    if (c.warning != nullptr) {
      EXPECT_TRUE(image.isNull());
      EXPECT_NE(std::string::npos, gWarnings.find(std::string("kaldorin: I24B picture: ") + c.warning)) << gWarnings;
    }
  }
}

}  // namespace
