// app_settings_test.cpp: the printer application's IPP values onto encoder settings, raw
// language recognition, the PNG completeness check and label placement.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "settings.h"
#include "sniff.h"
#include "imagefile.h"
#include "labelbitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace app;

namespace {

Sniffed sniff(const std::string& text)
{
  return sniffRaw(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

bool whole(const std::string& bytes)
{
  return pngIsWhole(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// A chunk with a dummy CRC (the check reads lengths and types, not CRCs).
std::string chunk(const std::string& type, const std::string& data)
{
  std::string c;
  std::uint32_t n = static_cast<std::uint32_t>(data.size());
  c += static_cast<char>(n >> 24);
  c += static_cast<char>(n >> 16);
  c += static_cast<char>(n >> 8);
  c += static_cast<char>(n);
  return c + type + data + "CRC!";
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

}  // namespace

TEST(AppDarkness, PercentMapsOntoLevelsRoundedAndClamped)
{
  EXPECT_EQ(0, darknessLevel(0, 0, 31));
  EXPECT_EQ(15, darknessLevel(50, 0, 31));   // the PPDs' default, "15 (medium)"
  EXPECT_EQ(30, darknessLevel(100, 0, 31));
  EXPECT_EQ(18, darknessLevel(50, 10, 31));  // 60 % of 30 levels
  EXPECT_EQ(30, darknessLevel(90, 100, 31));
  EXPECT_EQ(0, darknessLevel(10, -100, 31));
  EXPECT_EQ(2, darknessLevel(5, 0, 31));     // 1.5 rounds up
  EXPECT_EQ(1, darknessLevel(4, 0, 31));     // 1.2 rounds down
}

TEST(AppSettings, DefaultsEqualThePpdDefaultsButGapTracking)
{
  LabelValues values;
  zpl::settings_ z = zpl::settingsFromValues(zplValues(values));
  EXPECT_EQ(0, z.printtype);
  EXPECT_EQ(2, z.pagetype);
  EXPECT_EQ(0, z.imagecontrol);
  EXPECT_EQ(0, z.outpagemode);
  EXPECT_EQ(15, z.density);
  EXPECT_EQ(20, z.printposition);
  EXPECT_EQ(20, z.tearoffposition);
  EXPECT_EQ(0, z.printspeed);
  EXPECT_EQ(0, z.mirror + z.inverse + z.pause);

  dpl::settings_ d = dpl::settingsFromValues(dplValues(values));
  EXPECT_EQ(0, d.printtype);
  EXPECT_EQ(2, d.pagetype);
  EXPECT_EQ(0, d.outpagemode);
  EXPECT_EQ(0, d.density);          // heat: the printer's own
  EXPECT_EQ(17, d.printposition);
  EXPECT_EQ(0, d.outpaperposition); // stop position: the printer's own
}

TEST(AppSettings, IppValuesAndVendorAttributesReachTheSettings)
{
  LabelValues values;
  values.printSpeed = 4 * 2540;
  values.tracking = Tracking::mark;
  values.mode = LabelMode::cutter;
  values.topOffset = -150;   // -1.5 mm
  values.tearOffset = 1000;  // +10 mm
  setVendor(values, "print-method", "thermal-transfer");
  setVendor(values, "label-rotate-180", "true");
  setVendor(values, "label-mirror", "true");
  setVendor(values, "label-reverse", "true");
  setVendor(values, "label-pause", "true");
  zpl::settings_ z = zpl::settingsFromValues(zplValues(values));
  EXPECT_EQ(2, z.printtype);
  EXPECT_EQ(1, z.pagetype);
  EXPECT_EQ(1, z.imagecontrol);
  EXPECT_EQ(3, z.outpagemode);
  EXPECT_EQ(17, z.printposition);
  EXPECT_EQ(40, z.tearoffposition);
  EXPECT_EQ(3, z.printspeed);  // 4 in/s is choice 3
  EXPECT_EQ(1, z.mirror);
  EXPECT_EQ(1, z.inverse);
  EXPECT_EQ(2, z.pause);

  LabelValues dv;
  dv.tracking = Tracking::continuous;
  dv.topOffset = 5000;  // beyond the range: clamped to +8 mm
  setVendor(dv, "label-heat", "12");
  setVendor(dv, "label-stop-position", "-250");
  setVendor(dv, "print-method", "direct-thermal");
  dpl::settings_ d = dpl::settingsFromValues(dplValues(dv));
  EXPECT_EQ(1, d.printtype);
  EXPECT_EQ(3, d.pagetype);
  EXPECT_EQ(13, d.density);
  EXPECT_EQ(33, d.printposition);
  EXPECT_EQ(16, d.outpaperposition);  // -2.5 mm
  ASSERT_TRUE(d.ourpaperstring.has_value());
}

TEST(AppSettings, BadVendorValuesFallBackToThePrinterSetting)
{
  LabelValues values;
  setVendor(values, "label-heat", "hot");
  setVendor(values, "label-stop-position", "12x");
  setVendor(values, "print-method", "laser");
  setVendor(values, "label-heat", "31");  // the later value wins, and is out of range
  dpl::settings_ d = dpl::settingsFromValues(dplValues(values));
  EXPECT_EQ(0, d.density);
  EXPECT_EQ(0, d.outpaperposition);
  EXPECT_EQ(0, d.printtype);

  // More vendor values than the record holds are dropped, not written past its end.
  for (int i = 0; i < 20; i++)
    setVendor(values, "x" + std::to_string(i), "1");
  EXPECT_EQ(std::size(values.vendor), values.vendorCount);
}

TEST(AppSettings, EveryVendorOptionHasItsLanguagesMapping)
{
  for (Language language : {Language::zpl, Language::dpl}) {
    VendorTable table = vendorOptions(language);
    for (std::size_t i = 0; i < table.count; i++) {
      const VendorOption& o = table.options[i];
      EXPECT_TRUE(language == Language::zpl ? o.zpl != nullptr : o.dpl != nullptr) << o.name;
      if (o.kind == VendorOption::keyword) {
        EXPECT_NE(nullptr, o.keywords) << o.name;
      }
    }
  }
}

TEST(AppSniff, RecognisesRawZplAndDpl)
{
  EXPECT_EQ(Sniffed::zpl, sniff("^XA^FO10,10^FDx^FS^XZ"));
  EXPECT_EQ(Sniffed::zpl, sniff("\r\n  ~DGR:X.GRF,1,1,FF"));
  EXPECT_EQ(Sniffed::zpl, sniff("\x10" "CT~~CD,~CC^~CT~^XA"));
  EXPECT_EQ(Sniffed::dpl, sniff(std::string(512, '\0') + "\x02L\rD11\r"));
  EXPECT_EQ(Sniffed::dpl, sniff("\x01" "D\r\x02n\r"));
  EXPECT_EQ(Sniffed::unknown, sniff("%!PS-Adobe-3.0"));
  EXPECT_EQ(Sniffed::unknown, sniff("^"));
  EXPECT_EQ(Sniffed::unknown, sniff(""));
  EXPECT_EQ(Sniffed::unknown, sniff("\x02\x03"));
  EXPECT_EQ(Sniffed::unknown, sniff(std::string(100, ' ')));
}

TEST(AppPng, OnlyWholeFilesPass)
{
  std::string png = kSignature + chunk("IHDR", std::string(13, '\1')) +
                    chunk("IDAT", std::string(100, 'x')) + chunk("IEND", "");
  EXPECT_TRUE(whole(png));
  for (std::size_t cut : {png.size() - 1, png.size() - 12, std::size_t{40}, std::size_t{8},
                          std::size_t{3}, std::size_t{0}})
    EXPECT_FALSE(whole(png.substr(0, cut))) << cut;
  // A length that runs past the end of the data, including one near 2^32.
  std::string huge = kSignature + std::string("\x7f\xff\xff\xf0", 4) + "IDAT";
  EXPECT_FALSE(whole(huge + std::string(100, 'x')));
  EXPECT_FALSE(whole(kSignature + std::string("\xff\xff\xff\xff", 4) + "IDAT" + std::string(20, 'x')));
  EXPECT_FALSE(whole("GIF89a" + png.substr(6)));
}

TEST(AppPlacement, ImagesAreCentredAndLargeOnesShrunk)
{
  // A 2 x 2 black square on a 10 x 4 label: centred at columns 4-5, rows 1-2.
  std::vector<unsigned char> grey = {0, 0, 0, 0};
  LabelBitmap out;
  placeGrey(grey.data(), 2, 2, 2, 10, 4, out);
  ASSERT_EQ(2u, out.bytesPerLine);
  std::vector<unsigned char> expected = {0, 0, 0x0C, 0, 0x0C, 0, 0, 0};
  EXPECT_EQ(expected, out.bits);

  // An image twice the label's size fills it after shrinking; grey 200 stays white.
  std::vector<unsigned char> big(16 * 8, 0);
  big[0] = 200;
  placeGrey(big.data(), 16, 8, 16, 8, 4, out);
  ASSERT_EQ(1u, out.bytesPerLine);
  std::vector<unsigned char> full = {0x7F, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(full, out.bits);

  // Nothing to place: an all-white label of the asked size.
  placeGrey(nullptr, 0, 0, 0, 9, 2, out);
  EXPECT_EQ(std::vector<unsigned char>(4, 0), out.bits);
}

// Every dot where it belongs, whatever the offsets and sizes: the placement against a plain
// dot-by-dot rendering of the same rule (nearest pixel, centred, black below 128) on noisy
// images, with label widths and offsets that start and end rows inside a byte.
TEST(AppPlacement, EveryDotMatchesTheNearestPixel)
{
  auto reference = [](const std::vector<unsigned char>& grey, unsigned imageWidth,
                      unsigned imageHeight, std::size_t stride, unsigned width, unsigned height) {
    std::vector<unsigned char> bits(static_cast<std::size_t>((width + 7) / 8) * height, 0);
    double scale = std::min({1.0, static_cast<double>(width) / imageWidth,
                             static_cast<double>(height) / imageHeight});
    unsigned shownWidth = std::max(1u, static_cast<unsigned>(imageWidth * scale));
    unsigned shownHeight = std::max(1u, static_cast<unsigned>(imageHeight * scale));
    unsigned left = (width - std::min(width, shownWidth)) / 2;
    unsigned top = (height - std::min(height, shownHeight)) / 2;
    for (unsigned y = top; y < height && y - top < shownHeight; y++) {
      for (unsigned x = left; x < width && x - left < shownWidth; x++) {
        auto sx = static_cast<std::size_t>(std::min<double>(imageWidth - 1, (x - left) / scale));
        auto sy = static_cast<std::size_t>(std::min<double>(imageHeight - 1, (y - top) / scale));
        if (grey[sy * stride + sx] < 128)
          bits[y * ((width + 7) / 8) + x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
      }
    }
    return bits;
  };

  struct Case {
    unsigned imageWidth, imageHeight, stridePad, width, height;
  } cases[] = {
      {812, 1218, 0, 812, 1218},  // a 4x6 in page at 203 dpi, as Poppler renders it
      {811, 1217, 3, 812, 1218},  // one dot smaller: odd offsets
      {5, 3, 0, 13, 7},           // small, centred inside a byte
      {1, 1, 0, 9, 9},            // one pixel
      {30, 4, 1, 17, 40},         // wider than the label: shrunk
      {7, 90, 0, 64, 31},         // taller than the label: shrunk
      {1700, 2400, 0, 812, 1218}, // a large image shrunk onto a label
      {9, 9, 0, 9, 9},            // exactly the label, not a whole byte wide
  };
  unsigned seed = 12345;
  for (const Case& c : cases) {
    std::size_t stride = c.imageWidth + c.stridePad;
    std::vector<unsigned char> grey(stride * c.imageHeight);
    for (unsigned char& g : grey) {
      seed = seed * 1103515245u + 12345u;
      g = static_cast<unsigned char>(seed >> 16);
    }
    LabelBitmap out;
    placeGrey(grey.data(), c.imageWidth, c.imageHeight, stride, c.width, c.height, out);
    EXPECT_EQ(reference(grey, c.imageWidth, c.imageHeight, stride, c.width, c.height), out.bits)
        << c.imageWidth << "x" << c.imageHeight << " on " << c.width << "x" << c.height;
  }
}
