// zpl.cpp: reading a ZPL II job: stored graphics, label formats and the labels they print.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The reader knows the commands our ZPL filter writes, and the same commands as other raster
// drivers use them: a graphic downloaded with ~DG under any name, recalled with ^XG at a ^FO
// or ^FT position, boxes, reversed fields, orientation and mirror.  Other commands are noted
// and skipped, as a printer skips what it does not use for a bitmap label.

#include "DataComDecompress.h"
#include "GRFDataZ64.h"
#include "previewimpl.h"
#include "zplrender.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace {

// The byte that our preamble uses to reach the printer before its prefixes are known.
constexpr unsigned char kDle = 0x10;

struct StoredGraphic {
  std::uint64_t rowBytes = 0;
  std::uint64_t rows = 0;
  std::vector<unsigned char> data;
};

struct GraphicEntry {
  std::shared_ptr<const StoredGraphic> graphic;
  std::size_t offset = 0;  // where its ~DG began
  bool recalled = false;
};

// One field of a label format, in dots.  A field placed with ^FT has its bottom edge at y.
struct Field {
  enum class Kind { none, graphic, box } kind = Kind::none;
  std::int64_t x = 0;
  std::int64_t y = 0;
  bool baseline = false;
  bool reverse = false;
  std::shared_ptr<const StoredGraphic> graphic;
  std::int64_t magX = 1;
  std::int64_t magY = 1;
  std::int64_t boxWidth = 0;
  std::int64_t boxHeight = 0;
  std::int64_t thickness = 0;
  bool white = false;
};

struct Rect {
  std::int64_t x0, y0, x1, y1;
};

Rect fieldRect(const Field& f)
{
  std::int64_t w, h;
  if (f.kind == Field::Kind::graphic) {
    w = static_cast<std::int64_t>(f.graphic->rowBytes) * 8 * f.magX;
    h = static_cast<std::int64_t>(f.graphic->rows) * f.magY;
  } else {
    w = std::max(f.boxWidth, f.thickness);
    h = std::max(f.boxHeight, f.thickness);
  }
  std::int64_t top = f.baseline ? f.y - h : f.y;
  return {f.x, top, f.x + w, top + h};
}

// A graphic's black dots are printed black, or reverse what lies under them.
void drawGraphic(LabelImage& image, const Field& f)
{
  const StoredGraphic& g = *f.graphic;
  Rect r = fieldRect(f);
  DotOp op = f.reverse ? DotOp::flip : DotOp::set;
  std::int64_t firstRow = std::max<std::int64_t>(0, -r.y0 / f.magY - 1);
  for (std::uint64_t gy = static_cast<std::uint64_t>(firstRow); gy < g.rows; gy++) {
    const unsigned char* src = g.data.data() + gy * g.rowBytes;
    for (std::int64_t j = 0; j < f.magY; j++) {
      std::int64_t y = r.y0 + static_cast<std::int64_t>(gy) * f.magY + j;
      if (y < 0)
        continue;
      if (y >= image.height)
        return;
      unsigned char* dst = image.bits.data() + static_cast<std::size_t>(y) * image.rowBytes;

      // A graphic at a byte boundary at magnification 1 combines byte by byte.
      if (f.magX == 1 && r.x0 >= 0 && r.x0 % 8 == 0) {
        std::size_t first = static_cast<std::size_t>(r.x0 / 8);
        for (std::uint64_t k = 0; k < g.rowBytes && first + k < image.rowBytes; k++) {
          unsigned char b = src[k];
          std::int64_t left = r.x0 + static_cast<std::int64_t>(k) * 8;
          if (image.width - left < 8)
            b &= static_cast<unsigned char>(0xFF << (8 - (image.width - left)));
          if (op == DotOp::flip)
            dst[first + k] ^= b;
          else
            dst[first + k] |= b;
        }
        continue;
      }
      std::uint64_t firstDot = r.x0 < 0 ? static_cast<std::uint64_t>(-r.x0 / f.magX) : 0;
      for (std::uint64_t gx = firstDot; gx < g.rowBytes * 8; gx++) {
        std::int64_t x = r.x0 + static_cast<std::int64_t>(gx) * f.magX;
        if (x >= image.width)
          break;
        if (src[gx / 8] & (0x80 >> (gx % 8)))
          applyDotSpan(image, y, x, x + f.magX, op);
      }
    }
  }
}

