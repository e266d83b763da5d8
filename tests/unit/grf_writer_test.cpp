// grf_writer_test.cpp: unit tests of the GRF text writer and the library's block helpers.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "DataComDecompress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Hex dump with the printable characters alongside, for failure messages.
std::string Dump(const void* data, std::size_t size)
{
  static const char kHex[] = "0123456789ABCDEF";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string hex, text;
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[p[i] >> 4];
    hex += kHex[p[i] & 15];
    hex += ' ';
    text += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '.';
  }
  return hex + " |" + text + "|";
}

// Runs the writer and returns its text; fails the test on a non-zero status.
std::string Write(const Bytes& bitmap, std::uint64_t rowBytes)
{
  char* text = nullptr;
  std::uint64_t length = 0;
  const int status = GRFDataCompress(bitmap.data(), bitmap.size(), rowBytes, &text, &length);
  EXPECT_EQ(status, 0);
  if (status != 0)
    return {};
  EXPECT_NE(text, nullptr);
  std::string result(text, length);
  FreeReallocMemory(&text);
  EXPECT_EQ(text, nullptr);
  return result;
}

#define EXPECT_TEXT(expected, actual)                                            \
  do {                                                                           \
    const std::string e_ = (expected), a_ = (actual);                            \
    EXPECT_EQ(e_, a_) << "expected: " << Dump(e_.data(), e_.size()) << "\n"      \
                      << "actual:   " << Dump(a_.data(), a_.size());             \
  } while (0)

Bytes Repeat(unsigned char value, std::size_t count) { return Bytes(count, value); }

