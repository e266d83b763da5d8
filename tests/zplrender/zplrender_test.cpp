// zplrender_test.cpp: the ZPL II renderer: the job model, geometry against small golden
// pictures, text placement, graphics, limits, and labelpreview drawing any ZPL job.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "zpltest.h"

#include "GRFDataZ64.h"
#include "DataComDecompress.h"

#include <cstdint>
#include <algorithm>
#include <png.h>

#include <chrono>

namespace {

using zpltest::picture;
using zpltest::render;

std::string drawn(const std::string& zpl)
{
  zplrender::Result r = render(zpl);
  EXPECT_EQ(r.error, "") << zpl;
  if (r.labels.empty())
    return "(no label)";
  return picture(r.labels[0].image);
}

std::string rows(std::initializer_list<const char*> lines)
{
  std::string text;
  for (const char* line : lines)
    text += std::string(line) + "\n";
  return text;
}

bool hasNote(const zplrender::Result& r, const std::string& part)
{
  for (const std::string& n : r.notes)
    if (n.find(part) != std::string::npos)
      return true;
  return false;
}

// ---- Geometry: golden pictures ----------------------------------------------------------------

TEST(Geometry, BoxesWithBordersRoundingAndColours)
{
  EXPECT_EQ(drawn("^XA^PW12^LL8^FO1,1^GB10,6,2^FS^XZ"),
            rows({"............", ".##########.", ".##########.", ".##......##.", ".##......##.",
                  ".##########.", ".##########.", "............"}));
  EXPECT_EQ(drawn("^XA^PW16^LL12^FO1,1^GB14,10,2,B,8^FS^XZ"),
            rows({"................", "....########....", "..############..", "..##........##..",
                  ".##..........##.", ".##..........##.", ".##..........##.", ".##..........##.",
                  "..##........##..", "..############..", "....########....", "................"}));
  // A solid box, a reversing box over it, a white box clearing a corner.
  EXPECT_EQ(drawn("^XA^PW10^LL8^FO1,1^GB6,6,6^FS^FO3,3^FR^GB6,4,4^FS^FO2,2^GB2,2,2,W^FS^XZ"),
            rows({"..........", ".######...", ".#..###...", ".#.....##.", ".##....##.", ".##....##.",
                  ".##....##.", ".........."}));
  // A border thicker than half the box makes it solid; sizes below the border grow to it.
  EXPECT_EQ(drawn("^XA^PW6^LL4^FO1,1^GB1,1,3^FS^XZ"),
            rows({"......", ".###..", ".###..", ".###.."}));
}

TEST(Geometry, CirclesEllipsesAndDiagonals)
{
  EXPECT_EQ(drawn("^XA^PW12^LL12^FO1,1^GC10,2^FS^XZ"),
            rows({"............", "....####....", "..########..", "..##....##..", ".##......##.",
                  ".##......##.", ".##......##.", ".##......##.", "..##....##..", "..########..",
                  "....####....", "............"}));
  EXPECT_EQ(drawn("^XA^PW14^LL8^FO1,1^GE12,6,1^FS^XZ"),
            rows({"..............", "....######....", "..##......##..", ".#..........#.",
                  ".#..........#.", "..##......##..", "....######....", ".............."}));
  EXPECT_EQ(drawn("^XA^PW16^LL6^FO0,0^GD8,6,2,B,R^FS^FO8,0^GD8,6,2,B,L^FS^XZ"),
            rows({"......####......", "....##...##.....", "...##.....##....", "..##.......##...",
                  ".##.........##..", "##............##"}));
}

TEST(Geometry, FieldOriginsHomeAndShift)
{
  // ^FO places the top-left corner, ^FT the bottom-left; ^LH moves both, ^LS shifts left.
  EXPECT_EQ(drawn("^XA^PW10^LL10^LH2,1^FO0,0^GB3,3,3^FS^FT5,9^GB4,2,2^FS^XZ"),
            rows({"..........", "..###.....", "..###.....", "..###.....", "..........", "..........",
                  "..........", "..........", ".......###", ".......###"}));
  EXPECT_EQ(drawn("^XA^PW6^LL2^LS2^FO3,0^GB2,2,2^FS^XZ^XA^LS0^XZ"),
            rows({".##...", ".##..."}));
  // ^MU in inches: one inch is the resolution's dots.
  zplrender::Result r = render("^XA^MUI^PW2^LL1^FO0.5,0.25^GB0.1,0.1,0.1^FS^XZ");
  ASSERT_EQ(r.labels.size(), 1u);
  EXPECT_EQ(r.labels[0].image.width, 406);
  EXPECT_TRUE(zplrender::bitmapDot(r.labels[0].image, 102, 51));
  EXPECT_FALSE(zplrender::bitmapDot(r.labels[0].image, 100, 50));
}

TEST(Geometry, LabelTurnedMirroredAndReversed)
{
  // Odd widths, across byte boundaries: every dot lands where turning it one by one puts it.
  for (int width : {1, 7, 8, 9, 13, 16, 23}) {
    std::string job = "^XA^PW" + std::to_string(width) + "^LL5^FO0,0^GB3,2,1^FS^FO" +
                      std::to_string(width / 2) + ",3^GB2,1,1^FS^FO" + std::to_string(width - 1) +
                      ",1^GB1,1,1^FS";
    zplrender::Result plain = render(job + "^XZ");
    zplrender::Result turned = render(job + "^POI^XZ");
    zplrender::Result mirrored = render(job + "^PON^PMY^XZ");
    ASSERT_EQ(turned.labels.size(), 1u);
    const zplrender::Bitmap& a = plain.labels.at(0).image;
    for (int y = 0; y < 5; y++)
      for (int x = 0; x < width; x++) {
        EXPECT_EQ(zplrender::bitmapDot(a, x, y),
                  zplrender::bitmapDot(turned.labels[0].image, width - 1 - x, 4 - y))
            << width << ": " << x << "," << y;
        EXPECT_EQ(zplrender::bitmapDot(a, x, y),
                  zplrender::bitmapDot(mirrored.labels.at(0).image, width - 1 - x, y))
            << width << ": " << x << "," << y;
      }
    for (const auto* r : {&turned, &mirrored}) {  // bits past the width stay white
      const zplrender::Bitmap& b = r->labels.at(0).image;
      if (width % 8) {
        for (int y = 0; y < 5; y++)
          EXPECT_EQ(b.bits[y * b.rowBytes + b.rowBytes - 1] & (0xFF >> (width % 8)), 0);
      }
    }
  }
  EXPECT_EQ(drawn("^XA^PW6^LL3^POI^FO0,0^GB2,1,1^FS^XZ"), rows({"......", "......", "....##"}));
  EXPECT_EQ(drawn("^XA^PW6^LL2^PMY^PON^FO0,0^GB1,2,1^FS^XZ"), rows({".....#", ".....#"}));
  // ^LR reverses every field against what lies under it.
  EXPECT_EQ(drawn("^XA^PW6^LL2^PMN^LRY^FO0,0^GB6,2,2^FS^FO2,0^GB2,2,2^FS^LRN^XZ"),
            rows({"##..##", "##..##"}));
  zplrender::Result lr = render("^XA^PW6^LL2^LRY^FO0,0^GB6,2,2^FS^LRN^XZ^XA^FO0,0^GB6,2,2^FS^XZ");
  ASSERT_EQ(lr.labels.size(), 2u);
  EXPECT_TRUE(lr.labels[0].settings.reversed);
  EXPECT_FALSE(lr.labels[1].settings.reversed);
}

// Turned fields: the dots of R, I and B are those of N turned, and ^FO puts the turned box's
// top-left corner at the origin, for barcodes and text alike.
TEST(Geometry, RotationTurnsEveryFieldAboutItsOrigin)
{
  for (const char* field : {"^BY2^B3%c,N,40,N,N^FDAB12^FS", "^A0%c,40^FDRotate^FS",
                            "^ADN,18,10^FB200,2,0,L^A0%c,30^FDTwo lines\\&of text^FS"}) {
    std::map<char, zplrender::Bitmap> crops;
    for (char o : {'N', 'R', 'I', 'B'}) {
      char fieldText[128];
      std::snprintf(fieldText, sizeof fieldText, field, o);
      zplrender::Result r = render(std::string("^XA^PW400^LL400^FO50,60") + fieldText + "^XZ");
      ASSERT_EQ(r.labels.size(), 1u) << r.error;
      const zplrender::FieldInfo& f = r.labels[0].fields.at(0);
      EXPECT_EQ(f.left, 50) << fieldText;
      EXPECT_EQ(f.top, 60) << fieldText;
      zplrender::Bitmap crop;
      crop.width = f.width;
      crop.height = f.height;
      crop.rowBytes = (static_cast<std::size_t>(f.width) + 7) / 8;
      crop.bits.assign(crop.rowBytes * f.height, 0);
      for (int y = 0; y < f.height; y++)
        for (int x = 0; x < f.width; x++)
          if (zplrender::bitmapDot(r.labels[0].image, f.left + x, f.top + y))
            crop.bits[y * crop.rowBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      crops[o] = crop;
    }
    const zplrender::Bitmap& n = crops['N'];
    ASSERT_GT(n.width, 0);
    EXPECT_EQ(crops['R'].width, n.height);
    EXPECT_EQ(crops['I'].width, n.width);
    int mismatches = 0;
    for (int y = 0; y < n.height; y++)
      for (int x = 0; x < n.width; x++) {
        bool dot = zplrender::bitmapDot(n, x, y);
        mismatches += dot != zplrender::bitmapDot(crops['R'], n.height - 1 - y, x);
        mismatches += dot != zplrender::bitmapDot(crops['I'], n.width - 1 - x, n.height - 1 - y);
        mismatches += dot != zplrender::bitmapDot(crops['B'], y, n.width - 1 - x);
      }
    EXPECT_EQ(mismatches, 0) << field;
  }
}

TEST(Geometry, BaselineOriginAndFollowingText)
{
  // ^FT puts the baseline's left end at the origin: ink sits above it, descenders below.
  zplrender::Result r = render("^XA^PW300^LL100^FT10,60^A0N,40^FDHH^FS^FT^A0N,40^FDHH^FS^XZ");
  ASSERT_EQ(r.labels.size(), 1u);
  const zplrender::Bitmap& img = r.labels[0].image;
  int lowest = -1;
  int rightmostFirst = 0;
  for (int y = 0; y < img.height; y++)
    for (int x = 0; x < img.width; x++)
      if (zplrender::bitmapDot(img, x, y))
        lowest = std::max(lowest, y);
  EXPECT_EQ(lowest, 59);
  const zplrender::FieldInfo& a = r.labels[0].fields.at(0);
  const zplrender::FieldInfo& b = r.labels[0].fields.at(1);
  rightmostFirst = a.left + a.width;
  EXPECT_EQ(b.left, rightmostFirst);  // a ^FT without position goes on after the last field
  EXPECT_EQ(b.top, a.top);
}

// ---- Text -------------------------------------------------------------------------------------

TEST(Text, ScalableAndBitmapFontCells)
{
  zplrender::Result r = render(
      "^XA^PW800^LL200^FO0,0^A0N,50,25^FDWIDTH^FS^FO0,60^A0N,50,50^FDWIDTH^FS"
      "^FO0,120^ADN,36,20^FDABC^FS^FO300,120^AAN^FDABC^FS^XZ");
  ASSERT_EQ(r.labels.size(), 1u) << r.error;
  const auto& f = r.labels[0].fields;
  EXPECT_EQ(f[0].height, 50);
  EXPECT_NEAR(f[1].width, 2 * f[0].width, 2);  // width scales the glyphs alone
  EXPECT_EQ(f[2].height, 36);                   // font D doubled: 36 x 20 cells
  EXPECT_EQ(f[2].width, 3 * (20 + 4));          // and its gap of 2 doubled
  EXPECT_EQ(f[3].height, 9);                    // font A: 9 x 5, gap 1
  EXPECT_EQ(f[3].width, 3 * 6);
  // Fonts P to V have base cells of their own and scale like font 0.
  zplrender::Result pv = render("^XA^PW400^LL200^FO0,0^APN^FDP^FS^FO0,40^AVN^FDV^FS^FO0,130^AQN,50^FDQ^FS^XZ");
  ASSERT_EQ(pv.labels.size(), 1u);
  EXPECT_EQ(pv.labels[0].fields[0].height, 20);
  EXPECT_EQ(pv.labels[0].fields[1].height, 80);
  EXPECT_EQ(pv.labels[0].fields[2].height, 50);
  EXPECT_FALSE(hasNote(pv, "drawn as the scalable font"));
  // ^CF sets the font of fields that name none.
  zplrender::Result cf = render("^XA^PW400^LL100^CF0,60^FO0,0^FDX^FS^XZ");
  ASSERT_EQ(cf.labels.size(), 1u);
  EXPECT_EQ(cf.labels[0].fields[0].height, 60);
  EXPECT_EQ(cf.labels[0].fields[0].kind, "text ^A0");
}

// Rows of the field box that hold black dots, as bands [first, last].
std::vector<std::pair<int, int>> inkBands(const zplrender::Label& l, const zplrender::FieldInfo& f)
{
  std::vector<std::pair<int, int>> bands;
  bool inBand = false;
  for (int y = f.top; y < f.top + f.height; y++) {
    bool ink = false;
    for (int x = f.left; x < f.left + f.width && !ink; x++)
      ink = zplrender::bitmapDot(l.image, x, y);
    if (ink && !inBand)
      bands.push_back({y, y});
    if (ink)
      bands.back().second = y;
    inBand = ink;
  }
  return bands;
}

std::pair<int, int> inkColumns(const zplrender::Label& l, int y0, int y1)
{
  int first = l.image.width, last = -1;
  for (int y = y0; y <= y1; y++)
    for (int x = 0; x < l.image.width; x++)
      if (zplrender::bitmapDot(l.image, x, y)) {
        first = std::min(first, x);
        last = std::max(last, x);
      }
  return {first, last};
}

TEST(Text, FieldBlocksWrapBreakJustifyAndIndent)
{
  // Three lines: a forced break, then words wrapped at the width; right-justified.
  zplrender::Result r = render(
      "^XA^PW400^LL300^FO20,20^FB300,3,10,R^A0N,30^FDFirst line\\&second line and more words "
      "that wrap^FS^XZ");
  ASSERT_EQ(r.labels.size(), 1u) << r.error;
  const zplrender::FieldInfo& f = r.labels[0].fields[0];
  EXPECT_EQ(f.width, 300);
  EXPECT_EQ(f.height, 3 * 30 + 2 * 10);
  auto bands = inkBands(r.labels[0], f);
  ASSERT_EQ(bands.size(), 3u);
  for (const auto& band : bands) {
    auto cols = inkColumns(r.labels[0], band.first, band.second);
    EXPECT_GE(cols.second, 20 + 300 - 4);  // every line ends at the block's right edge
    EXPECT_LE(cols.second, 20 + 300);
  }
  // Left with a hanging indent: the lines after the first start further in.
  zplrender::Result h = render(
      "^XA^PW400^LL300^FO20,20^FB200,4,0,L,40^A0N,30^FDHanging indent text that runs on over "
      "lines^FS^XZ");
  ASSERT_EQ(h.labels.size(), 1u);
  auto hb = inkBands(h.labels[0], h.labels[0].fields[0]);
  ASSERT_GE(hb.size(), 2u);
  EXPECT_LT(inkColumns(h.labels[0], hb[0].first, hb[0].second).first, 24);
  EXPECT_GE(inkColumns(h.labels[0], hb[1].first, hb[1].second).first, 60);
  // ^TB clips to its height: two lines fit, the rest is not drawn.
  zplrender::Result tb = render(
      "^XA^PW400^LL300^FO20,20^A0N,30^TBN,150,65^FDone two three four five six seven eight nine ten "
      "eleven twelve^FS^XZ");
  ASSERT_EQ(tb.labels.size(), 1u);
  EXPECT_EQ(tb.labels[0].fields[0].height, 65);
  EXPECT_EQ(inkBands(tb.labels[0], tb.labels[0].fields[0]).size(), 2u);
}

TEST(Text, CharacterSetsAndHexEscapes)
{
  zplrender::Result r = render(
      "^XA^PW400^LL100^CI28^FO0,0^A0N,30^FH^FD_C3_A9t_C3_A9 _E2_82_AC^FS"
      "^FO0,40^A0N,30^FDplain_41^FS^XZ");
  ASSERT_EQ(r.labels.size(), 1u);
  EXPECT_EQ(r.labels[0].fields[0].data, "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(r.labels[0].fields[1].data, "plain_41");  // no ^FH: kept as written
  EXPECT_EQ(r.labels[0].settings.characterSet, 28);
  // Another escape character, and a field data with the delimiter in it.
  zplrender::Result other = render("^XA^PW400^LL100^FO0,0^FH\\^FDa,b\\7Ec^FS^XZ");
  ASSERT_EQ(other.labels.size(), 1u);
  EXPECT_EQ(other.labels[0].fields[0].data, "a,b~c");
}

// ---- Job model --------------------------------------------------------------------------------

TEST(JobModel, LabelsCopiesAndSerialNumbers)
{
  zplrender::Result r = render(
      "^XA^PW100^LL50^FO0,0^GB10,10,10^FS^PQ2^XZ\n"
      "^XA^FO0,0^A0N,20^SN009,1,Y^FS^FO0,20^A0N,20^SN0099,1,N^FS^FO0,40^A0N,20^SN10,-3^FS"
      "^FO50,0^A0N,20^FDAZ9^SFAND,1^FS^PQ3^XZ");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.labels.size(), 5u);
  EXPECT_EQ(r.labels[0].image.bits, r.labels[1].image.bits);
  EXPECT_EQ(r.labels[1].copy, 2);
  std::vector<std::string> got;
  for (int i = 2; i < 5; i++)
    for (const auto& f : r.labels[i].fields)
      got.push_back(f.data);
  EXPECT_EQ(got, (std::vector<std::string>{"009", "0099", "10", "AZ9",  //
                                           "010", "0100", "7", "B00",   //
                                           "011", "0101", "4", "B01"}));
  EXPECT_NE(r.labels[2].image.bits, r.labels[3].image.bits);
  EXPECT_EQ(r.labels[4].settings.quantity, 3);
}

TEST(JobModel, StoredFormatsFillTheirFieldsPerLabel)
{
  zplrender::Result r = render(
      "^XA^DFE:ADDR.ZPL^FS^FO0,0^A0N,20^FN1^FDdefault^FS^FO0,30^A0N,20^FN2^FS^XZ"
      "^XA^XFE:ADDR.ZPL^FN2^FDsecond^FS^XZ"
      "^XA^XFADDR^FN1^FDone^FS^FN2^FDtwo^FS^XZ"
      "^XA^XFR:MISSING.ZPL^FS^FO0,0^GB5,5,5^FS^XZ"
      "^XA^DFBARE^FS^FO0,0^FN7^FS^XZ^XA^XFBARE^FN7^FDbare^FS^XZ");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.labels.size(), 4u);
  // A stored field of a position and ^FN alone takes its data, in the default font.
  ASSERT_EQ(r.labels[3].fields.size(), 1u);
  EXPECT_EQ(r.labels[3].fields[0].data, "bare");
  EXPECT_EQ(r.labels[3].fields[0].kind, "text ^AA");
  EXPECT_EQ(r.labels[0].fields[0].data, "default");
  EXPECT_EQ(r.labels[0].fields[1].data, "second");
  EXPECT_EQ(r.labels[1].fields[0].data, "one");
  EXPECT_EQ(r.labels[1].fields[1].data, "two");
  EXPECT_TRUE(hasNote(r, "MISSING.ZPL, which is not stored"));
}

TEST(JobModel, PrefixesDelimiterAndComments)
{
  zplrender::Result r = render(
      "^XA^CD;^PW20;^LL10^FO2;2^GB4;4;4^FS^CD,^FXa comment ^FO0,0^GB99,99,99^FS\n"
      "^CC!!FO10,2!GB4,4,4!FS!CC^~CT#^XZ");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.labels.size(), 1u);
  // The comment ends at the next command, which draws.
  ASSERT_EQ(r.labels[0].fields.size(), 3u);
  EXPECT_EQ(r.labels[0].image.width, 20);
  EXPECT_TRUE(zplrender::bitmapDot(r.labels[0].image, 11, 3));
}

