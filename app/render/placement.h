// placement.h: where a document page goes on the label: the label found on the page, turned
// and scaled.  No Poppler and no PAPPL: the renderer draws what these functions decide.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Most labels arrive as pages made for office paper: a 4 x 6 in label beside its instructions
// on a Letter sheet, two labels on an A4 sheet, a landscape page for portrait stock.  A page
// larger than the label is drawn small (about 50 dpi), its printed blocks are found, and a
// block the size of the label that holds a frame or a barcode becomes a label of its own.
// Anything less certain keeps the whole page.  Every plan says in a sentence what was done.

#pragma once

#include "labelbitmap.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// IPP print-scaling.
enum class Scaling { automatic, autoFit, fit, fill, none };

// Its IPP keyword, and back.
constexpr const char* scalingName(Scaling scaling)
{
  return scaling == Scaling::automatic ? "auto"
         : scaling == Scaling::autoFit ? "auto-fit"
         : scaling == Scaling::fit     ? "fit"
         : scaling == Scaling::fill    ? "fill"
                                       : "none";
}

inline std::optional<Scaling> parseScaling(std::string_view text)
{
  for (Scaling s : {Scaling::automatic, Scaling::autoFit, Scaling::fit, Scaling::fill, Scaling::none})
    if (text == scalingName(s))
      return s;
  return std::nullopt;
}

// What the job asks for.  `orientation` is IPP orientation-requested (3 portrait, 4 landscape,
// 5 reverse-landscape, 6 reverse-portrait), 0 when the job does not say: the page is then
// turned when its content and the label lie differently.
struct PlaceOptions {
  Scaling scaling = Scaling::automatic;
  int orientation = 0;
  bool crop = true;    // the printer's setting: look for the label on larger pages
  int autoTurn = 270;  // how a page is turned when the job does not say: a quarter counter-
                       // clockwise as landscape, or 90 (clockwise) as reverse-landscape
};

// A rectangle, from the top-left corner.
struct Box {
  double x = 0, y = 0, width = 0, height = 0;
};

// A grey image, 0 black to 255 white, `stride` bytes a row.
struct GreyView {
  const unsigned char* pixels = nullptr;
  unsigned width = 0, height = 0;
  std::size_t stride = 0;
};

// A block of printed content on a small drawing of a page, in its pixels.  `marked` when it
// holds one large item (a frame, a cut line, a barcode), as labels do and text does not.
struct Block {
  Box box;
  bool marked = false;
};

// The printed blocks of `preview` (drawn at `pixelsPerInch`), largest first: dots darker than
// faint grey, gathered into blocks separated by at least a fifth of an inch of paper.
std::vector<Block> findBlocks(const GreyView& preview, double pixelsPerInch);

// One label from one page: the part of the page (in the page's units) drawn, its centre on
// the label's centre; `turn` clockwise degrees (0, 90, 180, 270); `scale` label dots per page
// unit.  What falls outside `region` stays white.
struct LabelPlace {
  Box region;
  int turn = 0;
  double scale = 1;
};

struct PagePlan {
  std::vector<LabelPlace> labels;  // at least one
  std::string note;                // for the job's message; empty when the page went as it is
};

// The page as the renderer sees it: its size in its own units (points for PDF, pixels for an
// image) and how many of those make an inch.
struct PageShape {
  double width = 0, height = 0;
  double unitsPerInch = 72;
  bool raster = false;  // a picture: whole-number scale factors are preferred
};

// True when planPage wants a small drawing of the page to look for labels on it.
bool wantsPreview(const PageShape& page, unsigned labelWidth, unsigned labelHeight, int dpi,
                  const PlaceOptions& options);

// The labels one page makes on a label of labelWidth x labelHeight dots at `dpi`.  `preview`
// (drawn at `previewPerInch`) is read when wantsPreview said so, and may be null otherwise.
PagePlan planPage(const PageShape& page, const GreyView* preview, double previewPerInch,
                  unsigned labelWidth, unsigned labelHeight, int dpi, const PlaceOptions& options);

// The name of a page size for a person: "Letter", "A4", "4 x 6 in".
std::string pageName(double widthInches, double heightInches);

// The window of the page a label shows, in the page drawn at the label's scale (dots, not
// turned): `origin` its top-left corner, `size` its width and height, `clip` the part of it
// that comes from `region` (the rest is white).
struct LabelWindow {
  long x = 0, y = 0;
  unsigned width = 0, height = 0;
  long clipLeft = 0, clipTop = 0, clipRight = 0, clipBottom = 0;  // inside the window, exclusive end
};
LabelWindow labelWindow(const LabelPlace& place, unsigned labelWidth, unsigned labelHeight);

// Thresholds `window` (the page at the label's scale, not turned: width x height of the label,
// swapped for 90 and 270) onto a label of labelWidth x labelHeight dots, turned by `turn`
// clockwise degrees; dots outside the window's clip stay white.
void placeWindow(const GreyView& window, const LabelWindow& frame, int turn, unsigned labelWidth,
                 unsigned labelHeight, LabelBitmap& out);

}  // namespace app