Bytes Concat(std::initializer_list<Bytes> parts)
{
  Bytes out;
  for (const Bytes& part : parts)
    out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct WriterCase {
  const char* name;
  std::uint64_t rowBytes;
  Bytes bitmap;
  std::string text;
};

TEST(GrfWriter, CodesRows)
{
  const WriterCase cases[] = {
      {"blank row is a zero tail", 4, {0x00, 0x00, 0x00, 0x00}, ",\r\n"},
      {"black row is a run, not '!'", 4, {0xFF, 0xFF, 0xFF, 0xFF}, "NF\r\n"},
      {"repeated row is ':' without a line end", 4,
       {0x12, 0x34, 0x00, 0x00, 0x12, 0x34, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01},
       "1234,\r\n:1234I01\r\n"},
      {"25 digits: 'g' then 'K'", 13, Concat({Repeat(0xAA, 12), {0xA5}}), "gKA5\r\n"},
      {"runs then a two-byte zero tail", 6, {0x00, 0x0F, 0xFF, 0xF8, 0x00, 0x00}, "I0JF8,\r\n"},
      {"one trailing zero byte is a run", 4, {0x12, 0x34, 0x56, 0x00}, "123456H0\r\n"},
      {"pending '0' dropped before ','", 4, {0x30, 0x00, 0x00, 0x00}, "3,\r\n"},
      {"leading zeros are a run", 4, {0x00, 0x00, 0x00, 0x10}, "L010\r\n"},
      {"two-byte blank row has no zero tail", 2, {0x00, 0x00}, "J0\r\n"},
      {"three-byte blank row", 3, {0x00, 0x00, 0x00}, ",\r\n"},
      {"zero tail right after the first byte", 3, {0x12, 0x00, 0x00}, "12,\r\n"},
      {"leading zero run", 5, {0x00, 0x00, 0x00, 0x00, 0x01}, "O01\r\n"},
      {"black tail of a long row", 3, {0x12, 0xFF, 0xFF}, "12JF\r\n"},
      {"500 digits", 250, Repeat(0xFF, 250), "zkF\r\n"},
      {"4800 digits", 2400, Repeat(0xFF, 2400), "zzzzzzzzzzzzF\r\n"},
      {"one-byte rows", 1, {0x00, 0xFF, 0x22, 0x12}, ",\r\n!\r\nH2\r\n12\r\n"},
      {"one-byte repeats", 1, {0xFF, 0xFF, 0x00, 0x00, 0x00}, "!\r\n:,\r\n::"},
      {"partial last row ignored", 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "01020304\r\n05060708\r\n"},
      {"row compared with the bitmap row above, even after ':'", 2,
       {0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x35}, "1234\r\n::1235\r\n"},
      {"equal rows apart are both coded", 2, {0xAB, 0xCD, 0x00, 0x01, 0xAB, 0xCD},
       "ABCD\r\nI01\r\nABCD\r\n"},
      {"mixed nibble runs", 4, {0x01, 0x11, 0x10, 0xF0}, "0J10F0\r\n"},
      {"bottom fill rows", 3, Concat({{0x80, 0x00, 0x01}, Repeat(0x00, 12)}),
       "8J01\r\n,\r\n:::"},
  };
  for (const WriterCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TEXT(c.text, Write(c.bitmap, c.rowBytes));
  }
}

// Count letters: 'z' per 400, one of 'g'..'y' per twenty, one of 'G'..'Y' for the rest.
// A row of n 'F' digits followed by a '1', or by "12" when n is even.
TEST(GrfWriter, SplitsCountsAtTwentyAndFourHundred)
{
  const struct {
    unsigned run;
    const char* text;
  } cases[] = {
      {2, "HF12\r\n"},       {19, "YF1\r\n"},       {20, "gF12\r\n"},   {21, "gGF1\r\n"},
      {39, "gYF1\r\n"},      {40, "hF12\r\n"},      {380, "yF12\r\n"},  {399, "yYF1\r\n"},
      {400, "zF12\r\n"},     {401, "zGF1\r\n"},     {420, "zgF12\r\n"}, {800, "zzF12\r\n"},
      {1000, "zzpF12\r\n"},  {3221, "zzzzzzzzgGF1\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.run);
    Bytes row = Repeat(0xFF, c.run / 2);
    if (c.run % 2)
      row.push_back(0xF1);
    else
      row.push_back(0x12);
    EXPECT_TEXT(c.text, Write(row, row.size()));
  }
}

TEST(GrfWriter, WriteDataAppendsCountLettersThenDigit)
{
  const struct {
    std::uint64_t count;
    const char* text;
  } cases[] = {
      {0, "7"},    {1, "G7"},    {2, "H7"},     {19, "Y7"},     {20, "g7"},
      {21, "gG7"}, {399, "yY7"}, {400, "z7"},   {401, "zG7"},   {800, "zz7"},
      {1000, "zzp7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    char block[16];
    std::memcpy(block, "ab", 2);
    std::uint64_t length = 2;
    EXPECT_EQ(GRFWriteData('7', c.count, block, &length), 0);
    EXPECT_TEXT(std::string("ab") + c.text, std::string(block, length));
  }

  char block[4] = {'x', 'x', 'x', 'x'};
  std::uint64_t length = 1;
  EXPECT_EQ(GRFWriteData('7', 5, nullptr, &length), 1);
  EXPECT_EQ(GRFWriteData('7', 5, block, nullptr), 1);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(std::string(block, 4), "xxxx");
}

TEST(GrfWriter, RejectsBadArgumentsAndLeavesOutputsAlone)
{
  const unsigned char bitmap[4] = {1, 2, 3, 4};
  char sentinel = 0;
  char* text = &sentinel;
  std::uint64_t length = 77;
  EXPECT_EQ(GRFDataCompress(nullptr, 4, 4, &text, &length), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 0, 4, &text, &length), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 4, 0, &text, &length), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 4, 4, nullptr, &length), 1);
  EXPECT_EQ(GRFDataCompress(bitmap, 4, 4, &text, nullptr), 1);
  EXPECT_EQ(text, &sentinel);
  EXPECT_EQ(length, 77u);
}

TEST(GrfWriter, BitmapShorterThanOneRowGivesEmptyText)
{
  const unsigned char bitmap[3] = {1, 2, 3};
  char* text = nullptr;
  std::uint64_t length = 77;
  EXPECT_EQ(GRFDataCompress(bitmap, 3, 4, &text, &length), 0);
  EXPECT_NE(text, nullptr);  // still a block the caller releases
  EXPECT_EQ(length, 0u);
  FreeReallocMemory(&text);
  EXPECT_EQ(text, nullptr);
}