TEST(JobModel, SettingsInWordsAndUnknownCommandsNotedOnce)
{
  zplrender::Result r = render(
      "~SD22^XA^PR4,6^MMC^MNY^MTD^JUS^PW50^LL50^FO0,0^GB5,5,5^FS^ZZ1^ZZ2^XZ~JA");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.labels.size(), 1u);
  const zplrender::PrinterSettings& s = r.labels[0].settings;
  EXPECT_EQ(s.darkness, 22);
  EXPECT_EQ(s.printSpeed, 4);
  EXPECT_EQ(s.slewSpeed, 6);
  EXPECT_EQ(s.printMode, 'C');
  EXPECT_EQ(s.mediaSensing, 'Y');
  EXPECT_TRUE(s.configurationSaved);
  EXPECT_EQ(std::count(r.notes.begin(), r.notes.end(), "command ^ZZ ignored"), 1);
  EXPECT_TRUE(hasNote(r, "command ~JA ignored"));
  // A job without sizes gets the media's, and says so.
  zplrender::Options small;
  small.mediaWidth = 30;
  small.mediaHeight = 20;
  zplrender::Result m = render("^XA^FO0,0^GB5,5,5^FS^XZ", small);
  ASSERT_EQ(m.labels.size(), 1u);
  EXPECT_EQ(m.labels[0].image.width, 30);
  EXPECT_EQ(m.labels[0].image.height, 20);
  EXPECT_TRUE(hasNote(m, "no ^PW"));
}

