#pragma once

#include <functional>
#include <string>

// A rename, an unlink or a mkdir changes a directory, and that change reaches storage only when
// the directory itself is synced: without it a power cut can bring back a file that was removed
// (a delivered card record, sent again) or the old file that a rename replaced (a settings change
// acknowledged and then lost). Any thread.

// Opens the directory and syncs it. False (errno set) when it cannot be opened or synced; the
// change itself has happened either way, so callers go on and count it as made.
bool SyncDirectory(const std::string& strDirectory);

// The directory part of a file path ("a/b/c.ini" -> "a/b", "c.ini" -> ".", "/c.ini" -> "/").
std::string DirectoryOfPath(const std::string& strPath);

// For tests: fnObserver is called with each directory that SyncDirectory syncs (without a
// trailing "/"), on the caller's thread, just after the sync. An empty function removes it.
void SetDirectorySyncObserver(std::function<void(const std::string&)> fnObserver);
