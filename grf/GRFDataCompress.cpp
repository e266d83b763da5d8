// GRFDataCompress.cpp: writer and reader of GRF text, ZPL II's compressed ASCII hex graphics.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A row of the bitmap becomes upper-case hex digits, two per byte, high nibble first.  A run
// of equal digits is prefixed by count letters ('G'..'Y' = 1..19, 'g'..'y' = 20..380 in
// twenties, 'z' = 400); ',' ends a row whose rest is 0x00, '!' one whose rest is 0xFF; ':'
// stands for a row equal to the one above it; every other row code ends with CR LF.

#include "DataComDecompress.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using std::uint64_t;

constexpr char kHexDigit[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Every append is preceded by a check that the text block has this much room left.  It holds
// the code of any run of up to 3,220 digits; longer runs only occur in rows of more than
// 1,600 bytes, whose whole text fits the first block anyway.
constexpr uint64_t kAppendMargin = 10;
constexpr uint64_t kLongestMarginRun = 3220;

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

// Number of leading bytes at p..pEnd equal to bValue, compared eight at a time where it can.
inline uint64_t GRFSameBytes(const unsigned char* p, const unsigned char* pEnd, unsigned char bValue)
{
  const unsigned char* q = p;
  if constexpr (std::endian::native == std::endian::little) {
    const uint64_t nPattern = 0x0101010101010101ULL * bValue;
    while (pEnd - q >= 8) {
      uint64_t nWord;
      std::memcpy(&nWord, q, 8);
      if (nWord != nPattern)
        return static_cast<uint64_t>(q - p) + static_cast<uint64_t>(std::countr_zero(nWord ^ nPattern)) / 8;
      q += 8;
    }
  }
  while (q < pEnd && *q == bValue)
    ++q;
  return static_cast<uint64_t>(q - p);
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

// Appends the row code of a row that is not a repeat, without its CR LF.  Runs are scanned
// a byte at a time; a byte whose two digits both continue the pending run is skipped whole,
// and so are the equal bytes after it.  The zero tail (the rest of the row 0x00, at least two
// bytes, never from the row start) is found once per row from the last non-zero byte.
bool GRFCodeRow(GRFText& text, const unsigned char* pbRow, uint64_t nRowBytes)
{
  if (nRowBytes == 1 && (pbRow[0] == 0x00 || pbRow[0] == 0xFF))
    return text.Char(pbRow[0] == 0x00 ? ',' : '!');

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

  const unsigned char* p = pbRow;
  const unsigned char* const pEnd = pbRow + nCoded;
  unsigned nDigit = p[0] >> 4;
  uint64_t nLength = 1;
  if ((p[0] & 0x0F) == nDigit) {
    nLength = 2;
  } else {
    if (!text.Run(nDigit, 1))
      return false;
    nDigit = p[0] & 0x0F;
  }
  ++p;

  while (p < pEnd) {
    const unsigned char b = *p;
    if (b == nDigit * 0x11u) {
      if (p + 1 == pEnd || p[1] != b) {  // short runs are the common case
        nLength += 2;
        ++p;
        continue;
      }
      const uint64_t nSame = GRFSameBytes(p + 2, pEnd, b) + 2;
      nLength += 2 * nSame;
      p += nSame;
      continue;
    }
    const unsigned nHigh = b >> 4;
    const unsigned nLow = b & 0x0F;
    if (nHigh == nDigit) {
      ++nLength;
    } else {
      if (!text.Run(nDigit, nLength))
        return false;
      nDigit = nHigh;
      nLength = 1;
    }
    if (nLow == nDigit) {
      ++nLength;
    } else {
      if (!text.Run(nDigit, nLength))
        return false;
      nDigit = nLow;
      nLength = 1;
    }
    ++p;
  }

  // A pending run of '0' digits before the zero tail is covered by the ','.
  if (!(bZeroTail && nDigit == 0) && !text.Run(nDigit, nLength))
    return false;
  return !bZeroTail || text.Char(',');
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
    const bool bOk = r > 0 && std::memcmp(pbRow, pbRow - nRowBytes, nRowBytes) == 0
                         ? text.Char(':')
                         : GRFCodeRow(text, pbRow, nRowBytes) && text.LineEnd();
    if (!bOk) {
      std::free(text.pbBlock);
      return 3;
    }
  }

  *ppbDestData = text.pbBlock;
  *pnDestDataLen = static_cast<uint64_t>(text.pbOut - text.pbBlock);
  return 0;
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
