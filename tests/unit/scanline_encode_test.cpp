// scanline_encode_test.cpp: the DPL scan-line run-length code.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "dpl.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

using testsupport::hexBytes;
using testsupport::hexDiff;

namespace {

std::string repeat(std::string_view unit, int times)
{
  std::string s;
  for (int i = 0; i < times; i++)
    s += unit;
  return s;
}

// Encodes `input` from a buffer of exactly its size (so that the sanitizer sees any read past
// it) into one of exactly 2 x its size, with a guard byte behind it that must stay untouched.
// Returns the code bytes up to the result, and the result itself.
struct Encoded {
  std::string code;
  int result;
};

Encoded encodeLine(const std::string& input)
{
  std::vector<unsigned char> in(input.begin(), input.end());
  std::vector<unsigned char> out(2 * input.size() + 1, 0xAB);
  int n = dpl::encode(in.data(), out.data(), static_cast<int>(in.size()));
  EXPECT_EQ(out.back(), 0xAB) << "wrote past 2 x LineWidth";
  std::size_t shown = n > 0 ? static_cast<std::size_t>(n) : 0;
  return {std::string(reinterpret_cast<const char*>(out.data()), shown), n};
}

// Decodes a line and checks that its code is the one the greedy rules give: no code starts
// with FF; plain bytes are at most C0 and only bytes above C0 are escaped; a single byte is
// never followed by the same byte (that would be a run); a run shorter than 62 is never
// followed by its own byte.  With these checks the code of a line is unique, so a line that
// decodes back is exactly the line's code.  Returns nothing when the code breaks a rule.
std::optional<std::string> decodeStrict(std::string_view code, std::string* why)
{
  std::string line;
  std::optional<unsigned char> mustDiffer;  // the next byte of the line may not be this one
  std::size_t i = 0;
  auto fail = [&](const char* text) {
    *why = std::string(text) + " at code byte " + std::to_string(i);
    return std::nullopt;
  };
  while (i < code.size()) {
    unsigned char c = static_cast<unsigned char>(code[i]);
    if (c == 0xFF)
      return fail("code starts with FF");
    if (c <= 0xC0 || c == 0xC1) {
      unsigned char b = c;
      if (c == 0xC1) {
        if (i + 1 >= code.size())
          return fail("escape without its byte");
        b = static_cast<unsigned char>(code[++i]);
        if (b <= 0xC0)
          return fail("escaped byte that needs no escape");
      }
      if (mustDiffer && *mustDiffer == b)
        return fail("equal bytes not folded into a run");
      line.push_back(static_cast<char>(b));
      mustDiffer = b;
    } else {
      if (i + 1 >= code.size())
        return fail("count without its byte");
      unsigned char b = static_cast<unsigned char>(code[++i]);
      if (mustDiffer && *mustDiffer == b)
        return fail("run continues the byte before it");
      line.append(c - 0xC0u, static_cast<char>(b));
      if (c < 0xFE)
        mustDiffer = b;
      else
        mustDiffer.reset();
    }
    i++;
  }
  return line;
}

TEST(ScanLineEncode, CodesOfShortLines)
{
  struct Case {
    const char* input;
    const char* code;
    int result;
  };
  const Case cases[] = {
      {"12 34", "12 34", 2},
      {"C0", "C0", 1},
      {"C1", "C1 C1", 2},
      {"FF", "C1 FF", 2},
      {"12 12 34", "C2 12 34", 3},
      {"00 00 01", "C2 00 01", 3},
      {"C0 C0 C0", "C3 C0", 2},
      {"01 02 02 02 C5 C5 C7 00", "01 C3 02 C2 C5 C1 C7 00", 8},
      {"12 34 34", "12 C2 34", 3},
      {"FE FE", "C2 FE", 2},
      {"00 FF", "00 C1 FF", 3},
      // Long enough for the eight-at-a-time path, with an escape and a run near its edges.
      {"01 02 03 04 05 06 07 08 09 0A C1 0B 0C 0C 0D 0E 0F 10 11 12",
       "01 02 03 04 05 06 07 08 09 0A C1 C1 0B C2 0C 0D 0E 0F 10 11 12", 21},
      {"01 02 03 04 05 06 07 08 08", "01 02 03 04 05 06 07 C2 08", 9},
      {"01 02 03 04 05 06 07 08 F0", "01 02 03 04 05 06 07 08 C1 F0", 10},
  };
  for (const Case& c : cases) {
    Encoded e = encodeLine(hexBytes(c.input));
    std::string expected = hexBytes(c.code);
    EXPECT_EQ(e.result, c.result) << c.input;
    EXPECT_EQ(e.code, expected) << c.input << "\n" << hexDiff(expected, e.code);
  }
}

// Runs stop at 62 (count FE, never FF); what is left over starts a new code.
TEST(ScanLineEncode, RunsSplitAtSixtyTwo)
{
  struct Case {
    int length;
    char byte;
    std::string code;
  };
  const Case cases[] = {
      {62, '\x55', hexBytes("FE 55")},
      {63, '\x55', hexBytes("FE 55 55")},
      {64, '\x55', hexBytes("FE 55 C2 55")},
      {63, '\xFF', hexBytes("FE FF C1 FF")},
      {130, '\xFF', hexBytes("FE FF FE FF C6 FF")},
      {124, '\xC0', hexBytes("FE C0 FE C0")},
      {125, '\xC1', hexBytes("FE C1 FE C1 C1 C1")},
  };
  for (const Case& c : cases) {
    Encoded e = encodeLine(std::string(static_cast<std::size_t>(c.length), c.byte));
    EXPECT_EQ(e.code, c.code) << c.length << " bytes\n" << hexDiff(c.code, e.code);
    EXPECT_EQ(e.result, static_cast<int>(c.code.size()));
  }
}

// An all-white line reports 0 (nothing to send) though its codes are written; one dot
// anywhere makes it count.
TEST(ScanLineEncode, AllZeroLineReportsNothing)
{
  for (int length : {1, 3, 62, 63, 200}) {
    std::string line(static_cast<std::size_t>(length), '\0');
    std::vector<unsigned char> out(2 * line.size(), 0xAB);
    EXPECT_EQ(dpl::encode(reinterpret_cast<const unsigned char*>(line.data()), out.data(), length), 0)
        << length;
    EXPECT_EQ(out[0], length == 1 ? 0x00 : 0xC0 + std::min(length, 62)) << length;

    line.back() = '\x01';
    EXPECT_GT(encodeLine(line).result, 0) << length;
    line.back() = '\0';
    line.front() = '\x80';
    EXPECT_GT(encodeLine(line).result, 0) << length;
  }
}

TEST(ScanLineEncode, WidthBelowOneWritesNothing)
{
  unsigned char in[1] = {0xFF};
  unsigned char out[2] = {0xAB, 0xAB};
  EXPECT_EQ(dpl::encode(in, out, 0), 0);
  EXPECT_EQ(dpl::encode(in, out, -5), 0);
  EXPECT_EQ(out[0], 0xAB);
}

// The worst case takes exactly two bytes per byte: every byte escaped, none repeated.
TEST(ScanLineEncode, WorstCaseFillsTwiceTheWidth)
{
  std::string line = repeat(hexBytes("FF FE"), 300);
  Encoded e = encodeLine(line);
  std::string expected = repeat(hexBytes("C1 FF C1 FE"), 300);
  EXPECT_EQ(e.result, 1200);
  EXPECT_EQ(e.code, expected) << hexDiff(expected, e.code);
}

// Random lines made of runs and stretches of mixed bytes, with the values around the escape
// boundary and run lengths around 62 well represented.
TEST(ScanLineEncode, RandomLinesDecodeBackExactly)
{
  std::mt19937 rng(20260317);
  const unsigned char favourites[] = {0x00, 0x01, 0xBF, 0xC0, 0xC1, 0xC2, 0xFE, 0xFF, 0x55};
  auto byte = [&]() -> unsigned char {
    if (rng() % 2)
      return favourites[rng() % std::size(favourites)];
    return static_cast<unsigned char>(rng());
  };
  for (int round = 0; round < 3000; round++) {
    std::size_t width = 1 + rng() % 700;
    std::string line;
    while (line.size() < width) {
      if (rng() % 3 == 0) {
        std::size_t run = 1 + (rng() % 2 ? rng() % 4 + 60 : rng() % 200);
        line.append(run, static_cast<char>(byte()));
      } else {
        for (std::size_t n = rng() % 24; n > 0; n--)
          line.push_back(static_cast<char>(byte()));
      }
    }
    line.resize(width);

    Encoded e = encodeLine(line);
    bool blank = line.find_first_not_of('\0') == std::string::npos;
    if (blank) {
      EXPECT_EQ(e.result, 0);
      continue;
    }
    ASSERT_GT(e.result, 0);
    ASSERT_LE(e.result, static_cast<int>(2 * width));
    std::string why;
    std::optional<std::string> back = decodeStrict(e.code, &why);
    ASSERT_TRUE(back.has_value()) << "round " << round << ": " << why;
    ASSERT_EQ(*back, line) << "round " << round << "\n" << hexDiff(line, *back);
  }
}

}  // namespace
