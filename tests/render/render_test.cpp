// render_test.cpp: the renderer's work in this process: the stream it writes, byte for byte,
// and the PNG and JPEG decoding it does (truncated files, sizes checked from the header, CMYK).
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "imagefile.h"
#include "previewrecord.h"
#include "renderer.h"
#include "testdocs.h"
#include "testsupport.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

using namespace app;
using testsupport::hexBytes;

namespace {

// Runs the renderer's work on a document file; returns the stream and sets `status`.
std::string streamOf(RenderJob job, const std::string& document, int& status)
{
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("document"), document);
  job.path = dir.file("document");
  int out = open(dir.file("stream").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  status = writeRenderStream(job, out);
  close(out);
  return testsupport::readFile(dir.file("stream"));
}

RenderJob job(DocumentFormat format, unsigned width, unsigned height, int first = 1, int last = 9)
{
  RenderJob result;
  result.format = format;
  result.width = width;
  result.height = height;
  result.firstPage = first;
  result.lastPage = last;
  return result;
}

std::uint32_t wordAt(const std::string& stream, std::size_t at)
{
  return getWord(reinterpret_cast<const unsigned char*>(stream.data()) + at);
}

bool decodes(DocumentFormat format, const std::string& file, LabelBitmap& out, std::string& error)
{
  auto data = reinterpret_cast<const unsigned char*>(file.data());
  return format == DocumentFormat::png ? renderPng(data, file.size(), 64, 64, out, error)
                                       : renderJpeg(data, file.size(), 64, 64, out, error);
}

}  // namespace

TEST(RenderStream, OnePngPageByteForByte)
{
  // An 8 x 2 black image on a 24 x 10 label: centred, so rows 4 and 5 have their middle byte
  // black.
  testdocs::Grey black{8, 2, std::vector<unsigned char>(16, 0)};
  int status = -1;
  // print-scaling none: at its size (the default would enlarge it).
  RenderJob oneToOne = job(DocumentFormat::png, 24, 10);
  oneToOne.place.scaling = Scaling::none;
  std::string stream = streamOf(oneToOne, testdocs::pngFile(black), status);
  std::string expected = hexBytes(
      "4C 42 52 53  03 00 00 00"                           // LBRS, version 3
      "44 4F 43 55  01 00 00 00  01 00 00 00  01 00 00 00"  // DOCU: 1 page, pages 1 to 1
      "50 41 47 45  01 00 00 00  18 00 00 00  0A 00 00 00  03 00 00 00"  // PAGE 1: 24 x 10, 3
      "00 00 00  00 00 00  00 00 00  00 00 00  00 FF 00"
      "00 FF 00  00 00 00  00 00 00  00 00 00  00 00 00"
      "44 4F 4E 45  00 00 00 00  00 00 00 00");           // DONE: every page, no text
  EXPECT_BYTES(expected, stream);
  EXPECT_EQ(kExitDone, status);
}

TEST(RenderStream, DamagedDocumentEndsWithItsReason)
{
  std::string png = testdocs::pngFile(testdocs::blocks(16, 16, 4));
  int status = -1;
  std::string stream = streamOf(job(DocumentFormat::png, 24, 10), png.substr(0, png.size() - 5), status);
  std::string reason = "The PNG file is truncated or damaged";
  std::string expected = hexBytes(
      "4C 42 52 53  03 00 00 00"
      "44 4F 43 55  01 00 00 00  01 00 00 00  01 00 00 00"
      "44 4F 4E 45  01 00 00 00  24 00 00 00") + reason;  // DONE: failed, 36 bytes of text
  EXPECT_BYTES(expected, stream);
  EXPECT_EQ(kExitFailed, status);

  // A PDF that is not one fails before the document record.
  stream = streamOf(job(DocumentFormat::pdf, 24, 10), "%PDF-1.4\nnothing here\n", status);
  EXPECT_EQ(kDoneTag, wordAt(stream, 8));
  EXPECT_NE(std::string::npos, stream.find("The PDF file cannot be read"));
  EXPECT_EQ(kExitFailed, status);
}

