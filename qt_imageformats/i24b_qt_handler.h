// The QImageIOHandler for I24B pictures: reads through the decoder core
// (i24b::DecodeRgbRows) straight into the QImage's pixel rows, and writes
// through the encoder.
#ifndef KALDORIN_QT_IMAGEFORMATS_I24B_QT_HANDLER_H
#define KALDORIN_QT_IMAGEFORMATS_I24B_QT_HANDLER_H

#include <QImageIOHandler>

class I24BImageHandler : public QImageIOHandler {
 public:
  // Whether the next 24 bytes of `device` are an I24B header, as glimmet's
  // IsSupported decides; the device's position is kept.
  static bool IsI24B(QIODevice* device);

  bool canRead() const override;
  // Refuses, with a warning naming the cause: a header that is not I24B's
  // or gives no pixels; a file too short for its header's size (before
  // anything is allocated); data that ends early (naming the first row
  // made up); pixels Qt cannot hold.
  bool read(QImage* image) override;
  // Refuses, with a warning, pictures with pixels that are not fully
  // opaque and sizes I24B cannot hold.
  bool write(const QImage& image) override;
  // Size and ImageFormat come from the header alone.
  QVariant option(ImageOption option) const override;
  bool supportsOption(ImageOption option) const override;
};

#endif
