// CookieStore.h: CCookieStore, the cookies transactions share, without expiry.
#pragma once

#include "agent/Url.h"
#include "foundation/Array.h"
#include "foundation/CharArray.h"
#include "platform/Platform.h"

struct SCookie
{
    CCArray name;
    CCArray value;
    CCArray path;
    CCArray domain; // lower case
};

class CCookieStore
{
public:
    CCookieStore() : arrCookies(8) {}

    // Records one Set-Cookie value received from the URL. A value with an attribute other than
    // domain, path, secure and expires is dropped whole; so is one whose name or value holds a
    // control byte, and one whose domain attribute names a domain the URL's host is not in.
    void StoreCookie(const SUrl& url, const char* pszValue);
    // "name=value; name=value" of every cookie for the URL's host and path; false when none.
    bool BuildCookieHeader(const SUrl& url, CCArray& strOut);
    int32_t GetCount();

private:
    CArrayObj<SCookie, SCookie&> arrCookies;
    CCriticalSection cs;
};

// A cookie for pszDomain is sent to pszHost (both lower case) when the host is the domain, or
// ends with it right after a dot: "example.com" goes to "www.example.com", never to
// "badexample.com".
bool CookieDomainMatches(const char* pszHost, const char* pszDomain);