// ---- Graphics ---------------------------------------------------------------------------------

TEST(Graphics, StoredRecalledAndInlineInEveryEncoding)
{
  // A 16 x 2 bitmap: the left byte of row one, the right byte of row two.
  const unsigned char bitmap[] = {0xF0, 0x00, 0x00, 0x0F};
  char* z64 = nullptr;
  std::uint64_t z64Length = 0;
  ASSERT_EQ(GRFDataZ64Encode(bitmap, 4, 2, &z64, &z64Length), 0);
  std::string z64Text(z64, z64Length);
  FreeReallocMemory(&z64);
  std::string binary(reinterpret_cast<const char*>(bitmap), 4);
  binary[3] = '^';  // a binary byte that is also the format prefix: 01011110
  std::string job = "~DGR:TWO.GRF,4,2,F000000F\n"
                    "~DYE:OBJ,A,G,4,2," + z64Text + "\n"
                    "^XA^PW16^LL10"
                    "^FO0,0^XGR:TWO.GRF,1,1^FS"
                    "^FO0,2^IME:OBJ.GRF^FS"
                    "^FO0,4^GFA,4,4,2," + z64Text + "^FS"
                    "^FO0,6^GFB,4,4,2," + binary + "^FS"
                    "^FO0,8^XGTWO,1,1^FS^XZ";
  zplrender::Result r = render(job);
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.labels.size(), 1u);
  EXPECT_EQ(picture(r.labels[0].image),
            rows({"####............", "............####", "####............", "............####",
                  "####............", "............####", "####............", ".........#.####.",
                  "####............", "............####"}));
  // Magnified, and reversing what lies under it.
  EXPECT_EQ(drawn("~DGA,1,1,C0\n^XA^PW6^LL2^FO0,0^GB6,1,1^FS^FO1,0^FR^XGA,2,2^FS^XZ"),
            rows({"#....#", ".####."}));
  // A PNG downloaded with ~DY: dark dots black, light and transparent ones white.
  std::uint8_t greyAlpha[] = {0, 255, 200, 255, 0, 0, 40, 255};  // 4 x 1: black, light, clear, dark
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = 4;
  image.height = 1;
  image.format = PNG_FORMAT_GA;
  png_alloc_size_t pngSize = 0;
  ASSERT_TRUE(png_image_write_to_memory(&image, nullptr, &pngSize, 0, greyAlpha, 0, nullptr));
  std::string png(pngSize, '\0');
  ASSERT_TRUE(png_image_write_to_memory(&image, png.data(), &pngSize, 0, greyAlpha, 0, nullptr));
  zplrender::Result fromPng = render("~DYE:LOGO,P,P," + std::to_string(png.size()) + ",," + png +
                                     "^XA^PW5^LL2^FO1,0^IME:LOGO.PNG^FS^FO1,1^XGLOGO.PNG^FS^XZ"
                                     "~DYBAD,P,P,4,,abcd");
  ASSERT_EQ(fromPng.error, "");
  EXPECT_EQ(picture(fromPng.labels.at(0).image), rows({".#..#", ".#..#"}));
  EXPECT_TRUE(hasNote(fromPng, "BAD.PNG not stored: its PNG data cannot be read"));
  // A graphic that is not stored, or whose data does not read, is noted and not drawn.
  zplrender::Result missing = render("^XA^PW8^LL8^FO0,0^XGNONE^FS^FO0,0^GFA,2,2,1,ZZ^FS^XZ");
  EXPECT_EQ(missing.error, "");
  EXPECT_TRUE(hasNote(missing, "NONE.GRF, which is not stored"));
  EXPECT_TRUE(hasNote(missing, "not hex"));
}

