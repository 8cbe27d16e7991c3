// The sample-settings question, asked by the remote check when no list address is set.
#pragma once

// Offers (when `mayAsk`) to fill in sample settings when [UPDATEINFO] ListURL is empty; with
// no address afterwards, tells `ownerWindow` and the log. Returns true when a list address is
// available.
bool OfferSampleSettings(void* ownerWindow, bool mayAsk);