TEST(RenderStream, PageRangeIsClampedToTheDocument)
{
  // Pages 2 to 9 of three: pages 2 and 3, each the label's size (at full size: no note).
  int status = -1;
  RenderJob range = job(DocumentFormat::pdf, 40, 60, 2, 9);
  range.place.scaling = Scaling::none;
  std::string stream = streamOf(range, testdocs::labelPdf(3), status);
  ASSERT_EQ(kExitDone, status);
  ASSERT_GE(stream.size(), 24u);
  EXPECT_EQ(kDocumentTag, wordAt(stream, 8));
  EXPECT_EQ(3u, wordAt(stream, 12));
  EXPECT_EQ(2u, wordAt(stream, 16));
  EXPECT_EQ(3u, wordAt(stream, 20));
  std::size_t pageBytes = 20 + 5 * 60;
  ASSERT_EQ(24 + 2 * pageBytes + 12, stream.size());
  for (std::uint32_t n : {2u, 3u}) {
    std::size_t at = 24 + (n - 2) * pageBytes;
    EXPECT_EQ(kPageTag, wordAt(stream, at));
    EXPECT_EQ(n, wordAt(stream, at + 4));
    EXPECT_EQ(40u, wordAt(stream, at + 8));
    EXPECT_EQ(60u, wordAt(stream, at + 12));
    EXPECT_EQ(5u, wordAt(stream, at + 16));
  }
  EXPECT_EQ(kDoneTag, wordAt(stream, 24 + 2 * pageBytes));

  // A range past the document's end: the count, no pages, done.
  stream = streamOf(job(DocumentFormat::pdf, 40, 60, 5, 9), testdocs::labelPdf(3), status);
  EXPECT_EQ(kExitDone, status);
  EXPECT_EQ(5u, wordAt(stream, 16));
  EXPECT_EQ(3u, wordAt(stream, 20));
  EXPECT_EQ(kDoneTag, wordAt(stream, 24));
}

TEST(RenderStream, ArgumentsAreCheckedWhole)
{
  auto parses = [](std::vector<const char*> args) {
    args.insert(args.begin(), "label-render");
    RenderJob parsed;
    std::string error;
    return parseRenderArguments(static_cast<int>(args.size()), args.data(), parsed, error);
  };
  EXPECT_TRUE(parses({"pdf", "203", "812", "1218", "1", "2147483647", "/tmp/x.pdf"}));
  EXPECT_TRUE(parses({"jpeg", "300", "1", "1", "3", "2"}));
  EXPECT_FALSE(parses({"gif", "203", "812", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"pdf", "203", "0", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"pdf", "203", "32768", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"pdf", "203x", "812", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"pdf", "203", "812", "1218", "0", "1"}));
  EXPECT_FALSE(parses({"pdf", "203", "812", "1218", "1", "2147483648"}));
  EXPECT_FALSE(parses({"pdf", "203", "812", "1218", "1", "1", ""}));
  EXPECT_FALSE(parses({"pdf", "203", "812", "1218", "1"}));

  // Placement options come first, each once, with values the client sends.
  RenderJob parsed;
  std::string error;
  const char* argv[] = {"label-render", "--scaling=fill", "--orientation=5", "--auto-turn=90",
                        "--no-crop", "png", "203", "812", "1218", "1", "1"};
  ASSERT_TRUE(parseRenderArguments(11, argv, parsed, error)) << error;
  EXPECT_EQ(Scaling::fill, parsed.place.scaling);
  EXPECT_EQ(5, parsed.place.orientation);
  EXPECT_EQ(90, parsed.place.autoTurn);
  EXPECT_FALSE(parsed.place.crop);
  EXPECT_EQ(DocumentFormat::png, parsed.format);
  EXPECT_FALSE(parses({"--scaling=stretch", "pdf", "203", "812", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"--orientation=7", "pdf", "203", "812", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"--auto-turn=180", "pdf", "203", "812", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"--no-crop", "--no-crop", "pdf", "203", "812", "1218", "1", "1"}));
  EXPECT_FALSE(parses({"--crop", "pdf", "203", "812", "1218", "1", "1"}));
  // The preview: media of 0 x 0 is the 4 x 6 in default; labels 0 to 4; no placement options.
  EXPECT_TRUE(parses({"preview", "203", "0", "0", "0"}));
  EXPECT_TRUE(parses({"preview", "300", "1200", "1800", "4", "/tmp/kept"}));
  EXPECT_FALSE(parses({"preview", "203", "0", "0", "5"}));
  EXPECT_FALSE(parses({"preview", "203", "0", "0", "-1"}));
  EXPECT_FALSE(parses({"preview", "0", "0", "0", "1"}));
  EXPECT_FALSE(parses({"preview", "203", "0", "0"}));
  EXPECT_FALSE(parses({"preview", "203", "0", "0", "1", ""}));
  EXPECT_FALSE(parses({"--no-crop", "preview", "203", "0", "0", "1"}));
}