// ---- Limits -----------------------------------------------------------------------------------

TEST(Limits, HostileJobsEndWithAReason)
{
  struct Case {
    std::string zpl;
    const char* reason;
  };
  std::string manyFields = "^XA^PW100^LL100";
  for (int i = 0; i < 25000; i++)
    manyFields += "^FO1,1^GB1,1,1^FS";
  manyFields += "^XZ";
  const Case cases[] = {
      {"^XA^PW900000^LL100^XZ", "larger than the 32000 dots"},
      {"^XA^DFA^FS^XFA^FS^XZ^XA^XFA^FS^XZ", "more than 8 deep"},
      {"^XA^FO0,0^GFA,99999999999,99999999999,99999,00^FS^XZ", "larger than a label may be"},
      {"^XA^FO0,0^GFA,80000000,80000000,4000,00^FS^XZ", "a graphic may have"},
      {"~DGBIG,80000000,4000,00", "a graphic may have"},
      {manyFields, "more than 20000 fields"},
      {"^XA^PW812^LL1218^FO0,0^A0N,32000,32000^FDWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW^FS^XZ",
       "larger than a label may hold"},
      {"", "the job prints no label"},
      {"^XA^FO", "the job ends inside a label format"},
  };
  for (const Case& c : cases) {
    auto start = std::chrono::steady_clock::now();
    zplrender::Result r = render(c.zpl);
    EXPECT_NE(r.error.find(c.reason), std::string::npos) << c.zpl.substr(0, 80) << ": " << r.error;
    (void)start;
  }
  // Labels beyond the job's allowance are noted, not drawn.
  zplrender::Options few;
  few.limits.maxLabels = 5;
  zplrender::Result copies = render("^XA^PW10^LL10^FO0,0^GB5,5,5^FS^PQ99999999^XZ", few);
  EXPECT_EQ(copies.error, "");
  EXPECT_EQ(copies.labels.size(), 5u);
  EXPECT_TRUE(hasNote(copies, "only the first 5 labels"));
  // Drawing work is bounded for the job as a whole.
  zplrender::Options little;
  little.limits.maxWorkDots = 1000000;
  zplrender::Result work =
      render("^XA^PW2000^LL2000^FO0,0^GB2000,2000,1000^FS^FO0,0^GB2000,2000,1000^FS^XZ", little);
  EXPECT_NE(work.error.find("too much work"), std::string::npos) << work.error;
  // Glyphs count as work before they are drawn: a narrow block of huge letters, lines on top
  // of each other, ends with the same reason instead of running for minutes (found by fuzzing).
  zplrender::Result glyphs = render("^XA^PW800^LL800^FO0,0^A0N,4000,4000^FB8,100,-3999^FD" +
                                        std::string(2000, 'W') + "^FS^XZ",
                                    little);
  EXPECT_NE(glyphs.error.find("too much work"), std::string::npos) << glyphs.error;
  // A long ^SF serial over many copies counts on one step a copy, not from the start each time.
  zplrender::Options copiesOnly;
  copiesOnly.limits.maxWorkDots = 1ull << 40;
  zplrender::Result serials = render("^XA^PW8^LL8^FO0,0^GB1,1,1^FS^FO0,0^A0N,1^FD" +
                                         std::string(30000, '0') + "^SF" + std::string(30000, 'D') +
                                         ",1^FS^PQ1000^XZ",
                                     copiesOnly);
  ASSERT_EQ(serials.labels.size(), 1000u);
  EXPECT_EQ(serials.labels[999].fields[1].data.substr(29997), "999");
  // A long word in a narrow block is cut in one pass over it.
  zplrender::Result word =
      render("^XA^PW800^LL800^FO0,0^A0N,20^FB100,4,0^FD" + std::string(60000, 'x') + "^FS^XZ");
  ASSERT_EQ(word.error, "");
  EXPECT_EQ(word.labels.at(0).fields.at(0).height, 80);
}

