// statuspolicy.cpp: the status query gate and the reasons' update.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "statuspolicy.h"

#include <optional>

namespace app {

StatusDevice statusDevice(std::string_view deviceUri)
{
  StatusDevice device;
  if (parseSocketUri(deviceUri, device.host, device.port))
    device.kind = StatusDevice::network;
  else if (deviceUri.rfind("usb://", 0) == 0)
    device.kind = StatusDevice::usb;
  return device;
}

bool beginQuery(StatusState& state, const StatusDevice& device, bool printing, StatusClock::time_point now)
{
  // A file or any other device has no status to read; a printer busy with a job is not
  // disturbed.
  if (device.kind == StatusDevice::none || printing || state.querying || now < state.quietUntil)
    return false;
  state.querying = true;
  return true;
}

StatusChange finishQuery(StatusState& state, const QueryResult& result, StatusClock::time_point now)
{
  StatusChange change;
  std::optional<HostStatus> status;
  if (result.outcome == QueryOutcome::answered) {
    status = parseHostStatus(result.reply);
    change.unreadable = !status;
  }
  change.silent = result.outcome != QueryOutcome::answered;
  change.before = state.reasons;
  change.after = state.reasons = updateReasons(state.reasons, status).current;
  change.firstSilence = change.silent && state.answering;
  state.answering = !change.silent;
  if (change.silent)
    state.quietUntil = now + kQuietAfterNoAnswer;
  state.querying = false;
  return change;
}

void abandonQuery(StatusState& state)
{
  state.querying = false;
}

}  // namespace app
