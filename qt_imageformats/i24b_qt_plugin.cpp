#include "qt_imageformats/i24b_qt_plugin.h"

#include "qt_imageformats/i24b_qt_handler.h"

namespace {

bool OurFormat(const QByteArray& format) { return format == "i24b" || format == "i24"; }

}  // namespace

QImageIOPlugin::Capabilities I24BImagePlugin::capabilities(QIODevice* device, const QByteArray& format) const {
  if (OurFormat(format)) return Capabilities(CanRead | CanWrite);
  if (!format.isEmpty() || device == nullptr || !device->isReadable()) return Capabilities();
  return I24BImageHandler::IsI24B(device) ? Capabilities(CanRead) : Capabilities();
}

QImageIOHandler* I24BImagePlugin::create(QIODevice* device, const QByteArray& format) const {
  QImageIOHandler* handler = new I24BImageHandler;
  handler->setDevice(device);
  handler->setFormat(format.isEmpty() ? QByteArray("i24b") : format);
  return handler;
}
