// grf_z64_test.cpp: unit tests of the Z64 and B64 graphic data writer and reader.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "DataComDecompress.h"
#include "GRFDataZ64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string Z64(const Bytes& bitmap, std::uint64_t rowBytes, int level = kGRFZ64Level)
{
  char* text = nullptr;
  std::uint64_t length = 0;
  EXPECT_EQ(GRFDataZ64EncodeLevel(bitmap.data(), bitmap.size(), rowBytes, level, &text, &length),
            0);
  std::string out(text, length);
  FreeReallocMemory(&text);
  return out;
}

std::string Base64(std::string_view bytes)
{
  std::string out(4 * ((bytes.size() + 2) / 3), '?');
  out.resize(GRFBase64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                             out.data()));
  return out;
}

// Data with the given prefix and Base64 text, and the CRC that belongs to it.
std::string Framed(const std::string& prefix, const std::string& base64)
{
  char crc[8];
  std::snprintf(crc, sizeof crc, ":%04X", GRFCrc16(base64.data(), base64.size()));
  return prefix + base64 + crc;
}

struct Decoded {
  int status = -1;
  GRFZ64Fault fault;
  Bytes bitmap;
};

Decoded Decode(const std::string& data, std::uint64_t size)
{
  Decoded d;
  d.bitmap.assign(size, 0xEE);
  d.status = GRFDataZ64Decode(data.data(), data.size(), d.bitmap.data(), size, &d.fault);
  return d;
}

// A bitmap with the rows a label has: blank, black, repeated, single dots and noise.
Bytes RandomBitmap(std::mt19937& rng, std::uint64_t rowBytes, std::uint64_t rows)
{
  Bytes b(rowBytes * rows, 0);
  for (std::uint64_t y = 0; y < rows; ++y) {
    unsigned char* row = b.data() + y * rowBytes;
    switch (rng() % 5) {
      case 0:
        break;
      case 1:
        std::memset(row, 0xFF, rowBytes);
        break;
      case 2:
        if (y > 0)
          std::memcpy(row, row - rowBytes, rowBytes);
        break;
      case 3:
        row[rng() % rowBytes] = static_cast<unsigned char>(0x80 >> (rng() % 8));
        break;
      default:
        for (std::uint64_t x = 0; x < rowBytes; ++x)
          row[x] = static_cast<unsigned char>(rng());
    }
  }
  return b;
}

// Values checked with an independent CRC-16/XMODEM and Base64 (Python's binascii.crc_hqx
// and base64); a CRC over the bitmap instead of the text, a reflected or an 0xFFFF-seeded CRC
// all give other values.
TEST(GrfZ64, CrcKnownAnswers)
{
  EXPECT_EQ(GRFCrc16("123456789", 9), 0x31C3);
  EXPECT_EQ(GRFCrc16("A", 1), 0x58E5);
  EXPECT_EQ(GRFCrc16("", 0), 0x0000);
  EXPECT_EQ(GRFCrc16("eJz7z8DQAAAEgAGA", 16), 0xE568);
}

TEST(GrfZ64, Base64KnownAnswers)
{
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\xFD", "//79"}, {"not zlib data!", "bm90IHpsaWIgZGF0YSE="},
  };
  for (const auto& [bytes, text] : cases)
    EXPECT_EQ(Base64(bytes), text) << bytes;
}

// The whole text for a small bitmap: zlib's stream of FF 00 00 80 at level 6, its Base64 and
// the CRC of that text.
TEST(GrfZ64, WritesPrefixBase64AndCrc)
{
  EXPECT_EQ(Z64({0xFF, 0x00, 0x00, 0x80}, 2), ":Z64:eJz7z8DQAAAEgAGA:E568");
}

TEST(GrfZ64, WriterRefusesBadArguments)
{
  const Bytes b(8, 0);
  char* text = nullptr;
  std::uint64_t length = 0;
  EXPECT_EQ(GRFDataZ64Encode(nullptr, 8, 4, &text, &length), 1);
  EXPECT_EQ(GRFDataZ64Encode(b.data(), 0, 4, &text, &length), 1);
  EXPECT_EQ(GRFDataZ64Encode(b.data(), 8, 0, &text, &length), 1);
  EXPECT_EQ(GRFDataZ64Encode(b.data(), 8, 3, &text, &length), 1);  // not whole rows
  EXPECT_EQ(GRFDataZ64EncodeLevel(b.data(), 8, 4, 0, &text, &length), 1);
  EXPECT_EQ(GRFDataZ64EncodeLevel(b.data(), 8, 4, 10, &text, &length), 1);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 0u);
}

