// SPDX-License-Identifier: MIT
// The progress line of an update phase: a percentage that overwrites itself,
// then the phase's time written over the last percentage.
#pragma once

#include <cstdio>

// "\r  N%" with no line end.
void progress_percent(unsigned long percent);

// "\r  Done in S.SSs" and the line end.
void progress_done(double seconds);
