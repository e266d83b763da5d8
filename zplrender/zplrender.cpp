// zplrender.cpp: reading a ZPL II job and drawing its labels.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// The reader takes commands one at a time from a stack of sources: the job itself and the
// stored formats ^XF recalls.  A field collects its commands until ^FS; at ^XZ the label's
// fields get their data (^FN values, serial numbers for each copy) and are drawn in order.
// Text and barcodes are drawn into a field mask, turned and placed; boxes, circles, lines and
// graphics go onto the label directly.  Commands a bitmap does not show are kept as settings or
// noted once.

#include "zplrender.h"

#include "DataComDecompress.h"
#include "GRFDataZ64.h"
#include "barcode.h"
#include "exactcheck.h"
#include "text.h"

#include <cstdint>
#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <set>

namespace zplrender {

bool bitmapDot(const Bitmap& image, int x, int y)
{
  if (x < 0 || y < 0 || x >= image.width || y >= image.height)
    return false;
  return (image.bits[static_cast<std::size_t>(y) * image.rowBytes + x / 8] & (0x80 >> (x % 8))) != 0;
}

// A command text for a message: printable ASCII kept, other bytes as <0x..>, at most 40 bytes.
std::string printable(std::string_view text)
{
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < 40; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<0x%02X>", c);
      out += hex;
    }
  }
  if (text.size() > 40)
    out += "...";
  return out;
}

