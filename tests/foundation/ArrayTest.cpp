// ArrayTest.cpp: growth and ownership rules of the array templates, and the sorted owning array.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "foundation/Array.h"
#include "foundation/CharArray.h"

namespace
{
// Counts live instances, so that a test can see what an array constructed, destroyed or deleted.
struct SCounted
{
    static int nLive;
    int nValue;
    uint32_t dwKey;

    SCounted() : nValue(0), dwKey(0) { nLive++; }
    explicit SCounted(uint32_t dw) : nValue(0), dwKey(dw) { nLive++; }
    SCounted(const SCounted& o) : nValue(o.nValue), dwKey(o.dwKey) { nLive++; }
    SCounted& operator=(const SCounted&) = default;
    ~SCounted() { nLive--; }

    uint32_t GetKey() const { return dwKey; }
};
int SCounted::nLive = 0;

class ArrayOwnership : public ::testing::Test
{
protected:
    void SetUp() override { SCounted::nLive = 0; }
    void TearDown() override { EXPECT_EQ(0, SCounted::nLive) << "every element was destroyed exactly once"; }
};

TEST(ArraySimple, GrowsInStepsAndKeepsCapacity)
{
    CArraySimpleObj<int, int> arr;
    EXPECT_EQ(8, arr.nGrowBy);
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(i, arr.Add(i * 10));
    EXPECT_EQ(9, arr.GetSize());
    EXPECT_EQ(16, arr.nAlloc);

    arr.SetAllocSize(17);
    EXPECT_EQ(24, arr.nAlloc) << "rounded up to a multiple of the step";
    arr.SetAllocSize(5);
    EXPECT_EQ(24, arr.nAlloc);
    EXPECT_EQ(5, arr.nCount) << "a smaller size drops the elements beyond it";

    arr.SetSize(0);
    EXPECT_EQ(24, arr.nAlloc) << "SetSize(0) keeps the storage";
    EXPECT_NE(nullptr, arr.pData);
    arr.RemoveAll();
    EXPECT_EQ(0, arr.nAlloc);
    EXPECT_EQ(nullptr, arr.pData);
}

TEST(ArraySimple, InsertRemoveAndAppend)
{
    CArraySimpleObj<int, int> arr;
    for (int i = 0; i < 8; i++)
        arr.Add(i);
    ASSERT_EQ(8, arr.nAlloc);
    arr.InsertAt(3, 99); // full: grows by one step around the gap
    EXPECT_EQ(16, arr.nAlloc);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 99, 3, 4, 5, 6, 7}),
              std::vector<int>(arr.pData, arr.pData + arr.nCount));
    arr.InsertAt(0, -1);
    arr.InsertAt(arr.nCount, 100);
    EXPECT_EQ(-1, arr.pData[0]);
    EXPECT_EQ(100, arr.pData[10]);

    arr.RemoveAt(1, 2);
    EXPECT_EQ((std::vector<int>{-1, 2, 99, 3, 4, 5, 6, 7, 100}),
              std::vector<int>(arr.pData, arr.pData + arr.nCount));
    arr.RemoveAt(6, -1);
    EXPECT_EQ((std::vector<int>{-1, 2, 99, 3, 4, 5}), std::vector<int>(arr.pData, arr.pData + arr.nCount));
    arr.RemoveAt(4, 50);
    EXPECT_EQ(4, arr.nCount);
    EXPECT_EQ(16, arr.nAlloc);

    CArraySimpleObj<int, int> other;
    other.AppendArray(arr);
    other.AppendArray(arr);
    EXPECT_EQ((std::vector<int>{-1, 2, 99, 3, -1, 2, 99, 3}),
              std::vector<int>(other.pData, other.pData + other.nCount));
    other.CopyData(arr.pData + 1, 2);
    EXPECT_EQ((std::vector<int>{2, 99}), std::vector<int>(other.pData, other.pData + other.nCount));
    other.AppendData(nullptr, 0);
    EXPECT_EQ(2, other.nCount);
    other.CopyArray(arr);
    EXPECT_EQ(4, other.nCount);
    EXPECT_EQ(3, other.pData[3]);
}