// A box is its border of the given thickness; when the border meets itself the box is solid.
void drawBox(LabelImage& image, const Field& f)
{
  Rect r = fieldRect(f);
  std::int64_t w = r.x1 - r.x0;
  std::int64_t h = r.y1 - r.y0;
  std::int64_t t = f.thickness;
  DotOp op = f.reverse ? DotOp::flip : (f.white ? DotOp::clear : DotOp::set);
  std::int64_t from = std::max<std::int64_t>(r.y0, 0);
  std::int64_t to = std::min<std::int64_t>(r.y1, image.height);
  for (std::int64_t y = from; y < to; y++) {
    std::int64_t row = y - r.y0;
    if (row < t || row >= h - t || 2 * t >= w) {
      applyDotSpan(image, y, r.x0, r.x1, op);
    } else {
      applyDotSpan(image, y, r.x0, r.x0 + t, op);
      applyDotSpan(image, y, r.x1 - t, r.x1, op);
    }
  }
}

bool solidBoxCovers(const Field& f, const LabelImage& image)
{
  if (f.kind != Field::Kind::box || !f.reverse)
    return false;
  Rect r = fieldRect(f);
  std::int64_t w = r.x1 - r.x0;
  std::int64_t h = r.y1 - r.y0;
  bool solid = 2 * f.thickness >= std::min(w, h);
  return solid && r.x0 <= 0 && r.y0 <= 0 && r.x1 >= image.width && r.y1 >= image.height;
}

// Graphic names as the printer stores them: no device letter, upper case, .GRF by default.
std::string graphicName(std::string_view raw)
{
  if (raw.size() >= 2 && raw[1] == ':')
    raw.remove_prefix(2);
  std::string name;
  for (char c : raw)
    name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (name.find('.') == std::string::npos)
    name += ".GRF";
  return name;
}

std::string_view trimLineEnds(std::string_view text)
{
  auto blank = [](char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && blank(text.back()))
    text.remove_suffix(1);
  return text;
}