std::string describeByte(unsigned char byte)
{
  char text[8];
  if (byte > 0x20 && byte < 0x7F && byte != '\'')
    std::snprintf(text, sizeof text, "'%c'", byte);
  else
    std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

bool readDecimal(std::string_view text, long long& value)
{
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+'))
    negative = text[i++] == '-';
  if (i == text.size() || text.size() - i > 9)
    return false;
  long long v = 0;
  for (; i < text.size(); i++) {
    if (text[i] < '0' || text[i] > '9')
      return false;
    v = v * 10 + (text[i] - '0');
  }
  value = negative ? -v : v;
  return true;
}

namespace {

// The byte our own jobs use as a control prefix before the printer's prefixes are known.
constexpr unsigned char kDle = 0x10;

// Every field and the job as a whole run at most this many commands (stored formats recalled
// again and again included).
constexpr std::uint64_t kMaxCommands = 20000000;

enum class Op { set, clear, flip };

void span(Bitmap& image, long long y, long long x0, long long x1, Op op)
{
  if (y < 0 || y >= image.height)
    return;
  x0 = std::max(0LL, x0);
  x1 = std::min<long long>(image.width, x1);
  if (x0 >= x1)
    return;
  std::uint8_t* row = image.bits.data() + static_cast<std::size_t>(y) * image.rowBytes;
  auto apply = [op](std::uint8_t& byte, std::uint8_t bits) {
    if (op == Op::set)
      byte |= bits;
    else if (op == Op::clear)
      byte &= static_cast<std::uint8_t>(~bits);
    else
      byte ^= bits;
  };
  long long firstByte = x0 / 8;
  long long lastByte = (x1 - 1) / 8;
  std::uint8_t head = static_cast<std::uint8_t>(0xFF >> (x0 % 8));
  std::uint8_t tail = static_cast<std::uint8_t>(0xFF << (7 - (x1 - 1) % 8));
  if (firstByte == lastByte) {
    apply(row[firstByte], head & tail);
    return;
  }
  apply(row[firstByte], head);
  for (long long b = firstByte + 1; b < lastByte; b++)
    apply(row[b], 0xFF);
  apply(row[lastByte], tail);
}

Bitmap blank(int width, int height)
{
  Bitmap b;
  b.width = width;
  b.height = height;
  b.rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
  b.bits.assign(b.rowBytes * static_cast<std::size_t>(height), 0);
  return b;
}

// Reverses the dots of each row in place: bytes in reverse order, bits in each byte reversed,
// then the row shifted left by the padding bits past the width.
void reverseRows(Bitmap& image)
{
  static const auto reversed = [] {
    std::array<std::uint8_t, 256> table{};
    for (int b = 0; b < 256; b++) {
      int r = 0;
      for (int i = 0; i < 8; i++)
        if (b & (1 << i))
          r |= 0x80 >> i;
      table[b] = static_cast<std::uint8_t>(r);
    }
    return table;
  }();
  std::size_t n = image.rowBytes;
  int pad = static_cast<int>(n * 8 - static_cast<std::size_t>(image.width));
  for (int y = 0; y < image.height; y++) {
    std::uint8_t* row = image.bits.data() + static_cast<std::size_t>(y) * n;
    std::reverse(row, row + n);
    for (std::size_t i = 0; i < n; i++)
      row[i] = reversed[row[i]];
    if (pad) {
      for (std::size_t i = 0; i < n; i++) {
        unsigned next = i + 1 < n ? row[i + 1] : 0;
        row[i] = static_cast<std::uint8_t>((row[i] << pad) | (next >> (8 - pad)));
      }
    }
  }
}

void mirror(Bitmap& image)
{
  reverseRows(image);
}

// Turned by 180 degrees: the rows in reverse order, each reversed.
void turn(Bitmap& image)
{
  std::size_t n = image.rowBytes;
  for (int top = 0, bottom = image.height - 1; top < bottom; top++, bottom--)
    std::swap_ranges(image.bits.begin() + static_cast<std::ptrdiff_t>(top * n),
                     image.bits.begin() + static_cast<std::ptrdiff_t>((top + 1) * n),
                     image.bits.begin() + static_cast<std::ptrdiff_t>(bottom * n));
  reverseRows(image);
}

char upper(char c)
{
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string trim(std::string_view s)
{
  auto blank = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; };
  while (!s.empty() && blank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && blank(s.back()))
    s.remove_suffix(1);
  return std::string(s);
}


// A number as ZPL reads one: leading blanks, a sign, digits and a fraction; anything else
// leaves the default.
bool parseNumber(std::string_view text, double& value)
{
  std::string t = trim(text);
  if (t.empty())
    return false;
  std::size_t i = 0;
  bool negative = false;
  if (t[i] == '-' || t[i] == '+')
    negative = t[i++] == '-';
  double v = 0;
  bool digits = false;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
    if (v < 1e12)
      v = v * 10 + (t[i] - '0');
    i++;
    digits = true;
  }
  if (i < t.size() && t[i] == '.') {
    double scale = 0.1;
    for (i++; i < t.size() && t[i] >= '0' && t[i] <= '9'; i++, scale /= 10) {
      v += (t[i] - '0') * scale;
      digits = true;
    }
  }
  if (!digits)
    return false;
  value = negative ? -v : v;
  return true;
}

std::string storedName(std::string_view raw, const char* extension)
{
  std::string name = trim(raw);
  if (name.size() >= 2 && name[1] == ':')
    name.erase(0, 2);
  for (char& c : name)
    c = upper(c);
  if (name.find('.') == std::string::npos)
    name += extension;
  return name;
}

struct Graphic {
  int rowBytes = 0;
  int rows = 0;
  std::vector<std::uint8_t> data;
};

enum class Kind { none, text, barcode, box, ellipse, diagonal, graphic };

struct Block {
  bool on = false;
  bool textBlock = false;  // ^TB: clipped to a height, no line count
  int width = 0;
  int lines = 1;
  int spacing = 0;
  char justify = 'L';
  int indent = 0;
  int height = 0;
};

struct Serial {
  enum class Type { none, sn, sf } type = Type::none;
  long long increment = 1;
  bool zeros = false;
  std::string mask;
  std::string step;
};

struct Field {
  Kind kind = Kind::none;
  std::string command;  // "A0", "BC", "GB", ...
  bool hasOrigin = false;
  long long x = 0;
  long long y = 0;
  bool baseline = false;
  bool follow = false;  // ^FT without a position: after the previous field
  int justify = 0;      // 0 left, 1 right
  char rotation = 0;
  bool fontSet = false;
  FontUse font;
  BarcodeField bar;
  long long w = 0, h = 0, t = 1;
  char color = 'B';
  int rounding = 0;
  char lean = 'R';
  std::shared_ptr<const Graphic> graphic;
  int magX = 1, magY = 1;
  bool reverse = false;
  Block block;
  bool hex = false;
  char hexChar = '_';
  std::string data;
  bool hasData = false;
  int fn = -1;
  Serial serial;
  bool stored = false;
  std::size_t offset = 0;
  std::string problem;
  // ^SF's data at the last copy drawn, so that each copy counts on by one step.
  std::string serialData;
  long long serialSteps = -1;
};

struct Source {
  std::shared_ptr<const std::string> owned;
  std::string_view text;
  std::size_t pos = 0;
  int depth = 0;
  std::size_t offset = 0;  // where in the job a stored format was recalled
};

// ^FH: the indicator and two hex digits stand for that byte; anything else is kept.
std::string hexDecode(const std::string& data, char indicator)
{
  auto hexValue = [](char c) {
    if (c >= '0' && c <= '9')
      return c - '0';
    c = upper(c);
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
  };
  std::string out;
  for (std::size_t i = 0; i < data.size(); i++) {
    if (data[i] == indicator && i + 2 < data.size() && hexValue(data[i + 1]) >= 0 &&
        hexValue(data[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(data[i + 1]) * 16 + hexValue(data[i + 2]));
      i += 2;
    } else {
      out += data[i];
    }
  }
  return out;
}

// Windows-1252's 0x80 to 0x9F (^CI27); other bytes above 0x7F are Latin-1.
constexpr char16_t kCp1252[32] = {
    0x20AC, 0x81,   0x201A, 0x192,  0x201E, 0x2026, 0x2020, 0x2021, 0x2C6, 0x2030, 0x160,
    0x2039, 0x152,  0x8D,   0x17D,  0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x2DC,  0x2122, 0x161,  0x203A, 0x153,  0x9D,   0x17E,  0x178};

// Field data as characters: UTF-8 under ^CI28 (a byte that does not start or continue a
// sequence becomes U+FFFD), Windows-1252 under ^CI27, Latin-1 otherwise.
std::u32string decodeText(const std::string& bytes, int characterSet)
{
  std::u32string out;
  if (characterSet != 28) {
    for (unsigned char c : bytes)
      out += characterSet == 27 && c >= 0x80 && c < 0xA0 ? kCp1252[c - 0x80] : c;
    return out;
  }
  for (std::size_t i = 0; i < bytes.size();) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    char32_t v = more <= 0 ? c : c & (0x3F >> more);
    bool whole = more >= 0 && i + static_cast<std::size_t>(more) < bytes.size();
    for (int k = 1; whole && k <= more; k++) {
      unsigned char d = static_cast<unsigned char>(bytes[i + k]);
      whole = (d & 0xC0) == 0x80;
      v = (v << 6) | (d & 0x3F);
    }
    if (!whole) {
      out += U'\uFFFD';
      i++;
      continue;
    }
    out += v;
    i += static_cast<std::size_t>(more) + 1;
  }
  return out;
}

// ^SN: the last run of digits of `start` counted on by `steps` increments.
std::string serialNumber(const std::string& start, long long increment, bool zeros, long long steps)
{
  std::size_t end = start.find_last_of("0123456789");
  if (end == std::string::npos)
    return start;
  std::size_t begin = end;
  while (begin > 0 && start[begin - 1] >= '0' && start[begin - 1] <= '9')
    begin--;
  std::string digits = start.substr(begin, end - begin + 1);
  long long value = 0;
  for (char c : digits.substr(digits.size() > 17 ? digits.size() - 17 : 0))
    value = value * 10 + (c - '0');
  value += increment * steps;
  if (value < 0)
    value = 0;
  std::string text = std::to_string(value);
  bool pad = zeros || (digits.size() > 1 && digits[0] == '0');
  if (pad && text.size() < digits.size())
    text.insert(0, digits.size() - text.size(), '0');
  return start.substr(0, begin) + text + start.substr(end + 1);
}

// ^SF: the data counted on position by position under `mask` (D decimal, H hex, O octal,
// A letters, N digits and letters, % left alone), `steps` times by `step`.
std::string serialField(std::string data, const std::string& mask, const std::string& step,
                        long long steps)
{
  auto radix = [](char m) {
    switch (upper(m)) {
      case 'D': return 10;
      case 'H': return 16;
      case 'O': return 8;
      case 'A': return 26;
      case 'N': return 36;
      default: return 0;
    }
  };
  auto digitOf = [](char c, char m) {
    c = upper(c);
    switch (upper(m)) {
      case 'A': return c >= 'A' && c <= 'Z' ? c - 'A' : 0;
      case 'N': return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 0;
      default: return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 0;
    }
  };
  auto charOf = [](int v, char m) {
    switch (upper(m)) {
      case 'A': return static_cast<char>('A' + v);
      case 'N': return static_cast<char>(v < 10 ? '0' + v : 'A' + v - 10);
      default: return static_cast<char>(v < 10 ? '0' + v : 'A' + v - 10);
    }
  };
  if (mask.empty() || data.empty())
    return data;
  std::size_t n = std::min(mask.size(), data.size());
  for (long long s = 0; s < steps; s++) {
    int carry = 0;
    for (std::size_t k = 0; k < n; k++) {
      std::size_t di = data.size() - 1 - k;
      char m = mask[mask.size() - 1 - k];
      int r = radix(m);
      if (!r)
        continue;
      int add = k < step.size() ? digitOf(step[step.size() - 1 - k], m) : 0;
      int v = digitOf(data[di], m) + add + carry;
      carry = v / r;
      data[di] = charOf(v % r, m);
    }
  }
  return data;
}

class Renderer {
 public:
  Renderer(std::span<const std::uint8_t> job, const Options& options, Result& result,
           const LabelSink& sink)
      : job_(reinterpret_cast<const char*>(job.data()), job.size()),
        options_(options),
        result_(result),
        sink_(sink)
  {
    int dpi = options.dpi > 0 ? options.dpi : 203;
    mediaWidth_ = options.mediaWidth > 0 ? options.mediaWidth : 4 * dpi;
    mediaHeight_ = options.mediaHeight > 0 ? options.mediaHeight : 6 * dpi;
  }

  bool run()
  {
    Source main;
    main.text = job_;
    sources_.push_back(main);
    while (!sources_.empty() && !stopped_) {
      Source& s = sources_.back();
      if (s.pos >= s.text.size()) {
        sources_.pop_back();
        continue;
      }
      unsigned char b = static_cast<unsigned char>(s.text[s.pos]);
      if (b != format_ && b != control_ && b != kDle) {
        if (b != ' ' && b != '\r' && b != '\n' && b != '\t') {
          if (options_.exact)
            return fail(s.pos, "unexpected byte " + describeByte(b) + " between commands");
          note("text outside commands ignored");
        }
        s.pos++;
        continue;
      }
      if (++commands_ > kMaxCommands)
        return fail(offset(), "the job runs more than " + std::to_string(kMaxCommands) +
                                  " commands (stored formats recalling each other?)");
      if (!command())
        return false;
    }
    if (stopped_)
      return true;
    // A printer waits for the rest of a cut job and never prints the label it was reading:
    // the job has not printed as sent, whatever labels came before.
    if (inLabel_)
      return fail(job_.size(), "the job ends inside a label format (no ^XZ)");
    for (const auto& [name, download] : downloads_)
      if (options_.exact && !download.recalled)
        return fail(job_.size(), "the job ends with graphic " + printable(name) +
                                     " downloaded at byte " + std::to_string(download.offset) +
                                     " but never printed");
    if (result_.labels.empty() && labelsDelivered_ == 0)
      return fail(job_.size(), "the job prints no label");
    return true;
  }

 private:
  std::string_view job_;
  const Options& options_;
  Result& result_;
  const LabelSink& sink_;
  std::vector<Source> sources_;
  std::uint64_t commands_ = 0;
  bool stopped_ = false;
  bool failed_ = false;

  unsigned char format_ = '^';
  unsigned char control_ = '~';
  char delimiter_ = ',';

  // Settings that stay from label to label.
  int mediaWidth_ = 812;
  int mediaHeight_ = 1218;
  std::optional<int> printWidth_;
  std::optional<int> labelLength_;
  long long homeX_ = 0, homeY_ = 0;
  bool labelReverse_ = false;
  char fieldRotation_ = 'N';
  int fieldJustify_ = 0;
  FontUse defaultFont_ = fontCell('A', 0, 0);
  BarcodeDefaults barDefaults_;
  int characterSet_ = 0;
  char units_ = 'D';
  PrinterSettings settings_;

  std::map<std::string, std::shared_ptr<const Graphic>> graphics_;
  // Exact reading: where each graphic was downloaded and whether a label printed it; the
  // bytes of bitmap drawn, and of labels kept for a caller without a sink.
  struct Download {
    std::size_t offset = 0;
    bool recalled = false;
  };
  std::map<std::string, Download> downloads_;
  std::uint64_t exactWork_ = 0;
  std::uint64_t keptLabelBytes_ = 0;
  std::map<std::string, std::shared_ptr<const std::string>> formats_;
  std::uint64_t storedBytes_ = 0;

  // The label being read.
  bool inLabel_ = false;
  bool storesFormat_ = false;
  bool recalls_ = false;
  std::size_t labelStart_ = 0;
  std::vector<Field> fields_;
  Field field_;
  std::map<int, std::string> values_;  // ^FN values of a label that recalls a format

  std::uint64_t work_ = 0;
  FieldInfo* placed_ = nullptr;  // the field being drawn, for the box it covers
  int labelsDelivered_ = 0;
  bool labelLimitNoted_ = false;

  std::size_t offset() const { return sources_.empty() ? job_.size() : sources_.front().pos; }

  bool fail(std::size_t at, std::string what)
  {
    result_.error = std::move(what);
    result_.errorOffset = at;
    failed_ = true;
    return false;
  }

  void note(const std::string& text)
  {
    if (std::find(result_.notes.begin(), result_.notes.end(), text) == result_.notes.end())
      result_.notes.push_back(text);
  }

  bool isPrefix(unsigned char c) const { return c == format_ || c == control_ || c == kDle; }

  // Bytes up to the next command of either prefix (or the format prefix only).
  std::string_view until(Source& s, bool formatOnly)
  {
    std::size_t from = s.pos;
    while (s.pos < s.text.size()) {
      unsigned char c = static_cast<unsigned char>(s.text[s.pos]);
      if (formatOnly ? c == format_ : isPrefix(c))
        break;
      s.pos++;
    }
    return s.text.substr(from, s.pos - from);
  }

  // Header parameters up to the `count`-th delimiter, for commands whose data follows.
  bool header(Source& s, int count, std::vector<std::string>& parts)
  {
    std::size_t from = s.pos;
    int seen = 0;
    while (s.pos < s.text.size() && seen < count) {
      unsigned char c = static_cast<unsigned char>(s.text[s.pos]);
      if (isPrefix(c))
        break;
      if (c == static_cast<unsigned char>(delimiter_))
        seen++;
      s.pos++;
    }
    parts = split(s.text.substr(from, s.pos - from));
    if (!parts.empty() && seen == count)
      parts.pop_back();  // the empty text after the last delimiter
    return seen == count;
  }

  std::vector<std::string> split(std::string_view params) const
  {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
      std::size_t at = params.find(delimiter_, from);
      parts.push_back(trim(params.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from)));
      if (at == std::string_view::npos)
        return parts;
      from = at + 1;
    }
  }

  static std::string param(const std::vector<std::string>& p, std::size_t i)
  {
    return i < p.size() ? p[i] : std::string();
  }

  static long long integer(const std::vector<std::string>& p, std::size_t i, long long fallback,
                           long long lo, long long hi)
  {
    double v;
    if (i >= p.size() || !parseNumber(p[i], v))
      return fallback;
    return std::clamp(static_cast<long long>(std::llround(v)), lo, hi);
  }

  // A measurement in the units of ^MU, as dots.
  long long dots(const std::vector<std::string>& p, std::size_t i, long long fallback, long long lo,
                 long long hi) const
  {
    double v;
    if (i >= p.size() || !parseNumber(p[i], v))
      return fallback;
    int dpi = options_.dpi > 0 ? options_.dpi : 203;
    if (units_ == 'I')
      v *= dpi;
    else if (units_ == 'M')
      v *= dpi / 25.4;
    v = std::clamp(v, static_cast<double>(lo), static_cast<double>(hi));
    return static_cast<long long>(std::llround(v));
  }

  // A position: in dots within a label's reach; in the exact reading the number as written
  // (checked already), so that a driver's long label is read as long as it is.
  long long coordinate(const std::vector<std::string>& p, std::size_t i) const
  {
    return options_.exact ? written(p, i, 0) : dots(p, i, 0, -32000, 32000);
  }

  // A number of the exact reading as written, `fallback` when it is not given.
  static long long written(const std::vector<std::string>& p, std::size_t i, long long fallback)
  {
    long long v = fallback;
    if (i < p.size() && !p[i].empty() && !readDecimal(p[i], v))
      v = fallback;
    return v;
  }

  static char letter(const std::vector<std::string>& p, std::size_t i, char fallback)
  {
    if (i >= p.size() || p[i].empty())
      return fallback;
    return upper(p[i][0]);
  }

  static char rotationOf(const std::vector<std::string>& p, std::size_t i, char fallback)
  {
    char r = letter(p, i, 0);
    return r == 'N' || r == 'R' || r == 'I' || r == 'B' ? r : fallback;
  }

  bool command()
  {
    Source& s = sources_.back();
    std::size_t start = s.pos;
    unsigned char prefix = static_cast<unsigned char>(s.text[s.pos]);
    bool format = prefix == format_;
    if (options_.exact) {
      format = format && prefix != control_;  // one prefix for both: read as a control command
      if (s.text.size() - start < 3)
        return fail(job_.size(), "the job ends inside a command");
      for (std::size_t i = 1; i <= 2; i++) {
        unsigned char c = static_cast<unsigned char>(s.text[start + i]);
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
          return fail(start + i, "byte " + describeByte(c) + " cannot be part of a command name");
      }
    }
    s.pos++;
    if (s.pos >= s.text.size()) {
      note("the job ends with a lone command prefix");
      return true;
    }
    std::string name(1, upper(s.text[s.pos++]));
    if (!(format && name == "A")) {
      if (s.pos >= s.text.size()) {
        note("the job ends inside a command name");
        return true;
      }
      name += upper(s.text[s.pos++]);
    } else if (s.pos < s.text.size() && !isPrefix(static_cast<unsigned char>(s.text[s.pos]))) {
      name += upper(s.text[s.pos++]);
    } else {
      name += '?';
    }
    std::string shown = std::string(format ? "^" : "~") + name;
    std::size_t at = sources_.size() > 1 ? sources_.front().pos : start;

    if (name == "CC" || name == "CT" || name == "CD") {
      if (s.pos >= s.text.size())
        return options_.exact ? fail(s.pos, "the job ends inside " + shown) : true;
      char c = s.text[s.pos++];
      if (name == "CC")
        format_ = static_cast<unsigned char>(c);
      else if (name == "CT")
        control_ = static_cast<unsigned char>(c);
      else
        delimiter_ = c;
      return true;
    }
    if (format && (name == "FD" || name == "FV")) {
      std::string_view data = until(s, true);
      field_.data.assign(data);
      field_.hasData = true;
      return true;
    }
    if (format && name == "FX") {
      until(s, false);
      return true;
    }
    if (format && name == "GF")
      return graphicField(s, at);
    if (!format && name == "DY")
      return downloadObject(s, at);
    if (format && name == "DF")
      return storeFormat(s, at);

    std::string_view params = until(s, false);
    std::vector<std::string> p = split(params);
    if (options_.exact && !exactCheck(name, shown, format, params, p, at))
      return false;
    if (!format)
      return controlCommand(name, shown, params, p, at);
    return formatCommand(name, shown, p, at);
  }

  // The exact reading's checks of a command before it acts: where it stands, and that its
  // numbers are numbers within their ranges.
  bool exactCheck(const std::string& name, const std::string& shown, bool format,
                  std::string_view params, const std::vector<std::string>& p, std::size_t at)
  {
    auto bare = [&] {  // a command without parameters
      std::size_t first = params.find_first_not_of(" \t\r\n");
      if (first == std::string_view::npos)
        return true;
      std::string text = trim(params);
      return fail(static_cast<std::size_t>(params.data() - job_.data()) + first,
                  "unexpected text after " + shown + ": '" + printable(text) + "'");
    };
    auto numbers = [&](std::initializer_list<std::size_t> which) {
      long long v;
      for (std::size_t i : which)
        if (i < p.size() && !p[i].empty() && !readDecimal(p[i], v))
          return fail(at, "bad number '" + printable(p[i]) + "' in " + shown);
      return true;
    };
    auto value = [&](std::size_t i, long long fallback) {
      long long v = fallback;
      if (i < p.size() && !p[i].empty())
        readDecimal(p[i], v);
      return v;
    };
    if (!format)
      return name == "SD" || name == "TA" ? numbers({0}) : true;
    if (name == "XA")
      return inLabel_ ? fail(at, "^XA inside a label format that has not ended") : bare();
    if (!inLabel_)
      return fail(at, shown + " outside a label format (^XA ... ^XZ)");
    if (name == "XZ" || name == "FS" || name == "FR" || name == "PP")
      return bare();
    if (name == "FO" || name == "FT" || name == "LH")
      return numbers({0, 1});
    if (name == "LS" || name == "LT" || name == "CI")
      return numbers({0});
    if (name == "PQ")
      return numbers({0, 1, 2});
    if (name == "GB") {
      if (!numbers({2, 0, 1}))
        return false;
      long long t = value(2, 1);
      if (t < 1 || value(0, t) < 1 || value(1, t) < 1)
        return fail(at, "box sizes in " + shown + " must be at least 1 dot");
      return true;
    }
    if (name == "PW" || name == "LL") {
      if (!numbers({0}))
        return false;
      long long v = value(0, 0);
      if (v < 1 || v > options_.limits.maxSide)
        return fail(at, shown + " " + std::to_string(v) + " lies outside 1 to " +
                            std::to_string(options_.limits.maxSide) + " dots");
      return true;
    }
    if (name == "PR") {
      for (std::size_t i = 0; i < p.size() && i < 3; i++) {
        long long v;
        bool letterSpeed = p[i].size() == 1 && p[i][0] >= 'A' && p[i][0] <= 'E';
        if (!p[i].empty() && !letterSpeed && !readDecimal(p[i], v))
          return fail(at, "bad speed '" + printable(p[i]) + "' in " + shown);
      }
      return true;
    }
    if (name == "XG") {
      if (!numbers({1, 2}))
        return false;
      long long mx = value(1, 1), my = value(2, 1);
      if (mx < 1 || mx > 10 || my < 1 || my > 10)
        return fail(at, "magnification in " + shown + " must be 1 to 10");
      std::string n = storedName(param(p, 0), ".GRF");
      auto found = downloads_.find(n);
      if (found == downloads_.end() || !graphics_.count(n))
        return fail(at, shown + " recalls graphic " + printable(n) + ", which is not stored");
      found->second.recalled = true;
    }
    return true;
  }

  bool controlCommand(const std::string& name, const std::string& shown, std::string_view params,
                      const std::vector<std::string>& p, std::size_t at)
  {
    if (name == "DG")
      return downloadGraphic(params, at);
    if (name == "SD")
      settings_.darkness = static_cast<int>(integer(p, 0, 0, -1000, 1000));
    else if (name == "TA")
      settings_.tearOff = static_cast<int>(integer(p, 0, 0, -1000, 1000));
    else if (name == "JS")
      settings_.backfeed = letter(p, 0, 0);
    else
      note("command " + shown + " ignored");
    return true;
  }

  bool formatCommand(const std::string& name, const std::string& shown,
                     const std::vector<std::string>& p, std::size_t at)
  {
    if (name == "XA") {
      if (inLabel_)
        note("^XA inside a label format: the format goes on");
      else
        startLabel(at);
      return true;
    }
    if (name == "XZ") {
      if (!inLabel_) {
        note("^XZ outside a label format ignored");
        return true;
      }
      return finishLabel();
    }
    // Settings the printer keeps, in or outside a label format.
    if (name == "PW" || name == "LL") {
      long long v = dots(p, 0, -1, -1, 1000000000);
      if (v < 1)
        return true;
      if (v > options_.limits.maxSide)
        return fail(at, shown + " " + std::to_string(v) + " dots is larger than the " +
                            std::to_string(options_.limits.maxSide) + " dots a label may have");
      (name == "PW" ? printWidth_ : labelLength_) = static_cast<int>(v);
      return true;
    }
    if (name == "LH") {
      homeX_ = options_.exact ? coordinate(p, 0) : dots(p, 0, homeX_, -32000, 32000);
      homeY_ = options_.exact ? coordinate(p, 1) : dots(p, 1, homeY_, -32000, 32000);
      return true;
    }
    if (name == "LS") {
      settings_.labelShift = static_cast<int>(options_.exact ? coordinate(p, 0) : dots(p, 0, 0, -9999, 9999));
      return true;
    }
    if (name == "LT") {
      settings_.labelTop = static_cast<int>(options_.exact ? coordinate(p, 0) : dots(p, 0, 0, -120, 120));
      return true;
    }
    if (name == "LR") {
      labelReverse_ = letter(p, 0, 'N') == 'Y';
      return true;
    }
    if (name == "FW") {
      fieldRotation_ = rotationOf(p, 0, fieldRotation_);
      fieldJustify_ = static_cast<int>(integer(p, 1, fieldJustify_, 0, 2)) == 1 ? 1 : 0;
      return true;
    }
    if (name == "CF") {
      char f = letter(p, 0, defaultFont_.name);
      long long h = dots(p, 1, 0, 0, 32000);
      long long w = dots(p, 2, 0, 0, 32000);
      if (f != defaultFont_.name || h || w)
        defaultFont_ = fontCell(f, static_cast<int>(h), static_cast<int>(w));
      return true;
    }
    if (name == "BY") {
      barDefaults_.moduleWidth = static_cast<int>(integer(p, 0, barDefaults_.moduleWidth, 1, 10));
      double r;
      if (p.size() > 1 && parseNumber(p[1], r))
        barDefaults_.ratio = std::clamp(r, 2.0, 3.0);
      barDefaults_.height = static_cast<int>(dots(p, 2, barDefaults_.height, 1, 32000));
      return true;
    }
    if (name == "CI") {
      characterSet_ = static_cast<int>(integer(p, 0, 0, 0, 255));
      settings_.characterSet = characterSet_;
      if (characterSet_ != 0 && characterSet_ != 27 && characterSet_ != 28 && characterSet_ > 13)
        note("^CI" + std::to_string(characterSet_) + ": text drawn as Latin-1");
      return true;
    }
    if (name == "MU") {
      char u = letter(p, 0, 'D');
      units_ = u == 'I' || u == 'M' ? u : 'D';
      if (p.size() > 1 && !p[1].empty())
        note("^MU dot conversion ignored");
      return true;
    }
    if (name == "PO") {
      settings_.orientation = letter(p, 0, 0);
      return true;
    }
    if (name == "PM") {
      settings_.mirror = letter(p, 0, 0);
      return true;
    }
    if (name == "MN" || name == "MT" || name == "MM" || name == "JM") {
      char v = letter(p, 0, 0);
      (name == "MN" ? settings_.mediaSensing
       : name == "MT" ? settings_.printMethod
       : name == "MM" ? settings_.printMode
                      : settings_.dotMode) = v;
      return true;
    }
    if (name == "JU") {
      settings_.configurationSaved = settings_.configurationSaved || letter(p, 0, 0) == 'S';
      return true;
    }
    if (name == "PR") {
      std::optional<int>* targets[] = {&settings_.printSpeed, &settings_.slewSpeed,
                                       &settings_.backfeedSpeed};
      for (std::size_t i = 0; i < p.size() && i < 3; i++) {
        if (p[i].size() == 1 && p[i][0] >= 'A' && p[i][0] <= 'E') {
          static constexpr int speeds[] = {2, 3, 4, 6, 8};
          *targets[i] = speeds[p[i][0] - 'A'];
        } else if (!p[i].empty()) {
          *targets[i] = static_cast<int>(integer(p, i, 0, -1000, 1000));
        }
      }
      return true;
    }
    if (name == "ID") {
      std::string n = storedName(param(p, 0), ".GRF");
      auto found = graphics_.find(n);
      if (found != graphics_.end()) {
        storedBytes_ -= found->second->data.size();
        graphics_.erase(found);
      }
      downloads_.erase(n);
      return true;
    }
    if (!inLabel_) {
      note(shown + " outside a label format ignored");
      return true;
    }
    return labelCommand(name, shown, p, at);
  }

  void startLabel(std::size_t at)
  {
    inLabel_ = true;
    storesFormat_ = false;
    recalls_ = false;
    labelStart_ = at;
    fields_.clear();
    field_ = Field{};
    values_.clear();
    settings_.quantity = 1;
    settings_.pauseEvery = 0;
    settings_.replicates = 0;
    settings_.overridePause = 'N';
    settings_.formatPause = false;
  }

  bool labelCommand(const std::string& name, const std::string& shown,
                    const std::vector<std::string>& p, std::size_t at)
  {
    if (name == "FO" || name == "FT") {
      if (!closeField())
        return false;
      field_.offset = at;
      field_.hasOrigin = true;
      field_.baseline = name == "FT";
      bool given = !param(p, 0).empty() || !param(p, 1).empty();
      field_.follow = name == "FT" && !given;
      field_.x = homeX_ + coordinate(p, 0) - settings_.labelShift.value_or(0);
      field_.y = homeY_ + coordinate(p, 1) + settings_.labelTop.value_or(0);
      field_.justify = integer(p, 2, fieldJustify_, 0, 2) == 1 ? 1 : 0;
      return true;
    }
    if (name == "FS")
      return closeField();
    if (name == "FR") {
      field_.reverse = true;
      return true;
    }
    if (name == "FH") {
      field_.hex = true;
      std::string c = param(p, 0);
      field_.hexChar = c.empty() ? '_' : c[0];
      return true;
    }
    if (name == "FN") {
      field_.fn = static_cast<int>(integer(p, 0, 0, 0, 9999));
      return true;
    }
    if (name == "FB" || name == "TB") {
      Block& b = field_.block;
      b.on = true;
      if (name == "FB") {
        b.width = static_cast<int>(dots(p, 0, 0, 0, 32000));
        b.lines = static_cast<int>(integer(p, 1, 1, 1, 9999));
        b.spacing = static_cast<int>(dots(p, 2, 0, -9999, 9999));
        char j = letter(p, 3, 'L');
        b.justify = j == 'C' || j == 'R' || j == 'J' ? j : 'L';
        b.indent = static_cast<int>(dots(p, 4, 0, 0, 9999));
      } else {
        b.textBlock = true;
        field_.rotation = rotationOf(p, 0, field_.rotation);
        b.width = static_cast<int>(dots(p, 1, 1, 1, 32000));
        b.height = static_cast<int>(dots(p, 2, 1, 1, 32000));
      }
      return true;
    }
    if (name == "SN") {
      field_.data = param(p, 0);
      field_.hasData = true;
      field_.serial.type = Serial::Type::sn;
      field_.serial.increment = integer(p, 1, 1, -999999999, 999999999);
      field_.serial.zeros = letter(p, 2, 'N') == 'Y';
      return true;
    }
    if (name == "SF") {
      field_.serial.type = Serial::Type::sf;
      field_.serial.mask = param(p, 0);
      field_.serial.step = p.size() > 1 && !p[1].empty() ? p[1] : std::string("1");
      return true;
    }
    if (name.size() == 2 && name[0] == 'A') {
      char f = name[1];
      if (f == '@') {
        note("^A@ font files: drawn with the label font");
        f = '0';
      }
      field_.rotation = rotationOf(p, 0, field_.rotation);
      long long h = dots(p, 1, 0, 0, 32000);
      long long w = dots(p, 2, 0, 0, 32000);
      bool ownBase = f >= 'P' && f <= 'V';
      if (!h && !w && f == defaultFont_.name) {
        field_.font = defaultFont_;
      } else if (!h && !w && !ownBase && (f == '0' || !bitmapFont(f))) {
        field_.font = fontCell(f, defaultFont_.height, defaultFont_.width);
      } else {
        field_.font = fontCell(f, static_cast<int>(h), static_cast<int>(w));
      }
      if (!bitmapFont(f) && f != '0' && !ownBase)
        note("font ^A" + std::string(1, f) + ": drawn as the scalable font");
      field_.fontSet = true;
      if (field_.kind == Kind::none)
        field_.kind = Kind::text;
      field_.command = "A" + std::string(1, f);
      return true;
    }
    if (name == "GB" || name == "GC" || name == "GE" || name == "GD") {
      if (field_.kind != Kind::none && field_.kind != Kind::text)
        if (!closeFieldKeepOrigin())
          return false;
      field_.command = name;
      if (name == "GC") {
        field_.kind = Kind::ellipse;
        field_.w = field_.h = dots(p, 0, 3, 3, 4095);
        field_.t = dots(p, 1, 1, 1, 4095);
        field_.color = letter(p, 2, 'B');
      } else {
        field_.t = dots(p, 2, 1, 1, 32000);
        field_.w = dots(p, 0, field_.t, 1, 32000);
        field_.h = dots(p, 1, field_.t, 1, 32000);
        if (options_.exact) {  // as written (checked already): a driver's box may span a roll
          field_.t = written(p, 2, 1);
          field_.w = written(p, 0, field_.t);
          field_.h = written(p, 1, field_.t);
        }
        field_.color = letter(p, 3, 'B');
        field_.kind = name == "GB" ? Kind::box : name == "GE" ? Kind::ellipse : Kind::diagonal;
        if (name == "GB")
          field_.rounding = static_cast<int>(integer(p, 4, 0, 0, 8));
        if (name == "GD") {
          char o = letter(p, 4, 'R');
          field_.lean = o == 'L' || o == '\\' ? 'L' : 'R';
        }
      }
      return true;
    }
    if (name == "XG" || name == "IM") {
      std::string n = storedName(param(p, 0), ".GRF");
      auto found = graphics_.find(n);
      field_.command = name;
      if (found == graphics_.end()) {
        field_.kind = Kind::graphic;
        field_.problem = shown + " recalls graphic " + printable(n) + ", which is not stored";
        return true;
      }
      field_.kind = Kind::graphic;
      field_.graphic = found->second;
      field_.magX = name == "XG" ? static_cast<int>(integer(p, 1, 1, 1, 10)) : 1;
      field_.magY = name == "XG" ? static_cast<int>(integer(p, 2, 1, 1, 10)) : 1;
      return true;
    }
    if (name == "XF") {
      std::string n = storedName(param(p, 0), ".ZPL");
      auto found = formats_.find(n);
      if (found == formats_.end()) {
        note("^XF recalls format " + printable(n) + ", which is not stored");
        return true;
      }
      int depth = sources_.back().depth + 1;
      if (depth > options_.limits.maxFormatDepth)
        return fail(at, "stored formats recall each other more than " +
                            std::to_string(options_.limits.maxFormatDepth) + " deep (^XF" +
                            printable(n) + ")");
      recalls_ = true;
      Source s;
      s.owned = found->second;
      s.text = *found->second;
      s.depth = depth;
      s.offset = at;
      sources_.push_back(s);
      return true;
    }
    if (name == "PQ") {
      settings_.quantity = static_cast<int>(integer(p, 0, 1, 1, 99999999));
      settings_.pauseEvery = static_cast<int>(integer(p, 1, 0, 0, 99999999));
      settings_.replicates = static_cast<int>(integer(p, 2, 0, 0, 99999999));
      settings_.overridePause = letter(p, 3, 'N') == 'Y' ? 'Y' : 'N';
      return true;
    }
    if (name == "PP") {
      settings_.formatPause = true;
      return true;
    }
    if (isBarcodeCommand(name) || (name[0] == 'B' && name != "BY")) {
      if (field_.kind != Kind::none && field_.kind != Kind::text)
        if (!closeFieldKeepOrigin())
          return false;
      field_.kind = Kind::barcode;
      field_.command = name;
      field_.bar.command = name;
      field_.bar.params = p;
      // MaxiCode has no orientation (its first parameter is the mode) and is never turned.
      field_.rotation = name == "BD" ? 'N' : rotationOf(p, 0, field_.rotation);
      return true;
    }
    note("command " + shown + " ignored");
    return true;
  }

  // A field command after another drawing command in the same field: the first is finished,
  // the second starts a field at the same origin.
  bool closeFieldKeepOrigin()
  {
    Field keep = field_;
    if (!closeField())
      return false;
    field_.hasOrigin = keep.hasOrigin;
    field_.x = keep.x;
    field_.y = keep.y;
    field_.baseline = keep.baseline;
    field_.offset = keep.offset;
    return true;
  }

  bool closeField()
  {
    Field f = std::move(field_);
    field_ = Field{};
    // A field with neither a kind nor data draws nothing, unless a stored format's ^FN gives it
    // its data later.
    if (f.kind == Kind::none && !f.hasData && !(f.fn >= 0 && f.hasOrigin))
      return true;
    f.stored = sources_.back().depth > 0;
    if (f.hex)
      f.data = hexDecode(f.data, f.hexChar);
    // In a label that recalls a format, ^FNn^FD... outside the format gives field n its data.
    if (f.fn >= 0 && recalls_ && !f.stored && (f.kind == Kind::none || !f.hasOrigin)) {
      values_[f.fn] = f.data;
      return true;
    }
    if (f.kind == Kind::none) {
      f.kind = Kind::text;
      f.font = defaultFont_;
      f.command = "A" + std::string(1, defaultFont_.name);
    } else if (f.kind == Kind::text && !f.fontSet) {
      f.font = defaultFont_;
      f.command = "A" + std::string(1, defaultFont_.name);
    }
    if (!f.rotation)
      f.rotation = fieldRotation_;
    if (f.kind != Kind::text && f.kind != Kind::barcode)
      f.rotation = 'N';
    f.reverse = f.reverse || labelReverse_;
    if (static_cast<int>(fields_.size()) >= options_.limits.maxFieldsPerLabel)
      return fail(offset(), "a label has more than " +
                                std::to_string(options_.limits.maxFieldsPerLabel) + " fields");
    fields_.push_back(std::move(f));
    return true;
  }

  // ^DF: the rest of the format, up to its ^XZ, is stored under a name and not printed.
  bool storeFormat(Source& s, std::size_t at)
  {
    std::string_view params = until(s, false);
    std::string n = storedName(split(params)[0], ".ZPL");
    std::size_t from = s.pos;
    std::size_t end = s.pos;
    bool found = false;
    for (; end + 2 < s.text.size(); end++) {
      if (static_cast<unsigned char>(s.text[end]) == format_ && upper(s.text[end + 1]) == 'X' &&
          upper(s.text[end + 2]) == 'Z') {
        found = true;
        break;
      }
    }
    if (!found) {
      s.pos = s.text.size();
      note("^DF format " + printable(n) + " has no ^XZ: not stored");
      return true;
    }
    auto text = std::make_shared<std::string>(s.text.substr(from, end - from));
    auto old = formats_.find(n);
    std::uint64_t replaced = old == formats_.end() ? 0 : old->second->size();
    if (storedBytes_ - replaced + text->size() > options_.limits.maxStoredBytes)
      return fail(at, storedTooMuch());
    storedBytes_ = storedBytes_ - replaced + text->size();
    formats_[n] = std::move(text);
    s.pos = end;
    storesFormat_ = true;
    return true;
  }

  std::string storedTooMuch() const
  {
    return "the job stores more than " + std::to_string(options_.limits.maxStoredBytes) +
           " bytes of graphics and formats";
  }

  bool checkGraphicSize(std::uint64_t total, std::uint64_t rowBytes, const std::string& shown,
                        std::size_t at)
  {
    if (rowBytes == 0 || total == 0)
      return fail(at, shown + " needs a byte count and bytes per row above 0");
    if (rowBytes * 8 > static_cast<std::uint64_t>(options_.limits.maxSide) ||
        total / rowBytes > static_cast<std::uint64_t>(options_.limits.maxSide))
      return fail(at, shown + " declares a graphic of " + std::to_string(rowBytes * 8) + " x " +
                          std::to_string((total + rowBytes - 1) / rowBytes) +
                          " dots, larger than a label may be");
    if (total > options_.limits.maxLabelBytes)
      return fail(at, shown + " declares " + std::to_string(total) + " bytes, more than the " +
                          std::to_string(options_.limits.maxLabelBytes) + " a graphic may have");
    return true;
  }

  // Graphic data as text: compressed hex, or Z64/B64.  Empty `problem` when it reads.
  // `whole` is cleared when the text gives less than the declared graphic (or Z64 text that
  // does not end properly), the sign of a job cut inside the data when nothing follows.
  std::string readGraphicText(std::string_view text, Graphic& g, std::uint64_t total,
                              bool* whole = nullptr)
  {
    std::string t = trim(text);
    g.data.assign(total, 0);
    if (whole)
      *whole = true;
    if (GRFIsZ64Data(t.data(), t.size())) {
      GRFZ64Fault fault;
      int status = GRFDataZ64Decode(t.data(), t.size(), g.data.data(), total, &fault);
      if (whole)
        *whole = status != kGRFZ64NoCrc;
      if (status == kGRFZ64CrcMismatch)
        return "its CRC does not match its data";
      if (status != 0)
        return "its Z64/B64 data cannot be read (status " + std::to_string(status) + ")";
      return "";
    }
    std::uint64_t produced = total;
    int status = GRFDataDecompress(t.data(), t.size(), static_cast<std::uint64_t>(g.rowBytes),
                                   g.data.data(), &produced);
    if (whole)
      *whole = status != 0 || produced >= total;
    if (status == 1)
      return "its hex data holds a byte that is not hex";
    if (status == 6)
      note("graphic data longer than its declared size: the rest ignored");
    return "";
  }

  // ^GFa,b,c,d,data
  bool graphicField(Source& s, std::size_t at)
  {
    std::vector<std::string> p;
    bool whole = header(s, 4, p);
    if (!whole) {
      note("^GF without its data ignored");
      return true;
    }
    char type = letter(p, 0, 'A');
    long long binary = integer(p, 1, 0, 0, 1LL << 40);
    long long total = integer(p, 2, 0, 0, 1LL << 40);
    long long rowBytes = integer(p, 3, 0, 0, 1LL << 40);
    if (!checkGraphicSize(static_cast<std::uint64_t>(total), static_cast<std::uint64_t>(rowBytes),
                          "^GF", at))
      return false;
    auto g = std::make_shared<Graphic>();
    g->rowBytes = static_cast<int>(rowBytes);
    g->rows = static_cast<int>((total + rowBytes - 1) / rowBytes);
    std::string problem;
    if (type == 'B' || type == 'C') {
      std::size_t n = static_cast<std::size_t>(std::min<long long>(binary, static_cast<long long>(s.text.size() - s.pos)));
      std::string_view bytes = s.text.substr(s.pos, n);
      s.pos += n;
      if (type == 'C') {
        problem = "^GFC compressed binary (an unpublished compression) is not drawn";
      } else {
        g->data.assign(static_cast<std::size_t>(g->rows) * g->rowBytes, 0);
        std::memcpy(g->data.data(), bytes.data(), std::min<std::size_t>(bytes.size(), g->data.size()));
      }
    } else {
      std::string_view text = until(s, false);
      g->data.clear();
      problem = readGraphicText(text, *g, static_cast<std::uint64_t>(g->rows) * g->rowBytes);
    }
    if (!inLabel_) {
      note("^GF outside a label format ignored");
      return true;
    }
    if (field_.kind != Kind::none && field_.kind != Kind::text)
      if (!closeFieldKeepOrigin())
        return false;
    field_.kind = Kind::graphic;
    field_.command = "GF";
    if (problem.empty())
      field_.graphic = std::move(g);
    else
      field_.problem = "^GF: " + problem;
    return true;
  }

  bool storeGraphic(const std::string& n, std::shared_ptr<Graphic> g, std::size_t at)
  {
    auto old = graphics_.find(n);
    std::uint64_t replaced = old == graphics_.end() ? 0 : old->second->data.size();
    if (storedBytes_ - replaced + g->data.size() > options_.limits.maxStoredBytes)
      return fail(at, storedTooMuch());
    storedBytes_ = storedBytes_ - replaced + g->data.size();
    graphics_[n] = std::move(g);
    return true;
  }

  // ~DGname,total,row bytes,data
  bool downloadGraphic(std::string_view params, std::size_t at)
  {
    std::size_t commas[3];
    std::size_t from = 0;
    for (std::size_t& c : commas) {
      c = params.find(delimiter_, from);
      if (c == std::string_view::npos) {
        if (!options_.exact) {
          note("~DG without its data ignored");
          return true;
        }
        if (sources_.back().pos >= sources_.back().text.size())
          return fail(job_.size(), "the job ends inside the ~DG header");
        return fail(at, "~DG needs a graphic name, a byte count and bytes per row");
      }
      from = c + 1;
    }
    std::string n = storedName(params.substr(0, commas[0]), ".GRF");
    if (options_.exact)
      return downloadExact(params, commas, n, at);
    double total = 0, rowBytes = 0;
    parseNumber(params.substr(commas[0] + 1, commas[1] - commas[0] - 1), total);
    parseNumber(params.substr(commas[1] + 1, commas[2] - commas[1] - 1), rowBytes);
    if (total < 0 || rowBytes < 0 || total > 1e15 || rowBytes > 1e15)
      return fail(at, "~DG sizes out of range");
    auto t = static_cast<std::uint64_t>(total);
    auto r = static_cast<std::uint64_t>(rowBytes);
    if (!checkGraphicSize(t, r, "~DG", at))
      return false;
    auto g = std::make_shared<Graphic>();
    g->rowBytes = static_cast<int>(r);
    g->rows = static_cast<int>((t + r - 1) / r);
    bool whole = true;
    std::string problem = readGraphicText(params.substr(commas[2] + 1), *g,
                                          static_cast<std::uint64_t>(g->rows) * g->rowBytes, &whole);
    // Data that stops short at the very end of the job was cut: the printer would still be
    // waiting for it.
    if (!whole && sources_.size() == 1 && sources_.back().pos >= sources_.back().text.size())
      return fail(job_.size(), "the job ends inside the data of graphic " + printable(n));
    if (!problem.empty()) {
      note("graphic " + printable(n) + " not stored: " + problem);
      return true;
    }
    return storeGraphic(n, std::move(g), at);
  }

  std::string budgetText() const
  {
    return "the job's graphics and labels need more than " +
           std::to_string(options_.limits.maxStoredBytes) + " bytes, more than a preview holds";
  }

  // A count of up to 18 digits, so that an absurd size is reported as too large rather than
  // as unreadable.
  static bool readCount(std::string_view text, std::uint64_t& value)
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

  // ~DG in the exact reading: the declared sizes are whole rows within the limits, and the
  // data gives exactly the bytes declared.
  bool downloadExact(std::string_view params, const std::size_t (&commas)[3], const std::string& n,
                     std::size_t at)
  {
    std::string totalText = trim(params.substr(commas[0] + 1, commas[1] - commas[0] - 1));
    std::string rowText = trim(params.substr(commas[1] + 1, commas[2] - commas[1] - 1));
    std::uint64_t total = 0, rowBytes = 0;
    if (!readCount(totalText, total) || total == 0)
      return fail(at, "bad byte count '" + printable(totalText) + "' in ~DG");
    if (!readCount(rowText, rowBytes) || rowBytes == 0)
      return fail(at, "bad bytes per row '" + printable(rowText) + "' in ~DG");
    if (total > options_.limits.maxLabelBytes)
      return fail(at, "~DG declares " + std::to_string(total) + " bytes, more than the " +
                          std::to_string(options_.limits.maxLabelBytes) + " a preview accepts");
    if (rowBytes * 8 > static_cast<std::uint64_t>(options_.limits.maxSide))
      return fail(at, "~DG rows of " + std::to_string(rowBytes) + " bytes are wider than a preview draws");
    if (total % rowBytes != 0)
      return fail(at, "~DG byte count " + std::to_string(total) + " is not a whole number of rows of " +
                          std::to_string(rowBytes) + " bytes");
    auto old = graphics_.find(n);
    std::uint64_t replaced = old == graphics_.end() ? 0 : old->second->data.size();
    if (storedBytes_ - replaced + total + keptLabelBytes_ > options_.limits.maxStoredBytes)
      return fail(at, budgetText());

    std::size_t dataStart = static_cast<std::size_t>(params.data() - job_.data()) + commas[2] + 1;
    std::string_view text = params.substr(commas[2] + 1);
    auto g = std::make_shared<Graphic>();
    g->rowBytes = static_cast<int>(rowBytes);
    g->rows = static_cast<int>(total / rowBytes);
    g->data.assign(total, 0);
    std::uint64_t produced = 0;
    std::string_view z64 = text.substr(std::min(text.find_first_not_of("\r\n \t"), text.size()));
    if (GRFIsZ64Data(z64.data(), z64.size())) {
      GRFZ64Fault fault;
      int status = GRFDataZ64Decode(z64.data(), z64.size(), g->data.data(), total, &fault);
      if (status != 0) {
        Fault f = z64Fault(job_, dataStart + static_cast<std::size_t>(z64.data() - text.data()), status, fault, n);
        return fail(f.at, f.what);
      }
      produced = total;
    } else if (!text.empty()) {
      produced = total;
      int status = GRFDataDecompress(text.data(), text.size(), rowBytes, g->data.data(), &produced);
      if (status != 0) {
        Fault f = hexFault(text, dataStart, status, rowBytes, total, n);
        return fail(f.at, f.what);
      }
    }
    if (produced != total) {
      if (sources_.back().pos >= sources_.back().text.size())
        return fail(job_.size(), "the job ends inside the data of graphic " + printable(n) + ": " +
                                     std::to_string(produced) + " of " + std::to_string(total) + " bytes");
      return fail(dataStart, "the data of graphic " + printable(n) + " gives " + std::to_string(produced) +
                                 " bytes, ~DG declared " + std::to_string(total));
    }
    auto earlier = downloads_.find(n);
    if (earlier != downloads_.end() && !earlier->second.recalled)
      note("graphic " + printable(n) + " downloaded at byte " + std::to_string(earlier->second.offset) +
           " was replaced before it was printed");
    downloads_[n] = {at, false};
    return storeGraphic(n, std::move(g), at);
  }

  // A PNG image as a graphic: dots darker than mid-grey are black, transparent ones white.
  std::string readPng(std::string_view bytes, Graphic& g)
  {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
      return std::string("its PNG data cannot be read (") + image.message + ")";
    if (image.width < 1 || image.height < 1 ||
        image.width > static_cast<png_uint_32>(options_.limits.maxSide) ||
        image.height > static_cast<png_uint_32>(options_.limits.maxSide) ||
        static_cast<std::uint64_t>(image.width) * image.height > options_.limits.maxLabelBytes) {
      png_image_free(&image);
      return "its PNG image of " + std::to_string(image.width) + " x " +
             std::to_string(image.height) + " dots is larger than a label may be";
    }
    image.format = PNG_FORMAT_GRAY;
    std::vector<std::uint8_t> grey(PNG_IMAGE_SIZE(image));
    png_color white = {255, 255, 255};
    if (!png_image_finish_read(&image, &white, grey.data(), 0, nullptr))
      return std::string("its PNG data cannot be read (") + image.message + ")";
    g.rowBytes = static_cast<int>((image.width + 7) / 8);
    g.rows = static_cast<int>(image.height);
    g.data.assign(static_cast<std::size_t>(g.rowBytes) * g.rows, 0);
    for (png_uint_32 y = 0; y < image.height; y++)
      for (png_uint_32 x = 0; x < image.width; x++)
        if (grey[static_cast<std::size_t>(y) * image.width + x] < 128)
          g.data[static_cast<std::size_t>(y) * g.rowBytes + x / 8] |=
              static_cast<std::uint8_t>(0x80 >> (x % 8));
    return "";
  }

  // ~DYname,format,extension,total,row bytes,data
  bool downloadObject(Source& s, std::size_t at)
  {
    std::vector<std::string> p;
    if (!header(s, 5, p)) {
      until(s, false);
      note("~DY without its data ignored");
      return true;
    }
    char format = letter(p, 1, 'A');
    char extension = letter(p, 2, 'G');
    long long total = integer(p, 3, 0, 0, 1LL << 40);
    long long rowBytes = integer(p, 4, 0, 0, 1LL << 40);
    std::string_view data;
    if (format == 'B' || format == 'P') {
      std::size_t n = static_cast<std::size_t>(std::min<long long>(total, static_cast<long long>(s.text.size() - s.pos)));
      data = s.text.substr(s.pos, n);
      s.pos += n;
    } else {
      data = until(s, false);
    }
    if (extension == 'P' && (format == 'P' || format == 'B')) {
      auto g = std::make_shared<Graphic>();
      std::string n = storedName(param(p, 0), ".PNG");
      std::string problem = readPng(data, *g);
      if (!problem.empty()) {
        note("graphic " + printable(n) + " not stored: " + problem);
        return true;
      }
      return storeGraphic(n, std::move(g), at);
    }
    if (extension != 'G' || format == 'P' || format == 'C') {
      note("~DY objects other than graphics (.GRF, .PNG) are not stored");
      return true;
    }
    if (!checkGraphicSize(static_cast<std::uint64_t>(total), static_cast<std::uint64_t>(rowBytes),
                          "~DY", at))
      return false;
    auto g = std::make_shared<Graphic>();
    g->rowBytes = static_cast<int>(rowBytes);
    g->rows = static_cast<int>((total + rowBytes - 1) / rowBytes);
    std::string n = storedName(param(p, 0), ".GRF");
    if (format == 'B') {
      g->data.assign(static_cast<std::size_t>(g->rows) * g->rowBytes, 0);
      std::memcpy(g->data.data(), data.data(), std::min(data.size(), g->data.size()));
    } else {
      std::string problem = readGraphicText(data, *g, static_cast<std::uint64_t>(g->rows) * g->rowBytes);
      if (!problem.empty()) {
        note("graphic " + printable(n) + " not stored: " + problem);
        return true;
      }
    }
    return storeGraphic(n, std::move(g), at);
  }

  // ---- Drawing ----

  struct Canvas {
    Bitmap image;
    long long lastX = 0;  // where a ^FT without a position goes on
    long long lastY = 0;
  };

  bool addWork(std::uint64_t dotsDrawn)
  {
    if (options_.exact)
      return true;  // counted before the label is drawn (finishExactLabel)
    work_ += dotsDrawn;
    if (work_ > options_.limits.maxWorkDots)
      return fail(labelStart_, "the job draws more than " +
                                   std::to_string(options_.limits.maxWorkDots) +
                                   " dots: too much work for a preview");
    return true;
  }

  static Op opFor(const Field& f)
  {
    if (f.reverse)
      return Op::flip;
    return f.color == 'W' ? Op::clear : Op::set;
  }

  // The top-left corner of an unturned shape of height h.
  static long long topOf(const Field& f, long long h) { return f.baseline ? f.y - h : f.y; }

  bool drawBox(Canvas& c, const Field& f)
  {
    long long w = std::max(f.w, f.t), h = std::max(f.h, f.t), t = f.t;
    long long x0 = f.x, y0 = topOf(f, h);
    Op op = opFor(f);
    double radius = f.rounding * std::min(w, h) / 16.0;
    double innerRadius = std::max(0.0, radius - static_cast<double>(t));
    auto inset = [](double r, double row, double height) {
      // How far a rounded corner pulls the row in at `row` (0 at the top) of `height` rows.
      if (r <= 0)
        return 0LL;
      double dy = row + 0.5 < r ? r - row - 0.5 : row + 0.5 > height - r ? row + 0.5 - (height - r) : -1;
      if (dy < 0)
        return 0LL;
      return static_cast<long long>(std::lround(r - std::sqrt(std::max(0.0, r * r - dy * dy))));
    };
    long long from = std::max(0LL, y0), to = std::min<long long>(c.image.height, y0 + h);
    if (!addWork(static_cast<std::uint64_t>(std::max(0LL, to - from)) * static_cast<std::uint64_t>(std::min<long long>(w, c.image.width) / 8 + 2)))
      return false;
    bool solid = 2 * t >= w || 2 * t >= h;
    for (long long y = from; y < to; y++) {
      long long row = y - y0;
      long long in = inset(radius, static_cast<double>(row), static_cast<double>(h));
      if (solid || row < t || row >= h - t) {
        span(c.image, y, x0 + in, x0 + w - in, op);
        continue;
      }
      long long inner = inset(innerRadius, static_cast<double>(row - t), static_cast<double>(h - 2 * t));
      long long left = x0 + std::max(t, in + t);
      long long right = x0 + w - std::max(t, in + t);
      if (radius > 0) {
        left = x0 + t + inner;
        right = x0 + w - t - inner;
      }
      span(c.image, y, x0 + in, left, op);
      span(c.image, y, std::max(left, right), x0 + w - in, op);
    }
    return true;
  }

  bool drawEllipse(Canvas& c, const Field& f)
  {
    long long w = std::max(f.w, 1LL), h = std::max(f.h, 1LL), t = f.t;
    long long x0 = f.x, y0 = topOf(f, h);
    Op op = opFor(f);
    double a = w / 2.0, b = h / 2.0, ia = a - t, ib = b - t;
    long long from = std::max(0LL, y0), to = std::min<long long>(c.image.height, y0 + h);
    if (!addWork(static_cast<std::uint64_t>(std::max(0LL, to - from)) * static_cast<std::uint64_t>(std::min<long long>(w, c.image.width) / 8 + 2)))
      return false;
    for (long long y = from; y < to; y++) {
      double dy = (y - y0) + 0.5 - b;
      double outer = a * std::sqrt(std::max(0.0, 1 - (dy * dy) / (b * b)));
      long long l = x0 + std::lround(a - outer), r = x0 + std::lround(a + outer);
      if (ia > 0 && ib > 0 && std::fabs(dy) < ib) {
        double inner = ia * std::sqrt(std::max(0.0, 1 - (dy * dy) / (ib * ib)));
        long long il = x0 + std::lround(a - inner), ir = x0 + std::lround(a + inner);
        span(c.image, y, l, il, op);
        span(c.image, y, ir, r, op);
      } else {
        span(c.image, y, l, r, op);
      }
    }
    return true;
  }

  bool drawDiagonal(Canvas& c, const Field& f)
  {
    long long t = f.t, w = std::max(f.w, t), h = std::max(f.h, 1LL);
    long long x0 = f.x, y0 = topOf(f, h);
    Op op = opFor(f);
    long long from = std::max(0LL, y0), to = std::min<long long>(c.image.height, y0 + h);
    if (!addWork(static_cast<std::uint64_t>(std::max(0LL, to - from)) * static_cast<std::uint64_t>(t / 8 + 2)))
      return false;
    for (long long y = from; y < to; y++) {
      long long row = y - y0;
      long long along = f.lean == 'R' ? h - 1 - row : row;
      long long left = h > 1 ? (w - t) * along / (h - 1) : 0;
      span(c.image, y, x0 + left, x0 + left + t, op);
    }
    return true;
  }

  bool drawGraphic(Canvas& c, const Field& f)
  {
    const Graphic& g = *f.graphic;
    long long w = static_cast<long long>(g.rowBytes) * 8 * f.magX, h = static_cast<long long>(g.rows) * f.magY;
    long long x0 = f.justify == 1 ? f.x - w : f.x, y0 = topOf(f, h);
    Op op = f.reverse ? Op::flip : Op::set;
    long long from = std::max(0LL, y0), to = std::min<long long>(c.image.height, y0 + h);
    if (!addWork(static_cast<std::uint64_t>(std::max(0LL, to - from)) * static_cast<std::uint64_t>(std::min<long long>(w, c.image.width) / 8 + 2)))
      return false;
    // A graphic on a byte boundary at its own size (a driver's page, a carrier's label image)
    // goes on a byte at a time.
    bool whole = f.magX == 1 && x0 >= 0 && x0 % 8 == 0;
    for (long long y = from; y < to; y++) {
      long long gy = (y - y0) / f.magY;
      const std::uint8_t* src = g.data.data() + static_cast<std::size_t>(gy) * g.rowBytes;
      if (whole) {
        std::uint8_t* dst = c.image.bits.data() + static_cast<std::size_t>(y) * c.image.rowBytes;
        std::size_t first = static_cast<std::size_t>(x0 / 8);
        for (std::size_t k = 0; k < static_cast<std::size_t>(g.rowBytes) && first + k < c.image.rowBytes; k++) {
          std::uint8_t b = src[k];
          long long left = x0 + static_cast<long long>(k) * 8;
          if (c.image.width - left < 8)  // the dots past the label's edge stay white
            b &= static_cast<std::uint8_t>(0xFF << (8 - (c.image.width - left)));
          if (op == Op::flip)
            dst[first + k] ^= b;
          else
            dst[first + k] |= b;
        }
        continue;
      }
      long long gx = 0;
      long long gw = static_cast<long long>(g.rowBytes) * 8;
      // Runs of black dots become spans.
      while (gx < gw) {
        if (!(src[gx / 8] & (0x80 >> (gx % 8)))) {
          if (src[gx / 8] == 0 && gx % 8 == 0) {
            gx += 8;
            continue;
          }
          gx++;
          continue;
        }
        long long run = gx;
        while (run < gw && (src[run / 8] & (0x80 >> (run % 8))))
          run++;
        span(c.image, y, x0 + gx * f.magX, x0 + run * f.magX, op);
        gx = run;
      }
    }
    return true;
  }

  // Places an unturned field mask: turned by `rotation`, its anchor (ax, ay) or, for ^FO, its
  // turned box's top-left corner at the field origin.
  bool place(Canvas& c, const Field& f, const Mask& m, int ax, int ay, int endX)
  {
    int w = m.width, h = m.height;
    auto turnPoint = [&](long long u, long long v, long long& x, long long& y) {
      switch (f.rotation) {
        case 'R': x = h - 1 - v; y = u; break;
        case 'I': x = w - 1 - u; y = h - 1 - v; break;
        case 'B': x = v; y = w - 1 - u; break;
        default: x = u; y = v; break;
      }
    };
    bool sideways = f.rotation == 'R' || f.rotation == 'B';
    long long tw = sideways ? h : w, th = sideways ? w : h;
    long long left, top;
    long long fx = f.x, fy = f.y;
    if (f.follow) {
      fx = c.lastX;
      fy = c.lastY;
    }
    if (f.baseline) {
      long long axr, ayr;
      turnPoint(ax, ay, axr, ayr);
      left = fx - axr;
      top = fy - ayr;
    } else {
      left = f.justify == 1 ? fx - tw : fx;
      top = fy;
    }
    if (placed_) {
      placed_->left = static_cast<int>(std::clamp(left, -1000000LL, 1000000LL));
      placed_->top = static_cast<int>(std::clamp(top, -1000000LL, 1000000LL));
      placed_->width = static_cast<int>(tw);
      placed_->height = static_cast<int>(th);
    }
    long long ex, ey;
    turnPoint(endX, ay, ex, ey);
    c.lastX = left + ex;
    c.lastY = top + ey;
    if (!addWork(static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h)))
      return false;
    Op op = f.reverse ? Op::flip : Op::set;
    for (int v = 0; v < h; v++) {
      const std::uint8_t* row = m.dots.data() + static_cast<std::size_t>(v) * w;
      if (f.rotation == 'N' || !f.rotation) {
        long long y = top + v;
        if (y < 0 || y >= c.image.height)
          continue;
        for (int u = 0; u < w;) {
          if (!row[u]) {
            u++;
            continue;
          }
          int run = u;
          while (run < w && row[run])
            run++;
          span(c.image, y, left + u, left + run, op);
          u = run;
        }
        continue;
      }
      for (int u = 0; u < w; u++) {
        if (!row[u])
          continue;
        long long x, y;
        turnPoint(u, v, x, y);
        span(c.image, top + y, left + x, left + x + 1, op);
      }
    }
    return true;
  }

  bool maskSize(const Field& f, long long w, long long h)
  {
    if (w < 0 || h < 0 || static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) > options_.limits.maxFieldDots)
      return fail(f.offset, "a field of " + std::to_string(w) + " x " + std::to_string(h) +
                                " dots is larger than a label may hold");
    return true;
  }

  // Lines of a field block: explicit breaks (\&), then words wrapped to the width, a word wider
  // than the block cut where it stops fitting.  One pass over the text; at most maxLines + 1
  // lines are made.
  std::vector<std::u32string> wrap(const Field& f, const std::u32string& text, int width, int maxLines)
  {
    LabelFont* face = options_.font.get();
    auto advance = [&](char32_t c) {
      return static_cast<long long>(textWidth(face, f.font, std::u32string(1, c)));
    };
    const long long space = advance(U' ');
    std::vector<std::u32string> lines;
    std::u32string line;
    long long lineWidth = 0;
    auto indent = [&] { return lines.empty() ? 0LL : static_cast<long long>(f.block.indent); };
    auto push = [&] {
      lines.push_back(line);
      line.clear();
      lineWidth = 0;
      return static_cast<int>(lines.size()) <= maxLines;
    };
    std::size_t i = 0;
    while (i <= text.size()) {
      std::size_t breakAt = text.find(U"\\&", i);
      std::size_t end = breakAt == std::u32string::npos ? text.size() : breakAt;
      std::size_t w = i;
      while (w <= end) {
        std::size_t sp = text.find(U' ', w);
        std::size_t wordEnd = sp == std::u32string::npos || sp > end ? end : sp;
        long long wordWidth = 0;
        for (std::size_t k = w; k < wordEnd; k++)
          wordWidth += advance(text[k]);
        if (!line.empty() && indent() + lineWidth + space + wordWidth > width && !push())
          return lines;
        if (!line.empty()) {
          line += U' ';
          lineWidth += space;
        }
        for (std::size_t k = w; k < wordEnd; k++) {
          long long a = advance(text[k]);
          if (!line.empty() && indent() + lineWidth + a > width && !push())
            return lines;
          line += text[k];
          lineWidth += a;
        }
        w = wordEnd + 1;
      }
      if (!push())
        return lines;
      if (breakAt == std::u32string::npos)
        break;
      i = breakAt + 2;
    }
    return lines;
  }

  // What drawing `chars` glyphs of the field's font costs: each glyph's cell, rendered and
  // copied, counted before it is drawn.
  static std::uint64_t glyphWork(const Field& f, std::size_t chars)
  {
    return static_cast<std::uint64_t>(chars) * static_cast<std::uint64_t>(f.font.height) *
           static_cast<std::uint64_t>(std::max(1, f.font.width));
  }

  bool drawTextField(Canvas& c, const Field& f, const std::string& data)
  {
    LabelFont* face = options_.font.get();
    if (!face) {
      note("no label font: text is not drawn");
      return true;
    }
    std::u32string text = decodeText(data, characterSet_);
    int ascent = fontAscent(f.font);
    Mask m;
    if (!f.block.on) {
      long long w = textWidth(face, f.font, text);
      if (!maskSize(f, w, f.font.height))
        return false;
      m.resize(static_cast<int>(w), f.font.height);
      if (!addWork(glyphWork(f, text.size())))
        return false;
      int end = drawText(face, f.font, text, m, 0, ascent);
      return place(c, f, m, 0, ascent, end);
    }
    const Block& b = f.block;
    int lineHeight = f.font.height + b.spacing;
    int maxLines = b.textBlock ? std::max(1, b.height / std::max(1, f.font.height)) : b.lines;
    int width = b.width > 0 ? b.width : textWidth(face, f.font, text);
    std::vector<std::u32string> lines = wrap(f, text, std::max(1, width), maxLines);
    if (static_cast<int>(lines.size()) > maxLines) {
      if (!b.textBlock) {
        // The printer writes what does not fit over the last line.
        std::u32string rest;
        for (std::size_t i = static_cast<std::size_t>(maxLines) - 1; i < lines.size(); i++)
          rest += (rest.empty() ? U"" : U" ") + lines[i];
        lines.resize(static_cast<std::size_t>(maxLines));
        lines.back() = rest;
      } else {
        lines.resize(static_cast<std::size_t>(maxLines));
      }
    }
    long long h = b.textBlock ? b.height
                              : static_cast<long long>(maxLines) * f.font.height +
                                    static_cast<long long>(maxLines - 1) * std::max(0, b.spacing);
    if (!maskSize(f, width, h))
      return false;
    m.resize(width, static_cast<int>(std::max(1LL, h)));
    for (std::size_t i = 0; i < lines.size(); i++) {
      const std::u32string& line = lines[i];
      if (!addWork(glyphWork(f, line.size())))
        return false;
      int indent = i == 0 ? 0 : b.indent;
      int lw = textWidth(face, f.font, line);
      int x = indent;
      int baselineY = static_cast<int>(i) * lineHeight + ascent;
      if (b.justify == 'C')
        x = indent + (width - indent - lw) / 2;
      else if (b.justify == 'R')
        x = width - lw;
      if (b.justify == 'J' && i + 1 < lines.size()) {
        // Spread the spaces so the line fills the block.
        std::vector<std::u32string> words;
        std::size_t from = 0;
        for (;;) {
          std::size_t sp = line.find(U' ', from);
          words.push_back(line.substr(from, sp == std::u32string::npos ? std::u32string::npos : sp - from));
          if (sp == std::u32string::npos)
            break;
          from = sp + 1;
        }
        int inkWidth = 0;
        for (const auto& w : words)
          inkWidth += textWidth(face, f.font, w);
        int gaps = static_cast<int>(words.size()) - 1;
        int pen = indent;
        for (std::size_t k = 0; k < words.size(); k++) {
          drawText(face, f.font, words[k], m, pen, baselineY);
          pen += textWidth(face, f.font, words[k]);
          if (gaps > 0 && k + 1 < words.size())
            pen += (width - indent - inkWidth) / gaps + (static_cast<int>(k) < (width - indent - inkWidth) % gaps ? 1 : 0);
        }
        continue;
      }
      drawText(face, f.font, line, m, x, baselineY);
    }
    int anchorY = static_cast<int>(h) - (f.font.height - ascent);
    if (b.textBlock)
      anchorY = ascent;
    return place(c, f, m, 0, anchorY, width);
  }

  bool drawBarcodeField(Canvas& c, Field& f, FieldInfo& info, const std::string& data)
  {
    BarcodeField bar = f.bar;
    bar.defaults = barDefaults_;
    bar.data = data;
    BarcodeImage image = drawBarcode(bar);
    if (!image.error.empty()) {
      info.problem = image.error;
      note("barcode ^" + f.command + " not drawn: " + image.error);
      return true;
    }
    if (!maskSize(f, image.width, image.height))
      return false;
    Mask m;
    m.width = image.width;
    m.height = image.height;
    m.dots = std::move(image.dots);
    m.dots.resize(static_cast<std::size_t>(m.width) * m.height, 0);
    for (const BarcodeText& t : image.texts) {
      if (!options_.font) {
        note("no label font: text is not drawn");
        break;
      }
      drawCellText(options_.font.get(), t.height, t.width, t.text, m, t.x, t.y);
    }
    return place(c, f, m, 0, image.baseline, image.width);
  }

  std::string fieldData(Field& f, long long copy)
  {
    std::string data = f.data;
    if (f.fn >= 0 && f.stored) {
      auto found = values_.find(f.fn);
      if (found != values_.end())
        data = found->second;
    }
    long long steps = copy / (settings_.replicates + 1);
    if (f.serial.type == Serial::Type::sn)
      data = serialNumber(data, f.serial.increment, f.serial.zeros, steps);
    else if (f.serial.type == Serial::Type::sf) {
      if (f.serialSteps >= 0 && steps >= f.serialSteps) {
        data = serialField(f.serialData, f.serial.mask, f.serial.step, steps - f.serialSteps);
      } else {
        data = serialField(data, f.serial.mask, f.serial.step, steps);
      }
      f.serialData = data;
      f.serialSteps = steps;
    }
    return data;
  }

  static std::string kindName(const Field& f)
  {
    switch (f.kind) {
      case Kind::text: return "text ^" + f.command;
      case Kind::barcode: return "barcode ^" + f.command;
      case Kind::box: return "box ^GB";
      case Kind::ellipse: return f.command == "GC" ? "circle ^GC" : "ellipse ^GE";
      case Kind::diagonal: return "line ^GD";
      case Kind::graphic: return "graphic ^" + f.command;
      default: return "field";
    }
  }

  // A solid reversing box over the whole label: the label printed white on black.
  static bool coversLabel(const Field& f, int width, int height)
  {
    long long w = std::max(f.w, f.t), h = std::max(f.h, f.t);
    long long top = topOf(f, h);
    bool solid = 2 * f.t >= std::min(w, h);
    return f.reverse && solid && f.rounding == 0 && f.x <= 0 && top <= 0 && f.x + w >= width &&
           top + h >= height;
  }

  bool drawLabel(Label& label, long long copy, int width, int height)
  {
    Canvas c;
    c.image = blank(width, height);
    if (!addWork(static_cast<std::uint64_t>(c.image.bits.size())))
      return false;
    for (Field& f : fields_) {
      FieldInfo info;
      info.kind = kindName(f);
      info.x = static_cast<int>(f.x);
      info.y = static_cast<int>(f.y);
      info.rotation = f.rotation ? f.rotation : 'N';
      std::string data = fieldData(f, copy);
      info.data = data;
      info.problem = f.problem;
      placed_ = &info;
      bool ok = true;
      if (!f.problem.empty()) {
        note(f.problem);
      } else {
        switch (f.kind) {
          case Kind::text: ok = drawTextField(c, f, data); break;
          case Kind::barcode: ok = drawBarcodeField(c, f, info, data); break;
          case Kind::box:
            ok = drawBox(c, f);
            label.settings.reversed = label.settings.reversed || coversLabel(f, width, height);
            break;
          case Kind::ellipse: ok = drawEllipse(c, f); break;
          case Kind::diagonal: ok = drawDiagonal(c, f); break;
          case Kind::graphic: ok = f.graphic ? drawGraphic(c, f) : true; break;
          default: break;
        }
      }
      placed_ = nullptr;
      if (!ok)
        return false;
      label.fields.push_back(std::move(info));
    }
    if (settings_.mirror == 'Y')
      mirror(c.image);
    if (settings_.orientation == 'I')
      turn(c.image);
    label.image = std::move(c.image);
    return true;
  }

  bool deliver(Label&& label)
  {
    labelsDelivered_++;
    if (sink_) {
      if (!sink_(label, labelsDelivered_)) {
        stopped_ = true;
        return true;
      }
      label.image.bits.clear();
      label.image.bits.shrink_to_fit();
    }
    result_.labels.push_back(std::move(label));
    return true;
  }

  // The box a field of the exact reading covers: a graphic's whole bytes, a box at least as
  // thick as its border.
  struct Extent {
    long long x0, y0, x1, y1;
  };
  static Extent extentOf(const Field& f)
  {
    long long w, h;
    if (f.kind == Kind::graphic && f.graphic) {
      w = static_cast<long long>(f.graphic->rowBytes) * 8 * f.magX;
      h = static_cast<long long>(f.graphic->rows) * f.magY;
    } else {
      w = std::max(f.w, f.t);
      h = std::max(f.h, f.t);
    }
    long long top = f.baseline ? f.y - h : f.y;
    return {f.x, top, f.x + w, top + h};
  }

  // A format of the exact reading is one label (its ^PQ quantity in its settings), as large as
  // its fields when the job sets no size.
  bool finishExactLabel()
  {
    if (fields_.empty())
      return true;  // a format of settings alone prints nothing
    Label label;
    long long width = 1, height = 1;
    for (const Field& f : fields_) {
      Extent e = extentOf(f);
      width = std::max(width, e.x1);
      height = std::max(height, e.y1);
    }
    if (printWidth_)
      width = *printWidth_;
    else
      label.notes.push_back("no ^PW in the job: the width is that of the fields");
    if (labelLength_)
      height = *labelLength_;
    else
      label.notes.push_back("no ^LL in the job: the length is that of the fields");
    std::uint64_t bytes = static_cast<std::uint64_t>(width + 7) / 8 * static_cast<std::uint64_t>(height);
    if (width > options_.limits.maxSide || height > options_.limits.maxSide ||
        bytes > options_.limits.maxLabelBytes)
      return fail(labelStart_, "a label of " + std::to_string(width) + " x " + std::to_string(height) +
                                   " dots is larger than a preview draws");
    if (storedBytes_ + keptLabelBytes_ + bytes > options_.limits.maxStoredBytes)
      return fail(labelStart_, budgetText());
    // What the label costs to draw: a pass over it for a mirror or a turn, and each field's
    // part on it.
    exactWork_ += 2 * bytes;
    for (const Field& f : fields_) {
      Extent e = extentOf(f);
      long long w = std::min(e.x1, width) - std::max(e.x0, 0LL);
      long long h = std::min(e.y1, height) - std::max(e.y0, 0LL);
      if (w > 0 && h > 0)
        exactWork_ += static_cast<std::uint64_t>(w / 8 + 1) * static_cast<std::uint64_t>(h);
    }
    if (exactWork_ > options_.limits.maxWorkDots)
      return fail(labelStart_, "the job draws more than " + std::to_string(options_.limits.maxWorkDots) +
                                   " bytes of labels, more than a preview draws for a job of " +
                                   std::to_string(job_.size()) + " bytes");
    label.offset = labelStart_;
    label.settings = settings_;
    if (!drawLabel(label, 0, static_cast<int>(width), static_cast<int>(height)))
      return false;
    label.fields.clear();
    fields_.clear();
    if (!sink_)
      keptLabelBytes_ += bytes;
    return deliver(std::move(label));
  }

  bool finishLabel()
  {
    if (!closeField())
      return false;
    inLabel_ = false;
    if (options_.exact)
      return finishExactLabel();
    if (storesFormat_ || fields_.empty())
      return true;
    int width = printWidth_.value_or(mediaWidth_);
    int height = labelLength_.value_or(mediaHeight_);
    if (!printWidth_)
      note("no ^PW: the label is as wide as the media (" + std::to_string(width) + " dots)");
    if (!labelLength_)
      note("no ^LL: the label is as long as the media (" + std::to_string(height) + " dots)");
    if (width > options_.limits.maxSide || height > options_.limits.maxSide ||
        (static_cast<std::uint64_t>(width) + 7) / 8 * static_cast<std::uint64_t>(height) >
            options_.limits.maxLabelBytes)
      return fail(labelStart_, "a label of " + std::to_string(width) + " x " +
                                   std::to_string(height) + " dots is larger than a preview draws");
    bool serial = std::any_of(fields_.begin(), fields_.end(),
                              [](const Field& f) { return f.serial.type != Serial::Type::none; });
    long long copies = settings_.quantity;
    Label first;
    for (long long copy = 0; copy < copies && !stopped_; copy++) {
      if (labelsDelivered_ >= options_.limits.maxLabels) {
        if (!labelLimitNoted_)
          note("only the first " + std::to_string(options_.limits.maxLabels) +
               " labels of the job are drawn");
        labelLimitNoted_ = true;
        break;
      }
      Label label;
      label.offset = labelStart_;
      label.copy = static_cast<int>(copy + 1);
      label.settings = settings_;
      if (copy == 0 || serial) {
        if (!drawLabel(label, copy, width, height))
          return false;
        if (copy == 0 && !serial && copies > 1)
          first = label;
      } else {
        label.image = first.image;
        label.fields = first.fields;
        if (!addWork(static_cast<std::uint64_t>(label.image.bits.size())))
          return false;
      }
      if (!deliver(std::move(label)))
        return false;
    }
    fields_.clear();
    return true;
  }

 public:
  bool failed() const { return failed_; }
};

}  // namespace

