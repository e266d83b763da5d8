// render_bench.cpp: what drawing a document in label-render costs against drawing it in the
// server's process, and what the hostile documents cost each side.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Usage: render_bench [benchmark options]     placement: a 4 x 6 in label page against the same
//                                             label found and cropped on a Letter page (median
//                                             of 5); a 4 x 6 in shipping label (bench/make-labels-pdf)
//                                             at 203 dpi: opened and drawn in this process,
//                                             then through label-render, start to last row
//        render_bench --hostile               each hostile document through label-render
//                                             under the server's default limits (512 MiB,
//                                             60 s a page): how it ended, and the peak
//                                             resident memory of this side and of the renderer
//
// For the hostile documents each case runs in a process of its own, so that the renderer's
// peak (the largest child's, from getrusage) and this side's (VmHWM) belong to that case.  A
// forked child's peak counts what it shared with its parent at the fork, so the renderer's
// figure is at least the measuring process's own, printed beside it.

#include "labelcorpus.h"
#include "pdfraster.h"
#include "renderclient.h"
#include "testdocs.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <zint.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace app;

namespace {

constexpr unsigned kWidth = 812, kHeight = 1218;  // 4 x 6 in at 203 dpi

std::string labelPath()
{
  static const std::string path = [] {
    std::string file = "/tmp/render_bench-" + std::to_string(getpid()) + ".pdf";
    std::string command = std::string(MAKE_LABELS_PDF) + " 4x6 " + file;
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "%s failed\n", command.c_str());
      std::exit(1);
    }
    return file;
  }();
  return path;
}

void inProcess(benchmark::State& state)
{
  std::string error;
  for (auto _ : state) {
    PdfPtr pdf = openPdf(labelPath(), error);
    LabelBitmap page;
    if (!pdf || !renderPdfPage(*pdf, 0, 203, kWidth, kHeight, page, error))
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(page.bits.data());
  }
}

void throughRenderer(benchmark::State& state)
{
  RendererOptions options;
  options.program = RENDERER_PATH;
  RenderRequest request;
  request.path = labelPath();
  request.width = kWidth;
  request.height = kHeight;
  RenderCallbacks callbacks;
  callbacks.page = [](int, const LabelBitmap& page) {
    benchmark::DoNotOptimize(page.bits.data());
    return true;
  };
  for (auto _ : state) {
    RenderResult result = renderDocument(request, options, callbacks);
    if (result.status != RenderStatus::ok)
      state.SkipWithError(result.reason.c_str());
  }
}

// Placement: a shipping label as a 4 x 6 in page, and the same label beside its instructions
// on a Letter page (found on a 50 dpi drawing, cropped, then drawn at 203 dpi), each through
// label-render from start to last row.
std::string placementPath(bool letter)
{
  corpus::Label label = corpus::shippingLabel(1, BARCODE_QRCODE);
  corpus::Page page;
  if (letter) {
    corpus::drawLabel(page, label, 18, 792 - 18 - 432);
    corpus::drawInstructions(page, 330, 300, 250, 470);
  } else {
    page.width = 288;
    page.height = 432;
    corpus::drawLabel(page, label, 0, 0);
  }
  std::string file = "/tmp/render_bench-" + std::to_string(getpid()) + (letter ? "-letter.pdf" : "-4x6.pdf");
  std::ofstream(file, std::ios::binary) << corpus::pdfOf({page});
  return file;
}

void placed(benchmark::State& state, bool letter)
{
  std::string path = placementPath(letter);
  RendererOptions options;
  options.program = RENDERER_PATH;
  RenderRequest request;
  request.path = path;
  request.width = kWidth;
  request.height = kHeight;
  std::string note;
  RenderCallbacks callbacks;
  callbacks.note = [&](int, const std::string& text) { note = text; };
  callbacks.page = [](int, const LabelBitmap& page) {
    benchmark::DoNotOptimize(page.bits.data());
    return true;
  };
  for (auto _ : state) {
    RenderResult result = renderDocument(request, options, callbacks);
    if (result.status != RenderStatus::ok || result.labelsDone != 1)
      state.SkipWithError(result.reason.c_str());
  }
  state.SetLabel(note.empty() ? "as it is" : note);
  std::remove(path.c_str());
}

BENCHMARK_CAPTURE(placed, page_4x6, false)->Name("placement/4x6_page")->Unit(benchmark::kMillisecond)
    ->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(placed, letter_cropped, true)->Name("placement/letter_found_cropped")
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK(inProcess)->Name("label_4x6/in_process")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(throughRenderer)->Name("label_4x6/label_render")->Unit(benchmark::kMillisecond)->UseRealTime();

long peakKiB()
{
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0)
      return std::stol(line.substr(6));
  }
  return -1;
}

// Draws one hostile document in a process of its own and prints what it cost.
void hostile(const char* name, const std::string& pdf)
{
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    std::string path = "/tmp/render_bench-" + std::to_string(getpid()) + "-hostile.pdf";
    std::ofstream(path, std::ios::binary) << pdf;
    RendererOptions options;
    options.program = RENDERER_PATH;
    RenderRequest request;
    request.path = path;
    request.width = kWidth;
    request.height = kHeight;
    long before = peakKiB();
    auto start = std::chrono::steady_clock::now();
    RenderResult result = renderDocument(request, options, {});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage children;
    getrusage(RUSAGE_CHILDREN, &children);
    std::printf("%-22s %7zu bytes %6.2f s  this side %6ld -> %6ld KiB  renderer %7ld KiB  %s\n",
                name, pdf.size(), seconds, before, peakKiB(), children.ru_maxrss,
                result.reason.c_str());
    unlink(path.c_str());
    std::fflush(stdout);
    _exit(0);
  }
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv)
{
  if (argc == 2 && std::strcmp(argv[1], "--hostile") == 0) {
    hostile("path, 2,000,000 points", testdocs::longPathPdf(2000000));
    hostile("JPX 40000 x 40000", testdocs::jpxPdf(40000));
    hostile("JBIG2 130000 x 130000", testdocs::jbig2Pdf(130000));
    hostile("forms, 2^40 draws", testdocs::nestedFormsPdf(40));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(labelPath().c_str());
  return 0;
}
