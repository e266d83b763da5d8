// placement_test.cpp: pages placed on the label: the layouts people print, found, cropped,
// turned and scaled, their barcodes read back; and the rules on small made-up pages.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "labelcorpus.h"
#include "pdfraster.h"
#include "placement.h"
#include "renderer.h"
#include "testdocs.h"
#include "testsupport.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <zint.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <sstream>

using namespace app;

namespace {

constexpr double kInch = 72;
constexpr unsigned kWide = 812, kHigh = 1218;  // 4 x 6 in at 203 dpi

// ---------------------------------------------------------------------------------------------
// What the renderer printed

struct Printed {
  int status = -1;
  std::vector<LabelBitmap> labels;
  std::vector<int> pageOf;
  std::vector<std::string> notes;
  std::string failure;
};

std::uint32_t word(const std::string& s, std::size_t at)
{
  return at + 4 <= s.size() ? getWord(reinterpret_cast<const unsigned char*>(s.data()) + at) : 0;
}

Printed print(const std::string& document, unsigned width = kWide, unsigned height = kHigh,
              PlaceOptions place = {}, DocumentFormat format = DocumentFormat::pdf)
{
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("document"), document);
  RenderJob job;
  job.format = format;
  job.dpi = 203;
  job.width = width;
  job.height = height;
  job.firstPage = 1;
  job.lastPage = 99;
  job.path = dir.file("document");
  job.place = place;
  int out = open(dir.file("stream").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Printed printed;
  printed.status = writeRenderStream(job, out);
  close(out);
  std::string s = testsupport::readFile(dir.file("stream"));
  std::size_t at = 8 + 16;  // the start and the document's record
  while (at + 12 <= s.size()) {
    std::uint32_t tag = word(s, at);
    if (tag == kNoteTag) {
      std::uint32_t length = word(s, at + 8);
      printed.notes.push_back(s.substr(at + 12, length));
      at += 12 + length;
    } else if (tag == kPageTag) {
      LabelBitmap label;
      label.width = word(s, at + 8);
      label.height = word(s, at + 12);
      label.bytesPerLine = word(s, at + 16);
      std::size_t bytes = std::size_t{label.bytesPerLine} * label.height;
      label.bits.assign(s.begin() + static_cast<long>(at + 20), s.begin() + static_cast<long>(at + 20 + bytes));
      printed.pageOf.push_back(static_cast<int>(word(s, at + 4)));
      printed.labels.push_back(std::move(label));
      at += 20 + bytes;
    } else {
      if (word(s, at + 4) != 0)
        printed.failure = s.substr(at + 12);
      break;
    }
  }
  return printed;
}

bool black(const LabelBitmap& label, unsigned x, unsigned y)
{
  return (label.bits[std::size_t{y} * label.bytesPerLine + x / 8] >> (7 - x % 8)) & 1;
}

// The printed part of a label, as shares of its width and height.
std::pair<double, double> inkShare(const LabelBitmap& label)
{
  unsigned x0 = label.width, y0 = label.height, x1 = 0, y1 = 0;
  for (unsigned y = 0; y < label.height; y++)
    for (unsigned x = 0; x < label.width; x++)
      if (black(label, x, y)) {
        x0 = std::min(x0, x);
        x1 = std::max(x1, x + 1);
        y0 = std::min(y0, y);
        y1 = std::max(y1, y + 1);
      }
  if (x1 <= x0)
    return {0, 0};
  return {double(x1 - x0) / label.width, double(y1 - y0) / label.height};
}

std::string pgm(const LabelBitmap& label)
{
  std::string out = "P5\n" + std::to_string(label.width) + " " + std::to_string(label.height) + "\n255\n";
  for (unsigned y = 0; y < label.height; y++)
    for (unsigned x = 0; x < label.width; x++)
      out += black(label, x, y) ? '\0' : '\xFF';
  return out;
}

std::string runTool(const std::string& command)
{
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
      out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// What zxing-cpp reads on a label: text by format, and the narrowest Code 128 bar in dots.
struct Reading {
  std::multimap<std::string, std::string> codes;
  int narrowestBar = 0;
  std::string path;  // the label as a PGM file
};

Reading readLabel(const testsupport::TempDir& dir, const LabelBitmap& label, const std::string& name)
{
  std::string path = dir.file(name + ".pgm");
  testsupport::writeFile(path, pgm(label));
  if (const char* keep = std::getenv("PLACEMENT_KEEP"))  // to look at what was printed
    testsupport::writeFile(std::string(keep) + "/" + name + ".pgm", pgm(label));
  Reading reading;
  reading.path = path;
  std::istringstream lines(runTool("/usr/bin/python3 " READCODES_PATH " " + path + " 2>&1"));
  std::string line;
  while (std::getline(lines, line)) {
    std::array<std::string, 4> field;
    std::istringstream parts(line);
    for (std::string& f : field)
      std::getline(parts, f, '\t');
    reading.codes.emplace(field[1], field[2]);
    if (field[1] == "Code128" && !field[3].empty()) {
      int bar = std::atoi(field[3].c_str());
      reading.narrowestBar = reading.narrowestBar == 0 ? bar : std::min(reading.narrowestBar, bar);
    }
  }
  return reading;
}

// zxing-cpp 2 (Debian 13) shows GS1 data with its application identifiers in brackets, 1.4
// (Debian 12) without: the brackets do not count.
std::string withoutBrackets(std::string text)
{
  std::erase_if(text, [](char c) { return c == '(' || c == ')'; });
  return text;
}

bool readsAs(const Reading& reading, const std::string& format, const std::string& text)
{
  auto [from, to] = reading.codes.equal_range(format);
  for (auto it = from; it != to; ++it)
    if (it->second == text || withoutBrackets(it->second) == withoutBrackets(text))
      return true;
  return false;
}

// zxing-cpp's text for a code of the corpus: GS1's brackets go, its separator shows as \x1D.
std::pair<std::string, std::string> expectedReading(const corpus::Code& code)
{
  switch (code.symbology) {
    case BARCODE_CODE128:
      return {"Code128", code.data};
    case BARCODE_GS1_128: {
      std::string text;
      for (char c : code.data)
        if (c != '[' && c != ']')
          text += c;
      return {"Code128", text};
    }
    case BARCODE_QRCODE:
      return {"QRCode", code.data};
    case BARCODE_DATAMATRIX:
      return {"DataMatrix", code.data};
    case BARCODE_PDF417:
      return {"PDF417", code.data};
    default:
      return {"MaxiCode", code.data};
  }
}

// ---------------------------------------------------------------------------------------------
// The corpus

struct Document {
  std::string name;
  std::string pdf;
  std::vector<corpus::Label> labels;  // what should come out, in order
  unsigned width = kWide, height = kHigh;
  bool lengthOnly = false;  // a longer label fitted to the stock: only its length fills it
  std::string note;         // what the job's message should say, when anything
};

corpus::Page pageOf(double width, double height)
{
  corpus::Page page;
  page.width = width;
  page.height = height;
  return page;
}

std::vector<Document> documents()
{
  using corpus::shippingLabel;
  std::vector<Document> docs;
  double letterW = 8.5 * kInch, letterH = 11 * kInch, a4W = 595.276, a4H = 841.89;
  {
    corpus::Label label = shippingLabel(1, BARCODE_QRCODE);
    corpus::Page page = pageOf(288, 432);
    corpus::drawLabel(page, label, 0, 0);
    docs.push_back({"4x6 portrait", corpus::pdfOf({page}), {label}, kWide, kHigh, false, ""});
  }
  {
    corpus::Label label = shippingLabel(2, BARCODE_DATAMATRIX);
    label.width = 432;
    label.height = 288;
    corpus::Page page = pageOf(432, 288);
    corpus::drawLabel(page, label, 0, 0);
    docs.push_back({"6x4 landscape", corpus::pdfOf({page}), {label}, kWide, kHigh, false,
                    "Turned the page 90° to fit the label"});
  }
  {
    corpus::Label label = shippingLabel(3, BARCODE_PDF417);
    corpus::Page page = pageOf(letterW, letterH);
    corpus::drawLabel(page, label, 18, letterH - 18 - 432);
    corpus::drawInstructions(page, 330, 300, 250, 470);
    docs.push_back({"Letter, label top-left", corpus::pdfOf({page}), {label}, kWide, kHigh, false,
                    "Cropped the 4 x 6 in label from the Letter page"});
  }
  {
    corpus::Label label = shippingLabel(4, BARCODE_QRCODE);
    corpus::Page page = pageOf(letterW, letterH);
    corpus::drawLabel(page, label, 36, letterH - 36 - 288, true);
    corpus::drawInstructions(page, 36, 60, 500, 360);
    docs.push_back({"Letter, label turned", corpus::pdfOf({page}), {label}, kWide, kHigh, false,
                    "Cropped the 6 x 4 in label from the Letter page; turned it 90° to fit the label"});
  }
  {
    corpus::Label top = shippingLabel(5, BARCODE_GS1_128), bottom = shippingLabel(6, BARCODE_DATAMATRIX);
    for (corpus::Label* l : {&top, &bottom}) {
      l->width = 432;
      l->height = 288;
    }
    corpus::Page page = pageOf(a4W, a4H);
    corpus::drawLabel(page, top, 80, a4H - 40 - 288);
    corpus::drawLabel(page, bottom, 80, a4H - 40 - 288 - 60 - 288);
    docs.push_back({"A4 two-up", corpus::pdfOf({page}), {top, bottom}, kWide, kHigh, false,
                    "Cropped 2 labels from the A4 page; turned it 90° to fit the label"});
  }
  {
    // Shown portrait by /Rotate 90: the label is drawn lying on a landscape MediaBox.
    corpus::Label label = shippingLabel(7, BARCODE_QRCODE);
    corpus::Page page = pageOf(432, 288);
    page.extra = "/Rotate 90";
    corpus::drawLabel(page, label, 0, 0, true);
    docs.push_back({"/Rotate 90", corpus::pdfOf({page}), {label}, kWide, kHigh, false, ""});
  }
  {
    // A Letter MediaBox whose CropBox is the label; instructions outside it.
    corpus::Label label = shippingLabel(8, BARCODE_DATAMATRIX);
    corpus::Page page = pageOf(letterW, letterH);
    page.extra = "/CropBox [18 342 306 774]";
    corpus::drawLabel(page, label, 18, 342);
    corpus::drawInstructions(page, 330, 300, 250, 470);
    docs.push_back({"CropBox label", corpus::pdfOf({page}), {label}, kWide, kHigh, false, ""});
  }
  {
    corpus::Label label = shippingLabel(9, BARCODE_QRCODE);
    label.height = 576;
    corpus::Page page = pageOf(288, 576);
    corpus::drawLabel(page, label, 0, 0);
    docs.push_back({"4x8 on 4x6", corpus::pdfOf({page}), {label}, kWide, kHigh, true, "Printed at 75 %"});
  }
  {
    corpus::Label label;
    label.width = 144;
    label.height = 72;
    label.lines = {"PART 55-1020 REV C"};
    label.codes = {{BARCODE_CODE128, "P551020C", 0.25 / 25.4 * kInch}};
    corpus::Page page = pageOf(144, 72);
    corpus::drawLabel(page, label, 0, 0);
    docs.push_back({"2x1 on 2x1", corpus::pdfOf({page}), {label}, 406, 203, false, ""});
  }
  {
    std::vector<corpus::Page> pages;
    std::vector<corpus::Label> labels;
    for (int n = 0; n < 3; n++) {
      labels.push_back(shippingLabel(10 + n, n == 0 ? BARCODE_QRCODE : n == 1 ? BARCODE_PDF417 : BARCODE_DATAMATRIX));
      pages.push_back(pageOf(288, 432));
      corpus::drawLabel(pages.back(), labels.back(), 0, 0);
    }
    docs.push_back({"three labels", corpus::pdfOf(pages), labels, kWide, kHigh, false, ""});
  }
  {
    corpus::Label label = shippingLabel(13, BARCODE_QRCODE, 0.25 / 25.4 * kInch);
    corpus::Page page = pageOf(letterW, letterH);
    corpus::drawLabel(page, label, 18, letterH - 18 - 432);
    corpus::drawInstructions(page, 330, 300, 250, 470);
    docs.push_back({"thin bars on Letter", corpus::pdfOf({page}), {label}, kWide, kHigh, false,
                    "Cropped the 4 x 6 in label from the Letter page"});
  }
  {
    corpus::Label label = shippingLabel(14, BARCODE_MAXICODE);
    corpus::Page page = pageOf(288, 432);
    corpus::drawLabel(page, label, 0, 0);
    docs.push_back({"MaxiCode 4x6", corpus::pdfOf({page}), {label}, kWide, kHigh, false, ""});
  }
  return docs;
}

// The label a 4 x 6 PDF prints, as a 203 dpi grey picture: for a label that arrives as an image.
std::vector<unsigned char> labelPicture(const corpus::Label& label)
{
  corpus::Page page = pageOf(288, 432);
  corpus::drawLabel(page, label, 0, 0);
  Printed printed = print(corpus::pdfOf({page}));
  std::vector<unsigned char> grey(std::size_t{kWide} * kHigh, 255);
  if (printed.labels.size() == 1)
    for (unsigned y = 0; y < kHigh; y++)
      for (unsigned x = 0; x < kWide; x++)
        if (black(printed.labels[0], x, y))
          grey[std::size_t{y} * kWide + x] = 0;
  return grey;
}

void checkDocument(const Document& doc, const Printed& printed, const testsupport::TempDir& dir)
{
  SCOPED_TRACE(doc.name);
  ASSERT_EQ(kExitDone, printed.status) << printed.failure;
  ASSERT_EQ(doc.labels.size(), printed.labels.size());
  if (!doc.note.empty()) {
    ASSERT_FALSE(printed.notes.empty());
    EXPECT_EQ(doc.note, printed.notes[0]);
  }
  for (std::size_t i = 0; i < printed.labels.size(); i++) {
    SCOPED_TRACE("label " + std::to_string(i + 1));
    const LabelBitmap& label = printed.labels[i];
    auto [across, down] = inkShare(label);
    EXPECT_GE(down, 0.85);
    if (!doc.lengthOnly) {
      EXPECT_GE(across, 0.85);
    }
    std::string name = doc.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    Reading reading = readLabel(dir, label, name + "-" + std::to_string(i));
    for (const corpus::Code& code : doc.labels[i].codes) {
      if (code.symbology == BARCODE_MAXICODE)
        continue;  // zxing-cpp 1.4 reads MaxiCode only alone on its picture: see MaxiCodeReadsAlone
      auto [format, text] = expectedReading(code);
      // zxing-cpp 1.4 misses some Data Matrix symbols on a whole label that libdmtx reads.
      bool read = readsAs(reading, format, text) ||
                  (format == "DataMatrix" && runTool("dmtxread -N 1 -m 8000 " + reading.path + " 2>/dev/null") == text);
      EXPECT_TRUE(read) << format << " " << text << " not read";
      // Carriers' 0.38 mm bars at 203 dpi: three dots at full size, at least two when fitted.
      if (code.symbology == BARCODE_CODE128 && code.module > 1) {
        EXPECT_GE(reading.narrowestBar, 2);
      }
    }
  }
}

}  // namespace

TEST(PlacementCorpus, EveryLayoutPrintsItsLabelsFullAndReadable)
{
  testsupport::TempDir dir;
  std::vector<Document> docs = documents();
  for (const Document& doc : docs) {
    if (const char* keep = std::getenv("PLACEMENT_KEEP"))  // the documents, to look at
      testsupport::writeFile(std::string(keep) + "/" + std::to_string(&doc - docs.data()) + ".pdf", doc.pdf);
    checkDocument(doc, print(doc.pdf, doc.width, doc.height), dir);
  }
}

TEST(PlacementCorpus, ImageLabelOnLetterIsCroppedAtFullSize)
{
  // A 203 dpi picture of a label placed 1:1 at the top-left of a Letter page, instructions
  // beside it: cropped and printed dot for dot, so the bars keep their 3 dots.
  testsupport::TempDir dir;
  corpus::Label label = corpus::shippingLabel(20, BARCODE_DATAMATRIX);
  std::vector<unsigned char> grey = labelPicture(label);
  corpus::Page page = pageOf(612, 792);
  corpus::drawImage(page, grey, kWide, kHigh, 18, 792 - 18 - 432, 288, 432);
  corpus::drawInstructions(page, 330, 300, 250, 470);
  Document doc{"image on Letter", corpus::pdfOf({page}), {label}, kWide, kHigh, false,
               "Cropped the 4 x 6 in label from the Letter page"};
  Printed printed = print(doc.pdf);
  checkDocument(doc, printed, dir);
  ASSERT_EQ(1u, printed.labels.size());
  EXPECT_EQ(3, readLabel(dir, printed.labels[0], "image-bars").narrowestBar);

  // The same picture as a PNG file: the label's own size, the same dots.
  testdocs::Grey picture{kWide, kHigh, grey};
  Printed png = print(testdocs::pngFile(picture), kWide, kHigh, {}, DocumentFormat::png);
  ASSERT_EQ(1u, png.labels.size());
  EXPECT_TRUE(png.notes.empty());
  LabelBitmap expected = blankBitmap(kWide, kHigh);
  for (unsigned y = 0; y < kHigh; y++)
    for (unsigned x = 0; x < kWide; x++)
      if (grey[std::size_t{y} * kWide + x] == 0)
        expected.bits[std::size_t{y} * expected.bytesPerLine + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
  EXPECT_EQ(expected.bits, png.labels[0].bits);
}

TEST(PlacementCorpus, MaxiCodeReadsAlone)
{
  // zxing-cpp 1.4 reads a MaxiCode only as the whole picture: the printed label's MaxiCode
  // (top right, below the rule) is cut out and read on its own.
  corpus::Label label = corpus::shippingLabel(14, BARCODE_MAXICODE);
  corpus::Page page = pageOf(288, 432);
  corpus::drawLabel(page, label, 0, 0);
  Printed printed = print(corpus::pdfOf({page}));
  ASSERT_EQ(1u, printed.labels.size());
  const LabelBitmap& full = printed.labels[0];
  // Its box: the MaxiCode is the ink right of the middle between the rule and the Code 128.
  unsigned x0 = full.width, y0 = full.height, x1 = 0, y1 = 0;
  for (unsigned y = 330; y < 900; y++)
    for (unsigned x = full.width / 2; x + 20 < full.width; x++)
      if (black(full, x, y)) {
        x0 = std::min(x0, x), x1 = std::max(x1, x + 1);
        y0 = std::min(y0, y), y1 = std::max(y1, y + 1);
      }
  ASSERT_LT(x0, x1);
  LabelBitmap alone = blankBitmap(x1 - x0 + 40, y1 - y0 + 40);
  for (unsigned y = y0; y < y1; y++)
    for (unsigned x = x0; x < x1; x++)
      if (black(full, x, y))
        alone.bits[std::size_t{y - y0 + 20} * alone.bytesPerLine + (x - x0 + 20) / 8] |=
            static_cast<unsigned char>(0x80 >> ((x - x0 + 20) % 8));
  testsupport::TempDir dir;
  Reading reading = readLabel(dir, alone, "maxicode");
  EXPECT_EQ(1u, reading.codes.count("MaxiCode"));
}

TEST(PlacementCorpus, OtherReadersAgree)
{
  // zbarimg and dmtxread read the cropped Letter label and the A4 sheet's second label.
  testsupport::TempDir dir;
  std::vector<Document> docs = documents();
  for (const Document& doc : docs) {
    if (doc.name != "Letter, label top-left" && doc.name != "A4 two-up")
      continue;
    Printed printed = print(doc.pdf);
    ASSERT_EQ(doc.labels.size(), printed.labels.size());
    const LabelBitmap& label = printed.labels.back();
    std::string path = dir.file("other.pgm");
    testsupport::writeFile(path, pgm(label));
    std::string zbar = runTool("zbarimg -q --raw -Sdisable -Scode128.enable " + path + " 2>/dev/null");
    EXPECT_NE(std::string::npos, zbar.find(doc.labels.back().codes[0].data)) << doc.name << ": " << zbar;
    if (doc.labels.back().codes[1].symbology == BARCODE_DATAMATRIX) {
      std::string dmtx = runTool("dmtxread -N 1 -m 8000 " + path + " 2>/dev/null");
      EXPECT_EQ(doc.labels.back().codes[1].data, dmtx) << doc.name;
    }
  }
}

TEST(PlacementCorpus, ScalingAndOrientationChangeTheOutputAsIppSays)
{
  std::vector<Document> docs = documents();
  const Document& letter = docs[2];     // the label top-left on Letter
  const Document& landscape = docs[1];  // the 6 x 4 page

  // fit: the whole Letter page on the label (47 %), instructions and all.
  Printed fit = print(letter.pdf, kWide, kHigh, {Scaling::fit, 0, true});
  ASSERT_EQ(1u, fit.labels.size());
  EXPECT_LT(inkShare(fit.labels[0]).second, 0.85);
  EXPECT_EQ("Printed at 47 %", fit.notes.at(0));
  // Cropping switched off: the default does the same as fit.
  Printed whole = print(letter.pdf, kWide, kHigh, {Scaling::automatic, 0, false});
  EXPECT_EQ(fit.labels[0].bits, whole.labels.at(0).bits);
  // none: the middle of the page at full size; fill: the label cropped and filling the stock.
  Printed none = print(letter.pdf, kWide, kHigh, {Scaling::none, 0, true});
  Printed fill = print(letter.pdf, kWide, kHigh, {Scaling::fill, 0, true});
  Printed automatic = print(letter.pdf);
  EXPECT_NE(none.labels.at(0).bits, automatic.labels.at(0).bits);
  EXPECT_NE(fill.labels.at(0).bits, automatic.labels.at(0).bits);
  EXPECT_TRUE(none.notes.empty());
  auto [fillAcross, fillDown] = inkShare(fill.labels[0]);
  EXPECT_GE(std::max(fillAcross, fillDown), 0.99);

  // auto-fit never enlarges: a 2 x 1 page stays 2 x 1 in on 4 x 6 stock; auto fills it.
  const Document& small = docs[8];
  Printed autoFit = print(small.pdf, kWide, kHigh, {Scaling::autoFit, 0, true});
  Printed grown = print(small.pdf);
  EXPECT_LT(inkShare(autoFit.labels.at(0)).second, 0.6);
  EXPECT_GE(inkShare(grown.labels.at(0)).second, 0.85);

  // orientation-requested: portrait keeps the 6 x 4 page lying (67 %); landscape turns it as
  // the default does; reverse-landscape turns it the other way: the same dots turned 180°.
  Printed portrait = print(landscape.pdf, kWide, kHigh, {Scaling::automatic, 3, true});
  Printed turned = print(landscape.pdf);
  Printed left = print(landscape.pdf, kWide, kHigh, {Scaling::automatic, 4, true});
  Printed right = print(landscape.pdf, kWide, kHigh, {Scaling::automatic, 5, true});
  EXPECT_LT(inkShare(portrait.labels.at(0)).second, 0.7);
  EXPECT_EQ(turned.labels.at(0).bits, left.labels.at(0).bits);
  const LabelBitmap& a = left.labels.at(0);
  const LabelBitmap& b = right.labels.at(0);
  long differ = 0;
  for (unsigned y = 0; y < kHigh; y++)
    for (unsigned x = 0; x < kWide; x++)
      differ += black(a, x, y) != black(b, kWide - 1 - x, kHigh - 1 - y);
  EXPECT_LT(differ, 50) << "reverse-landscape is landscape turned half a turn";
}

TEST(PlacementCorpus, FourBySixPageIsPlacedAsBefore)
{
  // A page that already is the label is printed where and as large as it was before pages were
  // placed (renderPdfPage's drawing): no dot moves further than its neighbour.  Only edges
  // differ: the drawing thresholds what covers half a dot, where Poppler's plain drawing
  // blackened every dot a shape touched, each bar a dot wider than it is.
  std::string pdf = testdocs::labelPdf(2);
  Printed printed = print(pdf);
  ASSERT_EQ(2u, printed.labels.size());
  EXPECT_TRUE(printed.notes.empty());
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("label.pdf"), pdf);
  std::string error;
  PdfPtr document = openPdf(dir.file("label.pdf"), error);
  ASSERT_TRUE(document) << error;
  for (int n = 0; n < 2; n++) {
    LabelBitmap before;
    ASSERT_TRUE(renderPdfPage(*document, n, 203, kWide, kHigh, before, error, false)) << error;
    const LabelBitmap& now = printed.labels[static_cast<std::size_t>(n)];
    long blackBefore = 0, changed = 0, far = 0;
    auto near = [](const LabelBitmap& b, unsigned x, unsigned y) {
      for (unsigned dy = y ? y - 1 : 0; dy <= std::min(y + 1, kHigh - 1); dy++)
        for (unsigned dx = x ? x - 1 : 0; dx <= std::min(x + 1, kWide - 1); dx++)
          if (black(b, dx, dy))
            return true;
      return false;
    };
    for (unsigned y = 0; y < kHigh; y++)
      for (unsigned x = 0; x < kWide; x++) {
        blackBefore += black(before, x, y);
        if (black(before, x, y) != black(now, x, y)) {
          changed++;
          far += black(now, x, y) ? !near(before, x, y) : !near(now, x, y);
        }
      }
    EXPECT_EQ(0, far) << "page " << n + 1;
    EXPECT_LT(changed, blackBefore / 50) << "page " << n + 1;
  }
}

TEST(PlacementCorpus, ThinBarsKeepTheirWidth)
{
  // 0.25 mm modules on a 2 x 1 in label at 203 dpi are 2 dots: bars and spaces stay 2, 4, 6
  // or 8 dots wide, not a dot wider and narrower (unreadable: 3-dot bars, 1-dot spaces).
  std::vector<Document> docs = documents();
  const Document& small = docs[8];
  Printed printed = print(small.pdf, 406, 203);
  ASSERT_EQ(1u, printed.labels.size());
  testsupport::TempDir dir;
  Reading reading = readLabel(dir, printed.labels[0], "thin");
  EXPECT_TRUE(readsAs(reading, "Code128", "P551020C"));
  EXPECT_EQ(2, reading.narrowestBar);
}

// ---------------------------------------------------------------------------------------------
// The rules, on made-up previews

namespace {

// A white preview of a page (pixels at 50 an inch) with black rectangles on it.
struct Sheet {
  unsigned width, height;
  std::vector<unsigned char> pixels;
  Sheet(double inchesWide, double inchesHigh)
      : width(static_cast<unsigned>(inchesWide * 50)), height(static_cast<unsigned>(inchesHigh * 50)),
        pixels(std::size_t{width} * height, 255)
  {
  }
  void fill(double x, double y, double w, double h, unsigned char level = 0)
  {
    for (unsigned py = static_cast<unsigned>(y * 50); py < static_cast<unsigned>((y + h) * 50) && py < height; py++)
      for (unsigned px = static_cast<unsigned>(x * 50); px < static_cast<unsigned>((x + w) * 50) && px < width; px++)
        pixels[std::size_t{py} * width + px] = level;
  }
  // A framed label: its outline, and lines of "text" inside.
  void label(double x, double y, double w, double h)
  {
    fill(x, y, w, 0.04);
    fill(x, y + h - 0.04, w, 0.04);
    fill(x, y, 0.04, h);
    fill(x + w - 0.04, y, 0.04, h);
    text(x + 0.2, y + 0.2, w - 0.4, h - 0.4);
  }
  // Words: small marks 0.1 in high in lines 0.18 in apart.
  void text(double x, double y, double w, double h)
  {
    for (double ly = y; ly + 0.1 < y + h; ly += 0.18)
      for (double lx = x; lx + 0.3 < x + w; lx += 0.4)
        fill(lx, ly, 0.3, 0.1);
  }
  GreyView view() const { return {pixels.data(), width, height, width}; }
};

PagePlan plan(const Sheet& sheet, double inchesWide, double inchesHigh, PlaceOptions options = {},
              unsigned labelWidth = kWide, unsigned labelHeight = kHigh)
{
  GreyView view = sheet.view();
  PageShape page{inchesWide * 72, inchesHigh * 72, 72, false};
  return planPage(page, &view, 50, labelWidth, labelHeight, 203, options);
}

}  // namespace

TEST(PlacementRules, LabelsAreFoundOnlyWhereTheyAreClear)
{
  {
    // A framed 4 x 6 label beside instructions: cropped to the label alone.
    Sheet sheet(8.5, 11);
    sheet.label(0.25, 0.25, 4, 6);
    sheet.text(4.6, 0.5, 3.5, 9);
    PagePlan p = plan(sheet, 8.5, 11);
    ASSERT_EQ(1u, p.labels.size());
    EXPECT_NEAR(0.25 * 72, p.labels[0].region.x, 3);
    EXPECT_NEAR(4 * 72, p.labels[0].region.width, 4);
    EXPECT_NEAR(6 * 72, p.labels[0].region.height, 4);
    EXPECT_DOUBLE_EQ(203.0 / 72, p.labels[0].scale);  // near full size: full size
    EXPECT_EQ("Cropped the 4 x 6 in label from the Letter page", p.note);
  }
  {
    // Faint grey (a watermark, a tinted panel) is paper: the same label is found on it.
    Sheet sheet(8.5, 11);
    sheet.fill(0, 0, 8.5, 11, 225);
    sheet.label(0.25, 0.25, 4, 6);
    EXPECT_EQ(1u, plan(sheet, 8.5, 11).labels.size());
    EXPECT_EQ("Cropped the 4 x 6 in label from the Letter page", plan(sheet, 8.5, 11).note);
  }
  {
    // Four labels on a sheet, in reading order: top row left to right, then the next row.
    Sheet sheet(8.5, 14);
    sheet.label(4.4, 0.3, 4, 6);
    sheet.label(0.1, 0.4, 4, 6);
    sheet.label(4.4, 7, 4, 6);
    sheet.label(0.1, 7, 4, 6);
    PagePlan p = plan(sheet, 8.5, 14);
    ASSERT_EQ(4u, p.labels.size());
    EXPECT_LT(p.labels[0].region.x, 100);
    EXPECT_GT(p.labels[1].region.x, 300);
    EXPECT_LT(p.labels[2].region.x, 100);
    EXPECT_GT(p.labels[2].region.y, 400);
    EXPECT_EQ("Cropped 4 labels from the Legal page", p.note);
  }
  {
    // Unsure: a large picture among the instructions, or only text, or a block larger than
    // the label: the whole page, fitted, and said so.
    for (int variant = 0; variant < 3; variant++) {
      SCOPED_TRACE(variant);
      Sheet sheet(8.5, 11);
      if (variant == 0) {
        sheet.label(0.25, 0.25, 4, 6);
        sheet.fill(5, 7, 1.5, 1.5);
      } else if (variant == 1) {
        sheet.text(0.25, 0.25, 4, 6);
      } else {
        sheet.label(0.25, 0.25, 8, 10.5);
      }
      PagePlan p = plan(sheet, 8.5, 11);
      ASSERT_EQ(1u, p.labels.size());
      EXPECT_EQ(0, p.labels[0].region.x);
      EXPECT_EQ(8.5 * 72, p.labels[0].region.width);
      EXPECT_EQ("Printed the whole Letter page: no label was found on it; printed at 47 %", p.note);
    }
  }
  {
    // Cropping off, or a scaling that keeps the page whole: no search at all.
    Sheet sheet(8.5, 11);
    sheet.label(0.25, 0.25, 4, 6);
    for (PlaceOptions options : {PlaceOptions{Scaling::automatic, 0, false}, PlaceOptions{Scaling::fit, 0, true},
                                 PlaceOptions{Scaling::autoFit, 0, true}, PlaceOptions{Scaling::none, 0, true}}) {
      PagePlan p = plan(sheet, 8.5, 11, options);
      ASSERT_EQ(1u, p.labels.size());
      EXPECT_EQ(8.5 * 72, p.labels[0].region.width) << scalingName(options.scaling);
    }
  }
}

TEST(PlacementRules, TurnAndScale)
{
  PageShape landscape{6 * 72, 4 * 72, 72, false};
  PageShape portrait{4 * 72, 6 * 72, 72, false};
  auto one = [](const PageShape& page, PlaceOptions options, unsigned w = kWide, unsigned h = kHigh) {
    PagePlan p = planPage(page, nullptr, 0, w, h, 203, options);
    EXPECT_EQ(1u, p.labels.size());
    return p.labels.at(0);
  };
  double full = 203.0 / 72;
  // Turned a quarter counter-clockwise, as landscape would; never when the job says portrait.
  EXPECT_EQ(270, one(landscape, {}).turn);
  EXPECT_DOUBLE_EQ(full, one(landscape, {}).scale);
  EXPECT_EQ(0, one(portrait, {}).turn);
  EXPECT_EQ(0, one(landscape, {Scaling::automatic, 3, true}).turn);
  EXPECT_EQ(270, one(portrait, {Scaling::automatic, 4, true}).turn);
  EXPECT_EQ(90, one(portrait, {Scaling::automatic, 5, true}).turn);
  EXPECT_EQ(180, one(portrait, {Scaling::automatic, 6, true}).turn);
  // The printer's default orientation may turn it the other way.
  PlaceOptions clockwise;
  clockwise.autoTurn = 90;
  EXPECT_EQ(90, one(landscape, clockwise).turn);
  EXPECT_EQ(0, one(portrait, clockwise).turn);
  // A square page is never turned.
  EXPECT_EQ(0, one({288, 288, 72, false}, {}).turn);

  // A 2 x 3 in page: auto enlarges it to the label, auto-fit and none keep it, fill crops.
  PageShape small{144, 216, 72, false};
  EXPECT_DOUBLE_EQ(2 * full, one(small, {}).scale);
  EXPECT_DOUBLE_EQ(full, one(small, {Scaling::autoFit, 0, true}).scale);
  EXPECT_DOUBLE_EQ(full, one(small, {Scaling::none, 0, true}).scale);
  PageShape wide{144, 144, 72, false};
  EXPECT_DOUBLE_EQ(kHigh / 144.0, one(wide, {Scaling::fill, 0, true}).scale);
  EXPECT_DOUBLE_EQ(kWide / 144.0, one(wide, {Scaling::fit, 0, true}).scale);

  // Pictures prefer whole-number factors: 2.11 becomes 2, 0.55 becomes 1/2; 1.6 stays (1
  // would keep too little of it).
  PageShape picture{384, 576, 203, true};  // 4 x 6 in at 96 dpi, as pixels at the printer's
  EXPECT_DOUBLE_EQ(2, one(picture, {}).scale);
  EXPECT_DOUBLE_EQ(0.5, one({1476, 2214, 203, true}, {}).scale);
  EXPECT_NEAR(1.6, one({507.5, 761.25, 203, true}, {}).scale, 0.01);
  // Window: a page at full size sits exactly on the label.
  LabelWindow frame = labelWindow(one(portrait, {}), kWide, kHigh);
  EXPECT_EQ(0, frame.x);
  EXPECT_EQ(0, frame.y);
  EXPECT_EQ(static_cast<long>(kWide), frame.clipRight);
  EXPECT_EQ(static_cast<long>(kHigh), frame.clipBottom);
}

TEST(PlacementRules, WindowsTurnDotForDot)
{
  // A 3 x 2 window with one black dot at its top-left, turned each way onto a 2 x 3 label
  // (or 3 x 2 for half a turn).
  unsigned char grey[6] = {0, 255, 255, 255, 255, 255};
  GreyView view{grey, 3, 2, 3};
  LabelWindow frame;
  frame.width = 3, frame.height = 2;
  frame.clipRight = 3, frame.clipBottom = 2;
  struct Case {
    int turn;
    unsigned w, h, x, y;
  } cases[] = {{0, 3, 2, 0, 0}, {90, 2, 3, 1, 0}, {180, 3, 2, 2, 1}, {270, 2, 3, 0, 2}};
  for (const Case& c : cases) {
    LabelWindow f = frame;
    LabelBitmap out;
    placeWindow(view, f, c.turn, c.w, c.h, out);
    for (unsigned y = 0; y < c.h; y++)
      for (unsigned x = 0; x < c.w; x++)
        EXPECT_EQ(x == c.x && y == c.y, black(out, x, y)) << c.turn << " at " << x << "," << y;
  }
  // Outside the clip stays white.
  frame.clipLeft = 1;
  LabelBitmap out;
  placeWindow(view, frame, 0, 3, 2, out);
  EXPECT_FALSE(black(out, 0, 0));
}

TEST(PlacementCorpus, LetterShapedPictureIsCroppedWithWholeFactors)
{
  // A Letter page scanned at 100 dpi (850 x 1100 pixels): a framed 4 x 6 in label at the
  // top-left, lines of text beside it.  Taken as a Letter sheet, the label is found and
  // enlarged by exactly 2 (its full size would be 2.03, fitting it 2.02), so every pixel
  // becomes 2 x 2 dots: 99 % of its size on paper.
  testdocs::Grey scan{850, 1100, std::vector<unsigned char>(850 * 1100, 255)};
  auto fill = [&](unsigned x, unsigned y, unsigned w, unsigned h) {
    for (unsigned py = y; py < y + h; py++)
      for (unsigned px = x; px < x + w; px++)
        scan.pixels[std::size_t{py} * scan.width + px] = 0;
  };
  unsigned left = 30, top = 30;
  fill(left, top, 400, 3);
  fill(left, top + 397, 400, 3);
  fill(left, top, 3, 400 + 200);
  fill(left + 397, top, 3, 600);
  fill(left, top + 597, 400, 3);
  fill(left + 40, top + 450, 240, 100);  // a barcode's block
  for (unsigned y = 60; y < 1000; y += 20)
    for (unsigned x = 470; x < 800; x += 40)
      fill(x, y, 30, 9);  // words
  Printed printed = print(testdocs::pngFile(scan), kWide, kHigh, {}, DocumentFormat::png);
  ASSERT_EQ(kExitDone, printed.status) << printed.failure;
  ASSERT_EQ(1u, printed.labels.size());
  ASSERT_EQ(1u, printed.notes.size());
  EXPECT_EQ("Cropped the 4 x 6 in label from the Letter page; printed scaled 99 %", printed.notes[0]);
  auto [across, down] = inkShare(printed.labels[0]);
  EXPECT_GE(across, 0.95);
  EXPECT_GE(down, 0.95);
  // The frame's left edge: 3 pixels, 6 dots.
  const LabelBitmap& label = printed.labels[0];
  unsigned y = kHigh / 2, x = 0;
  while (x < kWide && !black(label, x, y))
    x++;
  unsigned run = 0;
  while (x + run < kWide && black(label, x + run, y))
    run++;
  EXPECT_EQ(6u, run);
}