TEST(Limits, TruncatedAndStrayBytesDoNotBreakTheReader)
{
  for (const char* zpl : {"^XA^FO10,10^GB", "^XA^GFB,100,100,10,abc", "~DYX,B,G,50,5,abc",
                          "^XA^CC", "^XA^FO0,0^FH^FD_", "^XA^A", "^XA^DF", "garbage ^XA^XZ"}) {
    zplrender::Result r = render(zpl);
    EXPECT_FALSE(r.error.empty()) << zpl;  // none of these prints a label
  }
}

// A job cut in the middle never prints as sent: a printer would still be waiting for the rest.
// It fails with the reason, even after whole labels (a DPL printer would otherwise report a
// job that lost its last label as printed).
TEST(Limits, CutJobsFailWithTheReason)
{
  const std::string label = "^XA^PW16^LL8^FO0,0^GB8,8,8^FS^XZ";
  zplrender::Result cut = render(label + "^XA^PW16^LL8^FO0,0^GB4,4,4");
  EXPECT_EQ(cut.error, "the job ends inside a label format (no ^XZ)");
  EXPECT_EQ(cut.labels.size(), 1u);

  for (const char* data : {"FFFF", ":Z64:eJz7/x8AAv8B/w=="}) {
    zplrender::Result graphic = render(label + "~DGLOGO,8,1," + data);
    EXPECT_EQ(graphic.error, "the job ends inside the data of graphic LOGO.GRF") << data;
  }
  // Short data that other commands follow is the printer's to take as it is: drawn, no error.
  zplrender::Result shortData = render("~DGLOGO,8,1,FFFF\r\n^XA^PW8^LL8^FO0,0^XGLOGO^FS^XZ");
  EXPECT_EQ(shortData.error, "");
  ASSERT_EQ(shortData.labels.size(), 1u);
  EXPECT_TRUE(zplrender::bitmapDot(shortData.labels[0].image, 0, 1));
  EXPECT_FALSE(zplrender::bitmapDot(shortData.labels[0].image, 0, 2));
}

