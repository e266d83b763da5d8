// grf_reader_test.cpp: unit tests of the GRF text reader, and write-then-read round trips.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "DataComDecompress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string Dump(const unsigned char* p, std::size_t size)
{
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[p[i] >> 4];
    hex += kHex[p[i] & 15];
    hex += ' ';
  }
  return hex;
}

#define EXPECT_BYTES(want, first, n)                                             \
  do {                                                                           \
    const Bytes e_ = (want);                                                     \
    const Bytes a_((first), (first) + (n));                                      \
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

struct ReaderCase {
  const char* text;
  std::uint64_t rowBytes;
  std::uint64_t capacity;
  int status;
  Bytes produced;  // the bytes stored from the block start
  std::uint64_t count;
};

// The block is filled with 0xEE first, so bytes that should stay untouched show up.
TEST(GrfReader, ReadsWholeTexts)
{
  const ReaderCase cases[] = {
      {"1234,\r\n:1234I01\r\n", 4, 12, 0,
       {0x12, 0x34, 0x00, 0x00, 0x12, 0x34, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01}, 12},
      {"gKA5\r\n", 13, 13, 0, Concat({Repeat(0xAA, 12), {0xA5}}), 13},
      {"3,\r\n", 4, 4, 0, {0x30, 0x00, 0x00, 0x00}, 4},
      {",\r\n", 4, 8, 0, {0x00, 0x00, 0x00, 0x00, 0xEE}, 4},  // the block need not fill
      {"!", 4, 4, 0, {0xFF, 0xFF, 0xFF, 0xFF}, 4},             // '!' in a wide row
      {"123!", 2, 2, 0, {0x12, 0x3F}, 2},     // the completed byte ends the row
      {"1!", 3, 3, 0, {0x1F, 0xFF, 0xFF}, 3},  // completed, then the row filled
      {"5,", 3, 3, 0, {0x50, 0x00, 0x00}, 3},
      {"12,", 3, 6, 0, {0x12, 0x00, 0x00, 0xEE}, 3},
      {"H,1", 2, 4, 0, {0x00, 0x00, 0x11, 0xEE}, 3},  // 'H' carries over ',' to the '1'
      {"H!1", 2, 4, 0, {0xFF, 0xFF, 0x11, 0xEE}, 3},
      {"123", 2, 4, 0, {0x12, 0xEE}, 1},  // a pending high nibble at the end is dropped
      {"1\r\n2\n\r3", 2, 4, 0, {0x12, 0xEE}, 1},
      {"Gz01", 201, 201, 0, Concat({Repeat(0x00, 200), {0x01}}), 201},  // any letter order
      {"zG01", 201, 201, 0, Concat({Repeat(0x00, 200), {0x01}}), 201},
      {"GGG0A", 2, 2, 0, {0x00, 0x0A}, 2},  // three 'G' make four: '0' applied three times
      {"G0", 2, 2, 0, {0xEE}, 0},            // 'G' alone still means once
      {"12345:", 2, 4, 0, {0x12, 0x34, 0x12, 0x34}, 4},  // ':' drops the pending '5'
      {"123456:", 2, 5, 0, {0x12, 0x34, 0x56, 0x34, 0x56}, 5},  // the row size bytes before
      {"1", 2, 0, 0, {}, 0},
      {"12ab", 2, 4, 1, {0x12, 0xEE}, 1},
      {"12Z3", 2, 4, 1, {0x12, 0xEE}, 1},
      {"12 34", 2, 4, 1, {0x12, 0xEE}, 1},
      {":", 4, 12, 6, {0xEE}, 12},
      {"12:", 2, 4, 6, {0x12, 0xEE}, 4},  // ':' needs a whole row before it
      {"NF", 4, 3, 6, {0xFF, 0xFF, 0xFF}, 3},
      {"1234,", 4, 3, 6, {0x12, 0x34, 0xEE}, 3},  // the fill would pass the block: none
      {"123,", 4, 1, 6, {0x12}, 1},
      {"12:", 1, 1, 6, {0x12}, 1},
      {"NF", 4, 4, 0, {0xFF, 0xFF, 0xFF, 0xFF}, 4},
  };
  for (const ReaderCase& c : cases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\", row " + std::to_string(c.rowBytes) +
                 ", capacity " + std::to_string(c.capacity));
    Bytes block(c.capacity + 8, 0xEE);
    std::uint64_t count = c.capacity;
    EXPECT_EQ(GRFDataDecompress(c.text, std::strlen(c.text), c.rowBytes, block.data(), &count),
              c.status);
    EXPECT_EQ(count, c.count);
    EXPECT_BYTES(c.produced, block.data(), c.produced.size());
    EXPECT_EQ(block[c.capacity], 0xEE) << "wrote past the capacity";
  }
}

