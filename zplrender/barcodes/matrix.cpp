// matrix.cpp: the two-dimensional and stacked symbols: QR Code, Data Matrix, PDF417, Aztec,
// GS1 DataBar and MaxiCode.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "symbols.h"

#include <zint.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace zplrender::barcodes {

// ---- 2D symbologies ------------------------------------------------------------------------

namespace {

// The QR field data: error correction and input mode before a comma ("QA,"; "MM,N123,A..."
// with manual character modes; "D0302xx," first for a structured append).
struct QrData {
  char level = 0;
  std::string bytes;
  int index = 0, count = 0;
  std::string id;
  std::string error;
};

bool isLevel(char c) {
  return c == 'H' || c == 'Q' || c == 'M' || c == 'L';
}

QrData qrData(std::string_view d) {
  QrData q;
  if (d.size() >= 8 && d[0] == 'D' && d[7] == ',') {
    auto two = [&](std::size_t at) { return (d[at] - '0') * 10 + (d[at + 1] - '0'); };
    q.index = two(1);
    q.count = two(3);
    q.id = std::to_string(std::strtol(std::string(d.substr(5, 2)).c_str(), nullptr, 16));
    d.remove_prefix(8);
  }
  // The printer takes the first two characters as the level and the input mode whatever they
  // are (a level other than H, Q, M or L is the default), and after A or M one more, the comma.
  if (d.size() >= 2) {
    q.level = isLevel(d[0]) ? d[0] : 0;
    bool manual = d[1] == 'M';
    d.remove_prefix(d[1] == 'A' || manual ? std::min<std::size_t>(3, d.size()) : 2);
    if (!manual) {
      q.bytes = std::string(d);
      return q;
    }
    // Manual input: N, A or K and characters up to the next comma, or B and a 4-digit count.
    while (!d.empty()) {
      char mode = d[0];
      d.remove_prefix(1);
      if (mode == 'B') {
        if (d.size() < 4 || digitsOnly(d.substr(0, 4)).size() != 4) {
          q.error = "QR Code byte data needs a 4-digit count";
          return q;
        }
        std::size_t n = static_cast<std::size_t>(std::stoi(std::string(d.substr(0, 4))));
        d.remove_prefix(4);
        n = std::min(n, d.size());
        q.bytes += d.substr(0, n);
        d.remove_prefix(n);
      } else if (mode == 'N' || mode == 'A' || mode == 'K') {
        std::size_t end = mode == 'K' ? d.size() : std::min(d.find(','), d.size());
        q.bytes += d.substr(0, end);
        d.remove_prefix(end);
      } else {
        q.error = std::string("QR Code manual input has no character mode '") + mode + "'";
        return q;
      }
      if (!d.empty() && d[0] == ',')
        d.remove_prefix(1);
    }
    return q;
  }
  q.error = "QR Code field data must start with its error correction and input mode, as in \"QA,\"";
  return q;
}

}  // namespace

