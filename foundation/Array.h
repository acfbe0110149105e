// Array.h: the growable array templates shared by every deliverable.
//
// All arrays have the same header (nCount, nAlloc, nGrowBy, pData) and grow in fixed steps of
// nGrowBy elements, never geometrically; capacity is kept when elements are removed and is given
// back only by SetAllocSize(0), RemoveAll and destruction. Storage is raw memory: elements are
// moved between allocations bytewise, and the virtual ConstructElements / DestructElements decide
// what an element's life means for each kind of array:
//   CArraySimpleObj  plain values (characters), nothing to construct or destroy;
//   CArrayObj        objects, constructed in place and destroyed;
//   CArrayPtr        pointers to objects the array owns: whatever leaves the array is deleted;
//   CSortableArrayPtr  a CArrayPtr kept sorted by its elements' GetKey(), with unique keys.
// Elements are read through pData directly; nothing here locks.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

namespace ArrayDetail
{
// Raw storage for n elements of the given size; throws std::bad_alloc when the size cannot be
// represented, as for any other allocation failure.
inline void* Allocate(int32_t n, size_t nElementSize)
{
    if (n <= 0)
        return nullptr;
    if ((size_t)n > (size_t)-1 / nElementSize)
        throw std::bad_alloc();
    return ::operator new((size_t)n* nElementSize);
}

inline void Free(void* p)
{
    ::operator delete(p);
}

// Capacity for at least n elements: n rounded up to a multiple of nGrowBy.
inline int32_t RoundUp(int32_t n, int32_t nGrowBy)
{
    int64_t nRounded = ((int64_t)(n - 1) / nGrowBy + 1) * nGrowBy;
    if (nRounded > INT32_MAX)
        throw std::bad_alloc();
    return (int32_t)nRounded;
}
} // namespace ArrayDetail

// ---------------------------------------------------------------------------------------------
// Base of the value and object arrays. ARG_T is the argument type of the element operations:
// T itself for plain values, a reference to T for objects.
template <class T, class ARG_T> class CArrayObjBase
{
public:
    explicit CArrayObjBase(int32_t nGrow = 8)
        : nCount(0), nAlloc(0), nGrowBy(nGrow > 0 ? nGrow : 8), pData(nullptr)
    {
    }
    virtual ~CArrayObjBase() { ArrayDetail::Free(pData); }

    virtual void ConstructElements(T* p, int32_t n) = 0;
    virtual void DestructElements(T* p, int32_t n) = 0;
    virtual void AppendArray(const CArrayObjBase& other) = 0;
    virtual void CopyArray(const CArrayObjBase& other) = 0;

    int32_t GetSize() const { return nCount; }

    // Capacity for n elements (rounded up to nGrowBy); n below the count destroys the elements
    // from n on, and 0 gives the storage back. No element is constructed.
    void SetAllocSize(int32_t n)
    {
        if (n > nAlloc)
        {
            int32_t nNewAlloc = ArrayDetail::RoundUp(n, nGrowBy);
            T* pNew = (T*)ArrayDetail::Allocate(nNewAlloc, sizeof(T));
            if (nCount > 0)
                memcpy((void*)pNew, (const void*)pData, (size_t)nCount * sizeof(T));
            ArrayDetail::Free(pData);
            pData = pNew;
            nAlloc = nNewAlloc;
            return;
        }
        if (n < 0)
            n = 0;
        if (n < nCount)
        {
            DestructElements(pData + n, nCount - n);
            nCount = n;
        }
        if (n == 0)
        {
            ArrayDetail::Free(pData);
            pData = nullptr;
            nAlloc = 0;
        }
    }

    // n elements in use: the ones gained are constructed, the ones lost destroyed. SetSize(0)
    // keeps the storage.
    void SetSize(int32_t n)
    {
        if (n < 0)
            n = 0;
        if (n > nAlloc)
            SetAllocSize(n);
        if (n > nCount)
            ConstructElements(pData + nCount, n - nCount);
        else if (n < nCount)
            DestructElements(pData + n, nCount - n);
        nCount = n;
    }

    void Grow() { SetAllocSize(nAlloc + nGrowBy); }

    // Removes n elements at nIndex; n negative or past the end means up to the last element.
    void RemoveAt(int32_t nIndex, int32_t n = 1)
    {
        if (nIndex < 0 || nIndex >= nCount)
            return;
        if (n < 0 || n > nCount - nIndex)
            n = nCount - nIndex;
        if (n == 0)
            return;
        DestructElements(pData + nIndex, n);
        int32_t nTail = nCount - nIndex - n;
        if (nTail > 0)
            memmove((void*)(pData + nIndex), (const void*)(pData + nIndex + n), (size_t)nTail * sizeof(T));
        nCount -= n;
    }

    void RemoveAll() { SetAllocSize(0); }

    int32_t nCount;  // elements in use
    int32_t nAlloc;  // capacity in elements; 0 when no storage is held
    int32_t nGrowBy; // allocation step in elements, never 0
    T* pData;        // the storage; null when nAlloc is 0

protected:
    // Opens a gap of one element at nIndex (the caller fills it) and counts it. A full array
    // grows by one step and copies the two runs around the gap.
    void OpenGap(int32_t nIndex)
    {
        if (nIndex < 0)
            nIndex = 0;
        if (nIndex > nCount)
            nIndex = nCount;
        if (nCount < nAlloc)
        {
            memmove((void*)(pData + nIndex + 1), (const void*)(pData + nIndex),
                    (size_t)(nCount - nIndex) * sizeof(T));
        }
        else
        {
            int32_t nNewAlloc = ArrayDetail::RoundUp(nAlloc + 1, nGrowBy);
            T* pNew = (T*)ArrayDetail::Allocate(nNewAlloc, sizeof(T));
            if (nIndex > 0)
                memcpy((void*)pNew, (const void*)pData, (size_t)nIndex * sizeof(T));
            if (nCount > nIndex)
                memcpy((void*)(pNew + nIndex + 1), (const void*)(pData + nIndex),
                       (size_t)(nCount - nIndex) * sizeof(T));
            ArrayDetail::Free(pData);
            pData = pNew;
            nAlloc = nNewAlloc;
        }
        nCount++;
    }

    // Position of p inside the elements in use, or -1: an argument that lives in this array must
    // be found again after the storage moved.
    int32_t IndexOf(const T* p) const
    {
        if (nCount == 0 || p < pData || p >= pData + nCount)
            return -1;
        return (int32_t)(p - pData);
    }

private:
    CArrayObjBase(const CArrayObjBase&) = delete;
    CArrayObjBase& operator=(const CArrayObjBase&) = delete;
};

