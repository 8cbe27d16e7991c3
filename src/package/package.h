// Update package appended to the executable.
#pragma once

// Looks for a package at the end of the running executable (none is supported: see the
// definition); start-up goes on whatever it finds.
void CheckAppendedPackage();
