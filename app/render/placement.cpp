// placement.cpp: labels found on pages, turned and scaled onto the label.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "placement.h"

#include "labelbitmap.h"
#include "renderstream.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace app {

namespace {

// Darker than this is printed content; lighter is paper, a faint tint or a watermark.
constexpr unsigned char kInkLevel = 200;
// Blocks closer than this (inches) are one block: the lines of a paragraph, a label's parts.
constexpr double kBlockGap = 0.2;
// An item this large in both directions (inches) marks a label: its frame, a barcode, a logo.
constexpr double kMarkSide = 0.4;
// A page up to this much larger than the label (in the way it fits best) is taken as the
// label itself: a 4 x 8 in label for 4 x 6 in stock, a page with a wide margin.
constexpr double kSheetRatio = 1.5;
// A block is label-sized when, laid the way it fits the label best, its larger side is at
// least this share of the label's and its smaller at least kLabelLeast, and it is at most
// kLabelMost of the label's size.
constexpr double kLabelShare = 0.6, kLabelLeast = 0.4, kLabelMost = 1.15;
// Content within these bounds of the label's size at full size is printed at full size, so
// bars and dots keep their widths; a cropped block is padded by one preview dot.
constexpr double kFullSizeLow = 0.97, kFullSizeHigh = 1.15;
// A page of more blocks than this is text or a pattern, not labels: taken whole.
constexpr std::size_t kBusyPage = 1000;
// Whole-number scale factors for pictures, when they keep this share of the fitted size.
constexpr double kWholeShare = 0.85;
// How far a page may be enlarged, against a region of one point.
constexpr double kEnlargeLimit = 100;

// Union-find over component numbers.
int root(std::vector<int>& parent, int at)
{
  while (parent[at] != at) {
    parent[at] = parent[parent[at]];
    at = parent[at];
  }
  return at;
}

// Components of the set dots (8-connected), numbered from 0 in `label` (-1 for unset dots);
// returns their count.  Two passes with union-find, no recursion.
int components(const std::vector<std::uint8_t>& set, unsigned width, unsigned height,
               std::vector<int>& label)
{
  label.assign(set.size(), -1);
  std::vector<int> parent;
  for (unsigned y = 0; y < height; y++) {
    for (unsigned x = 0; x < width; x++) {
      std::size_t at = static_cast<std::size_t>(y) * width + x;
      if (!set[at])
        continue;
      int found = -1;
      auto join = [&](std::size_t other) {
        int theirs = label[other];
        if (theirs < 0)
          return;
        if (found < 0) {
          found = theirs;
          return;
        }
        int a = root(parent, found), b = root(parent, theirs);
        if (a != b)
          parent[std::max(a, b)] = std::min(a, b);
      };
      if (x > 0)
        join(at - 1);
      if (y > 0) {
        std::size_t up = at - width;
        join(up);
        if (x > 0)
          join(up - 1);
        if (x + 1 < width)
          join(up + 1);
      }
      if (found < 0) {
        found = static_cast<int>(parent.size());
        parent.push_back(found);
      }
      label[at] = found;
    }
  }
  // Roots numbered from 0.
  std::vector<int> number(parent.size(), -1);
  int count = 0;
  for (std::size_t i = 0; i < parent.size(); i++) {
    int r = root(parent, static_cast<int>(i));
    if (number[r] < 0)
      number[r] = count++;
    number[i] = number[r];
  }
  for (int& l : label)
    if (l >= 0)
      l = number[l];
  return count;
}

// The set dots grown by `radius` in each direction (a square), by runs along rows then columns.
std::vector<std::uint8_t> grow(const std::vector<std::uint8_t>& set, unsigned width, unsigned height,
                               unsigned radius)
{
  std::vector<std::uint8_t> rows(set.size(), 0), out(set.size(), 0);
  for (unsigned y = 0; y < height; y++) {
    const std::uint8_t* in = set.data() + static_cast<std::size_t>(y) * width;
    std::uint8_t* to = rows.data() + static_cast<std::size_t>(y) * width;
    long last = -1000000;  // the last set dot seen, looking left to right
    for (unsigned x = 0; x < width; x++) {
      if (in[x])
        last = x;
      if (static_cast<long>(x) - last <= static_cast<long>(radius))
        to[x] = 1;
    }
    last = 1000000000;
    for (long x = static_cast<long>(width) - 1; x >= 0; x--) {
      if (in[x])
        last = x;
      if (last - x <= static_cast<long>(radius))
        to[x] = 1;
    }
  }
  for (unsigned x = 0; x < width; x++) {
    long last = -1000000;
    for (unsigned y = 0; y < height; y++) {
      if (rows[static_cast<std::size_t>(y) * width + x])
        last = y;
      if (static_cast<long>(y) - last <= static_cast<long>(radius))
        out[static_cast<std::size_t>(y) * width + x] = 1;
    }
    last = 1000000000;
    for (long y = static_cast<long>(height) - 1; y >= 0; y--) {
      if (rows[static_cast<std::size_t>(y) * width + x])
        last = y;
      if (last - y <= static_cast<long>(radius))
        out[static_cast<std::size_t>(y) * width + x] = 1;
    }
  }
  return out;
}

// How much larger a is than b, laid the way it fits b best: above 1 when it does not fit.
double overRatio(double aw, double ah, double bw, double bh)
{
  return std::min(std::max(aw / bw, ah / bh), std::max(aw / bh, ah / bw));
}

bool labelSized(double w, double h, double lw, double lh)
{
  // Laid as the label lies, then turned; either may do.
  for (int turned = 0; turned < 2; turned++) {
    double rw = (turned ? h : w) / lw, rh = (turned ? w : h) / lh;
    double big = std::max(rw, rh), small = std::min(rw, rh);
    if (big <= kLabelMost && big >= kLabelShare && small >= kLabelLeast)
      return true;
  }
  return false;
}

std::string inches(double value)
{
  // A found label's size is its frame's, a little inside the label: sizes within an eighth of
  // an inch of a quarter are named by the quarter.
  double quarter = std::round(value * 4) / 4;
  if (std::fabs(value - quarter) <= 0.125)
    value = quarter;
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  std::string out = text;
  while (out.back() == '0')
    out.pop_back();
  if (out.back() == '.')
    out.pop_back();
  return out;
}

// Blocks in reading order: rows of blocks that overlap vertically, top to bottom, each left
// to right.
void readingOrder(std::vector<Box>& boxes)
{
  std::sort(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) { return a.y < b.y; });
  std::vector<Box> ordered;
  std::size_t start = 0;
  while (start < boxes.size()) {
    double bottom = boxes[start].y + boxes[start].height;
    std::size_t end = start + 1;
    while (end < boxes.size() && boxes[end].y < bottom) {
      bottom = std::max(bottom, boxes[end].y + boxes[end].height);
      end++;
    }
    std::sort(boxes.begin() + static_cast<long>(start), boxes.begin() + static_cast<long>(end),
              [](const Box& a, const Box& b) { return a.x < b.x; });
    start = end;
  }
}