// 1,000 bytes give a first block of 2,600 bytes; this text needs 4,000, so the block grows.
TEST(GrfWriter, GrowsTheBlockForPoorlyCompressingRows)
{
  Bytes bitmap;
  for (int i = 0; i < 1000; ++i)
    bitmap.push_back(i % 2 ? 0x34 : 0x12);
  const std::string text = Write(bitmap, 1);
  ASSERT_EQ(text.size(), 4000u);
  std::string expected;
  for (int i = 0; i < 500; ++i)
    expected += "12\r\n34\r\n";
  EXPECT_TEXT(expected, text);

  // Twice the growth: 3.5 text bytes per bitmap byte ("H2\r\n" and "12\r\n" alternating).
  Bytes twice;
  for (int i = 0; i < 5000; ++i)
    twice.push_back(i % 2 ? 0x12 : 0x22);
  const std::string long_text = Write(twice, 1);
  ASSERT_EQ(long_text.size(), 20000u);
  EXPECT_EQ(long_text.substr(0, 8), "H2\r\n12\r\n");
  EXPECT_EQ(long_text.substr(19992), "H2\r\n12\r\n");
}

// The writer's rules stated plainly, one digit at a time with the zero tail test rescanning
// the row, to check the fast scan against on random rows.
std::string PlainModel(const Bytes& bitmap, std::size_t rowBytes)
{
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  auto put = [&](int digit, std::size_t n) {
    if (n >= 2) {
      out.append(n / 400, 'z');
      if (n % 400 / 20)
        out += static_cast<char>('f' + n % 400 / 20);
      if (n % 20)
        out += static_cast<char>('F' + n % 20);
    }
    out += kHex[digit];
  };
  for (std::size_t r = 0; r < bitmap.size() / rowBytes; ++r) {
    const unsigned char* row = bitmap.data() + r * rowBytes;
    if (r > 0 && std::equal(row, row + rowBytes, row - rowBytes)) {
      out += ':';
      continue;
    }
    if (rowBytes == 1 && (row[0] == 0 || row[0] == 0xFF)) {
      out += row[0] ? "!\r\n" : ",\r\n";
      continue;
    }
    auto digit = [&](std::size_t j) { return j % 2 ? row[j / 2] & 15 : row[j / 2] >> 4; };
    int run = digit(0);
    std::size_t n = 1;
    for (std::size_t j = 1; j < 2 * rowBytes; ++j) {
      if (j % 2 == 0 && j / 2 + 2 <= rowBytes &&
          std::all_of(row + j / 2, row + rowBytes, [](unsigned char b) { return b == 0; })) {
        if (run != 0)
          put(run, n);
        out += ',';
        n = 0;
        break;
      }
      if (digit(j) == run) {
        ++n;
      } else {
        put(run, n);
        run = digit(j);
        n = 1;
      }
    }
    if (n)
      put(run, n);
    out += "\r\n";
  }
  return out;
}

// Random rows built from the pieces that matter: blank and black stretches, repeated bytes,
// lone nibbles, random bytes, and rows repeated from the one above.
Bytes RandomBitmap(std::mt19937& rng, std::size_t rowBytes, std::size_t rows)
{
  Bytes bitmap;
  std::uniform_int_distribution<int> byte(0, 255), kind(0, 5);
  for (std::size_t r = 0; r < rows; ++r) {
    if (r > 0 && kind(rng) == 0) {
      bitmap.insert(bitmap.end(), bitmap.end() - rowBytes, bitmap.end());
      continue;
    }
    std::size_t filled = 0;
    while (filled < rowBytes) {
      const std::size_t len =
          std::min<std::size_t>(rowBytes - filled, std::uniform_int_distribution<std::size_t>(
                                                       1, 1 + rowBytes / 2)(rng));
      const int k = kind(rng);
      for (std::size_t i = 0; i < len; ++i) {
        static const unsigned char kPicks[] = {0x00, 0xFF, 0x0F, 0xF0, 0x11, 0x10};
        bitmap.push_back(k == 0   ? 0x00
                         : k == 1 ? 0xFF
                         : k == 2 ? static_cast<unsigned char>(byte(rng))
                         : k == 3 ? kPicks[byte(rng) % 6]
                                  : static_cast<unsigned char>(k * 0x11));
      }
      filled += len;
    }
  }
  return bitmap;
}