// ---------------------------------------------------------------------------------------------
// Array of plain values, moved with memory copies.
template <class T, class ARG_T> class CArraySimpleObj : public CArrayObjBase<T, ARG_T>
{
    typedef CArrayObjBase<T, ARG_T> Base;

public:
    explicit CArraySimpleObj(int32_t nGrow = 8) : Base(nGrow) {}
    ~CArraySimpleObj() override { this->RemoveAll(); }

    void ConstructElements(T*, int32_t) override {}
    void DestructElements(T*, int32_t) override {}
    void AppendArray(const Base& other) override { AppendData(other.pData, other.nCount); }
    void CopyArray(const Base& other) override { CopyData(other.pData, other.nCount); }

    // Appends n values (nothing for n = 0).
    virtual void AppendData(const T* p, int32_t n)
    {
        if (n <= 0)
            return;
        int32_t nSource = this->IndexOf(p);
        this->SetAllocSize(this->nCount + n);
        if (nSource >= 0)
            p = this->pData + nSource;
        memmove((void*)(this->pData + this->nCount), (const void*)p, (size_t)n * sizeof(T));
        this->nCount += n;
    }

    // Replaces the contents with n values.
    virtual void CopyData(const T* p, int32_t n)
    {
        int32_t nSource = this->IndexOf(p);
        this->SetSize(n);
        if (n > 0)
        {
            if (nSource >= 0)
                p = this->pData + nSource;
            memmove((void*)this->pData, (const void*)p, (size_t)n * sizeof(T));
        }
    }

    int32_t Add(ARG_T value)
    {
        if (this->nCount == this->nAlloc)
            this->Grow();
        this->ConstructElements(this->pData + this->nCount, 1);
        this->pData[this->nCount] = value;
        return this->nCount++;
    }

    void InsertAt(int32_t nIndex, ARG_T value)
    {
        if (nIndex < 0)
            nIndex = 0;
        if (nIndex > this->nCount)
            nIndex = this->nCount;
        this->OpenGap(nIndex);
        this->ConstructElements(this->pData + nIndex, 1);
        this->pData[nIndex] = value;
    }
};

