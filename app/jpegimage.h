#pragma once
// Decodes a JPEG file with libjpeg's own API. A missing, truncated or corrupt
// file gives a null image; libjpeg's default error handler would end the
// process, so ours jumps back out of the decoder instead.

#include <QImage>
#include <QString>

QImage DecodeJpegFile(const QString& path);
QImage DecodeJpegData(const QByteArray& data);
