// zplrender.h: any ZPL II job drawn as the printer draws it: labels as 1-bit bitmaps.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// renderZpl reads a job from bytes (no files, no terminal) into labels, one bitmap for each
// label the printer would print (^PQ copies and serial numbers included), with the printer's
// settings in the job and notes for a person: commands read but not drawn, fields that could
// not be drawn.  Everything is bounded: label sizes, fields, stored formats recalled inside
// each other, graphic sizes and the total drawing work; past a bound the job fails with a
// reason a person understands.

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zplrender {

// A label as printed: `height` rows of `rowBytes` bytes, bit 7 of a row's first byte its
// leftmost dot, a set bit a black dot.  Bits past `width` in a row's last byte are 0.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::size_t rowBytes = 0;
  std::vector<std::uint8_t> bits;
};

bool bitmapDot(const Bitmap& image, int x, int y);

// The face text is drawn with, read by FreeType from the font file's bytes.  One face serves
// every render call on one thread at a time.
class LabelFont;
std::shared_ptr<LabelFont> loadLabelFont(std::vector<std::uint8_t> fileBytes, std::string& error);

// The font file packaged for the label text (see docs/zpl-renderer.md for the choice).
inline constexpr const char* kLabelFontPath =
    "/usr/share/fonts/opentype/urw-base35/NimbusSansNarrow-Bold.otf";

struct Limits {
  int maxSide = 32000;                          // dots, either side of a label
  std::uint64_t maxLabelBytes = 64ull << 20;    // one label's bitmap
  int maxLabels = 1000;                         // labels drawn per job; more are noted
  int maxFieldsPerLabel = 20000;
  std::uint64_t maxFieldDots = 64ull << 20;     // a text or barcode field before it is turned
  int maxFormatDepth = 8;                       // ^XF inside stored formats
  std::uint64_t maxStoredBytes = 256ull << 20;  // stored graphics and formats together
  std::uint64_t maxWorkDots = 4000000000ull;    // dots drawn per job, all labels together
};

struct Options {
  // A job of a driver's raster commands alone (isRasterJob), read as a check of that driver
  // rather than as a printer reads it: whatever a printer would pass over (a byte out of place,
  // graphic data that does not give its declared size, a graphic never printed, a command
  // outside a label) ends the job with where and why.  Each format is one label whatever its
  // ^PQ (the quantity is in its settings), as large as its fields when the job sets no size,
  // and its fields are not listed.  The limits still hold; maxWorkDots then counts bytes of
  // bitmap drawn and maxStoredBytes the stored graphics and kept labels together.
  bool exact = false;
  int dpi = 203;
  // The media for a job without ^PW or ^LL, in dots; 0 for 4 x 6 inches at `dpi`.
  int mediaWidth = 0;
  int mediaHeight = 0;
  std::shared_ptr<LabelFont> font;  // without one, text is not drawn (and noted)
  Limits limits;
};

// Printer settings a label carried.  A letter is 0 and a number empty when the job never set it.
struct PrinterSettings {
  std::optional<int> darkness;  // ~SD
  std::optional<int> printSpeed, slewSpeed, backfeedSpeed;  // ^PR, inches per second
  char mediaSensing = 0;  // ^MN
  char printMethod = 0;   // ^MT
  char orientation = 0;   // ^PO
  char mirror = 0;        // ^PM
  char printMode = 0;     // ^MM
  char backfeed = 0;      // ~JS
  char dotMode = 0;       // ^JM
  std::optional<int> tearOff, labelTop, labelShift, characterSet;  // ~TA ^LT ^LS ^CI
  bool configurationSaved = false;  // ^JUS
  int quantity = 1;                 // ^PQ
  int pauseEvery = 0;
  int replicates = 0;
  char overridePause = 'N';
  bool formatPause = false;  // ^PP
  bool reversed = false;     // a solid reversing box covers the whole label
};

// A field as read, for a person: its command, where it is, what it holds.
struct FieldInfo {
  std::string kind;  // "text ^A0", "barcode ^BC", "box ^GB", "graphic ^XG", ...
  int x = 0;         // origin on the label, dots, as the job placed it
  int y = 0;
  char rotation = 'N';
  std::string data;  // after ^FH, serial numbering and ^FN
  std::string problem;  // why it was not drawn; empty when it was
  // The box it covers on the label once turned and placed (before ^PM and ^PO); empty when
  // nothing was drawn.
  int left = 0, top = 0, width = 0, height = 0;
};

struct Label {
  Bitmap image;
  std::size_t offset = 0;  // the ^XA of its format
  int copy = 1;            // 1 to ^PQ's quantity
  PrinterSettings settings;
  std::vector<FieldInfo> fields;
  std::vector<std::string> notes;
};

struct Result {
  std::vector<Label> labels;       // without a sink; with one, sizes and notes but no dots
  std::vector<std::string> notes;  // for the job, each once: commands not drawn, limits met
  std::string error;               // why the job failed; empty on success
  std::size_t errorOffset = 0;
};

// Receives each label as it is drawn; returning false stops the job (no error).
using LabelSink = std::function<bool(Label& label, int number)>;

// Reads and draws a whole job.  True on success; false with result.error set.
bool renderZpl(std::span<const std::uint8_t> job, const Options& options, Result& result,
               const LabelSink& sink = nullptr);

// True when every command of the job is one a raster driver sends (a label of downloaded
// graphics, boxes and settings): such a job is read with Options::exact.
bool isRasterJob(std::span<const std::uint8_t> job);

// Words for messages: printable ASCII kept, other bytes as <0x..>, at most 40 bytes ("..."
// after); one byte as 'A' or 0x1F; an optional sign and 1 to 9 decimal digits, the whole text.
std::string printable(std::string_view text);
std::string describeByte(unsigned char byte);
bool readDecimal(std::string_view text, long long& value);

// True when the bytes look like a ZPL II job: a ^XA or ~ command near the start, after blanks.
bool looksLikeZpl(std::span<const std::uint8_t> job);

}  // namespace zplrender