// A kept job for the preview page: its summary as one record, or one label as a PNG; a label
// the job does not have ends the stream with the reason.
TEST(RenderStream, PreviewSendsTheSummaryOrOneLabel)
{
  const std::string zpl = "^XA^PW200^LL100^FO10,10^GB180,80,4^FS^FO20,30^A0N,20,20^FDBay 7^FS~SD20^XZ";
  RenderJob preview;
  preview.previewLabel = 0;
  int status = -1;
  std::string stream = streamOf(preview, zpl, status);
  EXPECT_EQ(kExitDone, status);
  ASSERT_GE(stream.size(), 16u);
  EXPECT_EQ(kStreamMagic, wordAt(stream, 0));
  EXPECT_EQ(kStreamVersion, wordAt(stream, 4));
  EXPECT_EQ(kSummaryTag, wordAt(stream, 8));
  std::uint32_t length = wordAt(stream, 12);
  ASSERT_EQ(16u + length + 12u, stream.size());
  JobSummary summary;
  std::string error;
  ASSERT_TRUE(decodeSummary({reinterpret_cast<const unsigned char*>(stream.data()) + 16, length}, summary, error))
      << error;
  EXPECT_EQ("", summary.problem);
  ASSERT_EQ(1, summary.labels);
  EXPECT_EQ("Size", summary.settings[0][0].name);
  EXPECT_EQ(0u, summary.settings[0][0].value.find("200 x 100 dots")) << summary.settings[0][0].value;
  EXPECT_NE(std::string::npos, summary.description.find("Bay 7")) << summary.description;
  EXPECT_EQ(hexBytes("44 4F 4E 45  00 00 00 00  00 00 00 00"), stream.substr(16 + length));

  preview.previewLabel = 1;
  stream = streamOf(preview, zpl, status);
  EXPECT_EQ(kExitDone, status);
  ASSERT_GE(stream.size(), 24u);
  EXPECT_EQ(kPngTag, wordAt(stream, 8));
  length = wordAt(stream, 12);
  ASSERT_EQ(16u + length + 12u, stream.size());
  EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n"), stream.substr(16, 8));

  preview.previewLabel = 2;
  stream = streamOf(preview, zpl, status);
  EXPECT_EQ(kExitFailed, status);
  EXPECT_EQ(hexBytes("4C 42 52 53  03 00 00 00  44 4F 4E 45  01 00 00 00  0D 00 00 00") + "no such label",
            stream);
}

TEST(ImageFiles, TruncatedFilesAreRefused)
{
  testdocs::Grey image = testdocs::blocks(200, 120, 8);
  for (DocumentFormat format : {DocumentFormat::png, DocumentFormat::jpeg}) {
    std::string file = format == DocumentFormat::png ? testdocs::pngFile(image)
                                                     : testdocs::jpegFile(image);
    LabelBitmap out;
    std::string error;
    ASSERT_TRUE(decodes(format, file, out, error)) << error;
    // Cut in the image data and just before the end marker.
    for (std::size_t cut : {file.size() / 2, file.size() - 2}) {
      SCOPED_TRACE(std::string(formatName(format)) + " cut at " + std::to_string(cut));
      EXPECT_FALSE(decodes(format, file.substr(0, cut), out, error));
      EXPECT_EQ(std::string("The ") + formatName(format) + " file is truncated or damaged", error);
    }
    // Cut inside the header, and nothing at all.
    for (std::size_t cut : {std::size_t{20}, std::size_t{0}}) {
      error.clear();
      EXPECT_FALSE(decodes(format, file.substr(0, cut), out, error)) << cut;
      EXPECT_NE(std::string::npos, error.find(formatName(format))) << error;
    }
  }
}

TEST(ImageFiles, SizeFromTheHeaderIsCheckedFirst)
{
  // A PNG whose IHDR says 20001 x 1 (its CRC made right) and a JPEG whose frame says
  // 30000 x 30000: refused before a pixel buffer of that size exists.
  std::string png = testdocs::pngFile(testdocs::blocks(16, 1, 4));
  png.replace(16, 4, std::string("\x00\x00\x4E\x21", 4));  // IHDR width
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17);
  for (int i = 0; i < 4; i++)
    png[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
  LabelBitmap out;
  std::string error;
  EXPECT_FALSE(decodes(DocumentFormat::png, png, out, error));
  EXPECT_EQ("The PNG image is empty or too large", error);

  std::string jpeg = testdocs::jpegFile(testdocs::blocks(16, 16, 8));
  std::size_t sof = jpeg.find("\xFF\xC0", 2);
  ASSERT_NE(std::string::npos, sof);
  jpeg.replace(sof + 5, 4, std::string("\x75\x30\x75\x30", 4));  // height, width
  EXPECT_FALSE(decodes(DocumentFormat::jpeg, jpeg, out, error));
  EXPECT_EQ("The JPEG image is empty or too large", error);
}

TEST(ImageFiles, CmykJpegPrintsLikeGrey)
{
  // Black ink on white, with Adobe's inverted inks and without: the label of the grey image.
  testdocs::Grey image = testdocs::blocks(96, 48, 8);
  LabelBitmap expected;
  placeGrey(image.pixels.data(), image.width, image.height, image.width, 64, 64, expected);
  for (bool adobe : {true, false}) {
    LabelBitmap out;
    std::string error;
    ASSERT_TRUE(decodes(DocumentFormat::jpeg, testdocs::cmykJpegFile(image, adobe), out, error))
        << error;
    EXPECT_EQ(expected.bits, out.bits) << (adobe ? "Adobe" : "plain");
  }
}
