// barcode_test.cpp: every ZPL II barcode drawn, then read back by independent decoders, and the
// geometry the printer fixes checked dot by dot.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "barcode.h"
#include "symbols.h"
#include "testsupport.h"

#include <cstdint>
#include <algorithm>
#include <gtest/gtest.h>
#include <zint.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using zplrender::BarcodeField;
using zplrender::BarcodeImage;
using zplrender::drawBarcode;
namespace bc = zplrender::barcodes;

namespace {

BarcodeField field(std::string command, std::vector<std::string> params, std::string data,
                   int module = 2, double ratio = 3.0, int height = 10) {
  BarcodeField f;
  f.command = std::move(command);
  f.params = std::move(params);
  f.data = std::move(data);
  f.defaults.moduleWidth = module;
  f.defaults.ratio = ratio;
  f.defaults.height = height;
  return f;
}

// The image as a PGM with a white margin (the quiet zone the printer leaves to the label).
std::string writePgm(const testsupport::TempDir& dir, const BarcodeImage& image,
                     const std::string& name, int margin = 40) {
  std::string path = dir.file(name + ".pgm");
  int w = image.width + 2 * margin, h = image.height + 2 * margin;
  std::string bytes = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  std::string pixels(static_cast<std::size_t>(w) * h, '\xff');
  for (int y = 0; y < image.height; y++)
    for (int x = 0; x < image.width; x++)
      if (image.dots[static_cast<std::size_t>(y) * image.width + x])
        pixels[static_cast<std::size_t>(y + margin) * w + x + margin] = 0;
  testsupport::writeFile(path, bytes + pixels);
  return path;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p)
    return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  pclose(p);
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

// "FORMAT\ttext\tidentifier" lines from zxing-cpp.
std::string zxing(const std::string& path, bool pure = false) {
  return run("/usr/bin/python3 " TEST_SOURCE_DIR "/decode.py " + path + (pure ? " pure" : ""));
}

// The barcode drawn, checked to be whole, and read back by zxing-cpp.
std::string drawnAndRead(const BarcodeField& f, const std::string& name, bool pure = false) {
  testsupport::TempDir dir;
  BarcodeImage image = drawBarcode(f);
  EXPECT_EQ(image.error, "");
  EXPECT_EQ(image.dots.size(), static_cast<std::size_t>(image.width) * image.height);
  if (!image.error.empty())
    return "";
  return zxing(writePgm(dir, image, name), pure);
}

std::string zbar(const BarcodeImage& image) {
  testsupport::TempDir dir;
  return run("zbarimg -q " + writePgm(dir, image, "zbar") + " 2>/dev/null");
}

// One row of the image as bar/space widths, starting with a bar.
std::vector<int> rowElements(const BarcodeImage& image, int y) {
  std::vector<int> runs;
  int x = 0;
  const std::uint8_t* row = image.dots.data() + static_cast<std::size_t>(y) * image.width;
  while (x < image.width) {
    int start = x;
    while (x < image.width && row[x] == row[start])
      x++;
    runs.push_back(x - start);
  }
  return runs;
}

int columnHeight(const BarcodeImage& image, int x) {
  int n = 0;
  for (int y = 0; y < image.height; y++)
    n += image.dots[static_cast<std::size_t>(y) * image.width + x];
  return n;
}

// ---- Code 128: the codewords are ours ---------------------------------------------------------

// Data values of a symbol's codewords (start, check and stop dropped).
std::vector<int> dataCodewords(const bc::Code128Symbol& s) {
  return std::vector<int>(s.codewords.begin() + 1, s.codewords.end() - 2);
}

TEST(Code128Codewords, ManualModeFollowsTheInvocationCodes) {
  // Without a start code subset B; >; starts C, >5 >6 >7 switch, >8 is FNC1.
  EXPECT_EQ(bc::encodeCode128("AB", 'N', false).codewords.front(), 104);
  auto c = bc::encodeCode128(">;123456", 'N', false);
  EXPECT_EQ(c.codewords.front(), 105);
  EXPECT_EQ(dataCodewords(c), (std::vector<int>{12, 34, 56}));
  EXPECT_EQ(c.text, "123456");
  auto mixed = bc::encodeCode128(">:AB>51234>6C>8", 'N', false);
  EXPECT_EQ(dataCodewords(mixed), (std::vector<int>{33, 34, 99, 12, 34, 100, 35, 102}));
  EXPECT_EQ(mixed.text, "AB1234C");
  // >< and >0 are '>' itself; subset A codes controls; >7 from B is CODE A.
  EXPECT_EQ(dataCodewords(bc::encodeCode128("><>0", 'N', false)), (std::vector<int>{30, 30}));
  EXPECT_EQ(dataCodewords(bc::encodeCode128(">9A\tB", 'N', false)), (std::vector<int>{33, 73, 34}));
  EXPECT_EQ(dataCodewords(bc::encodeCode128("a>7A", 'N', false)), (std::vector<int>{65, 101, 33}));
  // Check character: start + sum of position * value, mod 103.
  auto ab = bc::encodeCode128("AB", 'N', false);
  EXPECT_EQ(ab.codewords[3], (104 + 1 * 33 + 2 * 34) % 103);
  EXPECT_EQ(ab.codewords.back(), 106);
}

TEST(Code128Codewords, ManualModeSubsetCReadsPairsAsThePrinterDoes) {
  // A non-digit where a pair begins is skipped ("D24" is 24), a pair with a non-digit second is
  // dropped, a lone digit before an invocation code or the end is dropped.
  EXPECT_EQ(dataCodewords(bc::encodeCode128(">;12D24", 'N', false)), (std::vector<int>{12, 24}));
  EXPECT_EQ(dataCodewords(bc::encodeCode128(">;122D34", 'N', false)), (std::vector<int>{12, 34}));
  auto odd = bc::encodeCode128(">;12345", 'N', false);
  EXPECT_EQ(dataCodewords(odd), (std::vector<int>{12, 34}));
  EXPECT_EQ(odd.text, "1234");
  EXPECT_EQ(dataCodewords(bc::encodeCode128(">;123>6AB", 'N', false)),
            (std::vector<int>{12, 100, 33, 34}));
  // A lower-case letter in subset A is shifted.
  EXPECT_EQ(dataCodewords(bc::encodeCode128(">9AbC", 'N', false)),
            (std::vector<int>{33, 98, 66, 35}));
}

TEST(Code128Codewords, AutomaticModeUsesSubsetCForFourDigitsOrMore) {
  // All digits, even: C from the start.  Four digits inside letters switch; three do not.
  auto digits = bc::encodeCode128("12345678", 'A', false);
  EXPECT_EQ(digits.codewords.front(), 105);
  EXPECT_EQ(dataCodewords(digits), (std::vector<int>{12, 34, 56, 78}));
  EXPECT_EQ(dataCodewords(bc::encodeCode128("AB123", 'A', false)),
            (std::vector<int>{33, 34, 17, 18, 19}));
  EXPECT_EQ(dataCodewords(bc::encodeCode128("AB1234", 'A', false)),
            (std::vector<int>{33, 34, 99, 12, 34}));
  // An odd run gives its first digit to the letters' subset.
  EXPECT_EQ(dataCodewords(bc::encodeCode128("AB12345", 'A', false)),
            (std::vector<int>{33, 34, 17, 99, 23, 45}));
  // Five digits first: start in B for the first, then C.
  auto lead = bc::encodeCode128("12345X", 'A', false);
  EXPECT_EQ(lead.codewords.front(), 105);
  EXPECT_EQ(dataCodewords(lead), (std::vector<int>{12, 34, 100, 21, 56}));
  // A control character among capitals starts in A; one lower-case letter there is shifted.
  auto controls = bc::encodeCode128("A\tbC\t", 'A', false);
  EXPECT_EQ(controls.codewords.front(), 103);
  EXPECT_EQ(dataCodewords(controls), (std::vector<int>{33, 73, 98, 66, 35, 73}));
}

TEST(Code128Codewords, AutomaticModeIsAsShortAsLibzints) {
  // libzint's Code 128 picks its subsets its own way; ours may differ but is never longer.
  const std::string pools[] = {"0123456789", "ABCXYZ", "abcxyz", "\t\r\n", "-./ "};
  unsigned seed = 11;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (int n = 0; n < 500; n++) {
    std::string data;
    int length = 1 + static_cast<int>(next() % 30);
    for (int i = 0; i < length; i++) {
      int pool = next() % 2 ? 0 : static_cast<int>(next() % 5);
      data += pools[pool][next() % pools[pool].size()];
    }
    auto ours = bc::encodeCode128(data, 'A', false);
    zint_symbol* z = ZBarcode_Create();
    z->symbology = BARCODE_CODE128;
    ASSERT_LT(ZBarcode_Encode(z, reinterpret_cast<const unsigned char*>(data.data()),
                              static_cast<int>(data.size())), ZINT_ERROR);
    int theirs = z->width;
    ZBarcode_Delete(z);
    int mine = 11 * static_cast<int>(ours.codewords.size() - 1) + 13;
    EXPECT_LE(mine, theirs) << testing::PrintToString(data);
  }
}

TEST(Code128Codewords, UccModes) {
  // Mode U: 19 digits (filled with zeros), mod 10 digit, FNC1 first, all in subset C.
  auto u = bc::encodeCode128("0012345123451234512", 'U', false);
  EXPECT_EQ(u.codewords.front(), 105);
  EXPECT_EQ(u.codewords[1], 102);
  EXPECT_EQ(u.codewords.size(), 1u + 1 + 10 + 2);
  EXPECT_EQ(u.text, "(00) 1 2345123 451234512 0");
  // Mode D: parentheses out, FNC1 after a variable-length field, GTIN check digit added.
  auto d = bc::encodeCode128("(01)0950123456789(10)AB12(21)X", 'D', false);
  EXPECT_EQ(d.text, "(01)09501234567891(10)AB12(21)X");
  std::vector<int> cw = d.codewords;
  EXPECT_EQ(cw[1], 102);
  EXPECT_EQ(std::count(cw.begin(), cw.end(), 102), 2);
  // Spaces stay in the line, not in the symbol.
  auto spaced = bc::encodeCode128("(01) 0950123456789 (10) AB12", 'D', false);
  EXPECT_EQ(spaced.text, "(01) 09501234567891 (10) AB12");
  EXPECT_EQ(dataCodewords(spaced),
            dataCodewords(bc::encodeCode128("(01)0950123456789(10)AB12", 'D', false)));
  // The e parameter appends the UCC check digit to digits in mode N.
  EXPECT_EQ(bc::encodeCode128(">;>80012345123451234512", 'N', true).text, "00123451234512345120");
}

TEST(Code128Codewords, GS1Helpers) {
  EXPECT_EQ(bc::gs1CheckDigit("0950123456789"), '1');
  EXPECT_EQ(bc::gs1CheckDigit("00123451234512345"), '7');
  EXPECT_EQ(bc::gs1Bracketed("0109501234567891" "10AB12\x1d" "21X"), "[01]09501234567891[10]AB12[21]X");
  EXPECT_EQ(bc::gs1Bracketed("3103001750" "17251231"), "[3103]001750[17]251231");
  EXPECT_EQ(bc::gs1Bracketed("01123"), "");
}

TEST(Code128Drawing, WidthIsModulesTimesModuleWidthWithNoQuietZone) {
  for (int module : {1, 2, 3, 5}) {
    BarcodeImage img = drawBarcode(field("BC", {"N", "50", "N"}, "ABC123", module));
    ASSERT_EQ(img.error, "");
    auto s = bc::encodeCode128("ABC123", 'N', false);
    int modules = 11 * static_cast<int>(s.codewords.size() - 1) + 13;
    EXPECT_EQ(img.width, modules * module);
    EXPECT_EQ(img.height, 50);
    EXPECT_EQ(img.baseline, 50);
    EXPECT_EQ(img.dots[0], 1);  // the first bar at the very edge
    EXPECT_EQ(img.dots[static_cast<std::size_t>(img.width - 1)], 1);
    EXPECT_TRUE(img.texts.empty());
    // Every element of the top and the bottom row is a whole number of modules.
    for (int y : {0, 49})
      for (int e : rowElements(img, y))
        EXPECT_EQ(e % module, 0);
  }
}

TEST(Code128Drawing, InterpretationLineBelowOrAbove) {
  BarcodeImage below = drawBarcode(field("BC", {"N", "40", "Y", "N"}, ">;1234", 2));
  ASSERT_EQ(below.texts.size(), 1u);
  EXPECT_EQ(below.texts[0].text, "1234");
  EXPECT_EQ(below.baseline, 40);
  EXPECT_EQ(below.texts[0].y, 42);
  EXPECT_EQ(below.height, 42 + below.texts[0].height);
  BarcodeImage above = drawBarcode(field("BC", {"N", "40", "Y", "Y"}, ">;1234", 2));
  ASSERT_EQ(above.texts.size(), 1u);
  EXPECT_EQ(above.texts[0].y, 0);
  EXPECT_EQ(above.baseline, above.height);
  EXPECT_EQ(above.dots[0], 0);
  EXPECT_EQ(above.dots[static_cast<std::size_t>(above.height - 1) * above.width], 1);
  // The height comes from ^BY when the field gives none.
  EXPECT_EQ(drawBarcode(field("BC", {"N", "", "N"}, "A", 2, 3.0, 77)).height, 77);
}

TEST(Code128Drawing, PatternTableAgreesWithLibzint) {
  // Every data value 0-95 of subset B drawn by us reads back as its character.
  std::string all;
  for (int c = 32; c < 127; c++)
    all += static_cast<char>(c);
  std::string escapedAll;
  for (char c : all)
    if (c == '\\')
      escapedAll += "\\x5c";
    else
      escapedAll += c;
  EXPECT_EQ(drawnAndRead(field("BC", {"N", "60", "N"}, "><" + all.substr(1)), "all"),
            "Code128\t>" + escapedAll.substr(1) + "\t]C0");
}

TEST(Code128Drawing, DecodersReadEveryMode) {
  struct Case {
    std::string mode, data, read, id;
  };
  std::vector<Case> cases = {
      {"N", "Label 42", "Label 42", "]C0"},
      {"N", ">;0123456789", "0123456789", "]C0"},
      {"N", ">:AB>5123456>6cd", "AB123456cd", "]C0"},
      {"N", ">9AB\x01" "C>4x", "AB\\x01Cx", "]C0"},
      {"A", "PO12345678XYZ", "PO12345678XYZ", "]C0"},
      {"A", "12345", "12345", "]C0"},
      {"U", "0012345123451234512", "00123451234512345120", "]C1"},
      {"D", "(00)00123451234512345", "00001234512345123457", "]C1"},
      {"D", "(01)0950123456789(10)AB12(21)X", "0109501234567891" "10AB12\\x1d" "21X", "]C1"},
      {"A", ">;>80204017773003486100008535>8910001>837252",
       "0204017773003486100008535\\x1d" "910001\\x1d" "37252", "]C1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode + " " + c.data);
    EXPECT_EQ(drawnAndRead(field("BC", {"N", "80", "Y", "N", "N", c.mode}, c.data), "c128"),
              "Code128\t" + c.read + "\t" + c.id);
  }
}

TEST(Code128Drawing, AutomaticModeReadsBackForMixedData) {
  // Digits, capitals, lower case and controls mixed at random: every switch and shift the
  // automatic mode makes must read back as the data.
  const std::string pools[] = {"0123456789", "ABCXYZ", "abcxyz", "\t\r\n\x1d", "-./ "};
  unsigned seed = 7;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (int n = 0; n < 12; n++) {
    std::string data, expected;
    int length = 8 + static_cast<int>(next() % 24);
    for (int i = 0; i < length; i++) {
      const std::string& pool = pools[next() % 2 ? 0 : next() % 5];
      char c = pool[next() % pool.size()];
      data += c;
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      expected += c < 32 ? std::string(hex) : std::string(1, c);
    }
    SCOPED_TRACE(expected);
    EXPECT_EQ(drawnAndRead(field("BC", {"N", "60", "N", "N", "N", "A"}, data), "mixed"),
              "Code128\t" + expected + "\t]C0");
  }
}

TEST(Code128Drawing, ZbarAgrees) {
  BarcodeImage img = drawBarcode(field("BC", {"N", "80", "N", "N", "N", "A"}, "SHIP-000123456789"));
  EXPECT_EQ(zbar(img), "CODE-128:SHIP-000123456789");
}

// ---- The other linear symbologies ---------------------------------------------------------------

TEST(LinearDrawing, Code39RatioAndCheckDigit) {
  // ^BY2,3: narrow 2 dots, wide 6; ^BY3,2.5: 3 and 7 (rounded down).
  for (auto [module, ratio, wide] : {std::tuple{2, 3.0, 6}, std::tuple{3, 2.5, 7}, std::tuple{1, 2.0, 2}}) {
    BarcodeImage img = drawBarcode(field("B3", {"N", "N", "30", "N"}, "AB1", module, ratio));
    ASSERT_EQ(img.error, "");
    for (int e : rowElements(img, 0))
      EXPECT_TRUE(e == module || e == wide) << e;
    // Five characters (with the asterisks) of 6 narrow and 3 wide elements, narrow gaps between.
    EXPECT_EQ(img.width, 5 * (6 * module + 3 * wide) + 4 * module);
  }
  BarcodeImage plain = drawBarcode(field("B3", {"N", "N", "60", "Y"}, "CODE39"));
  ASSERT_EQ(plain.texts.size(), 1u);
  EXPECT_EQ(plain.texts[0].text, "*CODE39*");
  EXPECT_EQ(drawnAndRead(field("B3", {"N", "N", "60", "Y"}, "CODE39"), "c39"), "Code39\tCODE39\t]A0");
  BarcodeImage checked = drawBarcode(field("B3", {"N", "Y", "60", "Y"}, "AB1"));
  EXPECT_EQ(checked.texts.at(0).text, "*AB1M*");
  EXPECT_EQ(zbar(checked), "CODE-39:AB1M");
}

TEST(LinearDrawing, Code93) {
  EXPECT_EQ(drawnAndRead(field("BA", {"N", "60"}, "CODE93-X"), "c93"), "Code93\tCODE93-X\t]G0");
  BarcodeImage img = drawBarcode(field("BA", {"N", "60", "Y", "N", "Y"}, "AB1"));
  EXPECT_EQ(img.texts.at(0).text, "AB16Y");
  EXPECT_EQ(drawBarcode(field("BA", {"N", "60"}, "AB1")).texts.at(0).text, "AB1");
  EXPECT_EQ(img.width, (9 * 7 + 1) * 2);  // start, 3 data, 2 check, stop, closing bar
  // ZPL's substitutes for the shift characters: &A is control-A, )B is 'b', (A is '!'.
  EXPECT_EQ(drawnAndRead(field("BA", {"N", "60"}, "A)B)C(A&A'V"), "c93full"),
            "Code93\tAbc!\\x01@\t]G0");
  EXPECT_EQ(drawBarcode(field("BA", {"N", "60"}, "A)B)C(A&A'V")).texts.at(0).text, "Abc!@");
}

TEST(LinearDrawing, Interleaved2of5) {
  BarcodeImage img = drawBarcode(field("B2", {"N", "60"}, "12345", 2, 2.5));
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.texts.at(0).text, "012345");  // a leading zero for an odd count
  for (int e : rowElements(img, 0))
    EXPECT_TRUE(e == 2 || e == 5) << e;
  EXPECT_EQ(zbar(img), "I2/5:012345");
  BarcodeImage checked = drawBarcode(field("B2", {"N", "60", "Y", "N", "Y"}, "12345"));
  EXPECT_EQ(checked.texts.at(0).text, "123457");
  EXPECT_EQ(zbar(checked), "I2/5:123457");
}

TEST(LinearDrawing, EanAndUpcComputeTheirCheckDigits) {
  struct Case {
    std::string command, data, read;
  };
  std::vector<Case> cases = {
      {"BE", "590123412345", "EAN13\t5901234123457"},
      {"BE", "5901234123450", "EAN13\t5901234123457"},  // a wrong check digit is replaced
      {"B8", "1234567", "EAN8\t12345670"},
      {"BU", "01234567890", "UPCA\t012345678905"},
      {"B9", "1230000045", "UPCE\t01234531"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command + " " + c.data);
    std::string read = drawnAndRead(field(c.command, {"N", "100"}, c.data, 3), "ean");
    EXPECT_EQ(read.substr(0, read.rfind('\t')), c.read);
  }
}

TEST(LinearDrawing, EanGuardBarsReachIntoTheDigits) {
  BarcodeImage img = drawBarcode(field("BE", {"N", "100", "Y"}, "590123412345", 2));
  ASSERT_EQ(img.error, "");
  ASSERT_EQ(img.texts.size(), 3u);
  EXPECT_EQ(img.texts[0].text, "5");
  EXPECT_EQ(img.texts[1].text, "901234");
  EXPECT_EQ(img.texts[2].text, "123457");
  int left = img.texts[0].width + 2;  // the first digit's cell before the bars
  EXPECT_EQ(img.width, left + 95 * 2);
  EXPECT_EQ(columnHeight(img, left), 100 + 2 + img.texts[0].height / 2);  // guard
  EXPECT_EQ(img.baseline, 100);
  // The digits between the guards sit under their halves.
  EXPECT_GE(img.texts[1].x, left + 3 * 2);
  EXPECT_LE(img.texts[1].x + 6 * img.texts[1].width, left + 45 * 2);
  BarcodeImage noCheck = drawBarcode(field("BU", {"N", "100", "Y", "N", "N"}, "01234567890"));
  EXPECT_EQ(noCheck.texts.back().text, "67890");
  EXPECT_NE(drawBarcode(field("B9", {"N", "100"}, "1234567890")).error, "");
  EXPECT_EQ(drawBarcode(field("BE", {"N", "100"}, "59012A")).error, "EAN-13 data must be digits");
  EXPECT_NE(drawBarcode(field("BU", {"N", "100"}, "")).error, "");
}

TEST(LinearDrawing, DataBar) {
  std::string omni = drawnAndRead(field("BR", {"N", "1", "3"}, "0950123456789"), "dbar");
  // zxing-cpp 1.4 (Debian 12) gives the GTIN, 2 (Debian 13) the element string "01" + GTIN;
  // 1.4 puts Expanded's application identifiers in brackets, 2 does not.
  std::string omniText = omni.substr(0, omni.rfind('\t'));
  EXPECT_TRUE(omniText == "DataBar\t09501234567891" || omniText == "DataBar\t0109501234567891") << omniText;
  BarcodeImage img = drawBarcode(field("BR", {"N", "1", "2"}, "0950123456789"));
  EXPECT_EQ(img.width, 96 * 2);
  EXPECT_EQ(img.height, 33 * 2);
  std::string expanded =
      drawnAndRead(field("BR", {"N", "6", "2"}, "(01)90012345678908(3103)001750"), "dbx");
  std::string expandedText = expanded.substr(0, expanded.rfind('\t'));
  std::erase_if(expandedText, [](char c) { return c == '(' || c == ')'; });
  EXPECT_EQ(expandedText, "DataBarExpanded\t01900123456789083103001750");
  EXPECT_EQ(zbar(drawBarcode(field("BR", {"N", "3", "3"}, "0950123456789"))),
            "DataBar:0109501234567891");
}

TEST(LinearDrawing, PostalCodes) {
  // POSTNET: frame bars, five bars a digit, tall bars `h` high and short ones 2/5 of them.
  BarcodeImage img = drawBarcode(field("BZ", {"N", "50", "Y"}, "12345", 2, 3.0));
  ASSERT_EQ(img.error, "");
  int bars = 2 + 5 * 6;  // frames, five digits and the check digit
  EXPECT_EQ(img.width, bars * 2 + (bars - 1) * 6);
  std::string read;
  for (int b = 1; b < bars - 1; b++)
    read += columnHeight(img, b * 8) == 50 ? '1' : '0';
  // 1 = 00011, 2 = 00101, ... the check digit making the sum a multiple of ten: 5.
  EXPECT_EQ(read, "00011" "00101" "00110" "01001" "01010" "01010");
  EXPECT_EQ(columnHeight(img, 8 * 1), 25);
  EXPECT_EQ(img.texts.at(0).text, "12345");
  BarcodeImage imb = drawBarcode(field("BZ", {"N", "60", "N", "N", "3"}, "01234567094987654321"));
  ASSERT_EQ(imb.error, "");
  EXPECT_EQ(imb.width, 65 * 2 + 64 * 6);
  EXPECT_EQ(imb.height, 60);
  // Read back as USPS publishes this tracking code's bars: Full, Ascender, Descender, Tracker.
  std::string states;
  for (int b = 0; b < 65; b++) {
    bool top = imb.dots[static_cast<std::size_t>(b) * 8];
    bool bottom = imb.dots[static_cast<std::size_t>(imb.height - 1) * imb.width + b * 8];
    states += top && bottom ? 'F' : top ? 'A' : bottom ? 'D' : 'T';
  }
  EXPECT_EQ(states, "ATTFATTDTTADTAATTDTDTATTDAFDDFADFDFTFFFFFTATFAAAATDFFTDAADFTFDTDT");
}

// ---- 2D symbologies -----------------------------------------------------------------------------

TEST(MatrixDrawing, QrCodeDataInputsAndMagnification) {
  EXPECT_EQ(drawnAndRead(field("BQ", {"N", "2", "4"}, "QA,https://example.com/track?id=42"), "qr"),
            "QRCode\thttps://example.com/track?id=42\t]Q1");
  EXPECT_EQ(drawnAndRead(field("BQ", {"N", "2", "3"}, "MM,AAC-42"), "qr"), "QRCode\tAC-42\t]Q1");
  EXPECT_EQ(drawnAndRead(field("BQ", {"N", "2", "3"}, "LM,N0123,B0004a,b!"), "qr"),
            "QRCode\t0123a,b!\t]Q1");
  // Mixed mode: the first of three symbols of a structured append.
  EXPECT_EQ(drawnAndRead(field("BQ", {"N", "2", "3"}, "D010358,QA,PART ONE"), "qr"),
            "QRCode\tPART ONE\t]Q1");
  // The first two characters are always the level and the input mode, a third after A or M.
  EXPECT_EQ(drawnAndRead(field("BQ", {"N", "2", "3"}, "F4ED7mh"), "qr"), "QRCode\tED7mh\t]Q1");
  EXPECT_EQ(drawnAndRead(field("BQ", {"N", "2", "3"}, "QAXD7mh"), "qr"), "QRCode\tD7mh\t]Q1");
  // Magnification multiplies the modules; 21 modules for a short version 1 symbol.
  for (int mag : {1, 2, 5}) {
    BarcodeImage img = drawBarcode(field("BQ", {"N", "2", std::to_string(mag)}, "LA,HELLO"));
    EXPECT_EQ(img.width, 21 * mag);
    EXPECT_EQ(img.height, 21 * mag);
  }
  // Without magnification, the resolution decides: 2 at 203 dpi, 3 at 300.
  BarcodeField f = field("BQ", {"N", "2"}, "LA,HELLO");
  EXPECT_EQ(drawBarcode(f).width, 42);
  f.dpi = 300;
  EXPECT_EQ(drawBarcode(f).width, 63);
  // Error correction H needs a larger symbol than L for the same data.
  EXPECT_GT(drawBarcode(field("BQ", {"N", "2", "1"}, "HA,ABCDEFGHIJKLMNOPQRSTUVWXYZ")).width,
            drawBarcode(field("BQ", {"N", "2", "1"}, "LA,ABCDEFGHIJKLMNOPQRSTUVWXYZ")).width);
  EXPECT_NE(drawBarcode(field("BQ", {"N", "1"}, "QA,X")).error, "");
}

TEST(MatrixDrawing, DataMatrix) {
  testsupport::TempDir dir;
  BarcodeImage img = drawBarcode(field("BX", {"N", "6", "200"}, "PART-4711 REV B"));
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.width % 6, 0);
  EXPECT_EQ(run("dmtxread " + writePgm(dir, img, "dm")), "PART-4711 REV B");
  EXPECT_EQ(zxing(writePgm(dir, img, "dm")), "DataMatrix\tPART-4711 REV B\t]d1");
  // GS1 with FNC1 from the escape character; a size from rows and columns.
  BarcodeImage gs1 = drawBarcode(
      field("BX", {"N", "5", "200", "24", "24", "", "_"}, "_10109501234567891" "10AB12_1" "21X"));
  ASSERT_EQ(gs1.error, "");
  EXPECT_EQ(gs1.width, 24 * 5);
  EXPECT_EQ(zxing(writePgm(dir, gs1, "dm")), "DataMatrix\t0109501234567891" "10AB12\\x1d" "21X\t]d2");
  // Without a module size ^BY's height is about the symbol's.
  BarcodeImage fit = drawBarcode(field("BX", {"N", "", "200"}, "HELLO", 2, 3.0, 100));
  EXPECT_LE(fit.height, 100);
  EXPECT_GT(fit.height, 80);
  EXPECT_NE(drawBarcode(field("BX", {"N", "5"}, "HELLO")).error.find("200"), std::string::npos);
}

