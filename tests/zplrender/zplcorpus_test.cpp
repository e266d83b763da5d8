// zplcorpus_test.cpp: raw ZPL labels as warehouse systems, ERPs and carriers write them, drawn
// and read back: every barcode decodes from the drawn dots to the data its field holds.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Each barcode field is cut out of the label by the box the renderer reports for it and read
// by zxing-cpp; Data Matrix also by dmtxread, EAN and UPC also by zbarimg.  A label's copies
// (^PQ) carry their own serial numbers.

#include "zpltest.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Sample {
  const char* name;
  std::string zpl;
  // For each label drawn, the data of its barcodes in field order (as zxing-cpp writes it:
  // bytes outside printable ASCII as \xNN).
  std::vector<std::vector<std::string>> barcodes;
  bool negative = false;  // white bars on black: read from the inverted dots
};

void PrintTo(const Sample& s, std::ostream* out)
{
  *out << s.name;
}

const std::string kUpsMessage =
    "_5B)>_1E01_1D961Z00004951_1DUPSN_1D06X610_1D159_1D1234567_1D1/1_1D_1DY_1D634 ALPHA "
    "DR_1DPITTSBURGH_1DPA_1E_04";

std::vector<Sample> corpus()
{
  return {
      {"ups_4x6_maxicode",
       "^XA^PW812^LL1218^CI28\n"
       "^FO20,20^GB772,1178,4^FS\n"
       "^FO40,40^A0N,30^FDSHIP FROM: WAREHOUSE 7^FS\n"
       "^FO40,90^A0N,50^FDSHIP TO: ACME CORP^FS\n"
       "^FO40,160^GB732,3,3^FS\n"
       "^FO60,200^BD2,1,1^FH^FD001840152382802" + kUpsMessage + "^FS\n"
       "^FO330,220^A0N,80^FDPA 152 9-02^FS\n"
       "^FO40,480^BY3^BCN,200,Y,N,N^FD1Z00004951^FS\n"
       "^FO40,760^GB732,120,120^FS^FO60,780^FR^A0N,90^FDUPS GROUND^FS\n"
       "^XZ\n",
       {{"1Z00004951", "1Z00004951"}}},
      {"fedex_4x6_pdf417",
       "^XA^PW812^LL1218\n"
       "^FO30,30^A0N,40,30^FDFEDEX GROUND^FS\n"
       "^FO30,100^B7N,4,5,6,,N^FD[)>_1E01_1D02794005000_1D840_1D03^FS\n"
       "^FO30,500^BY3,2.0^BCN,150,N,N,N,A^FD9622001900007094020000200000000000^FS\n"
       "^FO30,700^A0N,60^FDTRK# 7094 0200 0020^FS\n"
       "^XZ",
       {{"[)>_1E01_1D02794005000_1D840_1D03", "9622001900007094020000200000000000"}}},
      {"gs1_128_pallet",
       "^XA^PW812^LL1218\n"
       "^FO40,40^A0N,40^FDSSCC PALLET LABEL^FS\n"
       "^FO40,120^BY3^BCN,200,Y,N,N,D^FD(00)376123450000000017^FS\n"
       "^FO40,420^BY2^BCN,150,Y,N,N^FD>;>80201234567890123>815025123>810>6ABC123^FS\n"
       "^XZ",
       {{"00376123450000000017", "0201234567890123\x1d" "15025123\x1d" "10ABC123"}}},
      {"dhl_code128_subsets",
       "^XA^PW812^LL812\n"
       "^FO40,40^BY2^BCN,100,Y,N,N^FDJJD0001234567890^FS\n"
       "^FO40,220^BCN,100,Y,N,N^FD>:ABC>5123456^FS\n"
       "^FO40,400^BCN,100,N,N,N^FDMixed 1234 case^FS\n"
       "^XZ",
       {{"JJD0001234567890", "ABC123456", "Mixed 1234 case"}}},
      {"usps_imb_and_128",
       "^XA^PW812^LL812\n"
       "^FO40,40^A0N,36^FDUSPS PRIORITY MAIL^FS\n"
       "^FO40,100^BY3^BCN,160,Y,N,N^FD>;>842015238>894001112025555555555^FS\n"
       "^FO40,400^BZN,60,N,N,3^FD01234567094987654321^FS\n"
       "^XZ",
       {{"42015238\x1d" "94001112025555555555"}}},
      {"product_ean13",
       "^XA^PW406^LL305\n^FO20,20^A0N,28^FDORGANIC COFFEE 500G^FS\n"
       "^FO40,70^BY2^BEN,120,Y,N^FD400638133393^FS\n^XZ",
       {{"4006381333931"}}},
      {"product_ean8",
       "^XA^PW406^LL305\n^FO60,60^BY3^B8N,120,Y,N^FD9638507^FS\n^XZ",
       {{"96385074"}}},
      {"product_upca_price",
       "^XA^PW406^LL305\n^FO20,20^A0N,50^FD$ 4.99^FS\n"
       "^FO40,90^BY2^BUN,120,Y,N,Y^FD03600029145^FS\n^XZ",
       {{"036000291452"}}},
      {"product_upce",
       "^XA^PW406^LL305\n^FO80,60^BY3^B9N,120,Y,N,Y^FD1230000045^FS\n^XZ",
       {{"123453"}}},
      {"datamatrix_part",
       "^XA^PW406^LL305\n^FO20,20^A0N,30^FDPART 4711-B^FS\n"
       "^FO20,70^BXN,8,200^FDP4711-B/S12345/2026^FS\n^FO220,80^ADN,18,10^FDREV B^FS\n^XZ",
       {{"P4711-B/S12345/2026"}}},
      {"datamatrix_gs1_tiny",
       "^XA^PW406^LL305\n^FO40,40^BXN,6,200,,,,_^FD_10109501234567891_110AB12_121X^FS\n^XZ",
       {{"0109501234567891"}}},
      {"qr_model2_url",
       "^XA^PW406^LL406\n^FO40,40^BQN,2,6^FDMA,https://example.com/track?id=12345^FS\n^XZ",
       {{"https://example.com/track?id=12345"}}},
      {"qr_error_levels",
       "^XA^PW812^LL406\n^FO20,20^BQN,2,4^FDHA,HIGH LEVEL^FS\n^FO300,20^BQN,2,4^FDLA,LOW LEVEL^FS\n^XZ",
       {{"HIGH LEVEL", "LOW LEVEL"}}},
      {"code39_and_93",
       "^XA^PW812^LL406\n^FO20,20^BY2^B3N,N,100,Y,N^FDCODE39-ABC^FS\n"
       "^FO20,200^BAN,100,Y,N,N^FDCODE93 TEST^FS\n^XZ",
       {{"CODE39-ABC", "CODE93 TEST"}}},
      {"interleaved_2_of_5",
       "^XA^PW812^LL305\n^FO20,40^BY3,2.5^B2N,120,Y,N,N^FD1234567890^FS\n^XZ",
       {{"1234567890"}}},
      {"aztec_ticket",
       "^XA^PW406^LL406\n^FO40,40^BON,5,N^FDTICKET 0042 SEAT 17A^FS\n^XZ",
       {{"TICKET 0042 SEAT 17A"}}},
      {"databar_omni",
       "^XA^PW406^LL305\n^FO40,40^BRN,1,3,,60^FD0950123456789^FS\n^XZ",
       {{"0950123456789"}}},
      {"rotated_fields",
       "^XA^PW812^LL812\n"
       "^FO40,40^BY2^BCR,100,Y,N,N^FDROT-R-01^FS\n"
       "^FO300,40^BCI,100,Y,N,N^FDROT-I-02^FS\n"
       "^FO300,300^BCB,100,Y,N,N^FDROT-B-03^FS\n"
       "^FO600,300^BQN,2,5^FDQA,QR BESIDE^FS\n"
       "^FO500,600^A0R,40^FDTURNED TEXT^FS\n^XZ",
       {{"ROT-R-01", "ROT-I-02", "ROT-B-03", "QR BESIDE"}}},
      {"field_wide_rotation_fw",
       "^XA^PW812^LL812^FWR\n^FO100,100^BY2^B3,N,80,Y,N^FDFWR39^FS\n^FO400,100^A0,40^FDDEFAULT R^FS\n^XZ",
       {{"FWR39"}}},
      {"reversed_fields",
       "^XA^PW812^LL406\n^FO20,20^GB772,366,366^FS\n"
       "^FO60,60^FR^BY3^BCN,120,Y,N,N^FDREVERSED^FS\n"
       "^FO60,260^FR^A0N,60^FDWHITE ON BLACK^FS\n^XZ",
       {{"REVERSED"}},
       true},
      {"label_reverse_lr",
       "^XA^PW812^LL406^LRY\n^FO0,0^GB812,406,406^FS\n^FO60,60^BY3^B3N,N,120,Y,N^FDLRY39^FS\n^LRN^XZ",
       {{"LRY39"}},
       true},
      {"serials_sn_pq3",
       "^XA^PW812^LL406\n^FO40,40^A0N,40^SNSER-0098,1,Y^FS\n"
       "^FO40,120^BY2^BCN,100,Y,N,N^SNLOT0098,1,Y^FS\n^PQ3^XZ",
       {{"LOT0098"}, {"LOT0099"}, {"LOT0100"}}},
      {"serials_sf_hex",
       "^XA^PW812^LL406\n^FO40,40^BY2^B3N,N,100,Y,N^FD00AE^SFHHHH,1^FS\n^PQ2,0,0,N^XZ",
       {{"00AE"}, {"00AF"}}},
      {"stored_format_recalled",
       "^XA^DFR:SHIP.ZPL^FS\n^FO40,40^A0N,40^FN1^FS\n^FO40,120^BY2^BCN,100,Y,N,N^FN2^FS\n^XZ\n"
       "^XA^XFR:SHIP.ZPL^FS^FN1^FDORDER ONE^FS^FN2^FDORD-0001^FS^XZ\n"
       "^XA^XFR:SHIP.ZPL^FS^FN1^FDORDER TWO^FS^FN2^FDORD-0002^FS^XZ\n",
       {{"ORD-0001"}, {"ORD-0002"}}},
      {"prefix_changes_and_hex",
       "^XA^CC!\n!PW812!LL406\n!FO40,40!BY2!BCN,100,Y,N,N!FH!FDA_5EB_7EC!FS\n!CC^\n"
       "^CT+^FO40,250^A0N,40^FDtilde ~ kept^FS^XZ",
       {{"A^B~C"}}},
      {"graphics_and_barcode",
       "~DGR:LOGO.GRF,32,4,FFFFFFFF80000001BFFFFFFDA0000005A0000005BFFFFFFD80000001FFFFFFFF\n"
       "^XA^PW812^LL406\n^FO20,20^XGR:LOGO.GRF,4,4^FS\n"
       "^FO200,20^GFA,32,32,4,FFFFFFFF,:C00003C00003C00003C00003C00003FFFFFFFF^FS\n"
       "^FO20,100^BY2^B3N,N,100,Y,N^FDGRAPHIC^FS\n^XZ",
       {{"GRAPHIC"}}},
  };
}

