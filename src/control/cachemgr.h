#pragma once

// Seeding a provider's cache from the batch file "copylcache.bat" that an installer puts
// into the provider's folder. The file is never run: RunCopyCacheBatch reads it line by
// line and interprets a small command language of its own (three variables, "-add" to
// put a file of the provider's folder into the cache, "-register" to list the provider).
//
// The batch file is text from outside: every file it names must lie inside the batch
// file's folder (no absolute path, no ".." step, no link leading out), and what it adds
// lands only in the cache folder under a generated name. Plain file and registry work,
// no GUI: the error box for a missing batch file goes through a report handler that the
// GUI binds.
//
// Main thread only (the control program's start, or its entry before any form exists);
// each addition re-reads and saves the cache index under its lock (CC::Update), so a
// running synchronisation cycle and the seeding keep each other's entries. A run is a
// writer of the cache folder (CacheWriterClaim): when no other writer is at work it
// first removes the files that no entry names.

#include <functional>
#include <string>

// What the control program shows when a batch file is missing: a beep, then an error box
// with a stop icon and an OK button.
struct SeedingErrorReport {
    unsigned beepHz = 200;
    unsigned beepMs = 40;
    std::string caption; // "TolvarCtrl"
    std::string text;
};

// Binds what shows the report; an empty function unbinds it. While none is bound the
// text goes to standard error. Bind and call on the main thread.
void SetSeedingErrorReporter(std::function<void(const SeedingErrorReport&)> reporter);

// Reads the batch file at path (a "/" or "\" path; relative ones start at the current
// working folder) and carries out its lines. True when the file was there and read,
// whatever its lines did; false when it is missing or cannot be read, after the error
// report unless quiet is set. The working folder is never changed.
bool RunCopyCacheBatch(const std::string& path, bool quiet);

// One "-add": copies the file at source (a file-system path the caller has checked) into
// the cache folder under MakeGuidString() + the source name's extension and records
// (uri, new name, serial) in "cache.dir", unless the index holds uri and serial already:
// then nothing is copied, so seeding twice leaves no second copy. True when the index
// holds (uri, serial) afterwards; false when nothing was added (no copy stays).
bool AddCacheFile(const std::string& source, const std::string& serial, const std::string& uri);

// One "-register": the value under the provider name in the machine-wide Providers key,
// then "CurrentProvider" set to the name. A name that could not serve as the provider's
// folder name (empty, ".", "..", or holding "/", "\" or NUL) is refused: false, nothing
// written.
bool RegisterProvider(const std::string& name, const std::string& value);
