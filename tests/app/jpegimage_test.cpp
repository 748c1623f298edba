// The background picture read with libjpeg: the real file decodes, and a bad
// file gives no picture instead of ending the program.

#include "app/jpegimage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

QString ProgramFile(const char* relative) {
  const QString folder = qEnvironmentVariable("VELLAMO_PROGRAM_DIR");
  return (folder.isEmpty() ? QStringLiteral(VELLAMO_TEST_PROGRAM_DIR) : folder) + relative;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

TEST(JpegImage, DecodesTheBackgroundAsAPalePictureOf640By400) {
  const QImage image = DecodeJpegFile(ProgramFile("pictures/background.jpg"));
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), QSize(640, 400));
  long long sum = 0;
  for (int y = 0; y < image.height(); y += 8)
    for (int x = 0; x < image.width(); x += 8) sum += qGray(image.pixel(x, y));
  const long long samples = (640 / 8) * (400 / 8);
  EXPECT_GT(sum / samples, 170);  // pale
  // The corners are board, not the clock's dark display.
  EXPECT_GT(qGray(image.pixel(2, 2)), 150);
}

TEST(JpegImage, DecodesTheAboutPictureAt100By100) {
  EXPECT_EQ(DecodeJpegFile(ProgramFile("pictures/info.jpg")).size(), QSize(100, 100));
}

TEST(JpegImage, AMissingEmptyOrForeignFileGivesNoPicture) {
  QTemporaryDir dir;
  EXPECT_TRUE(DecodeJpegFile(dir.filePath("missing.jpg")).isNull());
  EXPECT_TRUE(DecodeJpegData(QByteArray()).isNull());
  EXPECT_TRUE(DecodeJpegData(QByteArray("GIF89a this is no JPEG at all")).isNull());
  EXPECT_TRUE(DecodeJpegFile(dir.path()).isNull());  // a folder
}

TEST(JpegImage, ATruncatedOrCorruptPictureGivesNoPictureAndNoExit) {
  const QByteArray good = ReadAll(ProgramFile("pictures/background.jpg"));
  ASSERT_GT(good.size(), 1000);
  for (qsizetype cut : {qsizetype(2), qsizetype(20), qsizetype(200), good.size() / 2, good.size() - 2})
    EXPECT_TRUE(DecodeJpegData(good.left(cut)).isNull()) << "cut at " << cut;

  QByteArray scrambled = good;
  for (qsizetype i = 600; i < scrambled.size(); i += 97) scrambled[i] = char(0xFF);
  EXPECT_TRUE(DecodeJpegData(scrambled).isNull());

  QByteArray badHeader = good;
  badHeader[3] = 0x00;  // the first marker after SOI is no marker
  EXPECT_TRUE(DecodeJpegData(badHeader).isNull());
}
