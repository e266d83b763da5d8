// zpl.cpp: a ZPL II job read by the label renderer, as the preview's labels.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Every ZPL job is read by zplrender.  A job of a raster driver's commands alone (ours among
// them) is read exactly, as a check of the driver: one label for each format, any fault the
// printer might pass over an error with its place.  Any other job is drawn as the printer
// draws it, at the resolution and on the media the caller gives.

#include "previewimpl.h"
#include "zplrender.h"

#include <algorithm>
#include <climits>

namespace {

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

// The labels handed on as they are drawn.
bool renderZplJob(std::span<const unsigned char> bytes, std::size_t start, LabelJob& job,
                  JobError& error, const LabelSink& sink, const ZplDrawing* drawing)
{
  zplrender::Options options;
  std::span<const unsigned char> jobBytes = bytes.subspan(start);
  options.exact = zplrender::isRasterJob(jobBytes);
  if (options.exact) {
    // A driver's job is held to the preview's own limits: its labels may be as long as a
    // roll, its work grows with the job's size.
    options.limits.maxSide = static_cast<int>(kMaxLabelDots);
    options.limits.maxLabelBytes = kMaxLabelBytes;
    options.limits.maxStoredBytes = kMaxJobPictureBytes;
    options.limits.maxWorkDots = jobWorkAllowed(jobBytes.size());
    options.limits.maxLabels = INT_MAX;
  } else if (drawing) {
    options.dpi = drawing->dpi;
    options.mediaWidth = drawing->mediaWidth;
    options.mediaHeight = drawing->mediaHeight;
    options.font = drawing->font;
  }
  if (!options.exact)
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
  bool ok = zplrender::renderZpl(jobBytes, options, result, each);
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
  return renderZplJob(bytes, start, job, error, sink, drawing);
}
