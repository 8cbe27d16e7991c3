// When the next background check runs: the tray window's periodic check and the first check
// after start. Pure rules over a caller-owned random source, so that a test can seed it.
//
// Why: installs that start together (a fleet booted at 09:00, a release announced at once)
// must not all ask the update server in the same minute. Every delay gets a random spread of
// up to a tenth of the period, at most kMaxSpreadSeconds; a check that failed is retried
// sooner than the period, doubling from kFirstRetrySeconds, never later than the period.
//
// Wiring (for the window that owns the timer): keep one CheckRandom per process, seeded once
// (SeedCheckRandom), and a count of checks that failed in a row (0 after a success). Wait
// FirstCheckDelaySeconds before the first check, then NextCheckDelaySeconds after each one.
#pragma once
#include <cstdint>
#include <random>

using CheckRandom = std::mt19937;

constexpr long long kMaxSpreadSeconds = 10 * 60;  // the spread never exceeds ten minutes
constexpr long long kFirstRetrySeconds = 60;      // first retry after a failed check

// A source seeded from the clock, the process and the thread (different on every install).
CheckRandom SeedCheckRandom();

// A random spread in [0, min(period / 10, kMaxSpreadSeconds)] seconds; 0 for a period <= 0.
long long SpreadOffsetSeconds(long long periodSeconds, CheckRandom& random);
// Delay before a retry after `failuresInRow` (>= 1) failed checks: kFirstRetrySeconds doubled
// per further failure, capped at the period; the period itself for 0 failures.
long long BackoffSeconds(long long periodSeconds, int failuresInRow);
// Delay before the first check after start: the spread alone.
long long FirstCheckDelaySeconds(long long periodSeconds, CheckRandom& random);
// Delay before the next check: the back-off (the period after a success) plus the spread.
long long NextCheckDelaySeconds(long long periodSeconds, int failuresInRow, CheckRandom& random);
// The tray's period in seconds from [Mirovane] CheckTmSpan minutes: 0 or less is 5, 60 or
// more is 60.
long long TrayPeriodSeconds(long minutes);