// Seeded bitmaps of the sizes the hex round trips use, at every level, and a bitmap whose
// deflated length is 0, 1 and 2 modulo 3 (each padding of the last Base64 group).
TEST(GrfZ64, RoundTrips)
{
  std::mt19937 rng(16);
  const std::pair<std::uint64_t, std::uint64_t> shapes[] = {
      {1, 1}, {1, 5}, {5, 31}, {13, 300}, {102, 1218}, {125, 7}, {4, 8}};
  std::uint64_t paddings = 0;
  for (const auto& [rowBytes, rows] : shapes)
    for (int level : {1, 6, 9}) {
      const Bytes bitmap = RandomBitmap(rng, rowBytes, rows);
      const std::string text = Z64(bitmap, rowBytes, level);
      const std::size_t colon = text.rfind(':');
      paddings |= 1u << (text[colon - 1] == '=' ? (text[colon - 2] == '=' ? 2 : 1) : 0);
      const Decoded d = Decode(text, bitmap.size());
      ASSERT_EQ(d.status, 0) << rowBytes << " x " << rows << ", level " << level;
      EXPECT_EQ(d.bitmap, bitmap) << rowBytes << " x " << rows << ", level " << level;
    }
  EXPECT_EQ(paddings, 7u);

  // B64: the bitmap itself in Base64.
  const Bytes bitmap = RandomBitmap(rng, 10, 20);
  const Decoded d = Decode(
      Framed(":B64:", Base64(std::string(bitmap.begin(), bitmap.end()))) + "\r\n", bitmap.size());
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.bitmap, bitmap);
}

struct BadCase {
  const char* name;
  std::string data;
  std::uint64_t size;
  int status;
  std::uint64_t position;
  std::uint64_t found;
};

TEST(GrfZ64, RefusesMalformedData)
{
  const Bytes bitmap = {0xFF, 0x00, 0x00, 0x80};
  const std::string good = ":Z64:eJz7z8DQAAAEgAGA:E568";
  const std::string zlib = "eJz7z8DQAAAEgAGA";
  const BadCase cases[] = {
      {"hex text", "FF00", 4, kGRFZ64BadPrefix, 0, 'F'},
      {"lower-case prefix", ":z64:" + zlib + ":E568", 4, kGRFZ64BadPrefix, 1, 'z'},
      {"short prefix", ":Z6", 4, kGRFZ64BadPrefix, 3, 0},
      {"not Base64", ":Z64:eJz7z8D*AAAEgAGA:E568", 4, kGRFZ64BadBase64, 12, '*'},
      {"line end inside", ":Z64:eJz7z8DQ\r\nAAAEgAGA:E568", 4, kGRFZ64BadBase64, 13, '\r'},
      {"padding inside", Framed(":B64:", "Zg==Zg=="), 2, kGRFZ64BadPadding, 7, '='},
      {"length not four", Framed(":B64:", "Zm9vY"), 4, kGRFZ64BadPadding, 10, 5},
      {"unused bits set", Framed(":B64:", "Zh=="), 1, kGRFZ64BadPadding, 6, 'h'},
      {"no CRC", ":Z64:" + zlib, 4, kGRFZ64NoCrc, 21, 0},
      {"short CRC", ":Z64:" + zlib + ":E56", 4, kGRFZ64NoCrc, 25, 0},
      {"CRC not hex", ":Z64:" + zlib + ":E5G8", 4, kGRFZ64NoCrc, 24, 'G'},
      {"CRC wrong", ":Z64:" + zlib + ":E569", 4, kGRFZ64CrcMismatch, 22, 0xE569},
      {"CRC of the bitmap", ":Z64:" + zlib + ":DA2B", 4, kGRFZ64CrcMismatch, 22, 0xDA2B},
      {"CRC of the stream", ":Z64:" + zlib + ":1165", 4, kGRFZ64CrcMismatch, 22, 0x1165},
      {"text after CRC", good + "\r\nX", 4, kGRFZ64AfterCrc, 28, 'X'},
      {"not zlib", Framed(":Z64:", "bm90IHpsaWIgZGF0YSE="), 4, kGRFZ64NoInflate, 6, 0},
      {"stream cut", Framed(":Z64:", zlib.substr(0, 12)), 4, kGRFZ64NoInflate, 17, 0},
      {"bytes after stream",
       Framed(":Z64:", Base64(std::string("\x78\x9C\xFB\xCF\xC0\xD0\x00\x00\x04\x80\x01\x80"
                                          "AB", 14))),
       4, kGRFZ64AfterStream, 21, 2},
      {"bitmap too small", good, 5, kGRFZ64WrongSize, 0, 4},
      {"bitmap too large", good, 3, kGRFZ64WrongSize, 0, 0},
      {"B64 too small", Framed(":B64:", "Zm9v"), 4, kGRFZ64WrongSize, 0, 3},
      {"empty Z64", Framed(":Z64:", ""), 4, kGRFZ64NoInflate, 5, 0},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = Decode(c.data, c.size);
    EXPECT_EQ(d.status, c.status);
    if (c.status == kGRFZ64WrongSize && c.size < 4) {
      EXPECT_TRUE(d.fault.bMore);
      EXPECT_EQ(d.fault.nExpected, c.size);
      continue;
    }
    EXPECT_EQ(d.fault.nPosition, c.position);
    if (c.status != kGRFZ64NoInflate)
      EXPECT_EQ(d.fault.nFound, c.found);
    else
      EXPECT_NE(d.fault.pszDetail, nullptr);
  }
  const Decoded crc = Decode(":Z64:" + zlib + ":E569", 4);
  EXPECT_EQ(crc.fault.nExpected, 0xE568u);
  EXPECT_EQ(Decode(good + " \r\n\t", 4).status, 0);
  EXPECT_EQ(Decode(":Z64:" + zlib + ":e568", 4).status, 0);
}

}  // namespace
