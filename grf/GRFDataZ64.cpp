// GRFDataZ64.cpp: writer and reader of Z64 and B64 graphic data (see GRFDataZ64.h).
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "GRFDataZ64.h"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace {

using std::uint64_t;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigit[] = "0123456789ABCDEF";
constexpr uint64_t kPrefixLength = 5;  // ":Z64:"
constexpr uint64_t kCrcLength = 4;

// The value of each Base64 character, 64 for '=' and 255 for anything else.
struct GRFBase64Values {
  unsigned char bValue[256] = {};
  constexpr GRFBase64Values()
  {
    for (unsigned c = 0; c < 256; ++c)
      bValue[c] = 255;
    for (unsigned i = 0; i < 64; ++i)
      bValue[static_cast<unsigned char>(kBase64[i])] = static_cast<unsigned char>(i);
    bValue[static_cast<unsigned char>('=')] = 64;
  }
};
constexpr GRFBase64Values kBase64Values;
constexpr unsigned char kPad = 64;
constexpr unsigned char kNotBase64 = 255;

// The CRC of every byte value, a byte at a time, most significant bit first.
struct GRFCrcTable {
  std::uint16_t nCrc[256] = {};
  constexpr GRFCrcTable()
  {
    for (unsigned b = 0; b < 256; ++b) {
      unsigned nCrcValue = b << 8;
      for (int k = 0; k < 8; ++k)
        nCrcValue = (nCrcValue & 0x8000) ? (nCrcValue << 1) ^ 0x1021 : nCrcValue << 1;
      nCrc[b] = static_cast<std::uint16_t>(nCrcValue);
    }
  }
};
constexpr GRFCrcTable kCrcTable;

int GRFHexValue(unsigned char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

bool GRFLineEnd(unsigned char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

struct FreeBlock {
  void operator()(unsigned char* p) const noexcept { std::free(p); }
};
using Block = std::unique_ptr<unsigned char, FreeBlock>;

// Decodes checked Base64 text (a multiple of four characters, padding only at its end) into
// pbDest; returns the number of bytes written.
uint64_t GRFBase64Decode(const unsigned char* pbText, uint64_t nLen, unsigned char* pbDest)
{
  unsigned char* pbOut = pbDest;
  for (uint64_t i = 0; i < nLen; i += 4) {
    const unsigned a = kBase64Values.bValue[pbText[i]];
    const unsigned b = kBase64Values.bValue[pbText[i + 1]];
    const unsigned c = kBase64Values.bValue[pbText[i + 2]];
    const unsigned d = kBase64Values.bValue[pbText[i + 3]];
    *pbOut++ = static_cast<unsigned char>(a << 2 | b >> 4);
    if (c == kPad)
      break;
    *pbOut++ = static_cast<unsigned char>(b << 4 | c >> 2);
    if (d == kPad)
      break;
    *pbOut++ = static_cast<unsigned char>(c << 6 | d);
  }
  return static_cast<uint64_t>(pbOut - pbDest);
}

// Checks that [nFrom, nTo) of the data, all of it in the alphabet or '=', is strict Base64: a
// multiple of four characters, '=' only as the last one or two, and the bits that padding
// leaves unused zero (so that every bitmap has one text and the CRC covers it exactly).
int GRFCheckBase64(const unsigned char* p, uint64_t nFrom, uint64_t nTo, GRFZ64Fault& f)
{
  for (uint64_t i = nFrom; i < nTo; ++i) {
    // '=' may be the last character, or the last two.
    if (kBase64Values.bValue[p[i]] == kPad && !(i + 1 == nTo || (i + 2 == nTo && p[i + 1] == '='))) {
      f.nPosition = i;
      f.nFound = p[i];
      return kGRFZ64BadPadding;
    }
  }
  const uint64_t nLen = nTo - nFrom;
  if (nLen % 4 != 0) {
    f.nPosition = nTo;
    f.nFound = nLen;
    return kGRFZ64BadPadding;
  }
  if (nLen != 0 && p[nTo - 1] == '=') {
    const bool bTwo = p[nTo - 2] == '=';
    const uint64_t nLast = bTwo ? nTo - 3 : nTo - 2;  // the character holding unused bits
    const unsigned char nUnused = bTwo ? 0x0F : 0x03;
    if (kBase64Values.bValue[p[nLast]] & nUnused) {
      f.nPosition = nLast;
      f.nFound = p[nLast];
      return kGRFZ64BadPadding;
    }
  }
  return 0;
}

// The offset in the data of the Base64 character that carries decoded byte nByte.
uint64_t GRFTextOffset(uint64_t nByte) { return kPrefixLength + nByte / 3 * 4 + nByte % 3; }

// Inflates a zlib stream of nLen bytes into exactly nDestLen bytes at pbDest.
// Faults are placed at the Base64 character that carries the stream byte at fault, at most
// at nTextEnd (the ':' before the CRC); a bitmap too small is the data's fault as a whole.
int GRFInflate(const unsigned char* pbSrc, uint64_t nLen, unsigned char* pbDest, uint64_t nDestLen,
               uint64_t nTextEnd, GRFZ64Fault& f)
{
  z_stream z{};
  if (inflateInit(&z) != Z_OK)
    return 3;
  struct End {
    z_stream& z;
    ~End() { inflateEnd(&z); }
  } end{z};

  // zlib counts its buffers in 32 bits, so longer ones are handed over in pieces.
  constexpr uint64_t kChunk = std::numeric_limits<uInt>::max();
  const unsigned char* pbIn = pbSrc;
  uint64_t nInLeft = nLen;
  unsigned char* pbOut = pbDest;
  uint64_t nOutLeft = nDestLen;
  unsigned char bSpare = 0;  // one byte past the declared size shows a larger bitmap
  bool bSpareUsed = false;
  int nRet = Z_OK;
  for (;;) {
    if (z.avail_in == 0 && nInLeft != 0) {
      z.next_in = const_cast<unsigned char*>(pbIn);
      z.avail_in = static_cast<uInt>(nInLeft < kChunk ? nInLeft : kChunk);
      pbIn += z.avail_in;
      nInLeft -= z.avail_in;
    }
    if (z.avail_out == 0) {
      if (nOutLeft != 0) {
        z.next_out = pbOut;
        z.avail_out = static_cast<uInt>(nOutLeft < kChunk ? nOutLeft : kChunk);
        pbOut += z.avail_out;
        nOutLeft -= z.avail_out;
      } else if (!bSpareUsed) {
        z.next_out = &bSpare;
        z.avail_out = 1;
        bSpareUsed = true;
      } else {
        break;
      }
    }
    nRet = inflate(&z, Z_NO_FLUSH);
    if (nRet == Z_STREAM_END || nRet == Z_NEED_DICT || nRet == Z_DATA_ERROR || nRet == Z_MEM_ERROR ||
        nRet == Z_STREAM_ERROR)
      break;
    if (nRet == Z_BUF_ERROR && z.avail_in == 0 && nInLeft == 0)
      break;  // the input ran out before the stream's end
    if (bSpareUsed && z.avail_out == 0)
      break;
  }

  const uint64_t nProduced = static_cast<uint64_t>(z.total_out);
  const uint64_t nConsumed = static_cast<uint64_t>(z.total_in);
  auto at = [nTextEnd](uint64_t nByte) {
    const uint64_t nOffset = GRFTextOffset(nByte);
    return nOffset < nTextEnd ? nOffset : nTextEnd;
  };
  f.nExpected = nDestLen;
  if (nRet == Z_MEM_ERROR)
    return 3;
  if (nProduced > nDestLen) {
    f.nPosition = at(nConsumed == 0 ? 0 : nConsumed - 1);
    f.bMore = true;
    return kGRFZ64WrongSize;
  }
  if (nRet == Z_NEED_DICT || nRet == Z_DATA_ERROR) {
    f.nPosition = at(nConsumed == 0 ? 0 : nConsumed - 1);
    f.pszDetail = nRet == Z_NEED_DICT ? "a preset dictionary" : z.msg ? z.msg : "a zlib stream";
    return kGRFZ64NoInflate;
  }
  if (nRet != Z_STREAM_END) {
    f.nPosition = nTextEnd;
    f.pszDetail = "the stream ends before its last block and check value";
    return kGRFZ64NoInflate;
  }
  if (nConsumed != nLen) {
    f.nPosition = at(nConsumed);
    f.nFound = nLen - nConsumed;
    return kGRFZ64AfterStream;
  }
  if (nProduced != nDestLen) {
    f.nPosition = 0;
    f.nFound = nProduced;
    return kGRFZ64WrongSize;
  }
  return 0;
}

}  // namespace

// GRFCrc16: CRC-16/XMODEM, a table lookup a byte.
std::uint16_t GRFCrc16(const char* pbData, std::uint64_t nLen)
{
  unsigned nCrc = 0;
  for (uint64_t i = 0; i < nLen; ++i)
    nCrc = (nCrc << 8 ^ kCrcTable.nCrc[(nCrc >> 8 ^ static_cast<unsigned char>(pbData[i])) & 0xFF]) &
           0xFFFF;
  return static_cast<std::uint16_t>(nCrc);
}

// GRFBase64Encode: three bytes to four characters, the last group padded with '='.
std::uint64_t GRFBase64Encode(const unsigned char* pbSrc, std::uint64_t nLen, char* pbDest)
{
  char* pbOut = pbDest;
  uint64_t i = 0;
  for (; i + 3 <= nLen; i += 3) {
    const unsigned n = static_cast<unsigned>(pbSrc[i]) << 16 | pbSrc[i + 1] << 8 | pbSrc[i + 2];
    pbOut[0] = kBase64[n >> 18];
    pbOut[1] = kBase64[n >> 12 & 63];
    pbOut[2] = kBase64[n >> 6 & 63];
    pbOut[3] = kBase64[n & 63];
    pbOut += 4;
  }
  if (i < nLen) {
    const bool bTwo = i + 2 == nLen;
    const unsigned n = static_cast<unsigned>(pbSrc[i]) << 16 | (bTwo ? pbSrc[i + 1] << 8 : 0);
    pbOut[0] = kBase64[n >> 18];
    pbOut[1] = kBase64[n >> 12 & 63];
    pbOut[2] = bTwo ? kBase64[n >> 6 & 63] : '=';
    pbOut[3] = '=';
    pbOut += 4;
  }
  return static_cast<uint64_t>(pbOut - pbDest);
}

// GRFDataZ64EncodeLevel: deflates the bitmap into a scratch block, then writes prefix, Base64
// and CRC into the block handed back.
int GRFDataZ64EncodeLevel(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                          std::uint64_t nRowBytes, int nLevel, char** ppbDestData,
                          std::uint64_t* pnDestDataLen)
{
  if (pbSrcData == nullptr || ppbDestData == nullptr || pnDestDataLen == nullptr ||
      nSrcDataLen == 0 || nRowBytes == 0 || nSrcDataLen % nRowBytes != 0 || nLevel < 1 ||
      nLevel > 9)
    return 1;
  // compressBound and the Base64 length must not overflow; no bitmap comes near this.
  if (nSrcDataLen > std::numeric_limits<uint64_t>::max() / 4 ||
      nSrcDataLen > std::numeric_limits<uLong>::max() / 2)
    return 3;

  uLongf nDeflated = compressBound(static_cast<uLong>(nSrcDataLen));
  Block deflated(static_cast<unsigned char*>(std::malloc(nDeflated)));
  if (!deflated)
    return 3;
  const int nZ = compress2(deflated.get(), &nDeflated, pbSrcData, static_cast<uLong>(nSrcDataLen),
                           nLevel);
  if (nZ == Z_MEM_ERROR)
    return 3;
  if (nZ != Z_OK)
    return kGRFZ64ZlibError;

  const uint64_t nBase64 = (static_cast<uint64_t>(nDeflated) + 2) / 3 * 4;
  const uint64_t nTotal = kPrefixLength + nBase64 + 1 + kCrcLength;
  char* pbText = static_cast<char*>(std::malloc(nTotal));
  if (pbText == nullptr)
    return 3;
  std::memcpy(pbText, ":Z64:", kPrefixLength);
  GRFBase64Encode(deflated.get(), nDeflated, pbText + kPrefixLength);
  const unsigned nCrc = GRFCrc16(pbText + kPrefixLength, nBase64);
  char* pbCrc = pbText + kPrefixLength + nBase64;
  pbCrc[0] = ':';
  for (uint64_t k = 0; k < kCrcLength; ++k)
    pbCrc[1 + k] = kHexDigit[nCrc >> (12 - 4 * k) & 15];

  *ppbDestData = pbText;
  *pnDestDataLen = nTotal;
  return 0;
}

// GRFDataZ64Encode: GRFDataZ64EncodeLevel at the chosen level.
int GRFDataZ64Encode(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                     std::uint64_t nRowBytes, char** ppbDestData, std::uint64_t* pnDestDataLen)
{
  return GRFDataZ64EncodeLevel(pbSrcData, nSrcDataLen, nRowBytes, kGRFZ64Level, ppbDestData,
                               pnDestDataLen);
}

// GRFIsZ64Data: looks at the prefix only.
bool GRFIsZ64Data(const char* pbSrcData, std::uint64_t nSrcDataLen)
{
  return pbSrcData != nullptr && nSrcDataLen >= kPrefixLength &&
         (std::memcmp(pbSrcData, ":Z64:", kPrefixLength) == 0 ||
          std::memcmp(pbSrcData, ":B64:", kPrefixLength) == 0);
}

// GRFDataZ64Decode: checks the frame, the Base64 text and its CRC before anything is decoded,
// then decodes and, for Z64, inflates.
int GRFDataZ64Decode(const char* pbSrcData, std::uint64_t nSrcDataLen, unsigned char* pbDest,
                     std::uint64_t nDestLen, GRFZ64Fault* pFault)
{
  if (pbSrcData == nullptr || pFault == nullptr || (pbDest == nullptr && nDestLen != 0))
    return 1;
  GRFZ64Fault& f = *pFault;
  f = GRFZ64Fault{};
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pbSrcData);

  if (!GRFIsZ64Data(pbSrcData, nSrcDataLen)) {
    uint64_t i = 0;
    const char* pszZ64 = ":Z64:";
    const char* pszB64 = ":B64:";
    while (i < nSrcDataLen && i < kPrefixLength && (p[i] == pszZ64[i] || p[i] == pszB64[i]))
      ++i;
    f.nPosition = i;
    f.nFound = i < nSrcDataLen ? p[i] : 0;
    return kGRFZ64BadPrefix;
  }
  const bool bDeflated = p[1] == 'Z';

  // The Base64 text runs to the first byte outside its alphabet, which must be the ':' before
  // the CRC's four hex digits.  A stray byte is the text's fault when a ':' comes later, the
  // CRC's when none does.
  uint64_t nColon = kPrefixLength;
  while (nColon < nSrcDataLen && kBase64Values.bValue[p[nColon]] != kNotBase64)
    ++nColon;
  if (nColon == nSrcDataLen || p[nColon] != ':') {
    const bool bLater =
        nColon < nSrcDataLen && std::memchr(p + nColon, ':', nSrcDataLen - nColon) != nullptr;
    f.nPosition = nColon;
    f.nFound = nColon < nSrcDataLen ? p[nColon] : 0;
    return bLater ? kGRFZ64BadBase64 : kGRFZ64NoCrc;
  }
  if (const int nStatus = GRFCheckBase64(p, kPrefixLength, nColon, f); nStatus != 0)
    return nStatus;
  unsigned nStated = 0;
  for (uint64_t k = 1; k <= kCrcLength; ++k) {
    const int nDigit = nColon + k < nSrcDataLen ? GRFHexValue(p[nColon + k]) : -1;
    if (nDigit < 0) {
      f.nPosition = nColon + k;
      f.nFound = nColon + k < nSrcDataLen ? p[nColon + k] : 0;
      return kGRFZ64NoCrc;
    }
    nStated = nStated << 4 | static_cast<unsigned>(nDigit);
  }
  for (uint64_t i = nColon + 1 + kCrcLength; i < nSrcDataLen; ++i)
    if (!GRFLineEnd(p[i])) {
      f.nPosition = i;
      f.nFound = p[i];
      return kGRFZ64AfterCrc;
    }
  const uint64_t nText = nColon - kPrefixLength;
  const unsigned nCrc = GRFCrc16(pbSrcData + kPrefixLength, nText);
  if (nCrc != nStated) {
    f.nPosition = nColon + 1;
    f.nExpected = nCrc;
    f.nFound = nStated;
    return kGRFZ64CrcMismatch;
  }

  // B64 data is the bitmap itself; Z64 data is decoded into a scratch block first.
  const uint64_t nBytes = nText / 4 * 3;
  if (!bDeflated) {
    uint64_t nPadded = nText == 0 ? 0 : (p[nColon - 1] == '=') + (p[nColon - 2] == '=');
    if (nBytes - nPadded != nDestLen) {
      f.nPosition = 0;
      f.nExpected = nDestLen;
      f.nFound = nBytes - nPadded;
      return kGRFZ64WrongSize;
    }
    GRFBase64Decode(p + kPrefixLength, nText, pbDest);
    return 0;
  }
  Block deflated(static_cast<unsigned char*>(std::malloc(nBytes == 0 ? 1 : nBytes)));
  if (!deflated)
    return 3;
  const uint64_t nDeflated = GRFBase64Decode(p + kPrefixLength, nText, deflated.get());
  return GRFInflate(deflated.get(), nDeflated, pbDest, nDestLen, nColon, f);
}
