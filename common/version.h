// version.h: the --version option of every program.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.

#pragma once

// When the command line is exactly `PROGRAM --version`, writes "PROGRAM VERSION" to standard
// output and returns the exit status: 0, or 1 when the line could not be written.  Any other
// command line returns -1 and is left to the program.
int answerVersion(int argc, char** argv, const char* program);

// The release version, e.g. "1.0.0".
const char* labelfiltersVersion();