int requestedTurn(int orientation)
{
  switch (orientation) {
    case 4:  // landscape: the content turned a quarter counter-clockwise
      return 270;
    case 5:  // reverse-landscape
      return 90;
    case 6:  // reverse-portrait
      return 180;
    default:
      return 0;
  }
}

// A whole-number factor (or one over a whole number) near `fit`, when it keeps enough of it.
double wholeFactor(double fit)
{
  if (fit >= 1) {
    double n = std::floor(fit);
    return n >= kWholeShare * fit ? n : fit;
  }
  double n = std::ceil(1 / fit - 1e-9);
  return 1 / n >= kWholeShare * fit ? 1 / n : fit;
}

}  // namespace

std::vector<Block> findBlocks(const GreyView& preview, double pixelsPerInch)
{
  unsigned width = preview.width, height = preview.height;
  std::vector<Block> blocks;
  if (width == 0 || height == 0 || pixelsPerInch <= 0)
    return blocks;
  std::vector<std::uint8_t> ink(static_cast<std::size_t>(width) * height);
  for (unsigned y = 0; y < height; y++)
    for (unsigned x = 0; x < width; x++)
      ink[static_cast<std::size_t>(y) * width + x] =
          preview.pixels[y * preview.stride + x] < kInkLevel ? 1 : 0;

  // Items: what is printed in one piece.
  std::vector<int> item;
  int items = components(ink, width, height, item);
  struct Extent {
    unsigned x0 = UINT32_MAX, y0 = UINT32_MAX, x1 = 0, y1 = 0;
  };
  std::vector<Extent> itemExtent(static_cast<std::size_t>(items));
  for (unsigned y = 0; y < height; y++)
    for (unsigned x = 0; x < width; x++) {
      int i = item[static_cast<std::size_t>(y) * width + x];
      if (i < 0)
        continue;
      Extent& e = itemExtent[static_cast<std::size_t>(i)];
      e.x0 = std::min(e.x0, x);
      e.y0 = std::min(e.y0, y);
      e.x1 = std::max(e.x1, x + 1);
      e.y1 = std::max(e.y1, y + 1);
    }

  // Blocks: items gathered across gaps narrower than kBlockGap.
  auto radius = static_cast<unsigned>(std::ceil(kBlockGap * pixelsPerInch / 2));
  std::vector<int> block;
  int count = components(grow(ink, width, height, radius), width, height, block);
  std::vector<Extent> blockExtent(static_cast<std::size_t>(count));
  std::vector<bool> marked(static_cast<std::size_t>(count), false);
  std::vector<bool> seen(static_cast<std::size_t>(items), false);
  double mark = kMarkSide * pixelsPerInch;
  for (unsigned y = 0; y < height; y++)
    for (unsigned x = 0; x < width; x++) {
      std::size_t at = static_cast<std::size_t>(y) * width + x;
      int i = item[at];
      if (i < 0 || seen[static_cast<std::size_t>(i)])
        continue;
      seen[static_cast<std::size_t>(i)] = true;
      const Extent& e = itemExtent[static_cast<std::size_t>(i)];
      auto b = static_cast<std::size_t>(block[at]);
      Extent& into = blockExtent[b];
      into.x0 = std::min(into.x0, e.x0);
      into.y0 = std::min(into.y0, e.y0);
      into.x1 = std::max(into.x1, e.x1);
      into.y1 = std::max(into.y1, e.y1);
      if (e.x1 - e.x0 >= mark && e.y1 - e.y0 >= mark)
        marked[b] = true;
    }
  // Blocks whose boxes overlap are one: what lies inside a label's frame belongs to it.
  std::vector<std::size_t> live;
  for (std::size_t b = 0; b < blockExtent.size(); b++)
    if (blockExtent[b].x1 > blockExtent[b].x0)
      live.push_back(b);
  for (bool merged = live.size() <= kBusyPage; merged;) {
    merged = false;
    for (std::size_t i = 0; i < live.size(); i++)
      for (std::size_t j = i + 1; j < live.size();) {
        Extent& a = blockExtent[live[i]];
        const Extent& b = blockExtent[live[j]];
        if (a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1) {
          a = {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
          marked[live[i]] = marked[live[i]] || marked[live[j]];
          live.erase(live.begin() + static_cast<long>(j));
          merged = true;
          j = i + 1;  // the grown box may now meet one passed over
        } else {
          j++;
        }
      }
  }
  for (std::size_t b : live) {
    const Extent& e = blockExtent[b];
    blocks.push_back({{double(e.x0), double(e.y0), double(e.x1 - e.x0), double(e.y1 - e.y0)}, marked[b]});
  }
  std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) {
    return a.box.width * a.box.height > b.box.width * b.box.height;
  });
  return blocks;
}