TEST(MatrixDrawing, Pdf417RowsAndModules) {
  BarcodeImage img = drawBarcode(field("B7", {"N", "8", "5", "4"}, "SHIP TO: 634 ALPHA DR", 2));
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.height % 16, 0);  // rows of h = 8 module widths
  // Without h, ^BY's height is the whole symbol's, shared among its rows.
  BarcodeImage shared = drawBarcode(field("B7", {"N", "", "1", "4", "10"}, "ABC", 2, 3.0, 200));
  EXPECT_EQ(shared.height, 10 * 20) << shared.error;
  // Rows and columns too few for the data, or beyond 928 codewords, print nothing.
  EXPECT_NE(drawBarcode(field("B7", {"N", "", "5", "4", "10"}, "ABC")).error.find("17 rows"),
            std::string::npos);
  EXPECT_NE(drawBarcode(field("B7", {"N", "", "0", "30", "40"}, "ABC")).error, "");
  // Without columns or rows: about two rows a column, the fewest columns that allow it.
  std::string text(300, 'x');
  BarcodeImage square = drawBarcode(field("B7", {"N", "1", "2"}, text, 1));
  ASSERT_EQ(square.error, "");
  int columns = (square.width - 69) / 17, rows = square.height;
  EXPECT_LE(rows, 2 * columns);
  EXPECT_GT(rows, 2 * (columns - 1));
  EXPECT_EQ(img.width, (17 * (4 + 4) + 1) * 2);  // start, left, 4 data, right, stop
  testsupport::TempDir dir;
  EXPECT_EQ(zxing(writePgm(dir, img, "pdf")), "PDF417\tSHIP TO: 634 ALPHA DR\t]L2");
  BarcodeImage truncated = drawBarcode(field("B7", {"N", "8", "5", "4", "", "Y"}, "ABC", 2));
  EXPECT_EQ(truncated.width, (17 * 6 + 1) * 2);  // no right indicator, a short stop
}

