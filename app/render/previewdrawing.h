// previewdrawing.h: a kept job's labels read and drawn for the Label Preview page, in the
// renderer's process (label-render preview, renderstream.h).
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "previewrecord.h"

#include <memory>
#include <span>
#include <string>

namespace zplrender {
class LabelFont;
}

namespace app {

// How a kept job is drawn: a raw ZPL job from a client as the printer draws it, at `dpi`, on
// the printer's media (0: 4 x 6 inches) when the job gives no label size, with the label
// font (none: its text is noted, not drawn).
struct PreviewTarget {
  int dpi = 203;
  int mediaWidth = 0, mediaHeight = 0;
  std::shared_ptr<zplrender::LabelFont> font;
};

// The label font from its installed file; null, with `error` set, when it cannot be read.
std::shared_ptr<zplrender::LabelFont> readLabelFont(std::string& error);

// Reads the job (up to one label past kPreviewLabels) for the page.
JobSummary summarizeLabels(std::span<const unsigned char> bytes, const PreviewTarget& target);

// Label `number` (from 1) of the job as a 1-bit PNG carrying the job's resolution; false with
// `error` set when there is no such label or it cannot be drawn.
bool drawLabelPng(std::span<const unsigned char> bytes, const PreviewTarget& target, int number,
                  std::string& png, std::string& error);

}  // namespace app
