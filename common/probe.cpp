// probe.cpp: the host probe's decisions for the ZPL and DPL printers.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#include "probe.h"

#include <cstring>
#include <initializer_list>

bool textContains(const char* text, const char* word)
{
  return std::strstr(text, word) != nullptr;
}

namespace {

// What the host says of itself: its release banner and its locale.
struct HostText {
  char issue[1024] = {};
  char lang[200] = {};
};

void readHost(HostText& host)
{
  SystemRtn("cat /etc/issue", host.issue, sizeof host.issue);
  SystemRtn("echo $LANG", host.lang, sizeof host.lang);
}

// True when the kernel's version text contains any of `names`.
bool kernelNames(std::initializer_list<const char*> names)
{
  char buffer[1024] = {};
  SystemRtn("cat /proc/version", buffer, sizeof buffer);
  for (const char* name : names) {
    if (textContains(buffer, name))
      return true;
  }
  return false;
}

// The rule both printers share outside a Chinese locale: Fedora and Ubuntu hosts, by
// banner or by kernel.
bool fedoraOrUbuntu(const HostText& host)
{
  if (textContains(host.issue, "Fedora") || textContains(host.issue, "Ubuntu"))
    return true;
  return kernelNames({"Fedora", "fedora", "Ubuntu", "ubuntu"});
}

}  // namespace

bool zplHostNeedsZeroRun()
{
  HostText host;
  readHost(host);
  if (host.issue[0] == '\0')
    return false;
  if (textContains(host.lang, "zh_CN"))
    return textContains(host.issue, "方德桌面");
  return fedoraOrUbuntu(host);
}

bool dplHostNeedsZeroRun()
{
  HostText host;
  readHost(host);
  if (host.issue[0] == '\0')
    return false;
  if (textContains(host.lang, "zh_CN")) {
    if (textContains(host.issue, "方德桌面") || textContains(host.issue, "Arm64"))
      return true;
    return kernelNames({"Arm64", "arm64"});
  }
  return fedoraOrUbuntu(host);
}
