#pragma once
// Utils.Junk: named buckets that own the objects of a run and release them together.

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "messages/messages.h"

namespace ombrel {

class TJunk;

// One object of any type, owned by whoever holds the handle. Destroying or releasing the handle
// destroys the object; a handle that holds a bucket releases the bucket depth first.
class TJunkObject {
public:
    TJunkObject() = default;
    template <class T>
    explicit TJunkObject(std::unique_ptr<T> object)
        : iObject(object.release()), iDelete([](void* p) { delete static_cast<T*>(p); }) {
        if constexpr (std::is_same_v<T, TJunk>) iBucket = static_cast<TJunk*>(iObject);
    }
    TJunkObject(TJunkObject&& other) noexcept { *this = std::move(other); }
    TJunkObject& operator=(TJunkObject&& other) noexcept;
    TJunkObject(const TJunkObject&) = delete;
    TJunkObject& operator=(const TJunkObject&) = delete;
    ~TJunkObject() { Release(); }

    // The object, or nullptr for an empty handle.
    void* get() const { return iObject; }
    // The object when it is a bucket, else nullptr.
    TJunk* bucket() const { return iBucket; }
    explicit operator bool() const { return iObject != nullptr; }
    // Destroys the object now (a bucket: its own objects first, in order) and empties the handle.
    void Release();

private:
    void* iObject = nullptr;
    void (*iDelete)(void*) = nullptr;
    TJunk* iBucket = nullptr;
};

// A bucket: objects added to it are released together by Clear or when the bucket is destroyed,
// in the order they were added; a sub-bucket met in that walk is released depth first, before
// the objects after it. Named sub-buckets are created on demand by getBucket. A second list,
// the trash, holds objects set aside to be released later.
//
// Whoever adds an object gives up its ownership; raw pointers into a bucket stay valid until the
// bucket releases the object. Not thread-safe: a bucket belongs to the thread of its owner.
class TJunk {
public:
    // Messages is handed on to every sub-bucket; the bucket itself reports nothing.
    TJunk(std::string Name, IMessagesPtr Messages);
    // Releases the trash, then the list.
    ~TJunk();
    TJunk(const TJunk&) = delete;
    TJunk& operator=(const TJunk&) = delete;

    // Appends the object to the list; an empty pointer is not added. Answers the bucket itself.
    template <class T>
    TJunk& Add(std::unique_ptr<T> obj) {
        if (obj) List.emplace_back(std::move(obj));
        return *this;
    }
    TJunk& Add(TJunkObject obj);
    // Adds each object in order, as Add(obj) does.
    template <class T>
    TJunk& Add(std::vector<std::unique_ptr<T>> objects) {
        for (auto& obj : objects) Add(std::move(obj));
        return *this;
    }

    // Releases every object of the list, in order, then empties it.
    void Clear();
    // Moves every object of the list, in order, to the trash. Nothing is released.
    void MoveToTrash();
    // Releases every object of the trash, in order, then empties it.
    void ClearTrash();
    // Empties the list without releasing anything; the caller holds the objects again.
    std::vector<TJunkObject> Extract();
    // Adds every object of the list to junk (with its Add) and appends the trash to junk's
    // trash, in order; both own lists end empty. Nothing is released.
    void MoveTo(TJunk& junk);

    // The sub-bucket of that name (names compare exactly). Created on the first request and
    // appended to the list; later requests answer the same bucket for as long as the list holds
    // it. Once it has been released, set aside or handed away, the name gets a new bucket.
    TJunk& getBucket(const std::string& Name);

    const std::string& Name() const { return iName; }
    // The objects held, in the order they were added.
    const std::vector<TJunkObject>& Objects() const { return List; }
    const std::vector<TJunkObject>& TrashObjects() const { return Trash; }

private:
    static void ReleaseList(std::vector<TJunkObject>& list);

    IMessagesPtr Messages;
    // Sub-buckets created by getBucket that the list still holds.
    std::map<std::string, TJunk*> Buckets;
    std::vector<TJunkObject> List;
    std::string iName;
    std::vector<TJunkObject> Trash;
};

}  // namespace ombrel
