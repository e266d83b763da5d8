// hoststatus.cpp: reading a ZPL printer's host status and turning it into reasons.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "hoststatus.h"

#include <array>
#include <cstdio>
#include <vector>

namespace app {
namespace {

constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';

// The kinds of field: a number (one to eight digits), a flag (0 or 1), one letter or digit.
enum class Field { number, flag, letter };

constexpr Field N = Field::number, F = Field::flag, C = Field::letter;
constexpr std::array kString1 = {N, F, F, N, N, F, F, F, N, F, F, F};
constexpr std::array kString2 = {N, N, F, F, F, C, N, F, N, F, N};
constexpr std::array kString3 = {N, F};
static_assert(kString1.size() == 12 && kString2.size() == 11 && kString3.size() == 2);

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// The fields of one frame's text, split at commas; each checked against its kind.  Numbers
// come back as their value, flags as 0 or 1, a letter as its character code.
template <std::size_t count>
bool readFields(std::string_view text, const std::array<Field, count>& kinds, std::array<long, count>& values)
{
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; i++) {
    std::size_t comma = text.find(',', at);
    bool last = i + 1 == count;
    // The last field runs to the end of the frame; every other one ends at a comma.
    if (last != (comma == std::string_view::npos))
      return false;
    std::string_view field = text.substr(at, last ? std::string_view::npos : comma - at);
    switch (kinds[i]) {
      case Field::number: {
        if (field.empty() || field.size() > 8)
          return false;
        long value = 0;
        for (char c : field) {
          if (!isDigit(c))
            return false;
          value = value * 10 + (c - '0');
        }
        values[i] = value;
        break;
      }
      case Field::flag:
        if (field != "0" && field != "1")
          return false;
        values[i] = field[0] - '0';
        break;
      case Field::letter:
        if (field.size() != 1 || !(isDigit(field[0]) || (field[0] >= 'A' && field[0] <= 'Z')))
          return false;
        values[i] = field[0];
        break;
    }
    at = last ? text.size() : comma + 1;
  }
  return true;
}

}  // namespace

bool hostStatusComplete(std::string_view reply)
{
  std::size_t ends = 0;
  for (char c : reply)
    ends += c == kEtx;
  return ends >= 3;
}

std::optional<HostStatus> parseHostStatus(std::string_view reply)
{
  // Cut the reply into its three frames: line ends may stand between them, nothing else.
  std::vector<std::string_view> frames;
  std::size_t at = 0;
  while (frames.size() < 3) {
    while (at < reply.size() && isLineEnd(reply[at]))
      at++;
    if (at >= reply.size() || reply[at] != kStx)
      return std::nullopt;
    std::size_t end = reply.find(kEtx, at + 1);
    if (end == std::string_view::npos)
      return std::nullopt;
    std::string_view text = reply.substr(at + 1, end - at - 1);
    if (text.find(kStx) != std::string_view::npos)
      return std::nullopt;
    frames.push_back(text);
    at = end + 1;
  }

  std::array<long, kString1.size()> one{};
  std::array<long, kString2.size()> two{};
  std::array<long, kString3.size()> three{};
  if (!readFields(frames[0], kString1, one) || !readFields(frames[1], kString2, two) ||
      !readFields(frames[2], kString3, three))
    return std::nullopt;

  HostStatus s;
  s.commSettings = static_cast<int>(one[0]);
  s.paperOut = one[1] != 0;
  s.paused = one[2] != 0;
  s.labelLength = static_cast<int>(one[3]);
  s.formatsInBuffer = static_cast<int>(one[4]);
  s.bufferFull = one[5] != 0;
  s.commDiagnostics = one[6] != 0;
  s.partialFormat = one[7] != 0;
  s.corruptRam = one[9] != 0;
  s.underTemperature = one[10] != 0;
  s.overTemperature = one[11] != 0;

  s.functionSettings = static_cast<int>(two[0]);
  s.headUp = two[2] != 0;
  s.ribbonOut = two[3] != 0;
  s.thermalTransfer = two[4] != 0;
  s.printMode = static_cast<char>(two[5]);
  s.printWidthMode = static_cast<int>(two[6]);
  s.labelWaiting = two[7] != 0;
  s.labelsRemaining = two[8];
  s.formatWhilePrinting = two[9] != 0;
  s.graphicsStored = static_cast<int>(two[10]);

  s.password = static_cast<int>(three[0]);
  s.staticRam = three[1] != 0;
  return s;
}

StatusReasons reasonsFromStatus(const HostStatus& status)
{
  StatusReasons reasons = kReasonNone;
  if (status.paperOut)
    reasons |= kReasonMediaEmpty;
  if (status.headUp)
    reasons |= kReasonCoverOpen;
  if (status.ribbonOut && status.thermalTransfer)
    reasons |= kReasonMarkerSupplyEmpty;
  if (status.paused)
    reasons |= kReasonPaused;
  if (status.overTemperature)
    reasons |= kReasonOverTemperature;
  if (status.underTemperature)
    reasons |= kReasonUnderTemperature;
  if (status.bufferFull)
    reasons |= kReasonSpoolAreaFull;
  return reasons;
}

ReasonUpdate updateReasons(StatusReasons previous, const std::optional<HostStatus>& status)
{
  if (!status)
    return {kReasonNone, kReasonNone, previous};
  StatusReasons now = reasonsFromStatus(*status);
  return {now & ~previous, previous & ~now, now};
}

std::string reasonNames(StatusReasons reasons)
{
  static constexpr struct {
    StatusReason bit;
    const char* name;
  } names[] = {{kReasonMediaEmpty, "media-empty"},
               {kReasonCoverOpen, "cover-open"},
               {kReasonMarkerSupplyEmpty, "marker-supply-empty"},
               {kReasonPaused, "paused"},
               {kReasonOverTemperature, "over-temperature"},
               {kReasonUnderTemperature, "under-temperature"},
               {kReasonSpoolAreaFull, "spool-area-full"}};
  std::string text;
  for (const auto& n : names) {
    if (!(reasons & n.bit))
      continue;
    if (!text.empty())
      text += ',';
    text += n.name;
  }
  return text.empty() ? "none" : text;
}

std::string printableBytes(std::string_view bytes, std::size_t limit)
{
  std::string text;
  for (std::size_t i = 0; i < bytes.size() && i < limit; i++) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '<' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      text += hex;
    }
  }
  if (bytes.size() > limit)
    text += "...";
  return text;
}

}  // namespace app