TEST(MatrixDrawing, Aztec) {
  EXPECT_EQ(drawnAndRead(field("BO", {"N", "4"}, "AZTEC 123"), "az"), "Aztec\tAZTEC 123\t]z0");
  BarcodeImage compact = drawBarcode(field("BO", {"N", "3", "N", "102"}, "A"));
  EXPECT_EQ(compact.width, 19 * 3);  // two compact layers
}

TEST(MatrixDrawing, MaxiCodeCarrierMessage) {
  // Mode 2: class 001, country 840, ZIP 15238-2802, then the UPS message.
  std::string lpm = "[)>\x1e" "01\x1d" "961Z00004951\x1dUPSN\x1d" "06X610\x1d" "159\x1d" "1234567\x1d"
                    "1/1\x1d\x1dY\x1d" "634 ALPHA DR\x1dPITTSBURGH\x1dPA\x1e\x04";
  BarcodeImage img = drawBarcode(field("BD", {"2", "1", "1"}, "001840152382802" + lpm));
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.width, 225);  // 1.11 inches at 203 dpi
  testsupport::TempDir dir;
  std::string read = zxing(writePgm(dir, img, "maxi", 10), true);
  EXPECT_NE(read.find("152382802\\x1d" "840\\x1d" "001\\x1d" "1Z00004951"), std::string::npos) << read;
  // The same message written as it reads back draws the same symbol.
  std::string whole = "[)>\x1e" "01\x1d" "96" "152382802\x1d" "840\x1d" "001\x1d" + lpm.substr(9);
  BarcodeImage same = drawBarcode(field("BD", {"2"}, whole));
  ASSERT_EQ(same.error, "");
  EXPECT_EQ(same.dots, img.dots);
  BarcodeImage mode3 = drawBarcode(field("BD", {"3"}, "066826B1A2B3" "HELLO"));
  ASSERT_EQ(mode3.error, "");
  EXPECT_NE(zxing(writePgm(dir, mode3, "maxi3", 10), true).find("B1A2B3"), std::string::npos);
  EXPECT_NE(drawBarcode(field("BD", {"2"}, "00184015")).error, "");
  BarcodeImage mode4 = drawBarcode(field("BD", {"4"}, "PARTS BIN 42"));
  ASSERT_EQ(mode4.error, "");
  EXPECT_EQ(zxing(writePgm(dir, mode4, "maxi4", 10), true).substr(0, 21), "MaxiCode\tPARTS BIN 42");
}

