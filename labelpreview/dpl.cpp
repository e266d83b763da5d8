// dpl.cpp: reading a DPL job: the printer set-up, label formats and their image records.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// A DPL job is a row of commands that begin with SOH or STX and end with CR (one command may
// run into the next STX).  STX L opens a label format: lines ended by CR, an image record that
// carries the label's scan lines, and E, which prints the label.

#include "previewimpl.h"

#include <algorithm>

namespace {

constexpr unsigned char kSoh = 0x01;
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kCr = 0x0D;

// The image record: rotation 1, the image font, magnification 1 x 1, at row 0 and column 0,
// then five zero bytes before the scan-line codes.
constexpr std::string_view kImageRecord = "1Y1199900000000\r";
constexpr std::size_t kImageZeros = 5;

// Scan-line codes.  Bytes up to C0 stand for themselves; C1 b is b; C2 to FE b repeat b
// (code - C0) times; FF n ends a line (01), ends the image (0F) or stands for n blank lines.
constexpr unsigned char kEscape = 0xC1;
constexpr unsigned char kRunBase = 0xC0;
constexpr unsigned char kLineCode = 0xFF;
constexpr unsigned char kEndOfLine = 0x01;
constexpr unsigned char kEndOfImage = 0x0F;

bool allDigits(std::string_view text)
{
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct DplReader {
  std::span<const unsigned char> in;
  DplReader(std::span<const unsigned char> bytes, LabelJob& j, JobError& e, const LabelSink& s)
      : in(bytes), job(j), error(e), sink(s)
  {
  }

  LabelJob& job;
  JobError& error;
  const LabelSink& sink;
  std::size_t pos = 0;
  DplSettings settings;
  std::uint64_t labelBytes = 0;  // held for the labels drawn so far
  std::uint64_t work = 0;        // bitmap bytes decoded and drawn so far

  bool fail(std::size_t at, std::string what)
  {
    error = {at, static_cast<int>(job.labels.size()) + 1, std::move(what)};
    return false;
  }

  void note(const std::string& text)
  {
    if (std::find(job.notes.begin(), job.notes.end(), text) == job.notes.end())
      job.notes.push_back(text);
  }

  std::string_view textAt(std::size_t from, std::size_t to) const
  {
    return {reinterpret_cast<const char*>(in.data()) + from, to - from};
  }

  bool run(std::size_t start)
  {
    pos = start;
    while (pos < in.size()) {
      unsigned char lead = in[pos];
      if (lead != kSoh && lead != kStx)
        return fail(pos, "unexpected byte " + describeByte(lead) + " outside a command");
      std::size_t begin = pos++;
      while (pos < in.size() && in[pos] != kCr && in[pos] != kSoh && in[pos] != kStx)
        pos++;
      std::string_view text = textAt(begin + 1, pos);
      std::string shown = (lead == kSoh ? "SOH " : "STX ") + printableText(text);
      if (pos == in.size())
        return fail(in.size(), "the job ends inside the command " + shown);
      if (in[pos] == kCr)
        pos++;
      if (!systemCommand(lead, text, shown, begin))
        return false;
    }
    if (job.labels.empty())
      return fail(in.size(), "the job prints no label");
    return true;
  }

  bool position(std::string_view digits, std::optional<int>& target, const std::string& shown,
                std::size_t begin)
  {
    long long v = 0;
    if (!readDecimal(digits, v))
      return fail(begin, "bad number in " + shown);
    target = static_cast<int>(v);
    return true;
  }

  bool systemCommand(unsigned char lead, std::string_view text, const std::string& shown,
                     std::size_t begin)
  {
    if (lead == kSoh) {
      if (text != "D")
        note("DPL command " + shown + " ignored");
      return true;
    }
    if (text.empty())
      return fail(begin, "STX without a command");
    if (text == "L")
      return labelFormat(begin);
    if (text[0] == 'c' || text.starts_with("Kw")) {
      std::string_view digits = text.substr(text[0] == 'c' ? 1 : 2);
      if (!allDigits(digits) || digits.size() > 9)
        return fail(begin, "bad label size in " + shown);
      (text[0] == 'c' ? settings.labelLength : settings.labelWidth) =
          static_cast<int>(std::stol(std::string(digits)));
      return true;
    }
    if (text.starts_with("Kf"))
      return position(text.substr(2), settings.presentDistance, shown, begin);
    if (text.starts_with("JY"))
      return position(text.substr(2), settings.printPosition, shown, begin);
    if (text.starts_with("JP"))
      return position(text.substr(2), job.outPaperPosition, shown, begin);
    if (text.size() == 6 && text[0] == 'j') {
      std::string_view kind = text.substr(1, 2);
      std::string digits(text.substr(3));
      if (kind == "23")
        settings.outputMode = digits;
      else if (kind == "28")
        settings.printType = digits;
      else if (kind == "24")
        settings.sensorType = digits;
      else if (kind == "48")
        settings.markSensing = digits;
      else
        note("DPL command " + shown + " ignored");
      return true;
    }
    if (text == "u0" || text == "u1") {
      settings.imageOrientation = text[1];
      return true;
    }
    if (text != "N" && text != "A1" && text != "JE1")
      note("DPL command " + shown + " ignored");
    return true;
  }

  bool labelFormat(std::size_t begin)
  {
    settings.heat.reset();
    std::vector<std::vector<unsigned char>> lines;
    bool hasImage = false;
    for (;;) {
      if (pos == in.size())
        return fail(in.size(), "the job ends inside a label format (no E)");
      std::size_t lineStart = pos;
      if (in[pos] == '1' && pos + 1 < in.size() && in[pos + 1] == 'Y') {
        if (hasImage)
          return fail(lineStart, "a second image record in one label");
        if (!imageRecord(lines))
          return false;
        hasImage = true;
        continue;
      }
      while (pos < in.size() && in[pos] != kCr)
        pos++;
      if (pos == in.size())
        return fail(in.size(), "the job ends inside a label format (no E)");
      std::string_view text = textAt(lineStart, pos++);
      if (text == "E")
        break;
      if (text.empty())
        continue;
      if (text[0] == 'H' && allDigits(text.substr(1)) && text.size() <= 4) {
        settings.heat = std::stoi(std::string(text.substr(1)));
        continue;
      }
      return fail(lineStart, "unknown label-format command '" + printableText(text) + "'");
    }
    return finishLabel(begin, lines, hasImage);
  }

  bool imageRecord(std::vector<std::vector<unsigned char>>& lines)
  {
    std::size_t headerStart = pos;
    for (std::size_t i = 0; i < kImageRecord.size() + kImageZeros; i++) {
      if (pos + i == in.size())
        return fail(in.size(), "the job ends inside the image record header");
      unsigned char expected = i < kImageRecord.size() ? kImageRecord[i] : 0x00;
      if (in[pos + i] != expected)
        return fail(pos + i, "byte " + describeByte(in[pos + i]) +
                                 " in the image record header, where " + describeByte(expected) +
                                 " belongs (header 1Y1199900000000, CR, "
                                 "five zero bytes)");
    }
    pos += kImageRecord.size() + kImageZeros;
    if (!imageData(lines, headerStart))
      return false;
    if (pos == in.size())
      return fail(in.size(), "the job ends after the image data (no CR E CR)");
    if (in[pos] != kCr)
      return fail(pos, "byte " + describeByte(in[pos]) +
                           " after the end of the image data, "
                           "where CR belongs");
    pos++;
    return true;
  }

  // Decodes the scan-line codes up to FF 0F into lines of bytes; a blank line is empty.
  bool imageData(std::vector<std::vector<unsigned char>>& lines, std::size_t headerStart)
  {
    std::vector<unsigned char> line;
    std::uint64_t decoded = 0;
    for (;;) {
      std::size_t codeStart = pos;
      if (pos == in.size())
        return fail(in.size(), "the job ends inside the image data (line " +
                                   std::to_string(lines.size() + 1) + ", no FF 0F)");
      unsigned char code = in[pos];
      if ((code == kLineCode || code >= kEscape) && pos + 1 == in.size())
        return fail(in.size(),
                    "the job ends inside the image data, after code " + describeByte(code));
      if (code == kLineCode) {
        unsigned char n = in[pos + 1];
        pos += 2;
        if (n == kEndOfImage) {
          if (!line.empty())
            return fail(codeStart,
                        "the image data ends (FF 0F) inside a printed line; "
                        "FF 01 ends the line first");
          return true;
        }
        if (n == kEndOfLine) {
          lines.push_back(std::move(line));
          line.clear();
        } else {
          if (!line.empty())
            return fail(codeStart,
                        "a run of blank lines (FF " + describeByte(n) + ") inside a printed line");
          lines.resize(lines.size() + n);
        }
        if (lines.size() > kMaxLabelDots)
          return fail(codeStart, "the image record starting at byte " +
                                     std::to_string(headerStart) + " has more than " +
                                     std::to_string(kMaxLabelDots) + " lines");
        continue;
      }
      std::size_t count = 1;
      unsigned char value = code;
      if (code >= kEscape) {
        count = code == kEscape ? 1 : code - kRunBase;
        value = in[pos + 1];
        pos += 2;
      } else {
        pos++;
      }
      decoded += count;
      work += count;
      if (line.size() + count > kMaxLabelDots / 8)
        return fail(codeStart, "the image data makes a line longer than " +
                                   std::to_string(kMaxLabelDots) + " dots");
      if (decoded > kMaxLabelBytes)
        return fail(codeStart,
                    "the image data holds more than " + std::to_string(kMaxLabelBytes) + " bytes");
      if (work > jobWorkAllowed(in.size()))
        return fail(codeStart, tooMuchWork(in.size()));
      line.insert(line.end(), count, value);
    }
  }

  bool finishLabel(std::size_t begin, const std::vector<std::vector<unsigned char>>& lines,
                   bool hasImage)
  {
    PreviewLabel label;
    label.offset = begin;
    std::size_t widest = 0;
    for (const auto& line : lines)
      widest = std::max(widest, line.size());
    std::uint64_t width = std::max<std::uint64_t>(settings.labelWidth.value_or(0), widest * 8);
    std::uint64_t height = lines.size();
    if (height == 0)
      height = static_cast<std::uint64_t>(std::max(settings.labelLength.value_or(0), 0));
    if (width == 0 || height == 0)
      return fail(begin, "the label has no size: no image lines and no label-size command");
    if (!labelSizeAllowed(width, height))
      return fail(begin, "a label of " + std::to_string(width) + " x " + std::to_string(height) +
                             " dots is larger than a preview draws");

    std::uint64_t bytes = (width + 7) / 8 * height;
    if (labelBytes + bytes > kMaxJobPictureBytes)
      return fail(begin, "the job's labels need more than " + std::to_string(kMaxJobPictureBytes) +
                             " bytes, more than a preview holds");
    work += bytes;
    if (work > jobWorkAllowed(in.size()))
      return fail(begin, tooMuchWork(in.size()));
    if (!sink)
      labelBytes += bytes;

    if (hasImage && settings.labelLength &&
        static_cast<std::uint64_t>(*settings.labelLength) != height) {
      std::string text = "the image carries " + std::to_string(height) +
                         (height == 1 ? " line" : " lines") +
                         ", the label-size command (STX c) says " +
                         std::to_string(*settings.labelLength) + " dots";
      if (height >= 10000 && height % 10000 == static_cast<std::uint64_t>(*settings.labelLength))
        text += " (it keeps only four digits)";
      label.notes.push_back(text);
    }
    if (settings.labelWidth && widest * 8 > static_cast<std::uint64_t>(*settings.labelWidth))
      label.notes.push_back("image lines are " + std::to_string(widest * 8) +
                            " dots wide, wider than the label width of " +
                            std::to_string(*settings.labelWidth) + " dots (STX Kw)");

    label.image =
        blankLabelImage(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    for (std::size_t y = 0; y < lines.size(); y++)
      std::copy(lines[y].begin(), lines[y].end(),
                label.image.bits.begin() + static_cast<std::ptrdiff_t>(y * label.image.rowBytes));
    label.dpl = settings;
    if (!deliverLabel(job, std::move(label), sink))
      return fail(begin, "");
    return true;
  }
};

}  // namespace

bool parseDplJob(std::span<const unsigned char> bytes, std::size_t start, LabelJob& job,
                 JobError& error, const LabelSink& sink)
{
  DplReader reader(bytes, job, error, sink);
  return reader.run(start);
}
