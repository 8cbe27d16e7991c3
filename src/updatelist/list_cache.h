// Cache files of the remote list and the optional settings package in the temporary directory.
#pragma once

// Ages the settings package; called at the end of a session.
void ListCacheBookkeeping();
// Starts a hidden copy of the program that refreshes the cached list.
void RefreshListInBackground();
// Copies the settings package's fields into GlobalValues; true when it held at least one.
bool LoadSettingsPackage();
