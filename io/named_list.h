#pragma once
// An ordered list whose items are found by name, ASCII letters compared without regard to case,
// in constant time. Keeps the order of insertion and allows several items of one name (a list
// loaded from a file may hold them): a lookup finds the first of them, as a scan from the
// front would.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "io/text.h"

namespace ombrel {

// NameOf(const T&) answers the name an item is found by. Removal marks the item and the list
// closes its gaps the next time Items() is asked, so that removing many items one by one costs
// no more than one pass. Used on one thread at a time; Items() may reorganise the list, so a
// reference it answered is good only until the next change.
template <class T, class NameOf>
class TNamedList {
public:
    // The items in order.
    const std::vector<T>& Items() const {
        Compact();
        return iItems;
    }
    size_t size() const { return iItems.size() - iGoneCount; }
    bool empty() const { return size() == 0; }

    void Clear() {
        iItems.clear();
        iNextSame.clear();
        iGone.clear();
        iGoneCount = 0;
        iFirst.clear();
    }

    // Replaces the contents, keeping every item, duplicates included.
    void Assign(std::vector<T> items) {
        Clear();
        iItems = std::move(items);
        // A list read line by line may hold much more room than items.
        iItems.shrink_to_fit();
        Reindex();
    }

    // The first item of that name, or null.
    T* Find(const std::string& name) {
        auto it = iFirst.find(LowerAscii(name));
        return it == iFirst.end() ? nullptr : &iItems[it->second];
    }
    bool Contains(const std::string& name) const { return iFirst.count(LowerAscii(name)) != 0; }

    // Appends the item, also when one of its name is there.
    void Append(T item) {
        const size_t index = iItems.size();
        std::string key = LowerAscii(NameOf{}(item));
        iItems.push_back(std::move(item));
        iNextSame.push_back(kNone);
        iGone.push_back(false);
        auto [it, added] = iFirst.try_emplace(std::move(key), index);
        if (!added) {
            size_t last = it->second;
            while (iNextSame[last] != kNone) last = iNextSame[last];
            iNextSame[last] = index;
        }
    }

    // Appends the item unless one of its name is there; answers whether it was appended.
    bool AppendUnique(T item) {
        if (Contains(NameOf{}(item))) return false;
        Append(std::move(item));
        return true;
    }

    // Removes the first item of that name; answers whether there was one.
    bool Remove(const std::string& name) {
        auto it = iFirst.find(LowerAscii(name));
        if (it == iFirst.end()) return false;
        const size_t index = it->second;
        if (iNextSame[index] == kNone) {
            iFirst.erase(it);
        } else {
            it->second = iNextSame[index];
        }
        iGone[index] = true;
        ++iGoneCount;
        return true;
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    void Reindex() const {
        const size_t n = iItems.size();
        iNextSame.assign(n, kNone);
        iGone.assign(n, false);
        iGoneCount = 0;
        iFirst.clear();
        iFirst.reserve(n);
        // The last index of each name so far, to chain its duplicates in order.
        std::unordered_map<size_t, size_t> lastOf;
        for (size_t i = 0; i < n; ++i) {
            auto [it, added] = iFirst.try_emplace(LowerAscii(NameOf{}(iItems[i])), i);
            if (added) continue;
            auto [last, first] = lastOf.try_emplace(it->second, it->second);
            iNextSame[last->second] = i;
            last->second = i;
        }
    }

    void Compact() const {
        if (iGoneCount == 0) return;
        std::vector<T> kept;
        kept.reserve(iItems.size() - iGoneCount);
        for (size_t i = 0; i < iItems.size(); ++i) {
            if (!iGone[i]) kept.push_back(std::move(iItems[i]));
        }
        iItems = std::move(kept);
        Reindex();
    }

    // Compact() runs from the const Items(): the gaps are an inner detail.
    mutable std::vector<T> iItems;
    mutable std::vector<size_t> iNextSame;  // next item of the same name, or kNone
    mutable std::vector<bool> iGone;
    mutable size_t iGoneCount = 0;
    mutable std::unordered_map<std::string, size_t> iFirst;  // lower-case name -> first item
};

}  // namespace ombrel
