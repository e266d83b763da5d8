// preview_parse_test.cpp: reading hand-written ZPL and DPL jobs into labels, and refusing
// malformed ones with a message that says where.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "preview.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>

using namespace std::literals;
using testsupport::hexBytes;

namespace {

std::span<const unsigned char> bytesOf(std::string_view text)
{
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// The label as rows of '#' (black) and '.' (white), to compare with a picture.
std::vector<std::string> picture(const LabelImage& image)
{
  std::vector<std::string> rows;
  for (std::uint32_t y = 0; y < image.height; y++) {
    std::string row;
    for (std::uint32_t x = 0; x < image.width; x++)
      row += labelDot(image, x, y) ? '#' : '.';
    rows.push_back(row);
  }
  return rows;
}

LabelJob parseOk(std::string_view text)
{
  LabelJob job;
  JobError error;
  EXPECT_TRUE(parseLabelJob(bytesOf(text), job, error))
      << "byte " << error.offset << ", label " << error.label << ": " << error.what;
  return job;
}

// The preamble our ZPL filter writes at 203 dpi with web sensing, thermal transfer, speed 4
// and darkness 15.
const std::string kZplPreamble =
    "\x10"
    "CT~~CD,~CC^~CT~^XA~TA000~JSN^LT0^MNW^MTT^PON^PMN^LH0,0^JMA^PR4,4~SD15^JUS^LRN^CI0^XZ";

// A 4-byte x 32-row graphic: row 0 is C0 60 00 00 (dots 0, 1, 9, 10), row 1 is 80 00 00 00
// (dot 0), the other rows are white.
const std::string kGraphic = "~DG000.GRF,128,4,C06,\r\n8,\r\n,\r\n" + std::string(29, ':');

std::string printFormat(const std::string& size, const std::string& extra = "")
{
  return "^XA^MMT" + size + "^LS0^FT0,32^XG000.GRF,1,1^FS" + extra +
         "^PQ1,0,1,Y^XZ^XA^ID000.GRF^FS^XZ";
}

const std::string kZplJob = kZplPreamble + kGraphic + printFormat("^PW10^LL2");

// kGraphic's bitmap as Z64 data (zlib at level 6, then Base64 and its CRC) and as B64 data.
const std::string kZ64Data = ":Z64:eJw7kMDA0MAwcAAAziABoQ==:4AE4";
const std::string kB64Data = ":B64:wGAAAIAAAAAA" + std::string(159, 'A') + "=:78F5";
std::string zplJobWith(const std::string& data, const std::string& total = "128")
{
  return kZplPreamble + "~DG000.GRF," + total + ",4," + data + "\r\n" + printFormat("^PW10^LL2");
}

// Z64 and B64 downloads print what the hex one does, also after a line end and with the
// CRC's hex digits in lower case.
TEST(PreviewZpl, Z64AndB64DownloadsPrintLikeHex)
{
  const auto expected = picture(parseOk(kZplJob).labels.at(0).image);
  for (const std::string& data :
       {kZ64Data, kB64Data, "\r\n" + kZ64Data, kZ64Data.substr(0, kZ64Data.size() - 4) + "4ae4"}) {
    LabelJob job = parseOk(zplJobWith(data));
    ASSERT_EQ(job.labels.size(), 1u) << data;
    EXPECT_EQ(picture(job.labels[0].image), expected) << data;
  }
}

TEST(PreviewZpl, GraphicRecalledAtOriginAndClippedToWidthAndLength)
{
  LabelJob job = parseOk(kZplJob);
  EXPECT_EQ(job.language, JobLanguage::zpl);
  EXPECT_EQ(job.zeroRun, 0u);
  ASSERT_EQ(job.labels.size(), 1u);
  // Dot 10 of row 0 lies beyond ^PW10; rows 2 to 31 beyond ^LL2.
  EXPECT_EQ(picture(job.labels[0].image), (std::vector<std::string>{"##.......#", "#........."}));
  EXPECT_EQ(job.labels[0].offset, kZplPreamble.size() + kGraphic.size());

  // A longer label shows the graphic's white third row.
  job = parseOk(kZplPreamble + kGraphic + printFormat("^PW12^LL3"));
  ASSERT_EQ(job.labels.size(), 1u);
  EXPECT_EQ(picture(job.labels[0].image),
            (std::vector<std::string>{"##.......##.", "#...........", "............"}));
}

TEST(PreviewZpl, ReversingBoxOrientationAndMirror)
{
  std::string box = "^LRY^FO0,0^GB32,32,16^FS^LRN";
  LabelJob job = parseOk(kZplPreamble + kGraphic + printFormat("^PW10^LL2", box));
  ASSERT_EQ(job.labels.size(), 1u);
  EXPECT_EQ(picture(job.labels[0].image), (std::vector<std::string>{"..#######.", ".#########"}));
  EXPECT_TRUE(job.labels[0].zpl.reversed);

  // A hollow box reverses only its border.
  job = parseOk(kZplPreamble + kGraphic + printFormat("^PW10^LL3", "^LRY^FO1,0^GB8,3,1^FS^LRN"));
  EXPECT_EQ(picture(job.labels[0].image),
            (std::vector<std::string>{"#.########", "##......#.", ".########."}));
  EXPECT_FALSE(job.labels[0].zpl.reversed);

  auto withPreamble = [](const std::string& from, const std::string& to) {
    std::string preamble = kZplPreamble;
    preamble.replace(preamble.find(from), from.size(), to);
    return parseOk(preamble + kGraphic + printFormat("^PW10^LL2"));
  };
  job = withPreamble("^PON", "^POI");
  EXPECT_EQ(picture(job.labels[0].image), (std::vector<std::string>{".........#", "#.......##"}));
  job = withPreamble("^PMN", "^PMY");
  EXPECT_EQ(picture(job.labels[0].image), (std::vector<std::string>{"#.......##", ".........#"}));
  job = withPreamble("^PON^PMN", "^POI^PMY");
  EXPECT_EQ(picture(job.labels[0].image), (std::vector<std::string>{"#.........", "##.......#"}));
}

TEST(PreviewZpl, FieldOriginMagnificationAndOtherNames)
{
  // Off a byte boundary, from another driver's graphic name with a device letter.
  std::string graphic = "~DGR:LOGO.GRF,128,4,C06,\r\n8,\r\n,\r\n" + std::string(29, ':');
  LabelJob job = parseOk(kZplPreamble + graphic +
                         "^XA^PW12^LL3^FO3,1^XGR:LOGO.GRF,1,1^FS^XZ^XA^IDR:LOGO.GRF^FS^XZ");
  ASSERT_EQ(job.labels.size(), 1u);
  EXPECT_EQ(picture(job.labels[0].image),
            (std::vector<std::string>{"............", "...##.......", "...#........"}));

  job = parseOk(kZplPreamble + kGraphic + "^XA^PW8^LL4^FO0,0^XG000.GRF,2,2^FS^XZ");
  EXPECT_EQ(picture(job.labels[0].image),
            (std::vector<std::string>{"####....", "####....", "##......", "##......"}));
}

// Raw ZPL from other hosts (text, barcodes, shapes) is drawn as the printer draws it, its fields
// listed; a job of the raster commands alone is read exactly, as above.
TEST(PreviewZpl, RawZplFromOtherHostsIsDrawn)
{
  LabelJob job;
  JobError error;
  ZplDrawing drawing;
  drawing.mediaWidth = 40;
  drawing.mediaHeight = 20;
  ASSERT_TRUE(parseLabelJob(bytesOf("\n^XA^FO2,2^GC10,2^FS^FO20,2^A0N,12^FDHi^FS^XZ"), job, error,
                            nullptr, &drawing))
      << error.what;
  ASSERT_EQ(job.labels.size(), 1u);
  EXPECT_EQ(job.labels[0].image.width, 40u);
  EXPECT_EQ(job.labels[0].image.height, 20u);
  EXPECT_TRUE(labelDot(job.labels[0].image, 2, 7));  // the circle's left edge
  ASSERT_EQ(job.labels[0].fields.size(), 2u);
  EXPECT_EQ(job.labels[0].fields[0], "circle ^GC at 2,2");
  EXPECT_EQ(job.labels[0].fields[1], "text ^A0 at 20,2: 'Hi'");
  std::string text = describeLabelJob(job, 203);
  EXPECT_NE(text.find("field: circle ^GC at 2,2"), std::string::npos) << text;
  EXPECT_NE(text.find("no label font"), std::string::npos) << text;
  // The raster commands alone: read exactly, a label as large as its fields.
  LabelJob own = parseOk("^XA^FO0,0^GB3,2,1^FS^XZ");
  EXPECT_EQ(own.labels.at(0).image.width, 3u);
  EXPECT_TRUE(own.labels[0].fields.empty());
}

// A job of raster commands alone (read exactly) and the same job with any other command (read
// as a printer reads it) print the same: both move the format by ^LT and ^LS as the printer does.
TEST(PreviewZpl, RasterAndOtherJobsPlaceTheFormatAlike)
{
  for (const char* offsets : {"^LT4^LS0", "^LT-3^LS2", "^LT0^LS-5"}) {
    std::string format = std::string("^XA") + offsets + "^PW24^LL16^FO6,6^GB8,8,8^FS";
    LabelJob raster = parseOk(format + "^XZ");
    LabelJob drawn = parseOk(format + "^FXa comment^FS^XZ");
    ASSERT_EQ(raster.labels.size(), 1u);
    ASSERT_EQ(drawn.labels.size(), 1u);
    EXPECT_EQ(raster.labels[0].image.bits, drawn.labels[0].image.bits) << offsets;
  }
  LabelJob moved = parseOk("^XA^LT4^PW8^LL8^FO0,0^GB8,2,2^FS^XZ");
  EXPECT_FALSE(labelDot(moved.labels.at(0).image, 0, 3));
  EXPECT_TRUE(labelDot(moved.labels[0].image, 0, 4));
  EXPECT_TRUE(labelDot(moved.labels[0].image, 0, 5));
}

TEST(PreviewZpl, ZeroRunAndSeveralPagesOfTheirOwnSize)
{
  std::string page2 = "~DG000.GRF,128,4,!\r\n" + std::string(31, ':') +
                      "^XA^MMT^PW3^LL1^LS0^FT0,32^XG000.GRF,1,1^FS^PQ1,0,1,Y^XZ"
                      "^XA^ID000.GRF^FS^XZ";
  LabelJob job = parseOk(std::string(512, '\0') + kZplJob + page2);
  EXPECT_EQ(job.zeroRun, 512u);
  ASSERT_EQ(job.labels.size(), 2u);
  EXPECT_EQ(picture(job.labels[0].image), (std::vector<std::string>{"##.......#", "#........."}));
  EXPECT_EQ(picture(job.labels[1].image), (std::vector<std::string>{"###"}));

  // Through a sink the labels arrive one by one; the job keeps their sizes, not their dots.
  std::vector<std::vector<std::string>> seen;
  JobError error;
  ASSERT_TRUE(parseLabelJob(bytesOf(kZplJob + page2), job, error,
                            [&](const PreviewLabel& label, int number) {
                              EXPECT_EQ(number, static_cast<int>(seen.size()) + 1);
                              seen.push_back(picture(label.image));
                              return true;
                            }));
  EXPECT_EQ(seen, (std::vector<std::vector<std::string>>{{"##.......#", "#........."}, {"###"}}));
  ASSERT_EQ(job.labels.size(), 2u);
  EXPECT_EQ(job.labels[1].image.width, 3u);
  EXPECT_TRUE(job.labels[1].image.bits.empty());
}

TEST(PreviewZpl, SettingsInWords)
{
  std::string preamble = kZplPreamble;
  preamble.replace(preamble.find("~TA000"), 6, "~TA-004");
  preamble.replace(preamble.find("^LT0"), 4, "^LT-40");
  std::string page = kGraphic + "^XA^MMC^PW10^LL2^LS0^FT0,32^XG000.GRF,1,1^FS^PQ1,0,1,Y^PP^XZ";
  LabelJob job = parseOk(preamble + page);
  ASSERT_EQ(job.labels.size(), 1u);
  const ZplSettings& s = job.labels[0].zpl;
  EXPECT_EQ(s.darkness, 15);
  EXPECT_EQ(s.printSpeed, 4);
  EXPECT_EQ(s.slewSpeed, 4);
  EXPECT_EQ(s.mediaSensing, 'W');
  EXPECT_EQ(s.printMethod, 'T');
  EXPECT_EQ(s.printMode, 'C');
  EXPECT_EQ(s.tearOff, -4);
  EXPECT_EQ(s.labelTop, -40);
  EXPECT_TRUE(s.formatPause);

  std::string info = describeLabelJob(job, 203);
  for (const char* expected :
       {"ZPL II job, 1 label, no zero-byte run\n", "label 1 (from byte ",
        "10 x 2 dots, 1.3 x 0.3 mm at 203 dpi\n", "  darkness: 15 on a scale of 0 to 30 (~SD15)\n",
        "  speed: print 4 in/s, slew 4 in/s (^PR4,4)\n",
        "  media sensing: web (gap) sensing (^MNW)\n", "  print method: thermal transfer (^MTT)\n",
        "  orientation: normal (^PON)\n", "  mirror: off (^PMN)\n", "  print mode: cutter (^MMC)\n",
        "  tear-off offset: -4 dots, -0.5 mm (~TA-004)\n",
        "  label top offset: -40 dots, -5.0 mm (^LT-40)\n",
        "  quantity: 1 label, no pause (^PQ1,0,1,Y)\n",
        "  pause: the printer pauses when the label is done (^PP)\n", "  reverse print: off\n"})
    EXPECT_NE(info.find(expected), std::string::npos) << "missing: " << expected << "\n" << info;

  // The speeds our filter writes for its three fastest choices are beyond what printers take.
  preamble.replace(preamble.find("^PR4,4"), 6, "^PR10,40");
  info = describeLabelJob(parseOk(preamble + page), 300);
  EXPECT_NE(info.find("slew 40 in/s (outside the 1 to 14 in/s a printer takes"), std::string::npos)
      << info;
  EXPECT_NE(info.find("-40 dots, -3.4 mm (^LT-40)"), std::string::npos) << info;
}

// SOH D, STX N, STX A1, STX JE1, print type, media, image orientation, label size 5 x 16 dots,
// output mode, stop position offset.
const std::string kDplPreamble =
    "\001D\r\002N\r\002A1\r\002JE1\r\002j28000\r\002j24040\r\002u0\r"
    "\002c0005\r\002Kw0016\r\002j23020\r\002Kf20\r"s;

const std::string kImageHeader = "1Y1199900000000\r"s + std::string(5, '\0');

// Line 0 a run of two FF bytes; lines 1 and 2 blank; line 3 an escaped F0 then 12; line 4
// the plain bytes C0 01.
const std::string kDplLines = hexBytes("C2 FF FF 01  FF 02  C1 F0 12 FF 01  C0 01 FF 01");
const std::string kDplPicture[] = {"################", "................", "................",
                                   "####.......#..#.", "##.............#"};

std::string dplPage(const std::string& lines, const std::string& before = "\002JY-0004\r")
{
  return before + "\002L\rH10\r" + kImageHeader + lines + hexBytes("FF 0F") + "\rE\r";
}

TEST(PreviewDpl, ScanLineCodesAndBlankRuns)
{
  LabelJob job = parseOk(kDplPreamble + dplPage(kDplLines) + "\002JP023\r");
  EXPECT_EQ(job.language, JobLanguage::dpl);
  ASSERT_EQ(job.labels.size(), 1u);
  EXPECT_EQ(picture(job.labels[0].image),
            std::vector<std::string>(std::begin(kDplPicture), std::end(kDplPicture)));
  EXPECT_TRUE(job.labels[0].notes.empty());
  EXPECT_EQ(job.labels[0].offset, kDplPreamble.size() + "\002JY-0004\r"s.size());

  // FF FE is 254 blank lines and FF 00 none: the printed line is the 255th.
  job = parseOk(kDplPreamble + dplPage(hexBytes("FF FE FF 00 80 FF 01")));
  ASSERT_EQ(job.labels.size(), 1u);
  const LabelImage& tall = job.labels[0].image;
  ASSERT_EQ(tall.height, 255u);
  EXPECT_TRUE(labelDot(tall, 0, 254));
  EXPECT_FALSE(labelDot(tall, 0, 253));

  // A run of 62 bytes (FE) is wider than the label: the picture widens and says so.
  job = parseOk(kDplPreamble + dplPage(hexBytes("FE 55 FF 01")));
  ASSERT_EQ(job.labels.size(), 1u);
  EXPECT_EQ(job.labels[0].image.width, 62u * 8);
  EXPECT_TRUE(labelDot(job.labels[0].image, 62 * 8 - 1, 0));
  ASSERT_EQ(job.labels[0].notes.size(), 2u);
  EXPECT_EQ(job.labels[0].notes[0],
            "the image carries 1 line, the label-size command (STX c) says 5 dots");
  EXPECT_EQ(job.labels[0].notes[1],
            "image lines are 496 dots wide, wider than the label width of 16 dots (STX Kw)");
}

TEST(PreviewDpl, SeveralLabelsAndAZeroRun)
{
  LabelJob job = parseOk(std::string(512, '\0') + kDplPreamble + dplPage(kDplLines) +
                         dplPage(hexBytes("FF 01 C1 FF FF 01"), ""));
  EXPECT_EQ(job.zeroRun, 512u);
  ASSERT_EQ(job.labels.size(), 2u);
  EXPECT_EQ(picture(job.labels[1].image),
            (std::vector<std::string>{"................", "########........"}));
  EXPECT_EQ(job.labels[1].dpl.printPosition, -4) << "a print position stays in force";
  EXPECT_EQ(job.labels[1].notes.size(), 1u) << "2 lines on a label 5 dots long";
}

TEST(PreviewDpl, SettingsInWords)
{
  LabelJob job = parseOk(kDplPreamble + dplPage(kDplLines) + "\002JP023\r");
  ASSERT_EQ(job.labels.size(), 1u);
  const DplSettings& s = job.labels[0].dpl;
  EXPECT_EQ(s.heat, 10);
  EXPECT_EQ(s.printPosition, -4);
  EXPECT_EQ(s.presentDistance, 20);
  EXPECT_EQ(s.labelLength, 5);
  EXPECT_EQ(s.labelWidth, 16);
  EXPECT_EQ(s.outputMode, "020");
  EXPECT_EQ(job.outPaperPosition, 23);

  std::string info = describeLabelJob(job, 203);
  for (const char* expected :
       {"DPL job, 1 label, no zero-byte run\n", "16 x 5 dots, 2.0 x 0.6 mm at 203 dpi\n",
        "  label size command: length 5 dots, 0.6 mm; width 16 dots, 2.0 mm (STX c0005, STX "
        "Kw0016)\n",
        "  heat: 10 on a scale of 0 to 30 (H10)\n",
        "  print position: -4 dots, -0.5 mm (STX JY-0004)\n",
        "  stop position offset: 20 dots, 2.5 mm (STX Kf20)\n",
        "  output mode: rewind (STX j23020)\n", "  print type: direct thermal (STX j28000)\n",
        "  media: continuous media (STX j24040)\n", "  image orientation: normal (STX u0)\n",
        "job end: out-paper position 23 dots, 2.9 mm (STX JP023)\n"})
    EXPECT_NE(info.find(expected), std::string::npos) << "missing: " << expected << "\n" << info;
}

// A job that cannot be read: where the reader stops, which label, and what it says.
struct Malformed {
  const char* name;
  std::string bytes;
  std::size_t offset;
  int label;
  std::string what;
};

std::string cut(const std::string& job, std::size_t length)
{
  return job.substr(0, length);
}

std::string replaced(std::string job, const std::string& from, const std::string& to)
{
  job.replace(job.find(from), from.size(), to);
  return job;
}

std::vector<Malformed> malformedJobs()
{
  const std::size_t dataStart = kZplPreamble.size() + "~DG000.GRF,128,4,"s.size();
  const std::string dplJob = kDplPreamble + dplPage(kDplLines);
  const std::size_t image =
      kDplPreamble.size() + "\002JY-0004\r\002L\rH10\r"s.size() + kImageHeader.size();
  const std::string twoPages = kZplJob + kGraphic + printFormat("^PW10^LL2");
  std::string hugeBoxesJob = kZplPreamble + "^XA^PW200000^LL1000";  // 200 boxes on 25 MB
  for (int i = 0; i < 200; i++)
    hugeBoxesJob += "^FO0,0^GB200000,1000,1^FS";
  hugeBoxesJob += "^XZ";
  std::string blankRuns;  // 800 runs of 254 blank lines
  for (int i = 0; i < 800; i++)
    blankRuns += "\xFF\xFE";
  return {
      {"Empty", "", 0, 1, "the job is empty"},
      {"OnlyZeros", std::string(512, '\0'), 512, 1, "the job holds only zero bytes"},
      {"NotALabelJob", "%!PS-Adobe", 0, 1, "not a ZPL or DPL job: it starts with byte '%'"},
      {"ZplCutInDownloadHeader", cut(kZplJob, kZplPreamble.size() + 13), kZplPreamble.size() + 13,
       1, "the job ends inside the ~DG header"},
      {"ZplCutInGraphicData", cut(kZplJob, dataStart + 5), dataStart + 5, 1,
       "the job ends inside the data of graphic 000.GRF: 4 of 128 bytes"},
      {"ZplBadGraphicCharacter", replaced(kZplJob, "8,\r\n", "8a\r\n"), dataStart + 7, 1,
       "byte 'a' does not belong in graphic data"},
      {"ZplDownloadCountTooLarge", replaced(kZplJob, "GRF,128,", "GRF,132,"), dataStart, 1,
       "the data of graphic 000.GRF gives 128 bytes, ~DG declared 132"},
      {"ZplDownloadCountTooSmall", replaced(kZplJob, "GRF,128,", "GRF,124,"), dataStart + 41, 1,
       "the data of graphic 000.GRF goes past the 124 bytes ~DG declared"},
      {"ZplRowRepeatedFirst", replaced(kZplJob, "C06,", ":C06"), dataStart, 1,
       "':' repeats a row of graphic 000.GRF before there is one"},
      {"ZplDownloadTooLarge", replaced(kZplJob, "GRF,128,4,", "GRF,300000000,4,"),
       kZplPreamble.size(), 1,
       "~DG declares 300000000 bytes, more than the 268435456 a preview accepts"},
      {"ZplGraphicNotStored", replaced(kZplJob, "^XG000", "^XG001"),
       kZplPreamble.size() + kGraphic.size() + 27, 1,
       "^XG recalls graphic 001.GRF, which is not stored"},
      {"ZplCutInPrintFormat", cut(kZplJob, kZplJob.find("^PQ")), kZplJob.find("^PQ"), 1,
       "the job ends inside a label format (no ^XZ)"},
      {"ZplDownloadNeverPrinted", kZplPreamble + kGraphic, kZplPreamble.size() + kGraphic.size(), 1,
       "the job ends with graphic 000.GRF downloaded at byte " +
           std::to_string(kZplPreamble.size()) + " but never printed"},
      {"ZplWidthOutOfRange", replaced(kZplJob, "^PW10", "^PW999999"),
       kZplPreamble.size() + kGraphic.size() + 7, 1, "^PW 999999 lies outside 1 to 200000 dots"},
      {"ZplStrayByte", replaced(kZplJob, "^XZ~DG", "^XZ\x7F~DG"), kZplPreamble.size(), 1,
       "unexpected text after ^XZ: '<0x7F>'"},
      {"ZplSecondLabelCut", cut(twoPages, kZplJob.size() + 17 + 8), kZplJob.size() + 17 + 8, 2,
       "the job ends inside the data of graphic 000.GRF: 8 of 128 bytes"},
      {"ZplNoLabel", kZplPreamble, kZplPreamble.size(), 1, "the job prints no label"},
      {"ZplTooMuchDrawing", hugeBoxesJob, kZplPreamble.size(), 1,
       "the job draws more than " + std::to_string(4294967296 + 65536 * hugeBoxesJob.size()) +
           " bytes of labels, more than a preview draws for a job of " +
           std::to_string(hugeBoxesJob.size()) + " bytes"},
      {"ZplZ64BadCrc", zplJobWith(replaced(kZ64Data, ":4AE4", ":4AE5")), dataStart + 30, 1,
       "the CRC of graphic 000.GRF is 4AE5, its Base64 text gives 4AE4"},
      {"ZplZ64BadBase64", zplJobWith(replaced(kZ64Data, "eJw7", "eJ_7")), dataStart + 7, 1,
       "byte '_' is not Base64 in the data of graphic 000.GRF"},
      {"ZplZ64BadPadding", zplJobWith(replaced(kZ64Data, "oQ==", "oQ=")), dataStart + 28, 1,
       "the Base64 text of graphic 000.GRF is not a whole number of groups of four, padded with "
       "'=' only at its end"},
      {"ZplZ64DoesNotInflate", zplJobWith(":Z64:bm90IHpsaWIgZGF0YSE=:122B"), dataStart + 6, 1,
       "the Z64 data of graphic 000.GRF does not inflate (incorrect header check)"},
      {"ZplZ64TooFewBytes", zplJobWith(kZ64Data, "132"), dataStart, 1,
       "the data of graphic 000.GRF gives 128 bytes, ~DG declared 132"},
      {"ZplZ64TooManyBytes", zplJobWith(kZ64Data, "124"), dataStart + 18, 1,
       "the data of graphic 000.GRF gives more than the 124 bytes ~DG declared"},
      {"ZplB64TooManyBytes", zplJobWith(kB64Data, "124"), dataStart, 1,
       "the data of graphic 000.GRF gives 128 bytes, ~DG declared 124"},
      {"ZplZ64NoCrc", zplJobWith(kZ64Data.substr(0, 29)), dataStart + 29, 1,
       "byte 0x0D where the data of graphic 000.GRF needs ':' and a four-digit hex CRC"},
      {"ZplZ64CutBeforeCrc", cut(zplJobWith(kZ64Data), dataStart + 20), dataStart + 20, 1,
       "the job ends inside the data of graphic 000.GRF, before its ':' and four-digit CRC"},
      {"ZplZ64TextAfterCrc", zplJobWith(kZ64Data + "00"), dataStart + 34, 1,
       "byte '0' after the CRC of graphic 000.GRF"},
      {"DplCutInImageData", cut(dplJob, image + 6), image + 6, 1,
       "the job ends inside the image data (line 4, no FF 0F)"},
      {"DplCutAfterEscape", cut(dplJob, image + 7), image + 7, 1,
       "the job ends inside the image data, after code 0xC1"},
      {"DplNoEndOfImage", replaced(dplJob, "\xFF\x0F\rE\r", "\rE\r"), dplJob.size() - 2, 1,
       "the job ends inside the image data (line 6, no FF 0F)"},
      {"DplEndInsideLine", replaced(dplJob, "\xC0\x01\xFF\x01", "\xC0\x01"), image + 13, 1,
       "the image data ends (FF 0F) inside a printed line; FF 01 ends the line first"},
      {"DplBlankRunInsideLine", replaced(dplJob, "\xC0\x01\xFF\x01", "\xC0\x01\xFF\x03"),
       image + 13, 1, "a run of blank lines (FF 0x03) inside a printed line"},
      {"DplBadImageHeader", replaced(dplJob, "1Y1199900000000", "1Y1199900050000"), image - 11, 1,
       "byte '5' in the image record header, where '0' belongs (header 1Y1199900000000, CR, "
       "five zero bytes)"},
      {"DplNoLabelEnd", cut(dplJob, dplJob.size() - 2), dplJob.size() - 2, 1,
       "the job ends inside a label format (no E)"},
      {"DplUnknownFormatLine", replaced(dplJob, "H10\r", "D11\r"), image - 25, 1,
       "unknown label-format command 'D11'"},
      {"DplCutInCommand", cut(dplJob, 27), 27, 1, "the job ends inside the command STX j24"},
      {"DplEndlessBlankLines", kDplPreamble + dplPage(blankRuns), image + 2 * 787, 1,
       "the image record starting at byte " + std::to_string(image - 21) +
           " has more than 200000 lines"},
  };
}

TEST(PreviewMalformed, EachJobStopsWithItsMessageAndStatus)
{
  testsupport::TempDir dir;
  for (Malformed m : malformedJobs()) {
    SCOPED_TRACE(m.name);
    LabelJob job;
    JobError error;
    ASSERT_FALSE(parseLabelJob(bytesOf(m.bytes), job, error));
    EXPECT_EQ(error.what, m.what);
    EXPECT_EQ(error.offset, m.offset);
    EXPECT_EQ(error.label, m.label);

    std::string path = dir.file(std::string(m.name) + ".job");
    testsupport::writeFile(path, m.bytes);
    auto run = testsupport::runProgram(LABELPREVIEW_PATH, {{"--format", "pbm", path}, {}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "labelpreview: " + path + ": byte " + std::to_string(m.offset) + ", label " +
                           std::to_string(m.label) + ": " + m.what + "\n");
    // The labels before the fault are written, the faulty one is not.
    for (int label = 1; label <= m.label; label++)
      EXPECT_EQ(std::filesystem::exists(dir.file(m.name + "-00"s + std::to_string(label) + ".pbm")),
                label < m.label);
  }
}

TEST(PreviewOutput, PbmAndPngHoldTheLabelDots)
{
  LabelJob job = parseOk(kZplJob);
  ASSERT_EQ(job.labels.size(), 1u);
  const LabelImage& image = job.labels[0].image;
  EXPECT_EQ(testsupport::hexDiff("P4\n10 2\n" + hexBytes("C0 40 80 00"), labelPbmBytes(image)),
            "identical");

  // Read the PNG back through libpng as 8-bit grey: 0 is black, 255 white.
  testsupport::TempDir dir;
  std::string path = dir.file("label.png");
  std::string problem;
  ASSERT_TRUE(writeLabelPng(image, path, 203, problem)) << problem;
  png_image png = {};
  png.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&png, path.c_str())) << png.message;
  png.format = PNG_FORMAT_GRAY;
  std::vector<unsigned char> grey(PNG_IMAGE_SIZE(png));
  ASSERT_TRUE(png_image_finish_read(&png, nullptr, grey.data(), 0, nullptr)) << png.message;
  ASSERT_EQ(png.width, 10u);
  ASSERT_EQ(png.height, 2u);
  std::string rows;
  for (std::size_t i = 0; i < grey.size(); i++)
    rows += grey[i] == 0 ? '#' : grey[i] == 255 ? '.' : '?';
  EXPECT_EQ(rows,
            "##.......#"
            "#.........");

  EXPECT_FALSE(writeLabelPbm(image, dir.file("missing/label.pbm"), problem));
  EXPECT_EQ(problem,
            "cannot create " + dir.file("missing/label.pbm") + ": No such file or directory");
}

TEST(PreviewProgram, FileNamesInfoAndExitStatus)
{
  testsupport::TempDir dir;
  std::string jobPath = dir.file("sample.zpl");
  std::string page2 =
      "~DG000.GRF,128,4,!\r\n" + std::string(31, ':') + "^XA^PW3^LL1^FT0,32^XG000.GRF,1,1^FS^XZ";
  testsupport::writeFile(jobPath, kZplJob + page2);

  // PNG files named after the job file, one per label.
  auto run = testsupport::runProgram(LABELPREVIEW_PATH, {{jobPath}, {}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(std::filesystem::exists(dir.file("sample-001.png")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("sample-002.png")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("sample-003.png")));

  // Standard input, PBM, a prefix of one's own.
  run = testsupport::runProgram(LABELPREVIEW_PATH,
                                {{"--format=pbm", "-o", dir.file("in")}, {}, jobPath});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testsupport::readFile(dir.file("in-002.pbm")), "P4\n3 1\n\xE0");

  // --info describes and writes nothing.
  run = testsupport::runProgram(LABELPREVIEW_PATH,
                                {{"--info", "--dpi", "300", "-o", dir.file("info"), jobPath}, {}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("ZPL II job, 2 labels, no zero-byte run\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("label 2 (from byte "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("3 x 1 dots, 0.3 x 0.1 mm at 300 dpi\n"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("info-001.png")));

  run = testsupport::runProgram(LABELPREVIEW_PATH, {{"--format", "gif", jobPath}, {}});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(testsupport::lines(run.err).at(0), "labelpreview: --format takes png or pbm");

  run = testsupport::runProgram(LABELPREVIEW_PATH, {{dir.file("absent.zpl")}, {}});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, "labelpreview: " + dir.file("absent.zpl") + ": No such file or directory\n");

  run = testsupport::runProgram(LABELPREVIEW_PATH, {{"-o", dir.file("missing/x"), jobPath}, {}});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, "labelpreview: cannot create " + dir.file("missing/x-001.png") +
                         ": No such file or directory\n");
}

}  // namespace