// ^BQa,b,c,d,e
BarcodeImage qrCode(const BarcodeField& f) {
  if (number(f, 1, 2, 1, 2) == 1)
    return failure("QR Code model 1 is not drawn: use model 2");
  QrData q = qrData(f.data);
  if (!q.error.empty())
    return failure(q.error);
  std::string levelParam = param(f, 3);
  char level = q.level ? q.level : levelParam.empty() ? 'Q' : isLevel(levelParam[0]) ? levelParam[0] : 'M';
  ZintRequest req;
  req.symbology = BARCODE_QRCODE;
  req.name = "QR Code";
  req.data = q.bytes;
  req.option1 = level == 'L' ? 1 : level == 'M' ? 2 : level == 'Q' ? 3 : 4;
  int mask = number(f, 4, -1, 0, 7);
  if (mask >= 0)
    req.option3 = (mask + 1) << 8;
  if (q.count >= 2 && q.index >= 1 && q.index <= q.count) {
    req.appendIndex = q.index;
    req.appendCount = q.count;
    req.appendId = q.id;
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  return squareMatrix(m, number(f, 2, resolutionDefault(f), 1, 10));
}

namespace {

// Data Matrix data with the field's escape character: e1 is FNC1, edNNN a character by its
// code, ee the character itself.  FNC1 first makes it GS1 data, elsewhere a group separator.
struct Escaped {
  bool gs1 = false;
  std::string bytes;
};

Escaped dataMatrixEscapes(std::string_view d, char escape) {
  Escaped e;
  for (std::size_t i = 0; i < d.size(); i++) {
    if (d[i] == escape && i + 1 < d.size()) {
      char c = d[i + 1];
      if (c == '1') {
        if (i == 0)
          e.gs1 = true;
        else
          e.bytes += '\x1d';
        i++;
        continue;
      }
      if (c == 'd' && i + 4 < d.size() && digitsOnly(d.substr(i + 2, 3)).size() == 3) {
        int v = std::stoi(std::string(d.substr(i + 2, 3)));
        if (v < 256) {
          e.bytes += static_cast<char>(v);
          i += 4;
          continue;
        }
      }
      if (c == escape) {
        e.bytes += escape;
        i++;
        continue;
      }
    }
    e.bytes += d[i];
  }
  return e;
}

}  // namespace

// ^BXo,h,s,c,r,f,g,a: ECC 200 only.
BarcodeImage dataMatrix(const BarcodeField& f) {
  std::string quality = param(f, 2);
  if (quality != "200")
    return failure("Data Matrix quality " + (quality.empty() ? std::string("0 (the default)") : quality) +
                   " is ECC 000-140, which is not drawn: give quality 200");
  std::string esc = param(f, 6);
  Escaped e = dataMatrixEscapes(f.data, esc.empty() ? '~' : esc[0]);
  ZintRequest req;
  req.symbology = BARCODE_DATAMATRIX;
  req.name = "Data Matrix";
  if (e.gs1) {
    req.data = gs1Bracketed(e.bytes);
    if (req.data.empty())
      return failure("Data Matrix GS1 data does not parse as application identifiers");
    req.inputMode = GS1_MODE | GS1NOCHECK_MODE;
  } else {
    req.data = e.bytes;
  }
  // Rows and columns pick the size when they name one.
  static constexpr std::array<std::array<int, 3>, 30> kSizes = {{
      {1, 10, 10},  {2, 12, 12},    {3, 14, 14},    {4, 16, 16},    {5, 18, 18},
      {6, 20, 20},  {7, 22, 22},    {8, 24, 24},    {9, 26, 26},    {10, 32, 32},
      {11, 36, 36}, {12, 40, 40},   {13, 44, 44},   {14, 48, 48},   {15, 52, 52},
      {16, 64, 64}, {17, 72, 72},   {18, 80, 80},   {19, 88, 88},   {20, 96, 96},
      {21, 104, 104}, {22, 120, 120}, {23, 132, 132}, {24, 144, 144}, {25, 8, 18},
      {26, 8, 32},  {27, 12, 26},   {28, 12, 36},   {29, 16, 36},   {30, 16, 48}}};
  int cols = number(f, 3, 0, 1, 144), rows = number(f, 4, 0, 1, 144);
  for (const auto& s : kSizes)
    if (s[1] == rows && s[2] == cols)
      req.option2 = s[0];
  req.option3 = number(f, 7, 1, 1, 2) == 2 ? 0 : DM_SQUARE;
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  // Without a module size ^BY's height is roughly the symbol's.
  int module = number(f, 1, 0, 1, kMaxBarcodeDots);
  if (module == 0)
    module = std::max(1, std::clamp(f.defaults.height, 1, kMaxBarcodeDots) /
                             static_cast<int>(std::max<std::size_t>(1, m.rows.size())));
  return squareMatrix(m, module);
}

// ^B7o,h,s,c,r,t: rows `h` module widths tall, or ^BY's height shared among the rows;
// modules ^BY's width.
BarcodeImage pdf417(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = flag(f, 5, false) ? BARCODE_PDF417COMP : BARCODE_PDF417;
  req.name = "PDF417";
  req.data = f.data;
  req.option1 = number(f, 2, 0, 0, 8);
  req.option2 = number(f, 3, 0, 1, 30);
  req.option3 = number(f, 4, 0, 3, 90);
  if (req.option2 > 0 && req.option3 > 0 && req.option2 * req.option3 > 928)
    return failure("PDF417 of " + std::to_string(req.option2) + " columns and " +
                   std::to_string(req.option3) + " rows is beyond 928 codewords");
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  if (req.option2 == 0 && req.option3 == 0 && !m.rows.empty()) {
    // Given neither, the printer makes about twice as many rows as columns: the fewest columns
    // whose rows are no more than twice as many.
    int edge = req.symbology == BARCODE_PDF417COMP ? 35 : 69;
    int columns = std::max(1, (static_cast<int>(m.rows[0].size()) - edge) / 17);
    int codewords = columns * static_cast<int>(m.rows.size());
    int first = std::max(1, static_cast<int>(std::sqrt(codewords / 2.0)) - 1);
    for (int c = first; c <= 30; c++) {
      req.option2 = c;
      Modules tried = encode(req);
      if (tried.error.empty() && tried.rows.size() <= static_cast<std::size_t>(2 * c)) {
        m = std::move(tried);
        break;
      }
    }
  }
  // The printer keeps the rows it is given: data that needs more prints nothing.
  if (req.option3 > 0 && m.rows.size() != static_cast<std::size_t>(req.option3))
    return failure("PDF417 data needs " + std::to_string(m.rows.size()) + " rows, the field gives " +
                   std::to_string(req.option3));
  int rows = static_cast<int>(std::max<std::size_t>(1, m.rows.size()));
  long rowHeight = static_cast<long>(number(f, 1, 0, 1, kMaxBarcodeDots)) * moduleWidth(f);
  if (rowHeight == 0)
    rowHeight = std::max(1, std::clamp(f.defaults.height, 1, kMaxBarcodeDots) / rows);
  if (rowHeight * static_cast<long>(m.rows.size()) > kMaxBarcodeDots)
    return tooLarge(0, static_cast<long>(rowHeight) * static_cast<long>(m.rows.size()));
  return matrixImage(m, moduleWidth(f), std::vector<int>(m.rows.size(), static_cast<int>(rowHeight)));
}

// ^BOa,b,c,d,e,f,g: d is 0 (the default size), 1-99 an error correction share, 101-104
// compact and 201-232 full-range layers, 300 a rune.
BarcodeImage aztec(const BarcodeField& f) {
  ZintRequest req;
  req.symbology = BARCODE_AZTEC;
  req.name = "Aztec";
  req.data = f.data;
  int d = number(f, 3, 0, 0, 300);
  if (d >= 1 && d <= 99)
    req.option1 = d <= 10 ? 1 : d <= 23 ? 2 : d <= 36 ? 3 : 4;
  else if (d >= 101 && d <= 104)
    req.option2 = d - 100;
  else if (d >= 201 && d <= 232)
    req.option2 = d - 200 + 4;
  else if (d == 300)
    req.symbology = BARCODE_AZRUNE;
  int count = number(f, 5, 1, 1, 26);
  if (count >= 2) {
    req.appendCount = count;
    req.appendIndex = 1;
    req.appendId = param(f, 6);
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  return squareMatrix(m, number(f, 1, resolutionDefault(f), 1, 10));
}

// ^BRa,b,c,d,e,f: the GS1 DataBar family; c the module width, f the segments of expanded
// stacked.  The linear types' heights are the standard's, in modules.
BarcodeImage dataBar(const BarcodeField& f) {
  int type = number(f, 1, 1, 1, 12);
  if (type >= 7)
    return failure("GS1 DataBar type " + std::to_string(type) +
                   " (a composite symbol) is not drawn");
  int module = number(f, 2, resolutionDefault(f), 1, 10);
  ZintRequest req;
  req.name = "GS1 DataBar";
  float single = 33;
  switch (type) {
    case 2: req.symbology = BARCODE_DBAR_OMN; single = 13; break;
    case 3: req.symbology = BARCODE_DBAR_STK; break;
    case 4: req.symbology = BARCODE_DBAR_OMNSTK; break;
    case 5: req.symbology = BARCODE_DBAR_LTD; single = 10; break;
    case 6: req.symbology = BARCODE_DBAR_EXPSTK; single = 34; break;
    default: req.symbology = BARCODE_DBAR_OMN; break;
  }
  if (type == 6) {
    std::string data = f.data;
    if (data.find('(') != std::string::npos) {
      req.inputMode = GS1_MODE | GS1PARENS_MODE | GS1NOCHECK_MODE;
    } else if (data.find('[') != std::string::npos) {
      req.inputMode = GS1_MODE | GS1NOCHECK_MODE;
    } else {
      data = gs1Bracketed(data);
      if (data.empty())
        return failure("GS1 DataBar Expanded data does not parse as application identifiers");
      req.inputMode = GS1_MODE | GS1NOCHECK_MODE;
    }
    req.data = data;
    req.option2 = number(f, 5, 22, 2, 22) / 2;
  } else {
    if (!numeric(f.data))
      return failure("GS1 DataBar data must be digits");
    req.data = productDigits(f.data, 13);
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  int separator = number(f, 3, 1, 1, 2);
  std::vector<int> heights;
  for (float h : m.heights) {
    float modules = h > 0 ? h : single;
    // Separator rows between stacked rows are one module; the field may make them two.
    if (m.rows.size() > 1 && h > 0 && h <= 1.0f)
      modules = static_cast<float>(separator);
    heights.push_back(static_cast<int>(std::lround(modules)) * module);
  }
  return matrixImage(m, module, heights);
}

// ^BDm,n,t: MaxiCode's hexagons and bullseye at the symbol's fixed size, 1.11 inches wide.
// Modes 2 and 3 take the structured carrier message first: class of service (3 digits),
// country (3 digits), postal code (9 digits in mode 2, 6 characters in mode 3); or the whole
// message as a reader returns it ("[)>" RS "01" GS "96" postal GS country GS class GS ...).
BarcodeImage maxiCode(const BarcodeField& f) {
  int mode = number(f, 0, 2, 2, 6);
  ZintRequest req;
  req.symbology = BARCODE_MAXICODE;
  req.name = "MaxiCode";
  req.option1 = mode;
  static constexpr std::string_view kHeader = "[)>\x1e" "01\x1d";
  if ((mode == 2 || mode == 3) && f.data.rfind(kHeader, 0) == 0 && f.data.size() > kHeader.size() + 2) {
    // The carrier message written whole, as it reads back: header and year, then postal code,
    // country and class of service each ended by GS; the symbol takes them out to code first.
    std::size_t at = kHeader.size() + 2;
    std::string fields[3];
    for (std::string& field : fields) {
      std::size_t gs = f.data.find('\x1d', at);
      if (gs == std::string::npos)
        return failure("MaxiCode carrier message lacks its postal code, country and class");
      field = f.data.substr(at, gs - at);
      at = gs + 1;
    }
    req.primary = fields[0] + fields[1] + fields[2];
    req.data = f.data.substr(0, kHeader.size() + 2) + f.data.substr(at);
  } else if (mode == 2 || mode == 3) {
    std::size_t postal = mode == 2 ? 9 : 6;
    if (f.data.size() < 6 + postal)
      return failure("MaxiCode mode " + std::to_string(mode) + " data must start with class (3), country (3) and a " +
                     std::to_string(postal) + "-character postal code");
    std::string service = f.data.substr(0, 3), country = f.data.substr(3, 3);
    std::string code = f.data.substr(6, postal);
    if (digitsOnly(service).size() != 3 || digitsOnly(country).size() != 3)
      return failure("MaxiCode class of service and country must be 3 digits each");
    req.primary = code + country + service;
    req.data = f.data.substr(6 + postal);
    if (req.data.empty())
      req.data = " ";
  } else {
    req.data = f.data;
  }
  int index = number(f, 1, 1, 1, 8), count = number(f, 2, 1, 1, 8);
  if (count >= 2 && index <= count) {
    req.appendIndex = index;
    req.appendCount = count;
  }
  Modules m = encode(req);
  if (!m.error.empty())
    return failure(m.error);
  zint_symbol* s = m.symbol.get();
  if (ZBarcode_Buffer_Vector(s, 0) >= ZINT_ERROR || !s->vector || s->vector->width <= 0)
    return failure("MaxiCode could not be laid out");
  double scale = 1.11 * std::clamp(f.dpi, 72, 1200) / s->vector->width;
  long width = std::lround(s->vector->width * scale);
  long height = std::lround(s->vector->height * scale);
  if (!fits(width, height))
    return tooLarge(width, height);
  BarcodeImage image;
  blank(image, static_cast<int>(width), static_cast<int>(height));
  // Hexagons stand on a point: inside when within the flats and the slanted sides.  libzint's
  // touch their neighbours; printed ones keep a narrow light gap, a tenth of the pitch.
  for (auto* h = s->vector->hexagons; h; h = h->next) {
    double cx = h->x * scale, cy = h->y * scale;
    double flat = 0.9 * h->diameter * scale / 2;  // centre to a flat side
    double radius = flat * 2 / std::sqrt(3.0);
    for (int y = static_cast<int>(cy - radius); y <= static_cast<int>(cy + radius) + 1; y++)
      for (int x = static_cast<int>(cx - flat); x <= static_cast<int>(cx + flat) + 1; x++) {
        double dx = std::fabs(x + 0.5 - cx), dy = std::fabs(y + 0.5 - cy);
        if (x >= 0 && y >= 0 && x < image.width && y < image.height && dx <= flat &&
            dy <= radius - dx / std::sqrt(3.0))
          image.dots[static_cast<std::size_t>(y) * image.width + x] = 1;
      }
  }
  for (auto* c = s->vector->circles; c; c = c->next) {
    double cx = c->x * scale, cy = c->y * scale;
    double r = c->diameter * scale / 2, half = c->width * scale / 2;
    double inner = c->width > 0 ? r - half : 0, outer = c->width > 0 ? r + half : r;
    for (int y = static_cast<int>(cy - outer); y <= static_cast<int>(cy + outer) + 1; y++)
      for (int x = static_cast<int>(cx - outer); x <= static_cast<int>(cx + outer) + 1; x++) {
        double dist = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
        if (x >= 0 && y >= 0 && x < image.width && y < image.height && dist >= inner &&
            dist <= outer)
          image.dots[static_cast<std::size_t>(y) * image.width + x] = c->colour ? 0 : 1;
      }
  }
  image.baseline = image.height;
  return image;
}

}  // namespace zplrender::barcodes
