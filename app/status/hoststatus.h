// hoststatus.h: a ZPL printer's host status (its reply to ~HS), read into a record and
// turned into printer-state-reasons.  No PAPPL and no I/O here: the adapter asks the
// printer (statusquery.h) and applies the reasons this file computes.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace app {

// The query: ~HS asks a ZPL printer for its three host status strings.
inline constexpr std::string_view kHostStatusQuery = "~HS";

// What ~HS reports.  The first string holds the communication and media state, the second
// the print head and ribbon, the third the password and memory fitted.
struct HostStatus {
  // String 1: aaa,b,c,dddd,eee,f,g,h,iii,j,k,l
  int commSettings = 0;       // aaa
  bool paperOut = false;      // b
  bool paused = false;        // c
  int labelLength = 0;        // dddd, in dots
  int formatsInBuffer = 0;    // eee
  bool bufferFull = false;    // f
  bool commDiagnostics = false;  // g
  bool partialFormat = false;    // h
  bool corruptRam = false;       // j
  bool underTemperature = false; // k
  bool overTemperature = false;  // l
  // String 2: mmm,n,o,p,q,r,s,t,uuuuuuuu,v,www
  int functionSettings = 0;   // mmm
  bool headUp = false;        // o
  bool ribbonOut = false;     // p
  bool thermalTransfer = false;  // q
  char printMode = '0';       // r: 0 rewind, 1 peel-off, 2 tear-off, 3 cutter... (letters on
                              // newer printers)
  int printWidthMode = 0;     // s
  bool labelWaiting = false;  // t
  long labelsRemaining = 0;   // uuuuuuuu
  bool formatWhilePrinting = false;  // v
  int graphicsStored = 0;     // www
  // String 3: xxxx,y
  int password = 0;           // xxxx
  bool staticRam = false;     // y
};

// The three strings, each framed STX ... ETX and followed by CR LF.  Line ends (CR, LF)
// may stand before, between and after the frames; anything after the third frame is
// ignored.  A reply that is not three frames of the fields above (the number of fields,
// digits in the numbers, 0 or 1 in each flag) gives nothing.
std::optional<HostStatus> parseHostStatus(std::string_view reply);

// True once `reply` holds three frame ends (ETX): all a reader waits for.
bool hostStatusComplete(std::string_view reply);

// The conditions the application reports, one bit each.
enum StatusReason : unsigned {
  kReasonNone = 0,
  kReasonMediaEmpty = 1u << 0,          // media-empty: out of labels
  kReasonCoverOpen = 1u << 1,           // cover-open: print head up
  kReasonMarkerSupplyEmpty = 1u << 2,   // marker-supply-empty: out of ribbon
  kReasonPaused = 1u << 3,              // the printer itself is paused
  kReasonOverTemperature = 1u << 4,     // print head too hot
  kReasonUnderTemperature = 1u << 5,    // print head too cold
  kReasonSpoolAreaFull = 1u << 6,       // spool-area-full: receive buffer full
};
using StatusReasons = unsigned;

// The conditions in a host status.  Ribbon out counts only in thermal transfer mode: a
// direct thermal printer has no ribbon, and its flag means nothing.
StatusReasons reasonsFromStatus(const HostStatus& status);

// How one reply changes the reasons the application has set.
struct ReasonUpdate {
  StatusReasons add = kReasonNone;     // set now
  StatusReasons remove = kReasonNone;  // set before, gone now
  StatusReasons current = kReasonNone; // what the application has set afterwards
};

// The change from `previous` (the reasons set from earlier replies) for one reply.  A reply
// that says nothing (no status: garbage, silence, no connection) changes nothing, since
// the printer's state is unknown; only reasons set from a reply are ever cleared.
ReasonUpdate updateReasons(StatusReasons previous, const std::optional<HostStatus>& status);

// The names of the reasons in `reasons`, comma-separated ("none" for none): for the log.
std::string reasonNames(StatusReasons reasons);

// `bytes` with everything but printable ASCII (and '<' and '\\') as <NN> in hex, cut to
// `limit` bytes of input: a printer's reply made safe for a log line.
std::string printableBytes(std::string_view bytes, std::size_t limit = 120);

}  // namespace app