TEST(GrfWriter, MatchesPlainModelOnRandomBitmaps)
{
  std::mt19937 rng(20260108);
  for (int i = 0; i < 1500; ++i) {
    const std::size_t rowBytes = std::uniform_int_distribution<std::size_t>(1, 300)(rng);
    const std::size_t rows = std::uniform_int_distribution<std::size_t>(1, 40)(rng);
    const Bytes bitmap = RandomBitmap(rng, rowBytes, rows);
    SCOPED_TRACE("case " + std::to_string(i) + ", row bytes " + std::to_string(rowBytes));
    const std::string expected = PlainModel(bitmap, rowBytes);
    const std::string actual = Write(bitmap, rowBytes);
    ASSERT_EQ(expected, actual);
  }
}

// Rows of one to three bytes whose digits all differ from their neighbours code to more than
// 2.5 text bytes per bitmap byte, so the block runs short while rows are being coded, and
// rows near its end are coded with a check before every append.
TEST(GrfWriter, MatchesPlainModelWhileTheBlockGrows)
{
  std::mt19937 rng(20260109);
  std::uniform_int_distribution<int> other(1, 15);
  for (std::size_t rowBytes = 1; rowBytes <= 3; ++rowBytes) {
    for (std::size_t rows : {3u, 40u, 700u}) {
      Bytes bitmap;
      int digit = 0;
      for (std::size_t i = 0; i < rowBytes * rows; ++i) {
        const int high = (digit + other(rng)) % 16;
        digit = (high + other(rng)) % 16;
        bitmap.push_back(static_cast<unsigned char>(high << 4 | digit));
      }
      SCOPED_TRACE("row bytes " + std::to_string(rowBytes) + ", rows " + std::to_string(rows));
      ASSERT_EQ(PlainModel(bitmap, rowBytes), Write(bitmap, rowBytes));
    }
  }
}

TEST(GrfWriter, FreeReallocMemoryForgetsTheBlock)
{
  char* block = static_cast<char*>(std::malloc(8));
  FreeReallocMemory(&block);
  EXPECT_EQ(block, nullptr);
  FreeReallocMemory(&block);  // a null block is left alone
  FreeReallocMemory(nullptr);
}

TEST(GrfWriter, DataReallocMemoryGrowsByAtLeastTheStep)
{
  const struct {
    std::int64_t size, needed, step, newSize;
  } cases[] = {
      {10, 12, 4, 14},  // step covers the shortfall: size + step
      {10, 20, 4, 24},  // step short of it: needed + step
      {10, 10, 5, 15},  // a block exactly the size needed still grows
      {10, 15, 5, 15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.needed);
    char* block = static_cast<char*>(std::malloc(c.size));
    std::memcpy(block, "0123456789", 10);
    std::int64_t size = c.size;
    char* grown = DataReallocMemory(&block, &size, c.needed, c.step);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, c.newSize);
    EXPECT_EQ(std::string(grown, 10), "0123456789");
    grown[c.newSize - 1] = 'x';  // the whole new size is usable
    FreeReallocMemory(&grown);
  }
}

TEST(GrfWriter, DataReallocMemoryLeavesLargeBlocksAndBadArgumentsAlone)
{
  char* block = static_cast<char*>(std::malloc(16));
  char* const original = block;
  std::int64_t size = 16;
  EXPECT_EQ(DataReallocMemory(&block, &size, 15, 8), original);  // already larger
  EXPECT_EQ(block, original);
  EXPECT_EQ(size, 16);

  EXPECT_EQ(DataReallocMemory(nullptr, &size, 20, 8), nullptr);
  EXPECT_EQ(DataReallocMemory(&block, nullptr, 20, 8), nullptr);
  EXPECT_EQ(DataReallocMemory(&block, &size, 0, 8), nullptr);
  EXPECT_EQ(DataReallocMemory(&block, &size, 20, 0), nullptr);
  EXPECT_EQ(DataReallocMemory(&block, &size, 20, -1), nullptr);
  EXPECT_EQ(DataReallocMemory(&block, &size, INT64_MAX, INT64_MAX), nullptr);  // overflow
  std::int64_t zero = 0;
  EXPECT_EQ(DataReallocMemory(&block, &zero, 20, 8), nullptr);
  EXPECT_EQ(block, original);
  EXPECT_EQ(size, 16);

  char* none = nullptr;
  std::int64_t noneSize = 16;
  EXPECT_EQ(DataReallocMemory(&none, &noneSize, 20, 8), nullptr);  // no block to move
  EXPECT_EQ(noneSize, 16);
  FreeReallocMemory(&block);
}

}  // namespace