// ---------------------------------------------------------------------------------------------
// Array of objects: elements are constructed in place in their default state, assigned, and
// destroyed when they leave.
template <class T, class ARG_T> class CArrayObj : public CArrayObjBase<T, ARG_T>
{
    typedef CArrayObjBase<T, ARG_T> Base;

public:
    explicit CArrayObj(int32_t nGrow = 8) : Base(nGrow) {}
    ~CArrayObj() override { this->RemoveAll(); }

    void ConstructElements(T* p, int32_t n) override
    {
        for (int32_t i = 0; i < n; i++)
            ::new ((void*)(p + i)) T;
    }
    void DestructElements(T* p, int32_t n) override
    {
        for (int32_t i = 0; i < n; i++)
            p[i].~T();
    }

    // Appends copies of the other array's elements (the other may be this array).
    void AppendArray(const Base& other) override
    {
        int32_t nOther = other.nCount;
        if (nOther == 0)
            return;
        this->SetAllocSize(this->nCount + nOther);
        for (int32_t i = 0; i < nOther; i++)
            Add(other.pData[i]);
    }

    // Becomes an element-wise copy of the other array.
    void CopyArray(const Base& other) override
    {
        if (&other == this)
            return;
        this->SetSize(other.nCount);
        for (int32_t i = 0; i < other.nCount; i++)
            this->pData[i] = other.pData[i];
    }

    // Appends a copy of the element (which may itself be an element of this array).
    int32_t Add(const T& element)
    {
        const T* pSource = &element;
        if (this->nCount == this->nAlloc)
        {
            int32_t nSource = this->IndexOf(pSource);
            this->Grow();
            if (nSource >= 0)
                pSource = this->pData + nSource;
        }
        this->ConstructElements(this->pData + this->nCount, 1);
        this->nCount++;
        this->pData[this->nCount - 1] = *pSource;
        return this->nCount - 1;
    }

    T& operator[](int32_t i) { return this->pData[i]; }
    const T& operator[](int32_t i) const { return this->pData[i]; }
};

// ---------------------------------------------------------------------------------------------
// Base of the pointer arrays: the same header over an array of T pointers.
template <class T> class CArrayPtrBase
{
public:
    explicit CArrayPtrBase(int32_t nGrow = 8)
        : nCount(0), nAlloc(0), nGrowBy(nGrow > 0 ? nGrow : 8), pData(nullptr)
    {
    }
    virtual ~CArrayPtrBase() { ArrayDetail::Free(pData); }

    virtual void DestructElements(T** p, int32_t n) = 0;

    int32_t GetSize() const { return nCount; }

    void SetAllocSize(int32_t n)
    {
        if (n > nAlloc)
        {
            int32_t nNewAlloc = ArrayDetail::RoundUp(n, nGrowBy);
            T** pNew = (T**)ArrayDetail::Allocate(nNewAlloc, sizeof(T*));
            if (nCount > 0)
                memcpy(pNew, pData, (size_t)nCount * sizeof(T*));
            ArrayDetail::Free(pData);
            pData = pNew;
            nAlloc = nNewAlloc;
            return;
        }
        if (n < 0)
            n = 0;
        if (n < nCount)
        {
            // Count first: the elements leave the array before they are deleted.
            int32_t nOld = nCount;
            nCount = n;
            DestructElements(pData + n, nOld - n);
        }
        if (n == 0)
        {
            ArrayDetail::Free(pData);
            pData = nullptr;
            nAlloc = 0;
        }
    }

    // n elements in use: the ones gained are null, the ones lost are deleted.
    void SetSize(int32_t n)
    {
        if (n < 0)
            n = 0;
        if (n > nAlloc)
            SetAllocSize(n);
        if (n > nCount)
        {
            memset(pData + nCount, 0, (size_t)(n - nCount) * sizeof(T*));
            nCount = n;
        }
        else if (n < nCount)
        {
            int32_t nOld = nCount;
            nCount = n;
            DestructElements(pData + n, nOld - n);
        }
    }

    void Grow() { SetAllocSize(nAlloc + nGrowBy); }

    // Stores the pointer at the end and returns its index.
    int32_t Add(T* p)
    {
        if (nCount == nAlloc)
            Grow();
        pData[nCount] = p;
        return nCount++;
    }

    void InsertAt(int32_t nIndex, T* p)
    {
        if (nIndex < 0)
            nIndex = 0;
        if (nIndex > nCount)
            nIndex = nCount;
        if (nCount < nAlloc)
        {
            memmove(pData + nIndex + 1, pData + nIndex, (size_t)(nCount - nIndex) * sizeof(T*));
        }
        else
        {
            int32_t nNewAlloc = ArrayDetail::RoundUp(nAlloc + 1, nGrowBy);
            T** pNew = (T**)ArrayDetail::Allocate(nNewAlloc, sizeof(T*));
            if (nIndex > 0)
                memcpy(pNew, pData, (size_t)nIndex * sizeof(T*));
            if (nCount > nIndex)
                memcpy(pNew + nIndex + 1, pData + nIndex, (size_t)(nCount - nIndex) * sizeof(T*));
            ArrayDetail::Free(pData);
            pData = pNew;
            nAlloc = nNewAlloc;
        }
        pData[nIndex] = p;
        nCount++;
    }

    // Removes n elements at nIndex (n negative or past the end: up to the last one); the removed
    // objects are deleted.
    void RemoveAt(int32_t nIndex, int32_t n = 1)
    {
        if (nIndex < 0 || nIndex >= nCount)
            return;
        if (n < 0 || n > nCount - nIndex)
            n = nCount - nIndex;
        if (n == 0)
            return;
        // Take the removed pointers out first, so that a destructor that looks at the array
        // never finds them there.
        T* aLocal[16];
        T** pRemoved = n <= 16 ? aLocal : new T*[n];
        memcpy(pRemoved, pData + nIndex, (size_t)n * sizeof(T*));
        memmove(pData + nIndex, pData + nIndex + n, (size_t)(nCount - nIndex - n) * sizeof(T*));
        nCount -= n;
        DestructElements(pRemoved, n);
        if (pRemoved != aLocal)
            delete[] pRemoved;
    }

    void RemoveAll() { SetAllocSize(0); }

    T* operator[](int32_t i) const { return pData[i]; }

    int32_t nCount;
    int32_t nAlloc;
    int32_t nGrowBy;
    T** pData;

private:
    CArrayPtrBase(const CArrayPtrBase&) = delete;
    CArrayPtrBase& operator=(const CArrayPtrBase&) = delete;
};

