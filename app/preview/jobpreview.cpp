// jobpreview.cpp: the last jobs of each printer, and their labels drawn for the web page.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "jobpreview.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace app {
namespace {

std::uint64_t keptBytes(const std::deque<std::shared_ptr<const KeptJob>>& jobs)
{
  std::uint64_t sum = 0;
  for (const auto& job : jobs)
    sum += job->bytes.size();
  return sum;
}

}  // namespace

void captureBytes(JobCapture& capture, const unsigned char* data, std::size_t length,
                  std::size_t limit) noexcept
{
  capture.total += length;
  if (capture.tooLarge)
    return;
  if (capture.total <= limit) {
    try {
      capture.bytes.insert(capture.bytes.end(), data, data + length);
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  capture.tooLarge = true;
  std::vector<unsigned char>().swap(capture.bytes);
}

void keepJob(PreviewShelf& shelf, KeptJob job, std::size_t jobs, std::size_t bytes)
{
  auto kept = std::make_shared<const KeptJob>(std::move(job));
  std::lock_guard<std::mutex> hold(shelf.lock);
  auto& list = shelf.jobs;
  list.push_front(std::move(kept));
  while (list.size() > 1 && (list.size() > jobs || keptBytes(list) > bytes))
    list.pop_back();
}

std::vector<std::shared_ptr<const KeptJob>> keptJobs(PreviewShelf& shelf)
{
  std::lock_guard<std::mutex> hold(shelf.lock);
  return {shelf.jobs.begin(), shelf.jobs.end()};
}

std::shared_ptr<const KeptJob> findKeptJob(PreviewShelf& shelf, int id)
{
  for (auto& job : keptJobs(shelf)) {
    if (job->id == id)
      return job;
  }
  return nullptr;
}

namespace {

// The renderer's reason as the page says it.
std::string notDrawn(const PreviewResult& result)
{
  return "The preview could not be drawn: " + result.reason + ".";
}

// The preview renderer run in a turn; without one, the reason.
PreviewResult renderInTurn(const PreviewRequest& request, const RendererOptions& renderer,
                           PreviewTurns& turns)
{
  {
    std::unique_lock<std::mutex> hold(turns.lock);
    if (!turns.freed.wait_for(hold, turns.wait, [&] { return turns.running < turns.most; })) {
      PreviewResult busy;
      busy.status = RenderStatus::notStarted;
      busy.reason = "the server is drawing other previews; try again in a moment";
      return busy;
    }
    turns.running++;
  }
  struct Done {
    PreviewTurns& turns;
    ~Done()
    {
      std::lock_guard<std::mutex> hold(turns.lock);
      turns.running--;
      turns.freed.notify_one();
    }
  } done{turns};
  return renderPreview(request, previewOptions(renderer));
}

}  // namespace

JobSummary summarizeJob(const KeptJob& kept, const RendererOptions& renderer, PreviewTurns& turns)
{
  JobSummary summary;
  if (kept.tooLarge) {
    summary.problem = "The job is too large to preview (" + std::to_string(kept.total) +
                      " bytes; at most " + std::to_string(kCaptureLimit) + " are kept).";
    return summary;
  }
  if (kept.bytes.empty()) {
    summary.problem = "Nothing was sent to the printer.";
    return summary;
  }
  PreviewRequest request{kept.bytes, kept.dpi, static_cast<unsigned>(std::max(kept.mediaWidth, 0)),
                         static_cast<unsigned>(std::max(kept.mediaHeight, 0)), 0};
  PreviewResult result = renderInTurn(request, renderer, turns);
  if (result.status != RenderStatus::ok)
    summary.problem = notDrawn(result);
  else
    summary = std::move(result.summary);
  return summary;
}

bool labelPng(const KeptJob& kept, int number, const RendererOptions& renderer, PreviewTurns& turns,
              std::string& png, std::string& error)
{
  if (kept.tooLarge || kept.bytes.empty() || number < 1 || number > kPreviewLabels) {
    error = "no such label";
    return false;
  }
  PreviewRequest request{kept.bytes, kept.dpi, static_cast<unsigned>(std::max(kept.mediaWidth, 0)),
                         static_cast<unsigned>(std::max(kept.mediaHeight, 0)), number};
  PreviewResult result = renderInTurn(request, renderer, turns);
  if (result.status != RenderStatus::ok) {
    error = result.status == RenderStatus::failed ? result.reason : notDrawn(result);
    return false;
  }
  png = std::move(result.png);
  return true;
}

}  // namespace app