// ---- Limits and refusals ---------------------------------------------------------------------------

TEST(Refusals, BadDataAndSizesSayWhy) {
  EXPECT_FALSE(zplrender::isBarcodeCommand("BY"));
  EXPECT_TRUE(zplrender::isBarcodeCommand("BQ"));
  EXPECT_EQ(drawBarcode(field("BK", {}, "1")).error, "barcode ^BK is not drawn");
  BarcodeImage bad = drawBarcode(field("B2", {"N", "50"}, "12AB"));
  EXPECT_NE(bad.error, "");
  EXPECT_TRUE(bad.dots.empty());
  EXPECT_EQ(bad.width, 0);
  EXPECT_NE(drawBarcode(field("BC", {"N", "50"}, "")).error, "");
  // Sizes: the limit is checked before the image is allocated.
  EXPECT_NE(drawBarcode(field("BC", {"N", "32000"}, std::string(3000, 'A'), 10)).error.find("limit"),
            std::string::npos);
  EXPECT_NE(drawBarcode(field("BC", {"N", "10"}, std::string(10000000, '1'), 1)).error.find("limit"),
            std::string::npos);
  EXPECT_NE(drawBarcode(field("B7", {"N", "32000", "8"}, std::string(500, 'A'))).error, "");
  EXPECT_NE(drawBarcode(field("BQ", {"N", "2", "10"}, "QA," + std::string(100000, '7'))).error, "");
}

}  // namespace

