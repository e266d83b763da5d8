// GRFDataCompress.cpp: writer and reader of GRF text, ZPL II's compressed ASCII hex graphics.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A row of the bitmap becomes upper-case hex digits, two per byte, high nibble first.  A run
// of equal digits is prefixed by count letters ('G'..'Y' = 1..19, 'g'..'y' = 20..380 in
// twenties, 'z' = 400); ',' ends a row whose rest is 0x00, '!' one whose rest is 0xFF; ':'
// stands for a row equal to the one above it; every other row code ends with CR LF.

#include "DataComDecompress.h"
#include "GRFLoad8.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using std::uint64_t;

constexpr char kHexDigit[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Every checked append is preceded by a check that the text block has this much room left.
// It holds the code of any run of up to 3,220 digits; longer runs only occur in rows of more
// than 1,600 bytes, whose whole text fits the first block anyway.
constexpr uint64_t kAppendMargin = 10;
constexpr uint64_t kLongestMarginRun = 3220;

// A row's code is at most two text bytes per bitmap byte (no run code is longer than its run)
// plus ',' and CR LF.  A row coded without checks needs that much room, the append margin on
// top (so that checking before each append would not have grown the block within the row
// either), and the bytes that the wide stores of run codes and digit text may write past the
// end of the code (at most sixteen).
constexpr uint64_t kRowExtra = 3;
constexpr uint64_t kStoreSlack = 16;

// Writes the count letters for nCount at pbOut (nothing for 0) and returns the end.
inline char* GRFPutCount(char* pbOut, uint64_t nCount)
{
  if (nCount >= 400) {
    const uint64_t nZ = nCount / 400;
    std::memset(pbOut, 'z', nZ);
    pbOut += nZ;
    nCount -= nZ * 400;
  }
  if (nCount >= 20) {
    *pbOut++ = static_cast<char>(0x66 + nCount / 20);
    nCount %= 20;
  }
  if (nCount != 0)
    *pbOut++ = static_cast<char>(0x46 + nCount);
  return pbOut;
}

// Writes the code of a run of nLength (>= 1) digits of value nDigit; a single digit needs no
// count letter.
inline char* GRFPutRun(char* pbOut, unsigned nDigit, uint64_t nLength)
{
  if (nLength < 20) {
    if (nLength >= 2)
      *pbOut++ = static_cast<char>(0x46 + nLength);
  } else {
    pbOut = GRFPutCount(pbOut, nLength);
  }
  *pbOut++ = kHexDigit[nDigit];
  return pbOut;
}

// The count letters of every run shorter than 400 digits, so that writing a run code takes
// no decisions: four bytes per length, up to two letters and then how many there are.
struct GRFRunCodes {
  char cCode[400 * 4] = {};
  constexpr GRFRunCodes()
  {
    for (unsigned n = 2; n < 400; ++n) {
      char* pc = cCode + 4 * n;
      unsigned k = 0;
      if (n >= 20)
        pc[k++] = static_cast<char>(0x66 + n / 20);
      if (n % 20 != 0)
        pc[k++] = static_cast<char>(0x46 + n % 20);
      pc[3] = static_cast<char>(k);
    }
  }
};
constexpr GRFRunCodes kRunCodes;

// GRFPutRun for a block with room to spare, given 4 × (nLength − 1) rather than the length
// (the distance in bits between the first and the last digit of the run, see GRFCodeRow).
// May write up to three bytes past the code.
inline char* GRFPutRunUnchecked(char* pbOut, char cDigit, uint64_t nBits)
{
  if (nBits >= 4 * 399) [[unlikely]] {
    pbOut = GRFPutCount(pbOut, nBits / 4 + 1);
    *pbOut++ = cDigit;
    return pbOut;
  }
  const char* pbCode = kRunCodes.cCode + 4 + nBits;  // the code of length nBits / 4 + 1
  std::memcpy(pbOut, pbCode, 4);
  const unsigned nLetters = static_cast<unsigned char>(pbCode[3]);
  pbOut[nLetters] = cDigit;
  return pbOut + nLetters + 1;
}

constexpr uint64_t kNibbleBits = 0x1111111111111111ULL;  // lowest bit of every nibble
constexpr uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;

// Eight bytes of the bitmap as their sixteen hex digits, digit i (high nibble first, as the
// text has them) in bits 4i to 4i + 3.
inline uint64_t GRFDigitWord(uint64_t nLittleEndian)
{
  return ((nLittleEndian >> 4) & kLowNibbles) | ((nLittleEndian & kLowNibbles) << 4);
}

// The lowest bit of every nibble of nWord that is not zero.
inline uint64_t GRFNonZeroNibbles(uint64_t nWord)
{
  nWord |= nWord >> 1;
  nWord |= nWord >> 2;
  return nWord & kNibbleBits;
}

// Stretches of runs of one digit are copied from the text of the word's digits, which is
// built a word at a time in the machine's byte order; elsewhere they are coded one by one.
constexpr bool kDigitText = std::endian::native == std::endian::little;

// Writes the text of the sixteen digits of a word (GRFDigitWord), digit i to pbText[i].
inline void GRFDigitText(uint64_t nDigits, unsigned char* pbText)
{
  auto text = [](uint64_t n) {
    n = (n | (n << 16)) & 0x0000FFFF0000FFFFULL;  // eight digits, one to a byte
    n = (n | (n << 8)) & 0x00FF00FF00FF00FFULL;
    n = (n | (n << 4)) & kLowNibbles;
    const uint64_t nLetter = ((n + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
    return n + 0x3030303030303030ULL + 7 * nLetter;  // '0' + digit, 7 more for 'A' to 'F'
  };
  const uint64_t nLow = text(nDigits & 0xFFFFFFFFULL);
  const uint64_t nHigh = text(nDigits >> 32);
  std::memcpy(pbText, &nLow, 8);
  std::memcpy(pbText + 8, &nHigh, 8);
}

// Number of bytes before the last non-zero byte of the row, plus one: 0 for a blank row.
inline uint64_t GRFUsedLength(const unsigned char* pbRow, uint64_t nRowBytes)
{
  uint64_t n = nRowBytes;
  if constexpr (std::endian::native == std::endian::little) {
    while (n >= 8) {
      uint64_t nWord;
      std::memcpy(&nWord, pbRow + n - 8, 8);
      if (nWord != 0)
        return n - static_cast<uint64_t>(std::countl_zero(nWord)) / 8;
      n -= 8;
    }
  }
  while (n > 0 && pbRow[n - 1] == 0)
    --n;
  return n;
}

// The text being built: a malloc block, its capacity and the write position.  The block is
// sized once for the whole bitmap and grown, rarely, by whole steps of total + 100 bytes.
struct GRFText {
  char* pbBlock = nullptr;
  uint64_t nCapacity = 0;
  uint64_t nStep = 0;
  char* pbOut = nullptr;    // next byte to write
  char* pbLimit = nullptr;  // writing past here needs a larger block first

  uint64_t Room() const { return nCapacity - static_cast<uint64_t>(pbOut - pbBlock); }

  // Makes room for an append of up to nNeed bytes (at least the usual margin).  False when
  // memory is exhausted; the old block is still owned then.
  bool Reserve(uint64_t nNeed = kAppendMargin)
  {
    const uint64_t nUsed = static_cast<uint64_t>(pbOut - pbBlock);
    if (pbOut <= pbLimit && (nNeed <= kAppendMargin || nCapacity - nUsed >= nNeed))
      return true;
    uint64_t nCapacityNew = nCapacity;
    do {
      if (nCapacityNew > std::numeric_limits<uint64_t>::max() - nStep)
        return false;
      nCapacityNew += nStep;
    } while (nCapacityNew - nUsed < (nNeed < kAppendMargin ? kAppendMargin : nNeed));
    char* pbNew = static_cast<char*>(std::malloc(nCapacityNew));
    if (pbNew == nullptr)
      return false;
    std::memcpy(pbNew, pbBlock, nUsed);
    std::free(pbBlock);
    pbBlock = pbNew;
    nCapacity = nCapacityNew;
    pbOut = pbNew + nUsed;
    pbLimit = pbNew + nCapacityNew - kAppendMargin;
    return true;
  }

  bool Run(unsigned nDigit, uint64_t nLength)
  {
    if (nLength > kLongestMarginRun ? !Reserve(nLength / 400 + 3) : !Reserve())
      return false;
    pbOut = GRFPutRun(pbOut, nDigit, nLength);
    return true;
  }

  bool Char(char c)
  {
    if (!Reserve())
      return false;
    *pbOut++ = c;
    return true;
  }

  bool LineEnd()
  {
    if (!Reserve())
      return false;
    pbOut[0] = '\r';
    pbOut[1] = '\n';
    pbOut += 2;
    return true;
  }
};

// Appends the row code of a row that is not a repeat, with its CR LF.  bChecked: check the
// room before every append, growing the block as needed; otherwise the caller has made sure
// that the whole row code fits (kRowExtra, kAppendMargin and kStoreSlack beyond two bytes per
// bitmap byte).
//
// The digits are scanned sixteen at a time: each is compared with the one after it, which
// gives a bit for every place where a run ends, and only those places are visited; a run
// code is then a table lookup, with no decisions on its length.  Stretches of runs of one
// digit, as anti-aliased and halftoned areas have, are copied as text.  A pending run carries
// its length from one word to the next.  The zero tail (the rest of the row 0x00,
// at least two bytes, never from the row start) is found once per row from the last non-zero
// byte.
template <bool bChecked>
bool GRFCodeRow(GRFText& text, const unsigned char* pbRow, uint64_t nRowBytes)
{
  if (nRowBytes == 1 && (pbRow[0] == 0x00 || pbRow[0] == 0xFF))
    return text.Char(pbRow[0] == 0x00 ? ',' : '!') && text.LineEnd();

  uint64_t nCoded = nRowBytes;  // bytes coded as digits
  bool bZeroTail = false;
  if (nRowBytes >= 3) {
    uint64_t nTail = GRFUsedLength(pbRow, nRowBytes);
    if (nTail == 0)
      nTail = 1;
    if (nTail + 2 <= nRowBytes) {
      nCoded = nTail;
      bZeroTail = true;
    }
  }

  // Runs are tracked by bit positions within the current word of digits (digit i at bit 4i):
  // nFirst is where the pending run's first digit lies, below zero (modulo 2^64) when it
  // began in an earlier word, so a run that ends at bit nAt spans nAt − nFirst bits.
  char* pbOut = text.pbOut;
  uint64_t nFirst = 0;
  auto putRun = [&](unsigned nDigit, uint64_t nBits) {
    if constexpr (bChecked) {
      text.pbOut = pbOut;
      if (!text.Run(nDigit, nBits / 4 + 1))
        return false;
      pbOut = text.pbOut;
    } else {
      pbOut = GRFPutRunUnchecked(pbOut, kHexDigit[nDigit], nBits);
    }
    return true;
  };

  // Codes the runs that end within a word of nDigitCount digits; nEnds has the lowest bit of
  // digit i's nibble set where digit i differs from the one after it.
  auto codeWord = [&](uint64_t nDigits, uint64_t nEnds, unsigned nDigitCount) {
    // Runs of one digit: an end whose digit also begins a run.  Words without two of them
    // side by side are coded run by run.
    const uint64_t nSingle = nEnds & ((nEnds << 4) | (nFirst == 0 ? 1 : 0));
    if (bChecked || !kDigitText || (nSingle & (nSingle << 4)) == 0) {
      while (nEnds != 0) {
        const unsigned nAt = static_cast<unsigned>(std::countr_zero(nEnds));
        if (!putRun(static_cast<unsigned>(nDigits >> nAt) & 0x0F, nAt - nFirst))
          return false;
        nFirst = nAt + 4;
        nEnds &= nEnds - 1;
      }
    } else {
      // Each longer run is preceded by a stretch, maybe empty, of runs of one digit, which
      // is the digits' text as it is: sixteen bytes are copied and the stretch kept.
      unsigned char bText[32] = {};
      GRFDigitText(nDigits, bText);
      uint64_t nLonger = nEnds & ~nSingle;
      uint64_t nStretch = nFirst;  // where the stretch before the next longer run begins
      while (nLonger != 0) {
        const unsigned nAt = static_cast<unsigned>(std::countr_zero(nLonger));
        const uint64_t nBelow = nEnds & ((uint64_t{1} << nAt) - 1);
        // The run begins after the last end below it; with none, it is the pending run (the
        // stretch is empty then, and nStretch may lie in an earlier word).
        const uint64_t nRunFirst = nBelow != 0 ? std::bit_width(nBelow) + 3 : nFirst;
        std::memcpy(pbOut, bText + (nStretch & 63) / 4, 16);
        pbOut += (nRunFirst - nStretch) / 4;
        pbOut = GRFPutRunUnchecked(pbOut, bText[nAt / 4], nAt - nRunFirst);
        nFirst = nStretch = nAt + 4;
        nLonger &= nLonger - 1;
      }
      // Runs of one digit up to the last end of the word.
      const uint64_t nLastEnd = std::bit_width(nEnds) + 3;
      std::memcpy(pbOut, bText + (nStretch & 63) / 4, 16);
      pbOut += (nLastEnd - nStretch) / 4;
      nFirst = nLastEnd;
    }
    nFirst -= 4 * nDigitCount;
    return true;
  };

  // Whole words while the digit after them lies within the coded bytes.
  const unsigned char* p = pbRow;
  const unsigned char* const pEnd = pbRow + nCoded;
  while (pEnd - p > 8) {
    const uint64_t nDigits = GRFDigitWord(GRFLoad8(p));
    const uint64_t nNext = static_cast<uint64_t>(p[8] >> 4) << 60;
    if (!codeWord(nDigits, GRFNonZeroNibbles(nDigits ^ ((nDigits >> 4) | nNext)), 16))
      return false;
    p += 8;
  }

  // The last one to eight bytes; the run pending at their end is coded after them.
  const unsigned nLast = static_cast<unsigned>(pEnd - p);
  uint64_t nWord = 0;
  if (nCoded >= 8) {
    nWord = GRFLoad8(pEnd - 8) >> (8 * (8 - nLast));  // nLast == 8 shifts by 0
  } else {
    unsigned char bLast[8] = {};
    std::memcpy(bLast, p, nLast);
    nWord = GRFLoad8(bLast);
  }
  const uint64_t nDigits = GRFDigitWord(nWord);
  const unsigned nBits = 8 * nLast;
  const uint64_t nInside = (uint64_t{1} << (nBits - 4)) - 1;  // all but the last digit
  if (!codeWord(nDigits, GRFNonZeroNibbles(nDigits ^ (nDigits >> 4)) & nInside, 2 * nLast))
    return false;
  const unsigned nDigit = static_cast<unsigned>(nDigits >> (nBits - 4)) & 0x0F;

  // A pending run of '0' digits before the zero tail is covered by the ','.
  if (!(bZeroTail && nDigit == 0) && !putRun(nDigit, uint64_t{0} - nFirst - 4))
    return false;
  if constexpr (bChecked) {
    text.pbOut = pbOut;
    return (!bZeroTail || text.Char(',')) && text.LineEnd();
  } else {
    if (bZeroTail)
      *pbOut++ = ',';
    pbOut[0] = '\r';
    pbOut[1] = '\n';
    text.pbOut = pbOut + 2;
    return true;
  }
}

// Reader state; position and produced advance together.
struct GRFReadState {
  uint64_t nPosition;
  uint64_t nProduced;
  uint64_t nRepeat;
  uint64_t nNibbleState;
  unsigned char bPending;
};

enum : int {
  kReadOk = 0,
  kReadFull = 6,        // the block is too small, or ':' with no whole row before it
  kReadLineEnd = -1,    // CR or LF
  kReadForeign = -2,    // not a character of the text
};

// Value of each character as a hex digit, 0xFF for characters that are not digits.
struct GRFDigitTable {
  unsigned char nValue[256];
  constexpr GRFDigitTable() : nValue()
  {
    for (unsigned char& v : nValue)
      v = 0xFF;
    for (unsigned i = 0; i < 10; ++i)
      nValue['0' + i] = static_cast<unsigned char>(i);
    for (unsigned i = 0; i < 6; ++i)
      nValue['A' + i] = static_cast<unsigned char>(10 + i);
  }
};
constexpr GRFDigitTable kDigitValue;

// Bytes that may still be stored, never more than what lies between the write position and
// the end of the block.
inline uint64_t GRFRoom(const GRFReadState& s, uint64_t nCapacity)
{
  const uint64_t nHigh = s.nPosition > s.nProduced ? s.nPosition : s.nProduced;
  return nCapacity > nHigh ? nCapacity - nHigh : 0;
}

// Applies a digit nTimes times: each pair of applications makes one byte.
inline int GRFApplyDigit(GRFReadState& s, unsigned nValue, uint64_t nTimes, unsigned char* pbDest,
                         uint64_t nCapacity)
{
  uint64_t nRoom = GRFRoom(s, nCapacity);
  if (s.nNibbleState == 4) {
    if (nRoom == 0)
      return kReadFull;
    pbDest[s.nPosition++] = static_cast<unsigned char>(s.bPending | nValue);
    ++s.nProduced;
    --nRoom;
    s.bPending = 0;
    s.nNibbleState = 0;
    --nTimes;
  }
  const uint64_t nBytes = nTimes / 2;
  if (nBytes != 0) {
    const uint64_t nStore = nBytes < nRoom ? nBytes : nRoom;
    if (nStore == 1)
      pbDest[s.nPosition] = static_cast<unsigned char>(nValue * 0x11);
    else
      memsetEx(pbDest + s.nPosition, static_cast<unsigned char>(nValue * 0x11), nStore);
    s.nPosition += nStore;
    s.nProduced += nStore;
    if (nStore < nBytes) {
      // The next byte has its high nibble but no room.
      s.bPending = static_cast<unsigned char>(nValue << 4);
      s.nNibbleState = 4;
      return kReadFull;
    }
  }
  if (nTimes & 1) {
    s.bPending = static_cast<unsigned char>(nValue << 4);
    s.nNibbleState = 4;
  }
  s.nRepeat = 1;
  return kReadOk;
}

// ',' fills the rest of the row with 0x00, '!' with 0xFF.  A pending high nibble is completed
// first; when that byte ends the row, there is nothing left to fill.
inline int GRFFillRow(GRFReadState& s, unsigned char bFill, uint64_t nRowBytes,
                      unsigned char* pbDest, uint64_t nCapacity)
{
  if (s.nNibbleState == 4) {
    if (GRFRoom(s, nCapacity) == 0)
      return kReadFull;
    pbDest[s.nPosition++] = static_cast<unsigned char>(s.bPending | (bFill & 0x0F));
    ++s.nProduced;
    s.bPending = 0;
    s.nNibbleState = 0;
    if (s.nPosition % nRowBytes == 0)
      return kReadOk;
  }
  const uint64_t nFill = nRowBytes - s.nPosition % nRowBytes;
  if (nFill > GRFRoom(s, nCapacity))
    return kReadFull;
  memsetEx(pbDest + s.nPosition, bFill, nFill);
  s.nPosition += nFill;
  s.nProduced += nFill;
  s.bPending = 0;
  s.nNibbleState = 0;
  return kReadOk;
}

// Reads one character of the text.  Returns kReadOk, kReadFull, kReadLineEnd or kReadForeign;
// for the last two nothing has changed.
inline int GRFReadChar(GRFReadState& s, unsigned char c, uint64_t nRowBytes, unsigned char* pbDest,
                       uint64_t nCapacity)
{
  const unsigned nValue = kDigitValue.nValue[c];
  if (nValue != 0xFF) {
    // A digit counts once, or one less than the repeat after count letters.
    const uint64_t nTimes = s.nRepeat >= 2 ? s.nRepeat - 1 : 1;
    if (nTimes == 1 && s.nNibbleState == 0) {
      s.bPending = static_cast<unsigned char>(nValue << 4);
      s.nNibbleState = 4;
      s.nRepeat = 1;
      return kReadOk;
    }
    return GRFApplyDigit(s, nValue, nTimes, pbDest, nCapacity);
  }
  uint64_t nAdd;
  if (c >= 'G' && c <= 'Y') {
    nAdd = c - 0x46u;
  } else if (c >= 'g' && c <= 'z') {
    nAdd = 20u * (c - 0x66u);
  } else {
    switch (c) {
      case ',':
        return GRFFillRow(s, 0x00, nRowBytes, pbDest, nCapacity);
      case '!':
        return GRFFillRow(s, 0xFF, nRowBytes, pbDest, nCapacity);
      case ':':
        if (s.nPosition < nRowBytes || nRowBytes > GRFRoom(s, nCapacity))
          return kReadFull;
        memcpyEx(pbDest + s.nPosition, pbDest + s.nPosition - nRowBytes, nRowBytes);
        s.nPosition += nRowBytes;
        s.nProduced += nRowBytes;
        s.bPending = 0;
        s.nNibbleState = 0;
        return kReadOk;
      case '\r':
      case '\n':
        return kReadLineEnd;
      default:
        return kReadForeign;
    }
  }
  // Count letters add up until the next digit; the sum cannot wrap around.
  s.nRepeat = s.nRepeat > std::numeric_limits<uint64_t>::max() - nAdd
                  ? std::numeric_limits<uint64_t>::max()
                  : s.nRepeat + nAdd;
  return kReadOk;
}

}  // namespace

// GRFDataCompress: codes a bitmap as GRF text in a new block (see the header).
int GRFDataCompress(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                    std::uint64_t nRowBytes, char** ppbDestData, std::uint64_t* pnDestDataLen)
{
  if (pbSrcData == nullptr || ppbDestData == nullptr || pnDestDataLen == nullptr ||
      nSrcDataLen == 0 || nRowBytes == 0)
    return 1;

  // 2.5 text bytes per bitmap byte covers all but the least compressible bitmaps.
  const double dCapacity = static_cast<double>(nSrcDataLen) * 2.5 + 100;
  if (!(dCapacity < 18446744073709551616.0))  // beyond any block malloc could give
    return 3;
  GRFText text;
  text.nCapacity = static_cast<uint64_t>(dCapacity);
  text.nStep = nSrcDataLen + 100;
  text.pbBlock = static_cast<char*>(std::malloc(text.nCapacity));
  if (text.pbBlock == nullptr)
    return 3;
  text.pbOut = text.pbBlock;
  text.pbLimit = text.pbBlock + text.nCapacity - kAppendMargin;

  const uint64_t nRows = nSrcDataLen / nRowBytes;
  const unsigned char* pbRow = pbSrcData;
  for (uint64_t r = 0; r < nRows; ++r, pbRow += nRowBytes) {
    // A row equal to the one above costs one byte.
    bool bOk;
    if (r > 0 && std::memcmp(pbRow, pbRow - nRowBytes, nRowBytes) == 0)
      bOk = text.Char(':');
    else if (text.Room() >= 2 * nRowBytes + kRowExtra + kAppendMargin + kStoreSlack)
      bOk = GRFCodeRow<false>(text, pbRow, nRowBytes);
    else
      bOk = GRFCodeRow<true>(text, pbRow, nRowBytes);
    if (!bOk) {
      std::free(text.pbBlock);
      return 3;
    }
  }

  *ppbDestData = text.pbBlock;
  *pnDestDataLen = static_cast<uint64_t>(text.pbOut - text.pbBlock);
  return 0;
}

// GRFDataCompressStream: codes a bitmap as GRF text handed out in pieces (see the header).
int GRFDataCompressStream(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                          std::uint64_t nRowBytes, GRFPutText pfnPut, void* pContext)
{
  if (pbSrcData == nullptr || pfnPut == nullptr || nSrcDataLen == 0 || nRowBytes == 0)
    return 1;

  // The block holds the code of any one row coded without checks; rows are added while one
  // more fits, then the block is handed out and refilled.
  const uint64_t nRowRoom = kRowExtra + kAppendMargin + kStoreSlack;
  if (nRowBytes > (std::numeric_limits<uint64_t>::max() - nRowRoom) / 2 - (64 << 10))
    return 3;
  const uint64_t nNeed = 2 * nRowBytes + nRowRoom;
  GRFText text;
  text.nCapacity = nNeed + (64 << 10);
  text.nStep = nNeed;
  text.pbBlock = static_cast<char*>(std::malloc(text.nCapacity));
  if (text.pbBlock == nullptr)
    return 3;
  text.pbOut = text.pbBlock;
  text.pbLimit = text.pbBlock + text.nCapacity - kAppendMargin;

  auto handOut = [&]() {
    const uint64_t nUsed = static_cast<uint64_t>(text.pbOut - text.pbBlock);
    text.pbOut = text.pbBlock;
    return nUsed == 0 || pfnPut(pContext, text.pbBlock, nUsed) == 0;
  };

  const uint64_t nRows = nSrcDataLen / nRowBytes;
  const unsigned char* pbRow = pbSrcData;
  int nStatus = 0;
  for (uint64_t r = 0; r < nRows && nStatus == 0; ++r, pbRow += nRowBytes) {
    if (text.Room() < nNeed && !handOut()) {
      nStatus = 4;
      break;
    }
    bool bOk;
    if (r > 0 && std::memcmp(pbRow, pbRow - nRowBytes, nRowBytes) == 0)
      bOk = text.Char(':');
    else
      bOk = GRFCodeRow<false>(text, pbRow, nRowBytes);
    if (!bOk)
      nStatus = 3;
  }
  if (nStatus == 0 && !handOut())
    nStatus = 4;
  std::free(text.pbBlock);
  return nStatus;
}

// GRFWriteData: appends the count letters for nCount, then cDigit.
int GRFWriteData(char cDigit, std::uint64_t nCount, char* pbDest, std::uint64_t* pnDestLen)
{
  if (pbDest == nullptr || pnDestLen == nullptr)
    return 1;
  char* pbStart = pbDest + *pnDestLen;
  char* pbEnd = GRFPutCount(pbStart, nCount);
  *pbEnd++ = cDigit;
  *pnDestLen += static_cast<std::uint64_t>(pbEnd - pbStart);
  return 0;
}

// FreeReallocMemory: releases a block and forgets it.
void FreeReallocMemory(char** ppbBlock)
{
  if (ppbBlock == nullptr || *ppbBlock == nullptr)
    return;
  std::free(*ppbBlock);
  *ppbBlock = nullptr;
}

// DataReallocMemory: moves a block into a larger one, keeping its contents.  A block already
// larger than needed is returned as it is.
char* DataReallocMemory(char** ppbBlock, std::int64_t* pnBlockSize, std::int64_t nNeeded,
                        std::int64_t nStep)
{
  if (ppbBlock == nullptr || pnBlockSize == nullptr || *ppbBlock == nullptr ||
      *pnBlockSize <= 0 || nNeeded <= 0 || nStep <= 0)
    return nullptr;
  const std::int64_t nSize = *pnBlockSize;
  if (nSize > nNeeded)
    return *ppbBlock;

  // Grow by one step past the larger of the old size and the size needed.
  const std::int64_t nBase = nStep >= nNeeded - nSize ? nSize : nNeeded;
  if (nBase > std::numeric_limits<std::int64_t>::max() - nStep)
    return nullptr;
  const std::int64_t nNewSize = nBase + nStep;
  char* pbNew = static_cast<char*>(std::malloc(static_cast<std::size_t>(nNewSize)));
  if (pbNew == nullptr)
    return nullptr;
  std::memcpy(pbNew, *ppbBlock, static_cast<std::size_t>(nSize));
  std::free(*ppbBlock);
  *ppbBlock = nullptr;
  *pnBlockSize = nNewSize;
  return pbNew;
}

// GRFDataDecompress: reads a whole text into pbDest.
int GRFDataDecompress(const char* pbSrcData, std::uint64_t nSrcDataLen, std::uint64_t nRowBytes,
                      unsigned char* pbDest, std::uint64_t* pnDestLen)
{
  if (pbSrcData == nullptr || pbDest == nullptr || pnDestLen == nullptr || nSrcDataLen == 0 ||
      nRowBytes == 0)
    return 1;

  const uint64_t nCapacity = *pnDestLen;
  GRFReadState s{0, 0, 1, 0, 0};
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pbSrcData);
  const unsigned char* const pEnd = p + nSrcDataLen;
  for (; p < pEnd; ++p) {
    const int nStatus = GRFReadChar(s, *p, nRowBytes, pbDest, nCapacity);
    if (nStatus == kReadOk || nStatus == kReadLineEnd)
      continue;
    if (nStatus == kReadFull)
      return 6;
    *pnDestLen = s.nProduced;
    return 1;
  }
  *pnDestLen = s.nProduced;
  return 0;
}

// GRFDataDecompressSingleCharProcess: reads one character with the caller's state.
int GRFDataDecompressSingleCharProcess(char cChar, std::uint64_t nRowBytes,
                                       std::uint64_t* pnPosition, unsigned char* pbPending,
                                       std::uint64_t* pnRepeat, std::uint64_t* pnProduced,
                                       std::uint64_t* pnNibbleState, unsigned char* pbDest,
                                       std::uint64_t nCapacity)
{
  // Reading cannot go on without its state, a row size or a block to store into.
  if (pnPosition == nullptr || pbPending == nullptr || pnRepeat == nullptr ||
      pnProduced == nullptr || pnNibbleState == nullptr || nRowBytes == 0 ||
      (pbDest == nullptr && nCapacity != 0))
    return 6;

  GRFReadState s{*pnPosition, *pnProduced, *pnRepeat, *pnNibbleState, *pbPending};
  const int nStatus =
      GRFReadChar(s, static_cast<unsigned char>(cChar), nRowBytes, pbDest, nCapacity);
  if (nStatus == kReadLineEnd || nStatus == kReadForeign)
    return 5;
  *pnPosition = s.nPosition;
  *pnProduced = s.nProduced;
  *pnRepeat = s.nRepeat;
  *pnNibbleState = s.nNibbleState;
  *pbPending = s.bPending;
  if (nStatus == kReadFull)
    return 6;
  return s.nProduced == nCapacity ? 0 : 5;
}

// memcpyEx: copies nLen bytes, first byte first (so an overlapping copy forward repeats).
int memcpyEx(unsigned char* pbDest, const unsigned char* pbSrc, std::uint64_t nLen)
{
  for (std::uint64_t i = 0; i < nLen; ++i)
    pbDest[i] = pbSrc[i];
  return 0;
}

// memsetEx: sets nLen bytes to bValue.
int memsetEx(unsigned char* pbDest, unsigned char bValue, std::uint64_t nLen)
{
  if (nLen != 0)
    std::memset(pbDest, bValue, nLen);
  return 0;
}