// ---- labelpreview -----------------------------------------------------------------------------

TEST(Labelpreview, DrawsAnyZplJobAndListsItsFields)
{
  testsupport::TempDir dir;
  std::string job = dir.file("carrier.zpl");
  testsupport::writeFile(job, "\r\n^XA^FO10,10^A0N,30^FDHello^FS^FO10,50^GB100,4,4^FS^ZQ9^XZ\n");
  std::map<std::string, std::string> env = {{"PATH", "/usr/bin:/bin"}};
  auto info = testsupport::runProgram(LABELPREVIEW_PATH,
                                      {{"--info", "--media", "2x1in", job}, env});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("406 x 203 dots"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("field: text ^A0 at 10,10: 'Hello'"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("field: box ^GB at 10,50"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("note: command ^ZQ ignored"), std::string::npos) << info.out;
  auto pbm = testsupport::runProgram(
      LABELPREVIEW_PATH, {{"--format", "pbm", "--media", "100x50mm", "-o", dir.file("out"), job}, env});
  EXPECT_EQ(pbm.status, 0) << pbm.err;
  std::string image = testsupport::readFile(dir.file("out-001.pbm"));
  EXPECT_EQ(image.rfind("P4\n799 400\n", 0), 0u) << image.substr(0, 20);
  // The same job at 300 dpi takes the media size at that resolution.
  auto hi = testsupport::runProgram(LABELPREVIEW_PATH, {{"--info", "--dpi", "300", job}, env});
  EXPECT_NE(hi.out.find("1200 x 1800 dots"), std::string::npos) << hi.out;
  auto bad = testsupport::runProgram(LABELPREVIEW_PATH, {{"--media", "4by6", job}, env});
  EXPECT_EQ(bad.status, 2);
}

}  // namespace
