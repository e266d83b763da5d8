// describe.cpp: a person's account of a label job: sizes, printer settings, notes.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "previewimpl.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Lines {
  std::string text;
  void add(const std::string& name, const std::string& value)
  {
    text += "  " + name + ": " + value + "\n";
  }
};

std::string plural(long long n, const char* one, const char* many)
{
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string offsetText(long long dots, int dpi, const std::string& code)
{
  return plural(dots, "dot", "dots") + ", " + dotsToMillimetres(dots, dpi) + " mm (" + code + ")";
}

// A letter setting in words, with the command it came from.
struct Meaning {
  char letter;
  const char* words;
};

std::string letterText(char letter, std::initializer_list<Meaning> meanings, const char* command)
{
  std::string code = std::string(command) + letter;
  for (const Meaning& m : meanings)
    if (m.letter == letter)
      return std::string(m.words) + " (" + code + ")";
  std::string text = "'";
  text += printableText(std::string(1, letter));
  text += "', which a printer does not know (" + code + ")";
  return text;
}

std::string speedText(int speed)
{
  std::string text = std::to_string(speed) + " in/s";
  if (speed < 1 || speed > 14)
    text += " (outside the 1 to 14 in/s a printer takes; it keeps its own)";
  return text;
}

std::string sizeLine(const LabelImage& image, int dpi)
{
  return std::to_string(image.width) + " x " + std::to_string(image.height) + " dots, " +
         dotsToMillimetres(image.width, dpi) + " x " + dotsToMillimetres(image.height, dpi) +
         " mm at " + std::to_string(dpi) + " dpi";
}

std::string signedCode(const char* command, int value, int digits)
{
  char text[48];
  std::snprintf(text, sizeof text, value < 0 ? "%s-%0*d" : "%s%0*d", command, digits,
                std::abs(value));
  return text;
}

void describeZpl(Lines& out, const ZplSettings& s, int dpi)
{
  if (s.darkness) {
    std::string value = std::to_string(*s.darkness) + " on a scale of 0 to 30";
    if (*s.darkness < 0 || *s.darkness > 30)
      value = std::to_string(*s.darkness) + ", outside the 0 to 30 a printer takes";
    out.add("darkness", value + " (~SD" + std::to_string(*s.darkness) + ")");
  }
  if (s.printSpeed || s.slewSpeed) {
    std::string value;
    std::string code = "^PR";
    if (s.printSpeed) {
      value = "print " + speedText(*s.printSpeed);
      code += std::to_string(*s.printSpeed);
    }
    if (s.slewSpeed) {
      value += std::string(value.empty() ? "" : ", ") + "slew " + speedText(*s.slewSpeed);
      code += "," + std::to_string(*s.slewSpeed);
    }
    out.add("speed", value + " (" + code + ")");
  }
  if (s.mediaSensing)
    out.add("media sensing", letterText(s.mediaSensing,
                                        {{'N', "continuous media"},
                                         {'Y', "web (gap) sensing"},
                                         {'W', "web (gap) sensing"},
                                         {'M', "mark sensing"},
                                         {'A', "sensing chosen by the printer"},
                                         {'V', "continuous media, variable length"}},
                                        "^MN"));
  if (s.printMethod)
    out.add("print method",
            letterText(s.printMethod, {{'D', "direct thermal"}, {'T', "thermal transfer"}}, "^MT"));
  if (s.orientation)
    out.add("orientation",
            letterText(s.orientation, {{'N', "normal"}, {'I', "turned by 180 degrees"}}, "^PO"));
  if (s.mirror)
    out.add("mirror", letterText(s.mirror, {{'N', "off"}, {'Y', "mirror image"}}, "^PM"));
  if (s.printMode)
    out.add("print mode", letterText(s.printMode,
                                     {{'T', "tear-off"},
                                      {'R', "rewind"},
                                      {'P', "peel-off"},
                                      {'C', "cutter"},
                                      {'D', "delayed cut"},
                                      {'A', "applicator"},
                                      {'K', "kiosk"}},
                                     "^MM"));
  if (s.tearOff)
    out.add("tear-off offset", offsetText(*s.tearOff, dpi, signedCode("~TA", *s.tearOff, 3)));
  if (s.labelTop)
    out.add("label top offset", offsetText(*s.labelTop, dpi, signedCode("^LT", *s.labelTop, 1)));
  if (s.labelShift)
    out.add("label shift", offsetText(*s.labelShift, dpi, signedCode("^LS", *s.labelShift, 1)));
  if (s.backfeed)
    out.add("back-feed",
            letterText(
                s.backfeed,
                {{'N', "normal"}, {'O', "off"}, {'A', "after printing"}, {'B', "before printing"}},
                "~JS"));
  if (s.dotMode)
    out.add("dots per millimetre",
            letterText(s.dotMode, {{'A', "full resolution"}, {'B', "half resolution"}}, "^JM"));
  if (s.characterSet)
    out.add("character set",
            std::to_string(*s.characterSet) + " (^CI" + std::to_string(*s.characterSet) + ")");
  if (s.configurationSaved)
    out.add("configuration", "saved in the printer (^JUS)");

  std::string pause = "no pause";
  if (s.overridePause != 'Y' && s.pauseEvery == 1)
    pause = "a pause after every label";
  else if (s.overridePause != 'Y' && s.pauseEvery > 1)
    pause = "a pause after every " + std::to_string(s.pauseEvery) + " labels";
  out.add("quantity", plural(s.quantity, "label", "labels") + ", " + pause + " (^PQ" +
                          std::to_string(s.quantity) + "," + std::to_string(s.pauseEvery) + "," +
                          std::to_string(s.replicates) + "," + s.overridePause + ")");
  if (s.formatPause)
    out.add("pause", "the printer pauses when the label is done (^PP)");
  out.add("reverse print",
          s.reversed ? "on: a solid reversing box covers the whole label (^LRY)" : "off");
}

std::string codeText(const std::string& digits,
                     std::initializer_list<std::pair<const char*, const char*>> meanings,
                     const char* command)
{
  for (const auto& [code, words] : meanings)
    if (digits == code)
      return std::string(words) + " (STX " + command + digits + ")";
  return "code " + printableText(digits) + " (STX " + command + printableText(digits) + ")";
}

void describeDpl(Lines& out, const DplSettings& s, int dpi)
{
  if (s.labelLength || s.labelWidth) {
    std::string value;
    std::string code;
    if (s.labelLength) {
      value = "length " + plural(*s.labelLength, "dot", "dots") + ", " +
              dotsToMillimetres(*s.labelLength, dpi) + " mm";
      code = signedCode("STX c", *s.labelLength, 4);
    }
    if (s.labelWidth) {
      value += std::string(value.empty() ? "" : "; ") + "width " +
               plural(*s.labelWidth, "dot", "dots") + ", " + dotsToMillimetres(*s.labelWidth, dpi) +
               " mm";
      code += std::string(code.empty() ? "" : ", ") + signedCode("STX Kw", *s.labelWidth, 4);
    }
    out.add("label size command", value + " (" + code + ")");
  }
  if (s.heat)
    out.add("heat", std::to_string(*s.heat) + " on a scale of 0 to 30 (H" +
                        (*s.heat < 10 ? "0" : "") + std::to_string(*s.heat) + ")");
  if (s.printPosition)
    out.add("print position",
            offsetText(*s.printPosition, dpi, signedCode("STX JY", *s.printPosition, 4)));
  if (s.presentDistance)
    out.add("stop position offset",
            offsetText(*s.presentDistance, dpi, signedCode("STX Kf", *s.presentDistance, 2)));
  if (!s.outputMode.empty())
    out.add(
        "output mode",
        codeText(s.outputMode,
                 {{"000", "tear-off"}, {"020", "rewind"}, {"010", "peel-off"}, {"030", "cutter"}},
                 "j23"));
  if (!s.printType.empty())
    out.add("print type",
            codeText(s.printType, {{"000", "direct thermal"}, {"080", "thermal transfer"}}, "j28"));
  if (!s.sensorType.empty())
    out.add("media",
            codeText(s.sensorType,
                     {{"000", "labels found by gap or mark"}, {"040", "continuous media"}}, "j24"));
  if (!s.markSensing.empty())
    out.add("label sensor",
            codeText(s.markSensing, {{"080", "black mark"}, {"000", "gap"}}, "j48"));
  if (s.imageOrientation)
    out.add("image orientation",
            s.imageOrientation == '0'
                ? std::string("normal (STX u0)")
                : std::string("turned (STX u1); the preview shows the image as the job sends it"));
}

}  // namespace

