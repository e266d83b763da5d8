// statuspolicy.h: when a printer's status is asked and what its answer changes.  A query is
// made only for a network or USB printer that is not printing and not already being asked;
// a printer that did not answer is left alone for a while (each silent query holds a server
// thread up to its deadline); the reasons the printer reports replace the ones it reported
// before, and an unreadable or missing answer changes nothing.  The clock is the caller's.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

#include "hoststatus.h"
#include "statusquery.h"

#include <chrono>
#include <string>
#include <string_view>

namespace app {

using StatusClock = std::chrono::steady_clock;

inline constexpr std::chrono::seconds kQuietAfterNoAnswer{30};

// One printer's status queries.
struct StatusState {
  StatusReasons reasons = kReasonNone;  // what the printer's last answer set
  bool querying = false;
  bool answering = true;                // the last query was answered
  StatusClock::time_point quietUntil{};
};

// Where a printer's status can be read from.
struct StatusDevice {
  enum Kind { none, network, usb } kind = none;
  std::string host;
  int port = 0;
};
StatusDevice statusDevice(std::string_view deviceUri);

// Whether to ask the printer now; true marks the query as running, and the caller then
// ends it with finishQuery (or abandonQuery) whatever happens.
bool beginQuery(StatusState& state, const StatusDevice& device, bool printing, StatusClock::time_point now);

// What a query changed.
struct StatusChange {
  StatusReasons before = kReasonNone, after = kReasonNone;
  bool silent = false;        // no answer (the printer is left alone kQuietAfterNoAnswer)
  bool firstSilence = false;  // ... after it had answered: worth a warning, not a debug line
  bool unreadable = false;    // an answer that is not a host status: reasons kept
};
StatusChange finishQuery(StatusState& state, const QueryResult& result, StatusClock::time_point now);

// A query that ended without a result (an exception on the way): the next may run.
void abandonQuery(StatusState& state);

}  // namespace app
