// CookieStoreTest.cpp: which Set-Cookie values are kept, and which hosts and paths get them.
#include <gtest/gtest.h>

#include "agent/CookieStore.h"

namespace
{

std::string Cookies(CCookieStore& store, const char* pszUrl, const char* pszSetCookie = nullptr)
{
    SUrl* pUrl = ParseUrl(pszUrl);
    CCArray str;
    if (pszSetCookie)
        store.StoreCookie(*pUrl, pszSetCookie);
    bool bAny = store.BuildCookieHeader(*pUrl, str);
    FreeUrl(pUrl);
    return bAny ? str.GetString() : "<none>";
}

} // namespace

TEST(CookieStore, AttributesPathsAndOverwriting)
{
    CCookieStore store;
    Cookies(store, "http://a.example.com/x/page", "keep=1; Secure; expires=Wed, 01 Jan 2031 00:00:00 GMT");
    for (const char* psz : {"drop=1; Max-Age=60", " ; ; ", "=novalue", "empty="})
        Cookies(store, "http://a.example.com/x/page", psz);
    EXPECT_EQ(Cookies(store, "http://A.Example.com/x/page?q"), "keep=1; empty=");
    EXPECT_EQ(Cookies(store, "http://a.example.com/x/other"), "<none>"); // the page's own path
    Cookies(store, "http://h.org/", "id=1; path=/");
    Cookies(store, "http://h.org/", "id=2; path=/");
    EXPECT_EQ(Cookies(store, "http://h.org/app/x", "id=3; path=/app"), "id=2; id=3");
    EXPECT_EQ(store.GetCount(), 4);
}

TEST(CookieStore, DomainMatchesOnlyWholeLabels)
{
    CCookieStore store;
    EXPECT_EQ(Cookies(store, "http://www.example.com/", "site=1; domain=Example.COM; path=/"), "site=1");
    EXPECT_EQ(Cookies(store, "http://example.com/"), "site=1");
    EXPECT_EQ(Cookies(store, "http://a.b.example.com/"), "site=1");
    EXPECT_EQ(Cookies(store, "http://badexample.com/"), "<none>");
    EXPECT_EQ(Cookies(store, "http://x.example.org/", "dot=1; domain=.example.org; path=/"), "dot=1");
    EXPECT_EQ(Cookies(store, "http://fooexample.org/"), "<none>");
}

// A cookie goes back out inside the Cookie line: a bare CR (or any control byte) in its name or
// value would be a header line of the server's making in the next request.
TEST(CookieStore, ControlBytesInANameOrValueDropTheCookie)
{
    CCookieStore store;
    for (const char* psz : {"a=1\rInjected: yes", "a=1\nX: y", "b\r=1", "c=\x01", "d=\x7f", "e=1\tx"})
        Cookies(store, "http://h.org/", psz);
    EXPECT_EQ(Cookies(store, "http://h.org/"), "<none>");
    EXPECT_EQ(store.GetCount(), 0);
    EXPECT_EQ(Cookies(store, "http://h.org/", "ok=1 2"), "ok=1 2");
}

// A domain attribute is accepted only for a domain the setting host lies in: no host plants
// cookies for another.
TEST(CookieStore, DomainAttributeOutsideTheSettingHostDropsTheCookie)
{
    CCookieStore store;
    Cookies(store, "http://evil.example.net/", "planted=1; domain=victim.example.org; path=/");
    Cookies(store, "http://evil.example.net/", "wide=1; domain=.org; path=/");
    Cookies(store, "http://evil.example.net/", "tld=1; domain=net; path=/");
    Cookies(store, "http://10.0.0.1/", "ip=1; domain=0.0.1; path=/");
    Cookies(store, "http://a.example.com/", "child=1; domain=b.a.example.com; path=/");
    EXPECT_EQ(store.GetCount(), 0);
    EXPECT_EQ(Cookies(store, "http://victim.example.org/"), "<none>");

    // The host itself, its parent domain (with or without the leading dot), an address for itself.
    EXPECT_EQ(Cookies(store, "http://a.example.com/", "own=1; domain=A.example.com; path=/"), "own=1");
    EXPECT_EQ(Cookies(store, "http://a.example.com/", "parent=1; domain=.example.com; path=/"), "own=1; parent=1");
    EXPECT_EQ(Cookies(store, "http://example.com/"), "parent=1");
    EXPECT_EQ(Cookies(store, "http://10.0.0.1/", "ip=1; domain=10.0.0.1; path=/"), "ip=1");
    EXPECT_EQ(Cookies(store, "http://localhost/", "lh=1; domain=localhost; path=/"), "lh=1");
}
