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
