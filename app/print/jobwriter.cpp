// jobwriter.cpp: the two encoders behind one job record.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "jobwriter.h"

#include "labelbitmap.h"

namespace app {

void startJob(JobWriter& job, Language language, const LabelValues& values, int dpi, ByteSink sink)
{
  job.language = language;
  if (language == Language::zpl)
    zpl::startJob(job.zpl, zpl::settingsFromValues(zplValues(values)), dpi, false, 1, sink);
  else
    dpl::startJob(job.dpl, dpl::settingsFromValues(dplValues(values)), dpi, false, 1, sink);
}

Status startPage(JobWriter& job, const PageSize& page)
{
  return job.language == Language::zpl ? zpl::startPage(job.zpl, page) : dpl::startPage(job.dpl, page);
}

void writeRow(JobWriter& job, const unsigned char* row)
{
  if (job.language == Language::zpl)
    zpl::writeRow(job.zpl, row);
  else
    dpl::writeRow(job.dpl, row);
}

Status finishPage(JobWriter& job)
{
  return job.language == Language::zpl ? zpl::finishPage(job.zpl) : dpl::finishPage(job.dpl);
}

Status finishJob(JobWriter& job)
{
  return job.language == Language::zpl ? zpl::finishJob(job.zpl) : dpl::finishJob(job.dpl);
}

void requestCancel(JobWriter& job)
{
  if (job.language == Language::zpl)
    zpl::requestCancel(job.zpl);
  else
    dpl::requestCancel(job.dpl);
}

const std::string& jobError(const JobWriter& job)
{
  return job.language == Language::zpl ? job.zpl.error : job.dpl.error;
}

Status writeBitmap(JobWriter& job, const LabelBitmap& page, int dpi,
                   const std::function<bool()>& cancelled)
{
  PageSize size;
  size.width = page.width;
  size.height = page.height;
  size.bytesPerLine = page.bytesPerLine;
  size.resolution = dpi;
  Status status = startPage(job, size);
  if (status != Status::ok)
    return status;
  for (unsigned y = 0; y < page.height; y++) {
    if (cancelled && cancelled())
      requestCancel(job);
    writeRow(job, page.bits.data() + static_cast<std::size_t>(y) * page.bytesPerLine);
  }
  if (cancelled && cancelled())
    requestCancel(job);
  return finishPage(job);
}

}  // namespace app