std::string pageName(double widthInches, double heightInches)
{
  struct Named {
    const char* name;
    double width, height;
  };
  static constexpr Named kSizes[] = {{"Letter", 8.5, 11},      {"Legal", 8.5, 14},
                                     {"A4", 8.268, 11.693},    {"A5", 5.827, 8.268},
                                     {"A6", 4.134, 5.827}};
  double small = std::min(widthInches, heightInches), large = std::max(widthInches, heightInches);
  for (const Named& size : kSizes)
    if (std::fabs(small - size.width) < 0.05 && std::fabs(large - size.height) < 0.05)
      return size.name;
  return inches(widthInches) + " x " + inches(heightInches) + " in";
}

bool wantsPreview(const PageShape& page, unsigned labelWidth, unsigned labelHeight, int dpi,
                  const PlaceOptions& options)
{
  if (!options.crop || (options.scaling != Scaling::automatic && options.scaling != Scaling::fill))
    return false;
  if (!(page.width > 0 && page.height > 0 && page.unitsPerInch > 0) || dpi <= 0)
    return false;
  return overRatio(page.width / page.unitsPerInch, page.height / page.unitsPerInch,
                   double(labelWidth) / dpi, double(labelHeight) / dpi) > kSheetRatio;
}

PagePlan planPage(const PageShape& page, const GreyView* preview, double previewPerInch,
                  unsigned labelWidth, unsigned labelHeight, int dpi, const PlaceOptions& options)
{
  PagePlan plan;
  double unitInches = 1 / page.unitsPerInch;
  double labelW = double(labelWidth) / dpi, labelH = double(labelHeight) / dpi;
  std::string sheet = pageName(page.width * unitInches, page.height * unitInches);
  std::vector<Box> regions;
  bool cropped = false;

  if (preview != nullptr && previewPerInch > 0 &&
      wantsPreview(page, labelWidth, labelHeight, dpi, options)) {
    std::vector<Block> blocks = findBlocks(*preview, previewPerInch);
    if (blocks.size() > kBusyPage)
      blocks.clear();
    double toUnits = page.unitsPerInch / previewPerInch;
    std::vector<Box> labels;
    bool otherMarked = false;
    for (const Block& b : blocks) {
      if (b.marked && labelSized(b.box.width / previewPerInch, b.box.height / previewPerInch, labelW, labelH))
        labels.push_back(b.box);
      else if (b.marked)
        otherMarked = true;  // a large item that is not a label: keep the whole page
    }
    if (!labels.empty() && labels.size() <= kLabelsPerPage && !otherMarked) {
      readingOrder(labels);
      for (Box b : labels) {
        // One preview dot around it: the block was found at the preview's coarse grid.
        double x0 = std::max(0.0, (b.x - 1) * toUnits), y0 = std::max(0.0, (b.y - 1) * toUnits);
        double x1 = std::min(page.width, (b.x + b.width + 1) * toUnits);
        double y1 = std::min(page.height, (b.y + b.height + 1) * toUnits);
        regions.push_back({x0, y0, x1 - x0, y1 - y0});
      }
      cropped = true;
      if (regions.size() == 1)
        plan.note = "Cropped the " + inches(labels[0].width / previewPerInch) + " x " +
                    inches(labels[0].height / previewPerInch) + " in label from the " + sheet + " page";
      else
        plan.note = "Cropped " + std::to_string(regions.size()) + " labels from the " + sheet + " page";
    } else {
      plan.note = "Printed the whole " + sheet + " page: no label was found on it";
    }
  }
  if (regions.empty())
    regions.push_back({0, 0, page.width, page.height});

  double natural = dpi * unitInches;  // label dots per unit at full size
  bool turnedNote = false;
  int shownPercent = 0;
  for (const Box& region : regions) {
    LabelPlace place;
    place.region = region;
    if (options.orientation >= 3 && options.orientation <= 6) {
      place.turn = requestedTurn(options.orientation);
    } else {
      bool wide = region.width > region.height * 1.05, tall = region.height > region.width * 1.05;
      if ((wide && labelHeight > labelWidth) || (tall && labelWidth > labelHeight)) {
        place.turn = options.autoTurn == 90 ? 90 : 270;
        turnedNote = true;
      }
    }
    bool across = place.turn == 90 || place.turn == 270;
    double w = across ? region.height : region.width, h = across ? region.width : region.height;
    if (!(w > 0 && h > 0)) {
      place.scale = natural;
      plan.labels.push_back(place);
      continue;
    }
    double fit = std::min(labelWidth / w, labelHeight / h);
    double fill = std::max(labelWidth / w, labelHeight / h);
    double k = fit;
    switch (options.scaling) {
      case Scaling::automatic:
        k = fit;
        // A picture: a whole number of dots a pixel where that fits well.  Near full size:
        // full size, so bars and dots keep their widths (below it only for a cropped block,
        // whose padding is all that can be lost).
        if (page.raster && wholeFactor(fit) != fit)
          k = wholeFactor(fit);
        else if (fit / natural >= (cropped ? kFullSizeLow : 1.0) && fit / natural < kFullSizeHigh)
          k = natural;
        break;
      case Scaling::autoFit:
        k = std::min(fit, natural);
        if (page.raster && k < natural)
          k = wholeFactor(k);
        break;
      case Scaling::fit:
        k = page.raster ? wholeFactor(fit) : fit;
        break;
      case Scaling::fill:
        k = fill;
        break;
      case Scaling::none:
        k = natural;
        break;
    }
    place.scale = std::min(k, natural * kEnlargeLimit);
    shownPercent = static_cast<int>(std::lround(100 * place.scale / natural));
    plan.labels.push_back(place);
  }

  auto add = [&](const std::string& sentence) {
    plan.note += plan.note.empty() ? sentence : "; " + sentence;
  };
  if (turnedNote)
    add(cropped ? "turned it 90° to fit the label" : "Turned the page 90° to fit the label");
  if (shownPercent != 100)
    add(std::string(plan.note.empty() ? "P" : "p") + (page.raster ? "rinted scaled " : "rinted at ") +
        std::to_string(shownPercent) + " %");
  if (!plan.note.empty() && plan.note[0] >= 'a' && plan.note[0] <= 'z')
    plan.note[0] = static_cast<char>(plan.note[0] - 'a' + 'A');
  return plan;
}