// A count of up to 18 digits, so that an absurd ~DG size is reported as too large rather
// than as unreadable.
bool readCount(std::string_view text, std::uint64_t& value)
{
  if (text.empty() || text.size() > 18)
    return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

bool grfCharacter(unsigned char c)
{
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Y') || (c >= 'g' && c <= 'z') || c == ',' ||
         c == '!' || c == ':' || c == '\r' || c == '\n';
}

struct ZplReader {
  std::span<const unsigned char> in;
  ZplReader(std::span<const unsigned char> bytes, LabelJob& j, JobError& e, const LabelSink& s)
      : in(bytes), job(j), error(e), sink(s)
  {
  }

  LabelJob& job;
  JobError& error;
  const LabelSink& sink;
  std::size_t pos = 0;

  unsigned char formatPrefix = '^';
  unsigned char controlPrefix = '~';
  unsigned char delimiter = ',';

  std::map<std::string, GraphicEntry> graphics;
  ZplSettings settings;
  std::optional<std::int64_t> printWidth;
  std::optional<std::int64_t> labelLength;
  std::int64_t homeX = 0;
  std::int64_t homeY = 0;
  bool labelReverse = false;

  // Bytes held for stored graphics and drawn labels, and bytes of bitmap drawn so far.
  std::uint64_t storedBytes = 0;
  std::uint64_t labelBytes = 0;
  std::uint64_t work = 0;

  bool inFormat = false;
  std::size_t formatStart = 0;
  std::vector<Field> fields;
  Field field;

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

  bool isPrefix(unsigned char c) const
  {
    return c == formatPrefix || c == controlPrefix || c == kDle;
  }

  std::vector<std::string_view> split(std::string_view params) const
  {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    for (;;) {
      std::size_t at = params.find(static_cast<char>(delimiter), from);
      parts.push_back(trimLineEnds(
          params.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from)));
      if (at == std::string_view::npos)
        return parts;
      from = at + 1;
    }
  }

  // Parameter i as a number, `fallback` when it is missing or empty.
  bool number(const std::vector<std::string_view>& p, std::size_t i, long long fallback,
              long long& value, const std::string& name, std::size_t at)
  {
    if (i >= p.size() || p[i].empty()) {
      value = fallback;
      return true;
    }
    if (!readDecimal(p[i], value))
      return fail(at, "bad number '" + printableText(p[i]) + "' in " + name);
    return true;
  }

  // The first letter of the parameters, upper case; 0 when there is none.
  static char letter(std::string_view params)
  {
    params = trimLineEnds(params);
    if (params.empty())
      return 0;
    char c = params[0];
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }

  void closeField()
  {
    if (field.kind != Field::Kind::none)
      fields.push_back(field);
    field = Field{};
  }

  bool run(std::size_t start)
  {
    pos = start;
    while (pos < in.size()) {
      unsigned char b = in[pos];
      if (b == '\r' || b == '\n' || b == ' ' || b == '\t') {
        pos++;
        continue;
      }
      if (!isPrefix(b))
        return fail(pos, "unexpected byte " + describeByte(b) + " between commands");
      if (!command())
        return false;
    }
    return finishJob();
  }

  bool command()
  {
    std::size_t start = pos;
    bool format = in[pos] == formatPrefix && in[pos] != controlPrefix;
    if (in.size() - pos < 3)
      return fail(in.size(), "the job ends inside a command");
    std::string name;
    for (int i = 1; i <= 2; i++) {
      unsigned char c = in[pos + i];
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
        return fail(pos + i, "byte " + describeByte(c) + " cannot be part of a command name");
      name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    pos += 3;
    std::string shown = (format ? "^" : "~") + name;

    // The prefix and delimiter changes take exactly one byte, which may be a prefix itself.
    if (name == "CC" || name == "CD" || name == "CT") {
      if (pos == in.size())
        return fail(pos, "the job ends inside " + shown);
      unsigned char c = in[pos++];
      if (name == "CC")
        formatPrefix = c;
      else if (name == "CD")
        delimiter = c;
      else
        controlPrefix = c;
      return true;
    }

    std::size_t paramStart = pos;
    while (pos < in.size() && !isPrefix(in[pos]))
      pos++;
    std::string_view params(reinterpret_cast<const char*>(in.data()) + paramStart,
                            pos - paramStart);

    if (!format)
      return controlCommand(name, shown, start, paramStart, params);
    if (name == "XA") {
      if (inFormat)
        return fail(start, "^XA inside a label format that has not ended");
      inFormat = true;
      formatStart = start;
      fields.clear();
      field = Field{};
      settings.quantity = 1;
      settings.pauseEvery = 0;
      settings.replicates = 0;
      settings.overridePause = 'N';
      settings.formatPause = false;
      settings.reversed = false;
      return noParameters(shown, paramStart, params);
    }
    if (!inFormat)
      return fail(start, shown + " outside a label format (^XA ... ^XZ)");
    return formatCommand(name, shown, start, paramStart, params);
  }

  bool noParameters(const std::string& shown, std::size_t paramStart, std::string_view params)
  {
    std::string_view text = trimLineEnds(params);
    if (!text.empty())
      return fail(paramStart + static_cast<std::size_t>(text.data() - params.data()),
                  "unexpected text after " + shown + ": '" + printableText(text) + "'");
    return true;
  }

  bool controlCommand(const std::string& name, const std::string& shown, std::size_t start,
                      std::size_t paramStart, std::string_view params)
  {
    if (name == "DG")
      return download(start, paramStart, params);
    std::vector<std::string_view> p = split(params);
    long long v = 0;
    if (name == "SD") {
      if (!number(p, 0, 0, v, shown, start))
        return false;
      settings.darkness = static_cast<int>(v);
    } else if (name == "TA") {
      if (!number(p, 0, 0, v, shown, start))
        return false;
      settings.tearOff = static_cast<int>(v);
    } else if (name == "JS") {
      settings.backfeed = letter(params);
    } else {
      note("ZPL command " + shown + " ignored");
    }
    return true;
  }

  bool formatCommand(const std::string& name, const std::string& shown, std::size_t start,
                     std::size_t paramStart, std::string_view params)
  {
    std::vector<std::string_view> p = split(params);
    long long a = 0;
    long long b = 0;
    long long c = 0;

    if (name == "XZ") {
      if (!noParameters(shown, paramStart, params))
        return false;
      return finishFormat();
    }
    if (name == "FO" || name == "FT") {
      if (!number(p, 0, 0, a, shown, start) || !number(p, 1, 0, b, shown, start))
        return false;
      closeField();
      field.x = homeX + a - settings.labelShift.value_or(0);
      field.y = homeY + b + settings.labelTop.value_or(0);  // ^LT moves the whole format
      field.baseline = name == "FT";
      return true;
    }
    if (name == "FS") {
      closeField();
      return noParameters(shown, paramStart, params);
    }
    if (name == "FR") {
      field.reverse = true;
      return noParameters(shown, paramStart, params);
    }
    if (name == "XG")
      return recall(shown, start, p);
    if (name == "GB") {
      if (!number(p, 2, 1, c, shown, start) || !number(p, 0, c, a, shown, start) ||
          !number(p, 1, c, b, shown, start))
        return false;
      if (a < 1 || b < 1 || c < 1)
        return fail(start, "box sizes in " + shown + " must be at least 1 dot");
      if (field.kind != Field::Kind::none)
        closeField();
      field.kind = Field::Kind::box;
      field.boxWidth = a;
      field.boxHeight = b;
      field.thickness = c;
      field.white = p.size() > 3 && letter(p[3]) == 'W';
      field.reverse = field.reverse || labelReverse;
      return true;
    }
    if (name == "PW" || name == "LL") {
      if (!number(p, 0, 0, a, shown, start))
        return false;
      if (a < 1 || a > kMaxLabelDots)
        return fail(start, shown + " " + std::to_string(a) + " lies outside 1 to " +
                               std::to_string(kMaxLabelDots) + " dots");
      (name == "PW" ? printWidth : labelLength) = a;
      return true;
    }
    if (name == "LH") {
      if (!number(p, 0, 0, a, shown, start) || !number(p, 1, 0, b, shown, start))
        return false;
      homeX = a;
      homeY = b;
      return true;
    }
    if (name == "LS" || name == "LT" || name == "CI") {
      if (!number(p, 0, 0, a, shown, start))
        return false;
      (name == "LS"   ? settings.labelShift
       : name == "LT" ? settings.labelTop
                      : settings.characterSet) = static_cast<int>(a);
      return true;
    }
    if (name == "PR")
      return speeds(shown, start, p);
    if (name == "PQ") {
      long long r = 0;
      if (!number(p, 0, 1, a, shown, start) || !number(p, 1, 0, b, shown, start) ||
          !number(p, 2, 0, r, shown, start))
        return false;
      settings.quantity = static_cast<int>(a);
      settings.pauseEvery = static_cast<int>(b);
      settings.replicates = static_cast<int>(r);
      settings.overridePause = p.size() > 3 && letter(p[3]) == 'Y' ? 'Y' : 'N';
      return true;
    }
    if (name == "PP") {
      settings.formatPause = true;
      return noParameters(shown, paramStart, params);
    }
    if (name == "LR") {
      labelReverse = letter(params) == 'Y';
      return true;
    }
    if (name == "ID") {
      auto found = graphics.find(graphicName(p[0]));
      if (found != graphics.end()) {
        storedBytes -= found->second.graphic->data.size();
        graphics.erase(found);
      }
      return true;
    }
    if (name == "MN")
      settings.mediaSensing = letter(params);
    else if (name == "MT")
      settings.printMethod = letter(params);
    else if (name == "PO")
      settings.orientation = letter(params);
    else if (name == "PM")
      settings.mirror = letter(params);
    else if (name == "MM")
      settings.printMode = letter(params);
    else if (name == "JM")
      settings.dotMode = letter(params);
    else if (name == "JU")
      settings.configurationSaved = settings.configurationSaved || letter(params) == 'S';
    else
      note("ZPL command " + shown + " ignored");
    return true;
  }

  // ^PR print, slew and back-feed speeds, as inches per second or the letters A to E.
  bool speeds(const std::string& shown, std::size_t start, const std::vector<std::string_view>& p)
  {
    std::optional<int>* targets[] = {&settings.printSpeed, &settings.slewSpeed,
                                     &settings.backfeedSpeed};
    for (std::size_t i = 0; i < p.size() && i < 3; i++) {
      if (p[i].empty())
        continue;
      static constexpr int letterSpeeds[] = {2, 3, 4, 6, 8};
      long long v = 0;
      if (p[i].size() == 1 && p[i][0] >= 'A' && p[i][0] <= 'E')
        v = letterSpeeds[p[i][0] - 'A'];
      else if (!readDecimal(p[i], v))
        return fail(start, "bad speed '" + printableText(p[i]) + "' in " + shown);
      *targets[i] = static_cast<int>(v);
    }
    return true;
  }

  bool recall(const std::string& shown, std::size_t start, const std::vector<std::string_view>& p)
  {
    long long mx = 1;
    long long my = 1;
    if (!number(p, 1, 1, mx, shown, start) || !number(p, 2, 1, my, shown, start))
      return false;
    if (mx < 1 || mx > 10 || my < 1 || my > 10)
      return fail(start, "magnification in " + shown + " must be 1 to 10");
    std::string name = graphicName(p[0]);
    auto found = graphics.find(name);
    if (found == graphics.end())
      return fail(start,
                  shown + " recalls graphic " + printableText(name) + ", which is not stored");
    found->second.recalled = true;
    if (field.kind != Field::Kind::none)
      closeField();
    field.kind = Field::Kind::graphic;
    field.graphic = found->second.graphic;
    field.magX = mx;
    field.magY = my;
    field.reverse = field.reverse || labelReverse;
    return true;
  }

  // ~DG name,total,bytes per row,data: the data is GRF text, or Z64 or B64 data, up to the
  // next command.
  bool download(std::size_t start, std::size_t paramStart, std::string_view params)
  {
    std::size_t commas[3];
    std::size_t from = 0;
    for (std::size_t& comma : commas) {
      comma = params.find(static_cast<char>(delimiter), from);
      if (comma == std::string_view::npos) {
        if (pos == in.size())
          return fail(in.size(), "the job ends inside the ~DG header");
        return fail(start, "~DG needs a graphic name, a byte count and bytes per row");
      }
      from = comma + 1;
    }
    std::string name = graphicName(trimLineEnds(params.substr(0, commas[0])));
    std::string_view totalText =
        trimLineEnds(params.substr(commas[0] + 1, commas[1] - commas[0] - 1));
    std::string_view rowText =
        trimLineEnds(params.substr(commas[1] + 1, commas[2] - commas[1] - 1));
    std::uint64_t total = 0;
    std::uint64_t rowBytes = 0;
    if (!readCount(totalText, total) || total == 0)
      return fail(start, "bad byte count '" + printableText(totalText) + "' in ~DG");
    if (!readCount(rowText, rowBytes) || rowBytes == 0)
      return fail(start, "bad bytes per row '" + printableText(rowText) + "' in ~DG");
    if (total > kMaxLabelBytes)
      return fail(start, "~DG declares " + std::to_string(total) + " bytes, more than the " +
                             std::to_string(kMaxLabelBytes) + " a preview accepts");
    if (rowBytes * 8 > kMaxLabelDots)
      return fail(start, "~DG rows of " + std::to_string(rowBytes) +
                             " bytes are wider than a preview draws");
    if (total % rowBytes != 0)
      return fail(start, "~DG byte count " + std::to_string(total) +
                             " is not a whole number of rows of " + std::to_string(rowBytes) +
                             " bytes");

    auto old = graphics.find(name);
    std::uint64_t replaced = old == graphics.end() ? 0 : old->second.graphic->data.size();
    if (storedBytes - replaced + total + labelBytes > kMaxJobPictureBytes)
      return fail(start, budgetText());

    std::size_t dataStart = paramStart + commas[2] + 1;
    std::string_view text = params.substr(commas[2] + 1);
    auto g = std::make_shared<StoredGraphic>();
    g->rowBytes = rowBytes;
    g->rows = total / rowBytes;
    g->data.assign(total, 0);
    std::uint64_t produced = 0;
    std::string_view z64 = text.substr(std::min(text.find_first_not_of("\r\n \t"), text.size()));
    if (GRFIsZ64Data(z64.data(), z64.size())) {
      GRFZ64Fault fault;
      int status = GRFDataZ64Decode(z64.data(), z64.size(), g->data.data(), total, &fault);
      if (status != 0)
        return z64Fault(dataStart + static_cast<std::size_t>(z64.data() - text.data()), status,
                        fault, name);
      produced = total;
    } else if (!text.empty()) {
      produced = total;
      int status = GRFDataDecompress(text.data(), text.size(), rowBytes, g->data.data(), &produced);
      if (status == 1)
        return badCharacter(dataStart, text);
      if (status != 0)
        return overflow(dataStart, text, rowBytes, total, name);
    }
    if (produced != total) {
      if (pos == in.size())
        return fail(in.size(), "the job ends inside the data of graphic " + printableText(name) +
                                   ": " + std::to_string(produced) + " of " +
                                   std::to_string(total) + " bytes");
      return fail(dataStart, "the data of graphic " + printableText(name) + " gives " +
                                 std::to_string(produced) + " bytes, ~DG declared " +
                                 std::to_string(total));
    }

    if (old != graphics.end() && !old->second.recalled)
      note("graphic " + printableText(name) + " downloaded at byte " +
           std::to_string(old->second.offset) + " was replaced before it was printed");
    graphics[name] = {std::move(g), start, false};
    storedBytes += total - replaced;
    return true;
  }

  static std::string budgetText()
  {
    return "the job's graphics and labels need more than " + std::to_string(kMaxJobPictureBytes) +
           " bytes, more than a preview holds";
  }

  // What is wrong with Z64 or B64 data that starts at byte `at`.
  bool z64Fault(std::size_t at, int status, const GRFZ64Fault& f, const std::string& name)
  {
    std::size_t where = at + static_cast<std::size_t>(f.nPosition);
    std::string graphic = "graphic " + printableText(name);
    auto hex4 = [](std::uint64_t v) {
      char text[8];
      std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(v & 0xFFFF));
      return std::string(text);
    };
    auto found = [&] {
      return where < in.size() ? "byte " + describeByte(in[where]) : std::string("the end of the job");
    };
    switch (status) {
      case kGRFZ64BadBase64:
        return fail(where, "byte " + describeByte(static_cast<unsigned char>(f.nFound)) +
                               " is not Base64 in the data of " + graphic);
      case kGRFZ64BadPadding:
        return fail(where, "the Base64 text of " + graphic +
                               " is not a whole number of groups of four, padded with '=' only "
                               "at its end");
      case kGRFZ64NoCrc:
        if (where >= in.size())
          return fail(in.size(), "the job ends inside the data of " + graphic +
                                     ", before its ':' and four-digit CRC");
        return fail(where, found() + " where the data of " + graphic +
                               " needs ':' and a four-digit hex CRC");
      case kGRFZ64CrcMismatch:
        return fail(where, "the CRC of " + graphic + " is " + hex4(f.nFound) +
                               ", its Base64 text gives " + hex4(f.nExpected));
      case kGRFZ64AfterCrc:
        return fail(where, found() + " after the CRC of " + graphic);
      case kGRFZ64NoInflate:
        return fail(where, "the Z64 data of " + graphic + " does not inflate (" +
                               (f.pszDetail ? f.pszDetail : "zlib") + ")");
      case kGRFZ64AfterStream:
        return fail(where, std::to_string(f.nFound) + " bytes follow the end of the deflated " +
                               "data of " + graphic);
      case kGRFZ64WrongSize:
        if (f.bMore)
          return fail(where, "the data of " + graphic + " gives more than the " +
                                 std::to_string(f.nExpected) + " bytes ~DG declared");
        return fail(where, "the data of " + graphic + " gives " + std::to_string(f.nFound) +
                               " bytes, ~DG declared " + std::to_string(f.nExpected));
      case 3:
        return fail(where, "no memory to read the data of " + graphic);
      default:
        return fail(where, "the data of " + graphic + " cannot be read");
    }
  }

  bool badCharacter(std::size_t dataStart, std::string_view text)
  {
    for (std::size_t i = 0; i < text.size(); i++) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (!grfCharacter(c))
        return fail(dataStart + i, "byte " + describeByte(c) + " does not belong in graphic data");
    }
    return fail(dataStart, "the graphic data cannot be read");
  }

  // Finds the character at which the data stops fitting, by reading it again one character
  // at a time.
  bool overflow(std::size_t dataStart, std::string_view text, std::uint64_t rowBytes,
                std::uint64_t total, const std::string& name)
  {
    std::vector<unsigned char> block(total);
    std::uint64_t position = 0;
    std::uint64_t repeat = 1;
    std::uint64_t produced = 0;
    std::uint64_t nibbles = 0;
    unsigned char pending = 0;
    for (std::size_t i = 0; i < text.size(); i++) {
      int status =
          GRFDataDecompressSingleCharProcess(text[i], rowBytes, &position, &pending, &repeat,
                                             &produced, &nibbles, block.data(), total);
      if (status != 6)
        continue;
      if (text[i] == ':' && position < rowBytes)
        return fail(dataStart + i,
                    "':' repeats a row of graphic " + printableText(name) + " before there is one");
      return fail(dataStart + i, "the data of graphic " + printableText(name) + " goes past the " +
                                     std::to_string(total) + " bytes ~DG declared");
    }
    return fail(dataStart, "the data of graphic " + printableText(name) +
                               " does not fit the size ~DG declared");
  }

  bool finishFormat()
  {
    closeField();
    inFormat = false;
    if (fields.empty())
      return true;  // a format of settings alone prints nothing

    std::int64_t width = 1;
    std::int64_t height = 1;
    for (const Field& f : fields) {
      Rect r = fieldRect(f);
      width = std::max(width, r.x1);
      height = std::max(height, r.y1);
    }
    PreviewLabel label;
    if (printWidth)
      width = *printWidth;
    else
      label.notes.push_back("no ^PW in the job: the width is that of the fields");
    if (labelLength)
      height = *labelLength;
    else
      label.notes.push_back("no ^LL in the job: the length is that of the fields");
    if (!labelSizeAllowed(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)))
      return fail(formatStart, "a label of " + std::to_string(width) + " x " +
                                   std::to_string(height) + " dots is larger than a preview draws");

    // What this label costs, in memory and in drawing: each field's part on the label, and
    // one pass over the label for a mirror or a turn.
    std::uint64_t bytes =
        static_cast<std::uint64_t>(width + 7) / 8 * static_cast<std::uint64_t>(height);
    if (storedBytes + labelBytes + bytes > kMaxJobPictureBytes)
      return fail(formatStart, budgetText());
    work += 2 * bytes;
    for (const Field& f : fields) {
      Rect r = fieldRect(f);
      std::int64_t w = std::min(r.x1, width) - std::max<std::int64_t>(r.x0, 0);
      std::int64_t h = std::min(r.y1, height) - std::max<std::int64_t>(r.y0, 0);
      if (w > 0 && h > 0)
        work += static_cast<std::uint64_t>(w / 8 + 1) * static_cast<std::uint64_t>(h);
    }
    if (work > jobWorkAllowed(in.size()))
      return fail(formatStart, tooMuchWork(in.size()));

    label.image =
        blankLabelImage(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    label.offset = formatStart;
    for (const Field& f : fields) {
      if (f.kind == Field::Kind::graphic)
        drawGraphic(label.image, f);
      else
        drawBox(label.image, f);
      settings.reversed = settings.reversed || solidBoxCovers(f, label.image);
    }
    if (settings.mirror == 'Y')
      mirrorLabelImage(label.image);
    if (settings.orientation == 'I')
      turnLabelImage(label.image);
    label.zpl = settings;
    fields.clear();
    if (!sink)
      labelBytes += bytes;
    if (!deliverLabel(job, std::move(label), sink))
      return fail(formatStart, "");
    return true;
  }

  bool finishJob()
  {
    if (inFormat)
      return fail(in.size(), "the job ends inside a label format (no ^XZ)");
    for (const auto& [name, entry] : graphics)
      if (!entry.recalled)
        return fail(in.size(), "the job ends with graphic " + printableText(name) +
                                   " downloaded at byte " + std::to_string(entry.offset) +
                                   " but never printed");
    if (job.labels.empty())
      return fail(in.size(), "the job prints no label");
    return true;
  }
};

}  // namespace

