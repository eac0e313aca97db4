// The Qt image format plug-in for I24B pictures: QImageReader finds it by
// the suffix .i24 or by the header, QImageWriter by the format "i24b".
// Built once against Qt 5 and once against Qt 6 from this source.
#ifndef KALDORIN_QT_IMAGEFORMATS_I24B_QT_PLUGIN_H
#define KALDORIN_QT_IMAGEFORMATS_I24B_QT_PLUGIN_H

#include <QImageIOPlugin>

class I24BImagePlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QImageIOHandlerFactoryInterface" FILE "kaldorin-i24b.json")

 public:
  // Reading for any device whose header is I24B's, and for the format
  // "i24b" (or "i24"); writing only for the named format.
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
  QImageIOHandler* create(QIODevice* device, const QByteArray& format = QByteArray()) const override;
};

#endif
