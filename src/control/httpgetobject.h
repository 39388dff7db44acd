#pragma once

// The object fetchers: each downloads one object of the control file or a layout through
// an HttpGetter into a temporary file of the cache folder, checks it and gives it its
// final name there. They record nothing in "cache.dir" (the cache writers do) and keep
// the reason of their last failure for the log (GetHttpGetError).
//
// Files (name is a bare file name, normally a MakeGuidString text; folder defaults to
// GetCacheDir()):
//   control file, layout file, feed:  folder/name.tmp   -> folder/name.xml
//   image:                            folder/xname.tmp  -> folder/name + extension
// The download itself is atomic (HttpGetter writes through AtomicFileWriter) and the
// final name is given by one rename, so no reader ever meets half an object under either
// name. A failed fetch leaves neither file behind.
//
// A control file counts as fetched only when it was read whole, a layout file only when
// it is a well-formed layout without a value error: a half or broken answer is never
// given a final name. Feeds are not checked; images are checked by content type alone.
//
// No Qt. Called on the fetch thread; LastHttpError is guarded, so GetHttpGetError may be
// read from any thread.

#include "common/directories.h"

#include <string>

// The extension of an image by the exact Content-Type value; empty when unsupported.
std::string ImageExtensionForContentType(const std::string& contentType);

// POST of the control-file request (host id, user id, client version, subscriptions).
// On success serial holds the control file's time attribute. extension is not used: the
// final file is name + ".xml".
bool HttpGetControlFile(const std::string& uri, const std::string& name, std::string& serial,
                        const std::string& extension, const std::string& subscriptions,
                        const std::string& folder = GetCacheDir());

// GET of a layout file into name + ".xml". extension is not used.
bool HttpGetLayoutFile(const std::string& uri, const std::string& name,
                       const std::string& extension, const std::string& folder = GetCacheDir());

// GET of a channel feed into name + ".xml"; extension becomes ".xml" on success.
bool HttpGetFeedFile(const std::string& uri, const std::string& name, std::string& extension,
                     const std::string& folder = GetCacheDir());

// GET of an image into name + the extension of its content type (see the table in
// httpgetobject.cpp); extension becomes that extension on success.
bool HttpGetImageFile(const std::string& uri, const std::string& name, std::string& extension,
                      const std::string& folder = GetCacheDir());

// The last error or status text of a fetcher; empty before the first.
std::string GetHttpGetError();
// Sets it; the cache writers report their own failures through it as well.
void SetHttpGetError(const std::string& text);

// An empty uri gives "Fatal error: URI is empty", an empty name "Fatal error: ID is
// empty" (checked in this order), a name that is no plain file name of the cache folder
// "Fatal error: ID is not a file name"; each sets the error and gives false.
bool CheckObjectArguments(const std::string& uri, const std::string& name);
