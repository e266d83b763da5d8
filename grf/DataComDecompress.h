// DataComDecompress.h: the GRF library, ZPL II's compressed ASCII hexadecimal graphic text.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Status codes shared by every operation: 0 success; 1 bad argument, or a character that
// does not belong in the text; 3 memory exhausted; 5 output not yet complete; 6 output block
// too small, or ':' with no whole row before it.

#pragma once

#include <cstdint>

// Writer.  Turns `nSrcDataLen` bytes of bitmap, `nRowBytes` bytes a row, into GRF text in a
// newly allocated block.  On success stores the block in *ppbDestData and the text length in
// *pnDestDataLen and returns 0; otherwise returns 1 or 3 and touches neither.  Release the
// block with FreeReallocMemory.
int GRFDataCompress(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                    std::uint64_t nRowBytes, char** ppbDestData, std::uint64_t* pnDestDataLen);

// Receives a piece of GRF text; returns 0, or non-zero to stop the writer.
using GRFPutText = int (*)(void* pContext, const char* pbText, std::uint64_t nLength);

// Writer, streaming.  Codes the bitmap as GRFDataCompress does, handing the text to pfnPut in
// pieces of about 64 KiB (more for very wide rows) instead of building it whole, so memory
// stays at one piece whatever the bitmap's size.  The pieces joined are byte for byte the
// text GRFDataCompress gives.  Returns 0; 1 for a bad argument; 3 when memory is exhausted;
// 4 when pfnPut asked to stop (no further piece is handed out).
int GRFDataCompressStream(const unsigned char* pbSrcData, std::uint64_t nSrcDataLen,
                          std::uint64_t nRowBytes, GRFPutText pfnPut, void* pContext);

// Appends the count letters for nCount (nothing for 0), then cDigit, at pbDest + *pnDestLen
// and advances *pnDestLen.  Room for nCount / 400 + 3 bytes is the caller's business.
int GRFWriteData(char cDigit, std::uint64_t nCount, char* pbDest, std::uint64_t* pnDestLen);

// Releases a block of the library's and sets the pointer to null; nothing for a null pointer.
void FreeReallocMemory(char** ppbBlock);

// Grows *ppbBlock (of *pnBlockSize bytes) to hold nNeeded bytes, by at least nStep.  Returns
// the block to use from now on (and sets *ppbBlock to null), or null when it cannot.
char* DataReallocMemory(char** ppbBlock, std::int64_t* pnBlockSize, std::int64_t nNeeded,
                        std::int64_t nStep);

// Reader.  Reads a whole GRF text into pbDest, rows of nRowBytes; *pnDestLen holds the
// block's capacity on entry and receives the number of bytes produced.  Returns 0, 1 or 6.
int GRFDataDecompress(const char* pbSrcData, std::uint64_t nSrcDataLen, std::uint64_t nRowBytes,
                      unsigned char* pbDest, std::uint64_t* pnDestLen);

// Reader, one character a call, its state held by the caller (start: position, pending byte,
// produced and nibble state 0, repeat 1).  Returns 0 when the block is complete, 5 while it is
// not (or for a character that is not part of the text), 6 on failure.
int GRFDataDecompressSingleCharProcess(char cChar, std::uint64_t nRowBytes,
                                       std::uint64_t* pnPosition, unsigned char* pbPending,
                                       std::uint64_t* pnRepeat, std::uint64_t* pnProduced,
                                       std::uint64_t* pnNibbleState, unsigned char* pbDest,
                                       std::uint64_t nCapacity);

// Byte copy and fill used by the reader; no checks, always 0.
int memcpyEx(unsigned char* pbDest, const unsigned char* pbSrc, std::uint64_t nLen);
int memsetEx(unsigned char* pbDest, unsigned char bValue, std::uint64_t nLen);
