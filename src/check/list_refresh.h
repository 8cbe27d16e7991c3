// The hidden copy of the program that refreshes the cached list.
#pragma once

// Records the check stamp and starts this program again, hidden, with "downparam1" when a
// server answered with our own server tag, else "downparam0". Nobody waits for the copy.
void RefreshListInBackground();