namespace {

// Every command with arbitrary parameters and data: a symbol whose image matches its size, or
// an error and no image.  Deterministic, so a failure repeats.
TEST(Refusals, ArbitraryFieldsDrawOrSayWhy) {
  const char* commands[] = {"BC", "B3", "BA", "BE", "B8", "BU", "B9", "B2",
                            "BQ", "BX", "B7", "BD", "BO", "BR", "BZ"};
  const std::vector<std::string> values = {"", "N", "Y", "0", "1", "2", "3", "5", "6", "10", "22",
                                           "200", "300", "-1", "99999", "A", "D", "U", "x,"};
  unsigned seed = 12345;
  auto next = [&seed]() {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7fff;
  };
  for (const char* command : commands)
    for (int round = 0; round < 120; round++) {
      std::vector<std::string> params;
      for (int i = 0; i < 8; i++)
        params.push_back(values[next() % values.size()]);
      std::string data;
      int length = static_cast<int>(next() % 60);
      for (int i = 0; i < length; i++)
        data += static_cast<char>(next() % 4 == 0 ? next() % 256 : '0' + next() % 10);
      BarcodeField f = field(command, params, data, 1 + static_cast<int>(next() % 4),
                             2.0 + (next() % 11) / 10.0, 1 + static_cast<int>(next() % 200));
      BarcodeImage img = drawBarcode(f);
      SCOPED_TRACE(std::string(command) + " round " + std::to_string(round));
      if (img.error.empty()) {
        EXPECT_GT(img.width, 0);
        EXPECT_EQ(img.dots.size(), static_cast<std::size_t>(img.width) * img.height);
        EXPECT_LE(img.baseline, img.height);
        for (const auto& t : img.texts) {
          EXPECT_GE(t.x, 0);
          EXPECT_LE(t.x + static_cast<int>(t.text.size()) * t.width, img.width);
          EXPECT_LE(t.y + t.height, img.height);
        }
      } else {
        EXPECT_TRUE(img.dots.empty());
      }
    }
}

}  // namespace
