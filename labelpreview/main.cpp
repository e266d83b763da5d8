// main.cpp: labelpreview, which shows a torvane or silvane job as the printer would print it.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Exit status: 0 when every label was written (or described), 1 when the job cannot be read
// as a label job, 2 for a wrong command line, 3 when a file cannot be read or written.

#include "preview.h"
#include "zplrender.h"
#include "version.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: labelpreview [--format png|pbm] [--dpi N] [--media WxH] [--info] [-o PREFIX] [JOBFILE]\n"
    "  Reads a ZPL II job (from torvane or any other host) or a DPL job from silvane\n"
    "  (JOBFILE, or standard input) and writes each label as PREFIX-001.png, PREFIX-002.png, ...\n"
    "  --format pbm  write binary PBM files (P4, 1 = black) instead of PNG\n"
    "  --dpi N       printer resolution for millimetres and the PNG's size (default 203)\n"
    "  --media WxH   label size for a ZPL job without ^PW or ^LL: 4x6in, 100x150mm or dots\n"
    "                (default 4x6in)\n"
    "  --info        describe each label, its fields and the job's settings instead of\n"
    "                writing images\n"
    "  -o PREFIX     file name prefix (default: JOBFILE without its extension, or label)\n";

// A job far larger than any label job is refused before it fills memory.
constexpr std::size_t kMaxJobBytes = std::size_t{1} << 30;

struct Options {
  bool pbm = false;
  bool info = false;
  int dpi = 203;
  double mediaWidth = 0;  // in `mediaUnit`s
  double mediaHeight = 0;
  std::string mediaUnit;  // "in", "mm" or "" for dots
  std::string prefix;
  std::string jobFile;
};

int usage(const std::string& problem)
{
  std::fprintf(stderr, "labelpreview: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

// Reads the options; returns -1 to go on, or the exit status.
int readOptions(int argc, char** argv, Options& options)
{
  bool haveFile = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      std::size_t eq = arg.find('=');
      if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        out = arg.substr(eq + 1);
        return true;
      }
      if (i + 1 >= argc)
        return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--info") {
      options.info = true;
    } else if (arg == "--format" || arg.rfind("--format=", 0) == 0) {
      if (!value(v) || (v != "png" && v != "pbm"))
        return usage("--format takes png or pbm");
      options.pbm = v == "pbm";
    } else if (arg == "--dpi" || arg.rfind("--dpi=", 0) == 0) {
      char* end = nullptr;
      long dpi = value(v) ? std::strtol(v.c_str(), &end, 10) : 0;
      if (v.empty() || *end != '\0' || dpi < 1 || dpi > 10000)
        return usage("--dpi takes a resolution from 1 to 10000");
      options.dpi = static_cast<int>(dpi);
    } else if (arg == "--media" || arg.rfind("--media=", 0) == 0) {
      char* end = nullptr;
      if (!value(v))
        return usage("--media takes a size such as 4x6in, 100x150mm or 812x1218");
      double w = std::strtod(v.c_str(), &end);
      double h = *end == 'x' ? std::strtod(end + 1, &end) : 0;
      std::string unit = end;
      if (!(w > 0 && h > 0 && w < 100000 && h < 100000) ||
          (unit != "in" && unit != "mm" && !unit.empty()))
        return usage("--media takes a size such as 4x6in, 100x150mm or 812x1218");
      options.mediaWidth = w;
      options.mediaHeight = h;
      options.mediaUnit = unit;
    } else if (arg == "-o") {
      if (!value(v) || v.empty())
        return usage("-o takes a file name prefix");
      options.prefix = v;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option " + arg);
    } else if (haveFile) {
      return usage("only one job file, please");
    } else {
      options.jobFile = arg;
      haveFile = true;
    }
  }
  return -1;
}

// The job file's path without its extension, or "label" for standard input.
std::string defaultPrefix(const std::string& path)
{
  if (path.empty() || path == "-")
    return "label";
  std::size_t slash = path.rfind('/');
  std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot > base)
    return path.substr(0, dot);
  return path;
}