LabelWindow labelWindow(const LabelPlace& place, unsigned labelWidth, unsigned labelHeight)
{
  LabelWindow frame;
  bool across = place.turn == 90 || place.turn == 270;
  frame.width = across ? labelHeight : labelWidth;
  frame.height = across ? labelWidth : labelHeight;
  double x0 = place.region.x * place.scale, y0 = place.region.y * place.scale;
  double x1 = (place.region.x + place.region.width) * place.scale;
  double y1 = (place.region.y + place.region.height) * place.scale;
  frame.x = static_cast<long>(std::floor((x0 + x1) / 2 - frame.width / 2.0 + 0.5));
  frame.y = static_cast<long>(std::floor((y0 + y1) / 2 - frame.height / 2.0 + 0.5));
  auto clamp = [](long v, unsigned size) { return std::clamp<long>(v, 0, static_cast<long>(size)); };
  frame.clipLeft = clamp(std::lround(x0) - frame.x, frame.width);
  frame.clipRight = clamp(std::lround(x1) - frame.x, frame.width);
  frame.clipTop = clamp(std::lround(y0) - frame.y, frame.height);
  frame.clipBottom = clamp(std::lround(y1) - frame.y, frame.height);
  return frame;
}

void placeWindow(const GreyView& window, const LabelWindow& frame, int turn, unsigned labelWidth,
                 unsigned labelHeight, LabelBitmap& out)
{
  out = blankBitmap(labelWidth, labelHeight);
  long ww = frame.width, wh = frame.height;
  if (window.width < frame.width || window.height < frame.height)
    return;
  for (unsigned y = 0; y < labelHeight; y++) {
    unsigned char* row = out.bits.data() + static_cast<std::size_t>(y) * out.bytesPerLine;
    for (unsigned x = 0; x < labelWidth; x++) {
      long wx, wy;  // the window's dot shown at (x, y)
      switch (turn) {
        case 90:
          wx = y, wy = wh - 1 - x;
          break;
        case 180:
          wx = ww - 1 - x, wy = wh - 1 - y;
          break;
        case 270:
          wx = ww - 1 - y, wy = x;
          break;
        default:
          wx = x, wy = y;
      }
      if (wx < frame.clipLeft || wx >= frame.clipRight || wy < frame.clipTop || wy >= frame.clipBottom)
        continue;
      if (window.pixels[static_cast<std::size_t>(wy) * window.stride + static_cast<std::size_t>(wx)] < 128)
        row[x >> 3] |= static_cast<unsigned char>(0x80u >> (x & 7));
    }
  }
}

}  // namespace app
