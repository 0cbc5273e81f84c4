#include "engine/junk.h"

namespace ombrel {

TJunkObject& TJunkObject::operator=(TJunkObject&& other) noexcept {
    if (this != &other) {
        Release();
        iObject = std::exchange(other.iObject, nullptr);
        iDelete = std::exchange(other.iDelete, nullptr);
        iBucket = std::exchange(other.iBucket, nullptr);
    }
    return *this;
}

void TJunkObject::Release() {
    void* object = std::exchange(iObject, nullptr);
    TJunk* bucket = std::exchange(iBucket, nullptr);
    auto destroy = std::exchange(iDelete, nullptr);
    if (object == nullptr) return;
    // A bucket's own objects go first, then the bucket (whose destructor empties its trash).
    if (bucket != nullptr) bucket->Clear();
    destroy(object);
}

TJunk::TJunk(std::string Name, IMessagesPtr Messages)
    : Messages(std::move(Messages)), iName(std::move(Name)) {}

TJunk::~TJunk() {
    ClearTrash();
    Clear();
}

TJunk& TJunk::Add(TJunkObject obj) {
    if (obj) List.push_back(std::move(obj));
    return *this;
}

void TJunk::ReleaseList(std::vector<TJunkObject>& list) {
    // Take the list first, so that a destructor that reaches back into this bucket finds it
    // empty instead of half-released.
    std::vector<TJunkObject> items = std::move(list);
    list.clear();
    for (auto& item : items) item.Release();
}

void TJunk::Clear() {
    Buckets.clear();
    ReleaseList(List);
}

void TJunk::MoveToTrash() {
    Buckets.clear();
    for (auto& item : List) Trash.push_back(std::move(item));
    List.clear();
}

void TJunk::ClearTrash() { ReleaseList(Trash); }

std::vector<TJunkObject> TJunk::Extract() {
    Buckets.clear();
    std::vector<TJunkObject> items = std::move(List);
    List.clear();
    return items;
}

void TJunk::MoveTo(TJunk& junk) {
    if (&junk == this) return;
    Buckets.clear();
    for (auto& item : List) junk.Add(std::move(item));
    for (auto& item : Trash) junk.Trash.push_back(std::move(item));
    List.clear();
    Trash.clear();
}

TJunk& TJunk::getBucket(const std::string& Name) {
    if (auto it = Buckets.find(Name); it != Buckets.end()) return *it->second;
    auto bucket = std::make_unique<TJunk>(Name, Messages);
    TJunk* raw = bucket.get();
    List.emplace_back(std::move(bucket));
    Buckets.emplace(Name, raw);
    return *raw;
}

}  // namespace ombrel