bool readJob(const std::string& path, std::vector<unsigned char>& bytes, std::string& error)
{
  bool fromStdin = path.empty() || path == "-";
  std::FILE* file = fromStdin ? stdin : std::fopen(path.c_str(), "rb");
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  unsigned char chunk[65536];
  std::size_t n;
  bool tooLarge = false;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (bytes.size() + n > kMaxJobBytes) {
      tooLarge = true;
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  bool failed = std::ferror(file) != 0;
  int saved = errno;
  if (!fromStdin)
    std::fclose(file);
  if (tooLarge)
    error = "the job is larger than " + std::to_string(kMaxJobBytes) + " bytes";
  else if (failed)
    error = std::strerror(saved);
  return !tooLarge && !failed;
}

}  // namespace

int main(int argc, char** argv)
{
  if (int status = answerVersion(argc, argv, "labelpreview"); status >= 0) return status;
  Options options;
  int status = readOptions(argc, argv, options);
  if (status >= 0)
    return status;

  std::string name =
      options.jobFile.empty() || options.jobFile == "-" ? "standard input" : options.jobFile;
  std::vector<unsigned char> bytes;
  std::string problem;
  if (!readJob(options.jobFile, bytes, problem)) {
    std::fprintf(stderr, "labelpreview: %s: %s\n", name.c_str(), problem.c_str());
    return 3;
  }

  // Each label is written, or its notes told, as soon as it has been read, so a long job
  // needs the memory of one label.  A fault further on leaves the labels before it written.
  std::string prefix = options.prefix.empty() ? defaultPrefix(options.jobFile) : options.prefix;
  bool writeFailed = false;
  auto sink = [&](const PreviewLabel& label, int number) {
    if (options.info)
      return true;
    for (const std::string& note : label.notes)
      std::fprintf(stderr, "labelpreview: %s: label %d: %s\n", name.c_str(), number, note.c_str());
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%03d.%s", number, options.pbm ? "pbm" : "png");
    std::string path = prefix + suffix;
    bool written = options.pbm ? writeLabelPbm(label.image, path, problem)
                               : writeLabelPng(label.image, path, options.dpi, problem);
    writeFailed = !written;
    return written;
  };

  ZplDrawing drawing;
  drawing.dpi = options.dpi;
  auto dots = [&](double size) {
    double scale = options.mediaUnit == "in" ? options.dpi
                   : options.mediaUnit == "mm" ? options.dpi / 25.4
                                               : 1.0;
    return static_cast<int>(std::min(1e6, size * scale + 0.5));
  };
  drawing.mediaWidth = dots(options.mediaWidth);
  drawing.mediaHeight = dots(options.mediaHeight);
  std::vector<unsigned char> fontBytes;
  std::string fontProblem;
  const char* fontPath = std::getenv("LABELPREVIEW_FONT");
  if (!fontPath || !*fontPath)
    fontPath = zplrender::kLabelFontPath;
  if (readJob(fontPath, fontBytes, fontProblem))
    drawing.font = zplrender::loadLabelFont(std::move(fontBytes), fontProblem);
  if (!drawing.font && zplrender::looksLikeZpl(bytes))
    std::fprintf(stderr, "labelpreview: the label font %s cannot be read (%s): ZPL text is not drawn\n",
                 fontPath, fontProblem.c_str());

  LabelJob job;
  JobError error;
  if (!parseLabelJob(bytes, job, error, sink, &drawing)) {
    if (writeFailed) {
      std::fprintf(stderr, "labelpreview: %s\n", problem.c_str());
      return 3;
    }
    std::fprintf(stderr, "labelpreview: %s: byte %zu, label %d: %s\n", name.c_str(), error.offset,
                 error.label, error.what.c_str());
    return 1;
  }

  if (options.info) {
    std::fputs(describeLabelJob(job, options.dpi).c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 3;
  }
  for (const std::string& note : job.notes)
    std::fprintf(stderr, "labelpreview: %s: %s\n", name.c_str(), note.c_str());
  return 0;
}
