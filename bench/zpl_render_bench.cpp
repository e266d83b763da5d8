// zpl_render_bench.cpp: drawing raw ZPL II labels with the ZPL renderer.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Usage: zpl_render_bench [benchmark options]
//   A 4 x 6 in carrier label at 203 dpi (MaxiCode, Code 128, PDF417, text in three sizes,
//   boxes and a reversed band), read and drawn whole, the label font loaded once beforehand as
//   a server or labelpreview holds it; the same label's text and shapes alone; and a small
//   product label.  The goal for the carrier label is 5 ms.

#include "zplrender.h"

#include <cstdint>
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string kCarrier =
    "^XA^PW812^LL1218^CI28\n"
    "^FO20,20^GB772,1178,4^FS\n"
    "^FO40,40^A0N,30^FDSHIP FROM: WAREHOUSE 7, 12 DOCK ROAD^FS\n"
    "^FO40,80^A0N,30^FDSPRINGFIELD IL 62701^FS\n"
    "^FO40,130^A0N,50^FDSHIP TO: ACME CORP^FS\n"
    "^FO40,190^A0N,40^FD634 ALPHA DR, PITTSBURGH PA 15238^FS\n"
    "^FO20,250^GB772,3,3^FS\n"
    "^FO60,280^BD2,1,1^FH^FD001840152382802_5B)>_1E01_1D961Z00004951_1DUPSN_1D06X610_1D159_1D"
    "1234567_1D1/1_1D_1DY_1D634 ALPHA DR_1DPITTSBURGH_1DPA_1E_04^FS\n"
    "^FO330,300^A0N,80^FDPA 152 9-02^FS\n"
    "^FO330,400^BY3^BCN,100,N,N,N^FD>;>842015238^FS\n"
    "^FO20,540^GB772,3,3^FS\n"
    "^FO40,560^A0N,60^FDUPS GROUND^FS^FO40,630^A0N,30^FDTRACKING #: 1Z 000 049 51 0000 4951^FS\n"
    "^FO40,690^BY3^BCN,200,N,N,N^FD1Z00004951^FS\n"
    "^FO20,920^GB772,80,80^FS^FO40,935^FR^A0N,50^FDBILLING: P/P  REF: ORDER 4711^FS\n"
    "^FO40,1020^B7N,4,3,8,,N^FDREF 4711 PALLET 1 OF 1 WEIGHT 12.5 KG^FS\n"
    "^FO500,1030^ADN,36,20^FDDWT 12^FS\n"
    "^XZ\n";

const std::string kProduct =
    "^XA^PW406^LL305\n^FO20,20^A0N,28^FDORGANIC COFFEE 500G^FS\n"
    "^FO40,70^BY2^BEN,120,Y,N^FD400638133393^FS\n^FO300,20^A0N,40^FD$4.99^FS^XZ";

zplrender::Options options()
{
  static zplrender::Options o = [] {
    zplrender::Options opts;
    std::ifstream in(zplrender::kLabelFontPath, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    std::string error;
    opts.font = zplrender::loadLabelFont(std::move(bytes), error);
    return opts;
  }();
  return o;
}

void draw(benchmark::State& state, const std::string& zpl)
{
  zplrender::Options o = options();
  if (!o.font)
    state.SkipWithError("no label font");
  std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(zpl.data()), zpl.size());
  for (auto _ : state) {
    zplrender::Result result;
    bool ok = zplrender::renderZpl(bytes, o, result);
    if (!ok || result.labels.size() != 1)
      state.SkipWithError(result.error.c_str());
    benchmark::DoNotOptimize(result.labels.data());
  }
}

void BM_CarrierLabel4x6At203(benchmark::State& state)
{
  draw(state, kCarrier);
}
BENCHMARK(BM_CarrierLabel4x6At203)->Unit(benchmark::kMillisecond);

void BM_CarrierTextAndShapesOnly(benchmark::State& state)
{
  std::string text;
  std::size_t from = 0;
  // The carrier label without its barcode fields: what the renderer's own part costs.
  for (std::size_t at; (at = kCarrier.find('\n', from)) != std::string::npos; from = at + 1) {
    std::string line = kCarrier.substr(from, at - from + 1);
    if (line.find("^BD") == std::string::npos && line.find("^BC") == std::string::npos &&
        line.find("^B7") == std::string::npos)
      text += line;
  }
  draw(state, text);
}
BENCHMARK(BM_CarrierTextAndShapesOnly)->Unit(benchmark::kMillisecond);

void BM_ProductLabel2x1_5(benchmark::State& state)
{
  draw(state, kProduct);
}
BENCHMARK(BM_ProductLabel2x1_5)->Unit(benchmark::kMillisecond);

}  // namespace