namespace {

// True when the job holds only commands this reader acts on (those of our own filters and of
// other raster drivers); any other command sends the job to the label renderer.
bool rasterCommandsOnly(std::span<const unsigned char> bytes, std::size_t start)
{
  static const char* const known[] = {"XA", "XZ", "FO", "FT", "FS", "FR", "XG", "GB", "PW",
                                      "LL", "LH", "LS", "LT", "CI", "PQ", "PP", "LR", "ID",
                                      "MN", "MT", "PO", "PM", "MM", "JM", "JU", "PR", "SD",
                                      "TA", "JS", "DG", "CC", "CD", "CT"};
  unsigned char formatPrefix = '^';
  unsigned char controlPrefix = '~';
  for (std::size_t i = start; i + 2 < bytes.size(); i++) {
    unsigned char b = bytes[i];
    if (b != formatPrefix && b != controlPrefix && b != kDle)
      continue;
    char name[3] = {static_cast<char>(bytes[i + 1]), static_cast<char>(bytes[i + 2]), 0};
    for (char& c : name)
      if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    bool found = false;
    for (const char* k : known)
      found = found || std::strcmp(k, name) == 0;
    if (!found)
      return false;
    if ((name[0] == 'C' && (name[1] == 'C' || name[1] == 'T')) && i + 3 < bytes.size()) {
      (name[1] == 'C' ? formatPrefix : controlPrefix) = bytes[i + 3];
      i += 3;
      continue;
    }
    i += 2;
  }
  return true;
}

std::string fieldLine(const zplrender::FieldInfo& f)
{
  std::string line = f.kind + " at " + std::to_string(f.x) + "," + std::to_string(f.y);
  if (f.rotation != 'N')
    line += std::string(" turned ") + f.rotation;
  if (!f.data.empty())
    line += ": '" + printableText(f.data) + "'";
  if (!f.problem.empty())
    line += " (not drawn: " + f.problem + ")";
  return line;
}

ZplSettings settingsOf(const zplrender::PrinterSettings& s)
{
  ZplSettings z;
  z.darkness = s.darkness;
  z.printSpeed = s.printSpeed;
  z.slewSpeed = s.slewSpeed;
  z.backfeedSpeed = s.backfeedSpeed;
  z.mediaSensing = s.mediaSensing;
  z.printMethod = s.printMethod;
  z.orientation = s.orientation;
  z.mirror = s.mirror;
  z.printMode = s.printMode;
  z.backfeed = s.backfeed;
  z.dotMode = s.dotMode;
  z.tearOff = s.tearOff;
  z.labelTop = s.labelTop;
  z.labelShift = s.labelShift;
  z.characterSet = s.characterSet;
  z.configurationSaved = s.configurationSaved;
  z.quantity = s.quantity;
  z.pauseEvery = s.pauseEvery;
  z.replicates = s.replicates;
  z.overridePause = s.overridePause;
  z.formatPause = s.formatPause;
  z.reversed = s.reversed;
  return z;
}

// Any other ZPL job: drawn by the label renderer, each label handed on as it is drawn.
bool renderZplJob(std::span<const unsigned char> bytes, std::size_t start, LabelJob& job,
                  JobError& error, const LabelSink& sink, const ZplDrawing* drawing)
{
  zplrender::Options options;
  if (drawing) {
    options.dpi = drawing->dpi;
    options.mediaWidth = drawing->mediaWidth;
    options.mediaHeight = drawing->mediaHeight;
    options.font = drawing->font;
  }
  options.limits.maxLabelBytes = std::min<std::uint64_t>(options.limits.maxLabelBytes, kMaxLabelBytes);
  bool stopped = false;
  auto each = [&](zplrender::Label& drawn, int) {
    PreviewLabel label;
    label.image.width = static_cast<std::uint32_t>(drawn.image.width);
    label.image.height = static_cast<std::uint32_t>(drawn.image.height);
    label.image.rowBytes = drawn.image.rowBytes;
    label.image.bits = std::move(drawn.image.bits);
    label.offset = start + drawn.offset;
    label.zpl = settingsOf(drawn.settings);
    for (const zplrender::FieldInfo& f : drawn.fields)
      label.fields.push_back(fieldLine(f));
    label.notes = drawn.notes;
    if (!deliverLabel(job, std::move(label), sink)) {
      stopped = true;
      return false;
    }
    return true;
  };
  zplrender::Result result;
  bool ok = zplrender::renderZpl(bytes.subspan(start), options, result, each);
  job.notes = result.notes;
  if (stopped) {
    error = {start + result.errorOffset, static_cast<int>(job.labels.size()), ""};
    return false;
  }
  if (!ok) {
    error = {start + result.errorOffset, static_cast<int>(job.labels.size()) + 1, result.error};
    return false;
  }
  return true;
}

}  // namespace

bool parseZplJob(std::span<const unsigned char> bytes, std::size_t start, LabelJob& job,
                 JobError& error, const LabelSink& sink, const ZplDrawing* drawing)
{
  if (!rasterCommandsOnly(bytes, start))
    return renderZplJob(bytes, start, job, error, sink, drawing);
  ZplReader reader(bytes, job, error, sink);
  return reader.run(start);
}