TEST(GrfReader, StopsAtANulCharacter)
{
  const char text[] = {'1', '2', '\0', '3', '4'};
  unsigned char block[2] = {0xEE, 0xEE};
  std::uint64_t count = 2;
  EXPECT_EQ(GRFDataDecompress(text, sizeof text, 2, block, &count), 1);
  EXPECT_EQ(count, 1u);
}

TEST(GrfReader, RejectsBadArgumentsAndLeavesTheCountAlone)
{
  unsigned char block[4];
  std::uint64_t count = 4;
  EXPECT_EQ(GRFDataDecompress(nullptr, 2, 2, block, &count), 1);
  EXPECT_EQ(GRFDataDecompress("12", 0, 2, block, &count), 1);
  EXPECT_EQ(GRFDataDecompress("12", 2, 0, block, &count), 1);
  EXPECT_EQ(GRFDataDecompress("12", 2, 2, nullptr, &count), 1);
  EXPECT_EQ(GRFDataDecompress("12", 2, 2, block, nullptr), 1);
  EXPECT_EQ(count, 4u);
}

// The one-character form with its five state variables.
struct CharReader {
  std::uint64_t rowBytes, capacity;
  Bytes block;
  std::uint64_t position = 0, repeat = 1, produced = 0, nibble = 0;
  unsigned char pending = 0;

  CharReader(std::uint64_t row, std::uint64_t cap) : rowBytes(row), capacity(cap), block(cap + 8, 0xEE) {}

  int Feed(char c)
  {
    return GRFDataDecompressSingleCharProcess(c, rowBytes, &position, &pending, &repeat,
                                              &produced, &nibble, block.data(), capacity);
  }

  std::string Statuses(const std::string& text)
  {
    std::string out;
    for (char c : text)
      out += static_cast<char>('0' + Feed(c));
    return out;
  }
};

TEST(GrfReader, OneCharacterFormReportsCompletion)
{
  CharReader r(4, 4);
  EXPECT_EQ(r.Statuses("NF"), "50");
  EXPECT_BYTES(Bytes({0xFF, 0xFF, 0xFF, 0xFF}), r.block.data(), 4);

  // Line ends and other characters are ignored without touching the state.
  EXPECT_EQ(r.Feed('\r'), 5);
  EXPECT_EQ(r.Feed('\n'), 5);
  EXPECT_EQ(r.produced, 4u);
  EXPECT_EQ(r.position, 4u);

  CharReader s(2, 4);
  EXPECT_EQ(s.Statuses("123!"), "5555");
  EXPECT_EQ(s.produced, 2u);
  EXPECT_BYTES(Bytes({0x12, 0x3F, 0xEE}), s.block.data(), 3);
  EXPECT_EQ(s.Statuses(":"), "0");
  EXPECT_BYTES(Bytes({0x12, 0x3F, 0x12, 0x3F}), s.block.data(), 4);
}

TEST(GrfReader, OneCharacterFormIgnoresForeignCharacters)
{
  CharReader r(2, 4);
  EXPECT_EQ(r.Statuses("1H"), "55");
  const auto before = std::make_tuple(r.position, r.repeat, r.produced, r.nibble, r.pending);
  EXPECT_EQ(r.Statuses("#aZ \r\n"), "555555");
  EXPECT_EQ(before, std::make_tuple(r.position, r.repeat, r.produced, r.nibble, r.pending));
  EXPECT_EQ(r.Statuses("2"), "5");  // 'H' still counts: "1" then "2" twice
  EXPECT_EQ(r.Statuses("3"), "5");
  EXPECT_BYTES(Bytes({0x12, 0x23}), r.block.data(), 2);
}

TEST(GrfReader, OneCharacterFormFailsPastTheCapacity)
{
  CharReader r(4, 1);
  EXPECT_EQ(r.Statuses("123"), "500");
  EXPECT_EQ(r.Feed('4'), 6);
  EXPECT_EQ(r.produced, 1u);
  EXPECT_EQ(r.block[1], 0xEE);

  CharReader colon(4, 8);
  EXPECT_EQ(colon.Feed(':'), 6);  // no whole row yet
  EXPECT_EQ(colon.produced, 0u);

  CharReader fill(4, 3);
  EXPECT_EQ(fill.Statuses(","), "6");
  EXPECT_EQ(fill.block[0], 0xEE);

  CharReader run(4, 3);
  EXPECT_EQ(run.Statuses("NF"), "56");
  EXPECT_BYTES(Bytes({0xFF, 0xFF, 0xFF, 0xEE}), run.block.data(), 4);
}

