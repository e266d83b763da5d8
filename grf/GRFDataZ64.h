// GRFDataZ64.h: the GRF library's Z64 and B64 graphic data, deflated or plain Base64 with a CRC.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Printers with current ZPL II firmware take, in place of the hex text of a graphic download,
// ":Z64:" + Base64 of the zlib-format deflate of the bitmap + ":" + four hex digits of the
// CRC-16 (polynomial 0x1021, initial value 0, the XMODEM variant) of the Base64 text alone.
// ":B64:" is the same without the deflate.  A printer drops a download whose CRC differs.
//
// Status codes, beside the library's 0 (success), 1 (bad argument) and 3 (memory exhausted):

#pragma once

#include <cstdint>

constexpr int kGRFZ64ZlibError = 7;     // zlib refused the bitmap (writer)
constexpr int kGRFZ64BadPrefix = 20;    // the data does not start with ":Z64:" or ":B64:"
constexpr int kGRFZ64BadBase64 = 21;    // a byte that is not in the Base64 alphabet
constexpr int kGRFZ64BadPadding = 22;   // '=' out of place, a length not a multiple of 4, or
                                        // nonzero bits in the last group's unused part
constexpr int kGRFZ64NoCrc = 23;        // no ':' and four hex digits after the Base64 text
constexpr int kGRFZ64CrcMismatch = 24;  // the CRC stated is not that of the Base64 text
constexpr int kGRFZ64AfterCrc = 25;     // something other than line ends after the CRC
constexpr int kGRFZ64NoInflate = 26;    // the Base64 text decodes to no whole zlib stream
constexpr int kGRFZ64AfterStream = 27;  // bytes follow the end of the zlib stream
constexpr int kGRFZ64WrongSize = 28;    // the bitmap is not as large as declared

// The deflate level of GRFDataZ64Encode, chosen by measurement (bench/raster_bench on the
// cupsfilter 4x6, 4x40 and 100-label rasters; docs/performance.md).  On the 4x6 label, level 1
// gives 14.6 KB for 0.47 ms of CPU, level 6 11.2 KB for 1.1 ms, level 9 10.9 KB for 4.9 ms
// (hex: 38.5 KB for 0.05 ms); the 4x40 and 100-label jobs fall the same way.  Level 6 saves
// 3.4 KB a label over level 1, worth its extra 0.6 ms on any link slower than about
// 40 Mbit/s, and Z64 is chosen for slow links; level 9 costs four times the CPU of level 6
// for 3 % fewer bytes.
constexpr int kGRFZ64Level = 6;

// Writer.  Turns `nSrcDataLen` bytes of bitmap, `nRowBytes` a row (which must divide the
// total), into the Z64 text that follows "~DG<name>,<total>,<row bytes>," in a newly allocated
// block, deflated at kGRFZ64Level.  On success stores the block in *ppbDestData and the text
// length in *pnDestDataLen and returns 0; otherwise returns 1, 3 or kGRFZ64ZlibError and
// touches neither.  Release the block with FreeReallocMemory.
int GRFDataZ64Encode(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                     std::uint64_t nRowBytes, char** ppbDestData, std::uint64_t* pnDestDataLen);

// GRFDataZ64Encode at deflate level nLevel (1 to 9), for measuring the levels against each
// other.
int GRFDataZ64EncodeLevel(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                          std::uint64_t nRowBytes, int nLevel, char** ppbDestData,
                          std::uint64_t* pnDestDataLen);

// What a reader found wrong, for a message.
struct GRFZ64Fault {
  std::uint64_t nPosition = 0;      // offset in the data of the byte at fault
  std::uint64_t nExpected = 0;      // the CRC of the Base64 text, or the size declared
  std::uint64_t nFound = 0;         // the CRC stated, the byte found, or the size produced
  bool bMore = false;               // the bitmap is larger than nExpected (nFound unset)
  const char* pszDetail = nullptr;  // zlib's reason for a stream that does not inflate
};

// Reader.  Reads Z64 or B64 data (from its leading ':'), whose bitmap must be exactly nDestLen
// bytes, into pbDest.  Line ends and blanks may follow the CRC, nothing else.  Returns 0, 1, 3
// or one of the kGRFZ64 reader codes above, with *pFault filled in.  On failure pbDest may
// hold part of the bitmap.
int GRFDataZ64Decode(const char* pbSrcData, std::uint64_t nSrcDataLen, unsigned char* pbDest,
                     std::uint64_t nDestLen, GRFZ64Fault* pFault);

// True when the data starts with ":Z64:" or ":B64:", so it is not hex text.
bool GRFIsZ64Data(const char* pbSrcData, std::uint64_t nSrcDataLen);

// CRC-16/XMODEM of nLen bytes.
std::uint16_t GRFCrc16(const char* pbData, std::uint64_t nLen);

// Base64 of nLen bytes, standard alphabet with '=' padding, written at pbDest (room for
// 4 * ((nLen + 2) / 3) bytes is the caller's business); returns the length written.
std::uint64_t GRFBase64Encode(const unsigned char* pbSrc, std::uint64_t nLen, char* pbDest);
