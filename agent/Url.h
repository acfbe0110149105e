// Url.h: SUrl, a parsed absolute http URL, and the texts derived from it.
//
// The record keeps one copy of the whole URL; every component is a start offset and a length
// into that copy, so that parsing allocates once and a component costs nothing until asked for.
#pragma once

#include "foundation/CharArray.h"

enum EUrlPart
{
    URL_BASE = 0,     // up to and including the last '/' of the path
    URL_PATH = 1,     // from the first '/' after the authority to '?', '#' or the end
    URL_HOST = 2,     // host of the authority, without user information and port
    URL_DOMAIN = 3,   // the host without a leading "www." or "www<digit>."
    URL_FILE = 4,     // the last segment of the path
    URL_USER = 5,     // user name of the authority's user information
    URL_PASSWORD = 6, // password of the same
    URL_QUERY = 7,    // after '?' up to '#' or the end
    URL_PART_COUNT = 8
};

struct SUrl
{
    char* pszText; // heap copy of the whole URL
    int nPort;
    int* pnStart;  // URL_PART_COUNT start offsets into pszText
    int* pnLength; // URL_PART_COUNT lengths, 0 when absent

    SUrl();
    ~SUrl();

private:
    SUrl(const SUrl&) = delete;
    SUrl& operator=(const SUrl&) = delete;
};

// A new record for an absolute URL beginning with "http://" (its first seven characters are
// skipped, not compared), or null when the URL has no path or a bad port or an empty host.
SUrl* ParseUrl(const char* pszUrl);
void FreeUrl(SUrl* pUrl);

CCArray GetUrlPart(const SUrl& url, int nPart);
// The path, plus '?' and the query when there is one; the fragment is never sent.
CCArray GetRequestUri(const SUrl& url);
// The host alone on port 80, else "host:port".
CCArray GetHostPort(const SUrl& url);
CCArray GetAbsoluteUrl(const SUrl& url);

// Turns a Location header value into an absolute URL in place, relative to strBase (the base
// component of the request's URL). False when the location cannot be resolved.
bool ResolveLocation(CCArray& strLocation, const char* pszBase);

// "www." or "www" + digit + "." at the start of a text longer than 4 characters (any case): the
// length of that prefix, else 0.
int WwwPrefixLength(const char* psz);
