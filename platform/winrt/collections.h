// Windows.Foundation.Collections as the system uses it: read-only vectors
// (Size, GetAt), iterables, and a vector the caller fills to pass as an
// iterable.
#pragma once

#include "platform/winrt/base.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace winrt::Windows::Foundation::Collections {

namespace abi {

template <typename T> struct IIterator : ref_counted {
    virtual HRESULT get_Current(T* current) = 0;
    virtual HRESULT get_HasCurrent(bool* hasCurrent) = 0;
    virtual HRESULT MoveNext(bool* hasCurrent) = 0;
};

template <typename T> struct IIterable : ref_counted {
    virtual HRESULT First(com_ptr<IIterator<T>>* first) = 0;
};

template <typename T> struct IVectorView : IIterable<T> {
    virtual HRESULT get_Size(std::uint32_t* size) = 0;
    virtual HRESULT GetAt(std::uint32_t index, T* item) = 0;
};

} // namespace abi

template <typename T> class IIterator {
public:
    IIterator(std::nullptr_t = nullptr) {}
    explicit IIterator(com_ptr<abi::IIterator<T>> object) : mAbi(std::move(object)) {}

    T Current() const {
        T item{nullptr};
        check_hresult(Abi()->get_Current(&item));
        return item;
    }
    bool HasCurrent() const {
        bool has = false;
        check_hresult(Abi()->get_HasCurrent(&has));
        return has;
    }
    bool MoveNext() const {
        bool has = false;
        check_hresult(Abi()->MoveNext(&has));
        return has;
    }

private:
    abi::IIterator<T>* Abi() const {
        if (!mAbi) {
            throw_null_object();
        }
        return mAbi.get();
    }

    com_ptr<abi::IIterator<T>> mAbi;
};

template <typename T> class IIterable {
public:
    IIterable(std::nullptr_t = nullptr) {}
    explicit IIterable(com_ptr<abi::IIterable<T>> object) : mAbi(std::move(object)) {}

    IIterator<T> First() const {
        if (!mAbi) {
            throw_null_object();
        }
        com_ptr<abi::IIterator<T>> first;
        check_hresult(mAbi->First(&first));
        return IIterator<T>(std::move(first));
    }
    const com_ptr<abi::IIterable<T>>& abi() const { return mAbi; }
    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    com_ptr<abi::IIterable<T>> mAbi;
};

template <typename T> class IVectorView {
public:
    IVectorView(std::nullptr_t = nullptr) {}
    explicit IVectorView(com_ptr<abi::IVectorView<T>> object) : mAbi(std::move(object)) {}

    std::uint32_t Size() const {
        std::uint32_t size = 0;
        check_hresult(Abi()->get_Size(&size));
        return size;
    }
    // E_BOUNDS past the end.
    T GetAt(std::uint32_t index) const {
        T item{nullptr};
        check_hresult(Abi()->GetAt(index, &item));
        return item;
    }
    IIterator<T> First() const { return IIterable<T>(com_ptr<abi::IIterable<T>>(mAbi)).First(); }
    operator IIterable<T>() const { return IIterable<T>(com_ptr<abi::IIterable<T>>(mAbi)); }
    explicit operator bool() const { return static_cast<bool>(mAbi); }

private:
    abi::IVectorView<T>* Abi() const {
        if (!mAbi) {
            throw_null_object();
        }
        return mAbi.get();
    }

    com_ptr<abi::IVectorView<T>> mAbi;
};

namespace impl {

// A fixed sequence of items behind the vector-view interface. Iterators keep the
// vector alive.
template <typename T> class vector_view final : public abi::IVectorView<T> {
public:
    explicit vector_view(std::vector<T> items) : mItems(std::move(items)) {}

    HRESULT get_Size(std::uint32_t* size) override {
        *size = static_cast<std::uint32_t>(mItems.size());
        return S_OK;
    }
    HRESULT GetAt(std::uint32_t index, T* item) override {
        if (index >= mItems.size()) {
            return E_BOUNDS;
        }
        *item = mItems[index];
        return S_OK;
    }
    HRESULT First(com_ptr<abi::IIterator<T>>* first) override {
        com_ptr<vector_view> self;
        self.copy_from(this);
        *first = make_self<iterator>(std::move(self));
        return S_OK;
    }

private:
    class iterator final : public abi::IIterator<T> {
    public:
        explicit iterator(com_ptr<vector_view> owner) : mOwner(std::move(owner)) {}
        HRESULT get_Current(T* current) override {
            std::lock_guard guard(mLock);
            if (mPosition >= mOwner->mItems.size()) {
                return E_BOUNDS;
            }
            *current = mOwner->mItems[mPosition];
            return S_OK;
        }
        HRESULT get_HasCurrent(bool* hasCurrent) override {
            std::lock_guard guard(mLock);
            *hasCurrent = mPosition < mOwner->mItems.size();
            return S_OK;
        }
        HRESULT MoveNext(bool* hasCurrent) override {
            std::lock_guard guard(mLock);
            if (mPosition < mOwner->mItems.size()) {
                ++mPosition;
            }
            *hasCurrent = mPosition < mOwner->mItems.size();
            return S_OK;
        }

    private:
        std::mutex mLock;
        com_ptr<vector_view> mOwner;
        std::size_t mPosition = 0;
    };

    const std::vector<T> mItems;
};

} // namespace impl

// The caller's items as a read-only vector, to pass where an iterable is asked for.
template <typename T> IVectorView<T> single_threaded_vector_view(std::vector<T> items) {
    return IVectorView<T>(make_self<impl::vector_view<T>>(std::move(items)));
}

} // namespace winrt::Windows::Foundation::Collections