// ---------------------------------------------------------------------------------------------
// Array of pointers that owns the objects: whatever leaves it through RemoveAt, SetAllocSize,
// SetSize or destruction is deleted.
template <class T> class CArrayPtr : public CArrayPtrBase<T>
{
public:
    explicit CArrayPtr(int32_t nGrow = 8) : CArrayPtrBase<T>(nGrow) {}
    ~CArrayPtr() override { this->RemoveAll(); }

    void DestructElements(T** p, int32_t n) override
    {
        for (int32_t i = 0; i < n; i++)
            delete p[i];
    }
};

// ---------------------------------------------------------------------------------------------
// Keys of the sorted arrays compare as unsigned 32-bit values (window handles and session ids on
// the 32-bit target); wider keys on a 64-bit build compare on all their bits.
namespace ArrayDetail
{
template <class KEY>
inline typename std::enable_if<std::is_pointer<KEY>::value, uintptr_t>::type KeyOrder(KEY key)
{
    return (uintptr_t)key;
}

template <class KEY>
inline typename std::enable_if<!std::is_pointer<KEY>::value,
                               typename std::conditional<sizeof(KEY) <= 4, uint32_t, uint64_t>::type>::type
KeyOrder(KEY key)
{
    typedef typename std::conditional<sizeof(KEY) <= 4, uint32_t, uint64_t>::type U;
    return (U)key;
}
} // namespace ArrayDetail

// An owning pointer array kept sorted ascending by T::GetKey(), with unique keys.
template <class T, class KEY, class BASE> class CSortableArrayPtrBase : public BASE
{
public:
    explicit CSortableArrayPtrBase(int32_t nGrow = 8) : BASE(nGrow) {}

    // Lower-bound search: *pIndex receives the position of the first element whose key is not
    // below the key (or nCount). True when that element's key equals the key.
    bool Find(KEY key, int32_t* pIndex = nullptr) const
    {
        auto nKey = ArrayDetail::KeyOrder<KEY>(key);
        int32_t nLow = 0;
        int32_t nHigh = this->nCount;
        while (nLow < nHigh)
        {
            int32_t nMid = nLow + (nHigh - nLow) / 2;
            if (ArrayDetail::KeyOrder<KEY>(this->pData[nMid]->GetKey()) < nKey)
                nLow = nMid + 1;
            else
                nHigh = nMid;
        }
        if (pIndex)
            *pIndex = nLow;
        return nLow < this->nCount && ArrayDetail::KeyOrder<KEY>(this->pData[nLow]->GetKey()) == nKey;
    }

    // Inserts the element at its sorted place and takes ownership. False, with nothing changed,
    // when an element with the same key is present: the caller keeps the refused object.
    bool Insert(T* p)
    {
        int32_t nIndex;
        if (Find(p->GetKey(), &nIndex))
            return false;
        this->InsertAt(nIndex, p);
        return true;
    }

    // Removes and deletes the element with the key; false when there is none.
    bool Remove(KEY key)
    {
        int32_t nIndex;
        if (!Find(key, &nIndex))
            return false;
        this->RemoveAt(nIndex, 1);
        return true;
    }

    // The element with the key, or null.
    T* Lookup(KEY key) const
    {
        int32_t nIndex;
        return Find(key, &nIndex) ? this->pData[nIndex] : nullptr;
    }
};

template <class T, class KEY> class CSortableArrayPtr : public CSortableArrayPtrBase<T, KEY, CArrayPtr<T>>
{
public:
    explicit CSortableArrayPtr(int32_t nGrow = 8) : CSortableArrayPtrBase<T, KEY, CArrayPtr<T>>(nGrow) {}
};
