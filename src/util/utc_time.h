// UTC times as signed lists and the publisher tool write them. Values in, values out.
#pragma once
#include <string>

// A UTC time in ISO 8601 ("2030-01-31", "2030-01-31T12:00:00Z", "2030-01-31T12:00Z", an
// offset "+02:00" instead of "Z", fractions of a second ignored) as seconds since 1970-01-01.
// False for anything else, a time without "Z" or offset included (it would mean local time).
bool ParseUtcTime(const std::wstring& text, long long& seconds);

// Seconds since 1970-01-01 as "YYYY-MM-DDTHH:MM:SSZ".
std::wstring FormatUtcTime(long long seconds);

// The current time as seconds since 1970-01-01 (UTC).
long long NowUtcSeconds();