TEST_F(ArrayOwnership, ObjectArrayConstructsAndDestroysItsElements)
{
    {
        CArrayObj<SCounted, SCounted&> arr;
        arr.SetSize(5);
        EXPECT_EQ(5, SCounted::nLive);
        EXPECT_EQ(8, arr.nAlloc);
        arr.SetSize(2);
        EXPECT_EQ(2, SCounted::nLive);
        EXPECT_EQ(8, arr.nAlloc);

        SCounted one(7);
        arr.Add(one);
        EXPECT_EQ(7u, arr.pData[2].dwKey);
        EXPECT_EQ(4, SCounted::nLive);

        arr.RemoveAt(0, 1);
        EXPECT_EQ(3, SCounted::nLive);
        EXPECT_EQ(7u, arr.pData[1].dwKey);

        arr.SetAllocSize(1);
        EXPECT_EQ(2, SCounted::nLive);
        EXPECT_EQ(1, arr.nCount);
    }
}

TEST(ArrayObj, StringElementsCopyAndAppend)
{
    CArrayObj<CCArray, CCArray&> arr;
    CCArray str("zero");
    arr.Add(str);
    str = "changed";
    EXPECT_STREQ("zero", arr.pData[0].GetString());
    for (int i = 1; i < 8; i++)
        arr.Add(arr.pData[0]);
    ASSERT_EQ(8, arr.nAlloc);
    // The argument is an element of the full array, which must move to grow.
    arr.Add(arr.pData[7]);
    EXPECT_EQ(9, arr.nCount);
    EXPECT_STREQ("zero", arr.pData[8].GetString());

    arr.AppendArray(arr);
    EXPECT_EQ(18, arr.nCount);
    EXPECT_STREQ("zero", arr.pData[17].GetString());

    CArrayObj<CCArray, CCArray&> copy;
    copy.Add(CCArray("old"));
    CArrayObj<CCArray, CCArray&> src;
    src.Add(CCArray("a"));
    src.Add(CCArray());
    copy.CopyArray(src);
    ASSERT_EQ(2, copy.nCount);
    EXPECT_STREQ("a", copy.pData[0].GetString());
    EXPECT_EQ(0, copy.pData[1].nCount);

    src.AppendArray(CArrayObj<CCArray, CCArray&>());
    EXPECT_EQ(2, src.nCount);
}

TEST_F(ArrayOwnership, PointerArrayDeletesWhatLeavesIt)
{
    {
        CArrayPtr<SCounted> arr;
        for (int i = 0; i < 10; i++)
            EXPECT_EQ(i, arr.Add(new SCounted((uint32_t)i)));
        EXPECT_EQ(10, SCounted::nLive);
        EXPECT_EQ(16, arr.nAlloc);

        arr.RemoveAt(2, 3);
        EXPECT_EQ(7, SCounted::nLive);
        EXPECT_EQ(5u, arr.pData[2]->dwKey);

        arr.SetAllocSize(4);
        EXPECT_EQ(4, SCounted::nLive);
        EXPECT_EQ(16, arr.nAlloc);

        arr.SetSize(6);
        EXPECT_EQ(nullptr, arr.pData[5]) << "gained slots are empty";
        arr.SetSize(3);
        EXPECT_EQ(3, SCounted::nLive);

        arr.InsertAt(0, new SCounted(100u));
        EXPECT_EQ(100u, arr.pData[0]->dwKey);
        EXPECT_EQ(4, SCounted::nLive);
    }
    // Destruction deleted the rest (checked by the fixture).
}

TEST_F(ArrayOwnership, PointerArrayRemoveAllDeletesEverything)
{
    CArrayPtr<SCounted> arr;
    for (int i = 0; i < 20; i++)
        arr.Add(new SCounted());
    arr.RemoveAll();
    EXPECT_EQ(0, SCounted::nLive);
    EXPECT_EQ(0, arr.nAlloc);
}

