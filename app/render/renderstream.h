// renderstream.h: how label-render is called and what it writes back, for both sides.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The renderer draws one document and exits:
//
//   label-render [--scaling=S] [--orientation=N] [--auto-turn=T] [--no-crop]
//                FORMAT DPI WIDTH HEIGHT FIRST LAST [FILE]
//
// FORMAT is pdf, png, jpeg or zpl; the label is WIDTH x HEIGHT dots at DPI; pages FIRST to LAST
// (from 1, inclusive) are drawn, as far as the document has them.  A ZPL II job's pages are
// its labels (copies and serial numbers included), each of the size the job gives it (^PW,
// ^LL; WIDTH x HEIGHT when it gives none), within kZplLabelBytes.  Without FILE the document
// is read from standard input.  S is the job's print-scaling (auto, auto-fit, fit, fill, none;
// auto when not given), N its orientation-requested (3 to 6; not given: turned to suit the
// label, T degrees clockwise, 90 or 270 (the default)), --no-crop keeps every page whole
// (placement.h).
//
//   label-render preview DPI WIDTH HEIGHT LABEL [FILE]
//
// reads a job the printer was sent (the bytes kept for the Label Preview page: our own ZPL II
// or DPL, or a client's raw ZPL II) as the page shows it, drawing a raw ZPL II job at DPI on
// media of WIDTH x HEIGHT dots when it gives no label size (0 x 0: 4 x 6 inches).  LABEL 0
// asks for the job's summary, LABEL 1 to kPreviewLabels for that label as a PNG.  Its stream
// is "LBRS", then "SUMM" or "LPNG", then "DONE"; or "LBRS" and a failed "DONE".
//
// Standard output carries the stream below.  Every number is a 32-bit unsigned integer, least
// significant byte first; each record starts with a four-letter tag.
//
//   "LBRS" version                   at once on start; version 3
//   "DOCU" pages first last          once, before any page: the document's page count and the
//                                    pages that follow (first > last when none do)
//   "NOTE" number length, then length bytes of text
//                                    at most once for each page, before its labels: what was
//                                    done to place it ("Cropped the 4 x 6 in label from the
//                                    Letter page"), for the job's message
//   "PAGE" number width height bytesPerLine, then height x bytesPerLine bytes of rows
//                                    for each page from first to last, in order, one to
//                                    kLabelsPerPage records for the labels found on it; the
//                                    label's size (a ZPL label's own), 1 = black, the first dot
//                                    in a byte's high bit
//   "SUMM" length, then length bytes (at most kSummaryLimit)
//                                    preview mode, LABEL 0: the job's summary as the page
//                                    shows it (previewrecord.h), numbers and texts (a text
//                                    is its length, then its bytes): the problem; the label
//                                    count (at most kPreviewLabels) and 1 when the job has
//                                    more, else 0; for each label its count of settings (at
//                                    most kSummarySettings), then each setting's name and
//                                    value; the description.  Before "DONE"
//   "LPNG" length, then length bytes (at most kPreviewPngLimit)
//                                    preview mode, LABEL N: label N as a 1-bit PNG, before
//                                    "DONE"; a job without that label fails instead
//   "DONE" outcome length, then length bytes of text
//                                    last: outcome 0 when every page was sent, 1 when the
//                                    document cannot be drawn (the text says why, for a
//                                    person), 2 when the renderer ran out of memory
//
// Standard error carries what the renderer and its libraries complain about, for the job's
// log.  A refused allocation is reported there at once with kOutOfMemoryLine, even when the
// library that asked carries on without the memory: the page it was drawing is then not what
// the document shows.  The exit status repeats the outcome (RenderExit) for a renderer that
// could not write its last record; 2 means arguments it does not take.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace app {

// A record's tag: its four letters read as one number.
constexpr std::uint32_t streamTag(const char (&name)[5])
{
  return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(name[3])) << 24;
}

inline constexpr std::uint32_t kStreamMagic = streamTag("LBRS");
inline constexpr std::uint32_t kStreamVersion = 3;
inline constexpr std::uint32_t kDocumentTag = streamTag("DOCU");
inline constexpr std::uint32_t kPageTag = streamTag("PAGE");
inline constexpr std::uint32_t kNoteTag = streamTag("NOTE");
inline constexpr std::uint32_t kDoneTag = streamTag("DONE");
inline constexpr std::uint32_t kSummaryTag = streamTag("SUMM");
inline constexpr std::uint32_t kPngTag = streamTag("LPNG");

enum class StreamOutcome : std::uint32_t { done = 0, failed = 1, noMemory = 2 };

enum RenderExit { kExitDone = 0, kExitFailed = 1, kExitUsage = 2, kExitNoMemory = 3 };

// The most labels one page makes (several labels on one sheet).
inline constexpr unsigned kLabelsPerPage = 16;

// The longest text a "DONE" or "NOTE" record carries; a longer one is cut.
inline constexpr std::size_t kStreamTextLimit = 1024;

// The largest label side, in dots (over 100 inches at 300 dpi), and the highest resolution.
inline constexpr unsigned kLabelSideLimit = 32767;
inline constexpr int kDpiLimit = 2400;

// What the renderer writes on standard error when an allocation is refused.
inline constexpr std::string_view kOutOfMemoryLine = "label-render: out of memory\n";

inline void putWord(unsigned char* at, std::uint32_t value)
{
  for (int i = 0; i < 4; i++)
    at[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint32_t getWord(const unsigned char* at)
{
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

// The most bytes of rows one ZPL label may have (the largest label drawn, 64 MiB, is over
// 30 x 30 inches at 300 dpi).
inline constexpr std::uint64_t kZplLabelBytes = 64ull << 20;

enum class DocumentFormat { pdf, png, jpeg, zpl };

// The format's name on the renderer's command line ("pdf") and in a sentence ("PDF").
constexpr const char* formatArgument(DocumentFormat format)
{
  return format == DocumentFormat::pdf   ? "pdf"
         : format == DocumentFormat::png ? "png"
         : format == DocumentFormat::zpl ? "zpl"
                                         : "jpeg";
}
constexpr const char* formatName(DocumentFormat format)
{
  return format == DocumentFormat::pdf   ? "PDF"
         : format == DocumentFormat::png ? "PNG"
         : format == DocumentFormat::zpl ? "ZPL II job"
                                         : "JPEG";
}

inline std::optional<DocumentFormat> parseFormat(std::string_view text)
{
  for (DocumentFormat format : {DocumentFormat::pdf, DocumentFormat::png, DocumentFormat::jpeg,
                                DocumentFormat::zpl}) {
    if (text == formatArgument(format))
      return format;
  }
  return std::nullopt;
}

}  // namespace app
