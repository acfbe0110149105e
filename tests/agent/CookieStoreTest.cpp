// CookieStoreTest.cpp: which Set-Cookie values are kept, and which hosts and paths get them.
#include <gtest/gtest.h>

#include <string>

#include "agent/CookieStore.h"

namespace
{

std::string CookiesFor(CCookieStore& store, const char* pszUrl)
{
    SUrl* pUrl = ParseUrl(pszUrl);
    CCArray str;
    bool bAny = store.BuildCookieHeader(*pUrl, str);
    FreeUrl(pUrl);
    return bAny ? str.GetString() : "<none>";
}

void Store(CCookieStore& store, const char* pszUrl, const char* pszValue)
{
    SUrl* pUrl = ParseUrl(pszUrl);
    store.StoreCookie(*pUrl, pszValue);
    FreeUrl(pUrl);
}

} // namespace

TEST(CookieStore, AttributesDecideWhetherACookieIsKept)
{
    CCookieStore store;
    Store(store, "http://a.example.com/x/page", "keep=1; Secure; expires=Wed, 01 Jan 2031 00:00:00 GMT");
    Store(store, "http://a.example.com/x/page", "drop=1; Max-Age=60");
    Store(store, "http://a.example.com/x/page", " ; ; ");
    Store(store, "http://a.example.com/x/page", "=novalue");
    Store(store, "http://a.example.com/x/page", "empty=");
    EXPECT_EQ(store.GetCount(), 2);
    // No path attribute: the page's own path, so a sibling page does not get it.
    EXPECT_EQ(CookiesFor(store, "http://A.Example.com/x/page?q"), "keep=1; empty=");
    EXPECT_EQ(CookiesFor(store, "http://a.example.com/x/other"), "<none>");
}

TEST(CookieStore, SameNameDomainAndPathOverwritesOtherPathsAdd)
{
    CCookieStore store;
    Store(store, "http://h.org/", "id=1; path=/");
    Store(store, "http://h.org/", "id=2; path=/");
    Store(store, "http://h.org/", "id=3; path=/app");
    EXPECT_EQ(store.GetCount(), 2);
    EXPECT_EQ(CookiesFor(store, "http://h.org/app/x"), "id=2; id=3");
    EXPECT_EQ(CookiesFor(store, "http://h.org/other"), "id=2");
}

TEST(CookieStore, DomainMatchesOnlyWholeLabels)
{
    CCookieStore store;
    Store(store, "http://www.example.com/", "site=1; domain=Example.COM; path=/");
    EXPECT_EQ(CookiesFor(store, "http://example.com/"), "site=1");
    EXPECT_EQ(CookiesFor(store, "http://www.example.com/"), "site=1");
    EXPECT_EQ(CookiesFor(store, "http://a.b.example.com/"), "site=1");
    EXPECT_EQ(CookiesFor(store, "http://badexample.com/"), "<none>");
    EXPECT_EQ(CookiesFor(store, "http://example.com.evil.net/"), "<none>");
    Store(store, "http://www.example.org/", "dot=1; domain=.example.org; path=/");
    EXPECT_EQ(CookiesFor(store, "http://x.example.org/"), "dot=1");
    EXPECT_EQ(CookiesFor(store, "http://fooexample.org/"), "<none>");
}