TEST(GrfReader, OneCharacterFormRefusesAZeroRowSize)
{
  CharReader r(0, 4);
  EXPECT_EQ(r.Feed(','), 6);
  EXPECT_EQ(r.Feed(':'), 6);
  EXPECT_EQ(r.block[0], 0xEE);
}

// Writes a bitmap, reads the text back through both forms, and compares.
void RoundTrip(const Bytes& bitmap, std::size_t rowBytes)
{
  char* text = nullptr;
  std::uint64_t length = 0;
  ASSERT_EQ(GRFDataCompress(bitmap.data(), bitmap.size(), rowBytes, &text, &length), 0);
  const std::string grf(text, length);
  FreeReallocMemory(&text);

  const std::size_t whole = bitmap.size() / rowBytes * rowBytes;
  Bytes block(whole + 1, 0xEE);
  std::uint64_t count = whole;
  ASSERT_EQ(GRFDataDecompress(grf.data(), grf.size(), rowBytes, block.data(), &count), 0);
  ASSERT_EQ(count, whole);
  ASSERT_TRUE(std::equal(bitmap.begin(), bitmap.begin() + whole, block.begin()))
      << "text: " << grf;
  ASSERT_EQ(block[whole], 0xEE);

  // The one-character form completes exactly at the last character that stores a byte.
  CharReader r(rowBytes, whole);
  std::size_t last = grf.find_last_not_of("\r\n");
  for (std::size_t i = 0; i < grf.size(); ++i) {
    const int status = r.Feed(grf[i]);
    ASSERT_EQ(status, i == last ? 0 : 5) << "at " << i << " of " << grf;
  }
  ASSERT_TRUE(std::equal(bitmap.begin(), bitmap.begin() + whole, r.block.begin()));
}

TEST(GrfRoundTrip, RandomBitmapsComeBackExactly)
{
  std::mt19937 rng(4061218);
  std::uniform_int_distribution<int> byte(0, 255), kind(0, 6);
  for (int i = 0; i < 1500; ++i) {
    const std::size_t rowBytes = std::uniform_int_distribution<std::size_t>(1, 300)(rng);
    const std::size_t rows = std::uniform_int_distribution<std::size_t>(1, 100)(rng);
    Bytes bitmap;
    for (std::size_t r = 0; r < rows; ++r) {
      if (r > 0 && kind(rng) == 0) {  // a repeated row
        bitmap.insert(bitmap.end(), bitmap.end() - rowBytes, bitmap.end());
        continue;
      }
      // Stretches of blank, black, one repeated byte, random bytes and lone nibbles.
      while (bitmap.size() < (r + 1) * rowBytes) {
        const int k = kind(rng);
        const unsigned char fill = k == 0 ? 0x00 : k == 1 ? 0xFF : static_cast<unsigned char>(byte(rng));
        std::size_t len = std::uniform_int_distribution<std::size_t>(1, 1 + rowBytes / 3)(rng);
        len = std::min(len, (r + 1) * rowBytes - bitmap.size());
        for (std::size_t j = 0; j < len; ++j)
          bitmap.push_back(k <= 2 ? fill : k == 3 ? static_cast<unsigned char>(byte(rng) & 0xF0) : static_cast<unsigned char>(byte(rng)));
      }
    }
    bitmap.resize(bitmap.size() + byte(rng) % rowBytes, 0x5A);  // a partial row, ignored
    SCOPED_TRACE("case " + std::to_string(i) + ", row bytes " + std::to_string(rowBytes));
    RoundTrip(bitmap, rowBytes);
    if (HasFatalFailure())
      return;
  }
}

TEST(GrfRoundTrip, GrownTextAndLongRunsComeBack)
{
  Bytes alternating;
  for (int i = 0; i < 1000; ++i)
    alternating.push_back(i % 2 ? 0x34 : 0x12);
  RoundTrip(alternating, 1);
  RoundTrip(Concat({Repeat(0xFF, 2400), Repeat(0x00, 2400), Repeat(0x0F, 2400)}), 2400);
  RoundTrip(Concat({Repeat(0x00, 1), Repeat(0x11, 1700), Repeat(0x00, 2)}), 1703);
}

}  // namespace