// Reads the barcode of `field` from the label with zxing-cpp, and with dmtxread or zbarimg
// where they read the symbology; returns what each said, one line each.
std::string readBack(const zplrender::Bitmap& image, const zplrender::FieldInfo& field,
                     const testsupport::TempDir& dir, const std::string& name, bool negative)
{
  int margin = field.kind == "barcode ^BD" ? 10 : 20;
  std::string pgm = zpltest::writePgm(dir, image, field.left, field.top, field.width, field.height,
                                      name, margin, negative);
  bool pure = field.kind == "barcode ^BD";
  std::string read = zpltest::run("/usr/bin/python3 " BARCODE_DECODER " " + pgm + (pure ? " pure" : ""));
  if (field.kind == "barcode ^BX")
    read += "\ndmtx:" + zpltest::run("dmtxread " + pgm + " 2>/dev/null");
  if (field.kind == "barcode ^BE" || field.kind == "barcode ^BU" || field.kind == "barcode ^B8")
    read += "\nzbar:" + zpltest::run("zbarimg -q " + pgm + " 2>/dev/null");
  return read;
}

std::string escaped(const std::string& text)
{
  std::string out;
  for (unsigned char c : text) {
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

class Corpus : public ::testing::TestWithParam<Sample> {};

TEST_P(Corpus, EveryBarcodeReadsBackFromTheDrawnLabel)
{
  const Sample& s = GetParam();
  zplrender::Result r = zpltest::render(s.zpl);
  ASSERT_EQ(r.error, "") << "at byte " << r.errorOffset;
  ASSERT_EQ(r.labels.size(), s.barcodes.size());
  testsupport::TempDir dir;
  for (std::size_t l = 0; l < r.labels.size(); l++) {
    const zplrender::Label& label = r.labels[l];
    std::vector<const zplrender::FieldInfo*> bars;
    for (const zplrender::FieldInfo& f : label.fields)
      if (f.kind.rfind("barcode", 0) == 0)
        bars.push_back(&f);
    // POSTNET and Intelligent Mail have no reader here; they are drawn, not read.
    std::erase_if(bars, [](const zplrender::FieldInfo* f) { return f->kind == "barcode ^BZ"; });
    ASSERT_EQ(bars.size(), s.barcodes[l].size()) << "label " << l + 1;
    for (std::size_t b = 0; b < bars.size(); b++) {
      const zplrender::FieldInfo& f = *bars[b];
      EXPECT_EQ(f.problem, "") << f.kind;
      ASSERT_GT(f.width, 0) << f.kind << " was not drawn";
      EXPECT_TRUE(f.left >= 0 && f.top >= 0 && f.left + f.width <= label.image.width &&
                  f.top + f.height <= label.image.height)
          << f.kind << " reaches past the label";
      std::string name = std::string(s.name) + "-" + std::to_string(l) + "-" + std::to_string(b);
      std::string read = readBack(label.image, f, dir, name, s.negative);
      std::string want = escaped(s.barcodes[l][b]);
      EXPECT_NE(read.find(want), std::string::npos)
          << s.name << " label " << l + 1 << " " << f.kind << " wants '" << want << "', read:\n"
          << read;
      if (f.kind == "barcode ^BX") {
        EXPECT_NE(read.find("dmtx:" + s.barcodes[l][b].substr(0, 4)), std::string::npos) << read;
      }
      if (f.kind == "barcode ^BE" || f.kind == "barcode ^BU" || f.kind == "barcode ^B8") {
        EXPECT_NE(read.find("zbar:EAN-") == std::string::npos ? read.find("zbar:UPC-")
                                                              : read.find("zbar:EAN-"),
                  std::string::npos)
            << read;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Labels, Corpus, ::testing::ValuesIn(corpus()),
                         [](const ::testing::TestParamInfo<Sample>& info) {
                           return std::string(info.param.name);
                         });

// With ZPL_CORPUS_DIR set, the corpus is also written there, one NAME.zpl a sample, for
// bench/zpl-compare.sh.
TEST(CorpusSize, CoversAtLeastTwentyFiveLabels)
{
  EXPECT_GE(corpus().size(), 25u);
  if (const char* dir = std::getenv("ZPL_CORPUS_DIR"))
    for (const Sample& s : corpus())
      testsupport::writeFile(std::string(dir) + "/" + s.name + ".zpl", s.zpl);
}

}  // namespace