std::string describeLabelJob(const LabelJob& job, int dpi)
{
  std::string text = job.language == JobLanguage::zpl ? "ZPL II job" : "DPL job";
  text += ", " + plural(static_cast<long long>(job.labels.size()), "label", "labels") + ", ";
  text += job.zeroRun > 0 ? std::to_string(job.zeroRun) + " zero bytes before the first command"
                          : "no zero-byte run";
  text += "\n";

  for (std::size_t i = 0; i < job.labels.size(); i++) {
    const PreviewLabel& label = job.labels[i];
    text += "label " + std::to_string(i + 1) + " (from byte " + std::to_string(label.offset) +
            "): " + sizeLine(label.image, dpi) + "\n";
    Lines lines;
    if (job.language == JobLanguage::zpl)
      describeZpl(lines, label.zpl, dpi);
    else
      describeDpl(lines, label.dpl, dpi);
    for (const std::string& field : label.fields)
      lines.add("field", field);
    for (const std::string& note : label.notes)
      lines.add("note", note);
    text += lines.text;
  }
  if (job.outPaperPosition)
    text += "job end: out-paper position " +
            offsetText(*job.outPaperPosition, dpi, signedCode("STX JP", *job.outPaperPosition, 3)) +
            "\n";
  for (const std::string& note : job.notes)
    text += "note: " + note + "\n";
  return text;
}