TEST_F(ArrayOwnership, SortedArrayFindsInsertsAndRemovesByKey)
{
    CSortableArrayPtr<SCounted, uint32_t> arr;
    int32_t nIndex = -5;
    EXPECT_FALSE(arr.Find(42, &nIndex));
    EXPECT_EQ(0, nIndex) << "an empty array gives position 0";
    EXPECT_FALSE(arr.Remove(42));

    const uint32_t aKeys[] = {50, 10, 40, 0xFFFFFFFFu, 20, 30, 0, 0x80000000u, 60, 15};
    for (uint32_t dw : aKeys)
        ASSERT_TRUE(arr.Insert(new SCounted(dw)));
    ASSERT_EQ(10, arr.GetSize());
    for (int i = 1; i < arr.nCount; i++)
        EXPECT_LT(arr.pData[i - 1]->dwKey, arr.pData[i]->dwKey) << "ascending at " << i;

    EXPECT_TRUE(arr.Find(40, &nIndex));
    EXPECT_EQ(40u, arr.pData[nIndex]->dwKey);
    EXPECT_FALSE(arr.Find(35, &nIndex));
    EXPECT_EQ(40u, arr.pData[nIndex]->dwKey) << "the first element not below the key";
    EXPECT_FALSE(arr.Find(0xFFFFFFFEu, &nIndex));
    EXPECT_EQ(arr.nCount - 1, nIndex);
    EXPECT_TRUE(arr.Find(0xFFFFFFFFu, &nIndex));
    EXPECT_EQ(arr.nCount - 1, nIndex);

    // A second element with a present key is refused; the first stays, the caller keeps the new.
    SCounted* pFirst = arr.Lookup(20);
    ASSERT_NE(nullptr, pFirst);
    SCounted* pDuplicate = new SCounted(20u);
    pDuplicate->nValue = 2;
    EXPECT_FALSE(arr.Insert(pDuplicate));
    EXPECT_EQ(10, arr.GetSize());
    EXPECT_EQ(pFirst, arr.Lookup(20));
    EXPECT_EQ(11, SCounted::nLive);
    delete pDuplicate;

    EXPECT_TRUE(arr.Remove(20));
    EXPECT_EQ(9, SCounted::nLive) << "Remove deletes the element";
    EXPECT_FALSE(arr.Find(20));
    EXPECT_FALSE(arr.Remove(20));
    EXPECT_EQ(nullptr, arr.Lookup(20));
}

struct SSignedKey
{
    int nKey;
    int GetKey() const { return nKey; }
};

TEST(SortedArray, KeysCompareAsUnsigned32Bit)
{
    CSortableArrayPtr<SSignedKey, int> arr;
    arr.Insert(new SSignedKey{-1});
    arr.Insert(new SSignedKey{1});
    arr.Insert(new SSignedKey{INT32_MIN});
    arr.Insert(new SSignedKey{0});
    ASSERT_EQ(4, arr.nCount);
    EXPECT_EQ(0, arr.pData[0]->nKey);
    EXPECT_EQ(1, arr.pData[1]->nKey);
    EXPECT_EQ(INT32_MIN, arr.pData[2]->nKey);
    EXPECT_EQ(-1, arr.pData[3]->nKey);
}

TEST(SortedArray, ManyInsertsInAnyOrderStaySorted)
{
    CSortableArrayPtr<SCounted, uint32_t> arr;
    std::vector<uint32_t> keys;
    uint32_t dw = 12345;
    for (int i = 0; i < 500; i++)
    {
        dw = dw * 1103515245u + 12345u;
        if (arr.Insert(new SCounted(dw)))
            keys.push_back(dw);
    }
    std::sort(keys.begin(), keys.end());
    ASSERT_EQ((int32_t)keys.size(), arr.nCount);
    for (size_t i = 0; i < keys.size(); i++)
        ASSERT_EQ(keys[i], arr.pData[i]->dwKey);
    for (size_t i = 0; i < keys.size(); i += 2)
        ASSERT_TRUE(arr.Remove(keys[i]));
    for (size_t i = 0; i < keys.size(); i++)
        EXPECT_EQ(i % 2 == 1, arr.Find(keys[i]));
}
} // namespace