bool renderZpl(std::span<const std::uint8_t> job, const Options& options, Result& result,
               const LabelSink& sink)
{
  result = Result{};
  Renderer renderer(job, options, result, sink);
  bool ok = renderer.run();
  if (!ok && result.error.empty())
    result.error = "the job cannot be drawn";
  return ok;
}

bool isRasterJob(std::span<const std::uint8_t> job)
{
  static const char* const known[] = {"XA", "XZ", "FO", "FT", "FS", "FR", "XG", "GB", "PW",
                                      "LL", "LH", "LS", "LT", "CI", "PQ", "PP", "LR", "ID",
                                      "MN", "MT", "PO", "PM", "MM", "JM", "JU", "PR", "SD",
                                      "TA", "JS", "DG", "CC", "CD", "CT"};
  unsigned char formatPrefix = '^';
  unsigned char controlPrefix = '~';
  for (std::size_t i = 0; i + 2 < job.size(); i++) {
    unsigned char b = job[i];
    if (b != formatPrefix && b != controlPrefix && b != kDle)
      continue;
    char name[3] = {upper(static_cast<char>(job[i + 1])), upper(static_cast<char>(job[i + 2])), 0};
    bool found = false;
    for (const char* k : known)
      found = found || std::strcmp(k, name) == 0;
    if (!found)
      return false;
    if (name[0] == 'C' && (name[1] == 'C' || name[1] == 'T') && i + 3 < job.size()) {
      (name[1] == 'C' ? formatPrefix : controlPrefix) = job[i + 3];
      i += 3;
      continue;
    }
    i += 2;
  }
  return true;
}

bool looksLikeZpl(std::span<const std::uint8_t> job)
{
  std::size_t i = 0;
  while (i < job.size() && (job[i] == ' ' || job[i] == '\r' || job[i] == '\n' || job[i] == '\t' || job[i] == 0))
    i++;
  if (i + 2 >= job.size())
    return false;
  return (job[i] == '^' || job[i] == '~' || job[i] == kDle) &&
         ((job[i + 1] >= 'A' && job[i + 1] <= 'Z') || (job[i + 1] >= 'a' && job[i + 1] <= 'z'));
}

}  // namespace zplrender
