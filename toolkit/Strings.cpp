#include "toolkit/Strings.h"

#include "toolkit/Exception.h"
#include "toolkit/Text.h"

#include <algorithm>
#include <vector>

namespace zv {

namespace {

[[noreturn]] void indexError(int Index) {
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TStrings

void TStrings::Put(int Index, const std::string& S) {
    BeginUpdate();
    try {
        Delete(Index);
        Insert(Index, S);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TStrings::Add(const std::string& S) {
    const int index = Count();
    Insert(index, S);
    return index;
}

void TStrings::AddStrings(const TStrings& Strings) {
    // Strings may be this very list, which a sorted list reorders as lines go in: add from a copy.
    std::vector<std::string> lines;
    const int count = Strings.Count();
    lines.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        lines.push_back(Strings.Get(i));
    BeginUpdate();
    try {
        for (const std::string& line : lines)
            Add(line);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TStrings::CompareStrings(const std::string& A, const std::string& B) const {
    if (FCaseSensitive)
        return A.compare(B) < 0 ? -1 : (A == B ? 0 : 1);
    return CompareText(A, B);
}

int TStrings::IndexOf(const std::string& S) const {
    const int count = Count();
    for (int i = 0; i < count; ++i)
        if (CompareStrings(Get(i), S) == 0)
            return i;
    return -1;
}

void TStrings::SetCaseSensitive(bool Value) {
    FCaseSensitive = Value;
}

std::string TStrings::Text() const {
    std::string result;
    const int count = Count();
    for (int i = 0; i < count; ++i) {
        result += Get(i);
        result += FLineBreak;
    }
    return result;
}

void TStrings::SetText(const std::string& Value) {
    BeginUpdate();
    try {
        Clear();
        std::size_t start = 0;
        const std::size_t size = Value.size();
        while (start < size) {
            std::size_t end = start;
            while (end < size && Value[end] != '\r' && Value[end] != '\n')
                ++end;
            Add(Value.substr(start, end - start));
            if (end < size && Value[end] == '\r')
                ++end;
            if (end < size && Value[end] == '\n')
                ++end;
            start = end;
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStrings::BeginUpdate() {
    if (FUpdateCount++ == 0)
        SetUpdateState(true);
}

void TStrings::EndUpdate() {
    if (FUpdateCount <= 0)
        return;
    if (--FUpdateCount == 0)
        SetUpdateState(false);
}

void TStrings::SetUpdateState(bool) {}

void TStrings::Assign(TPersistent* Source) {
    auto* source = dynamic_cast<TStrings*>(Source);
    if (source == nullptr) {
        TPersistent::Assign(Source);
        return;
    }
    if (source == this)
        return;
    BeginUpdate();
    try {
        Clear();
        SetCaseSensitive(source->CaseSensitive());
        AddStrings(*source);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

bool TStrings::Equals(const TStrings& Other) const {
    const int count = Count();
    if (count != Other.Count())
        return false;
    for (int i = 0; i < count; ++i)
        if (Get(i) != Other.Get(i))
            return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// TStringList

void TStringList::CheckIndex(int Index, int Limit) const {
    if (Index < 0 || Index > Limit)
        indexError(Index);
}

std::string TStringList::Get(int Index) const {
    CheckIndex(Index, Count() - 1);
    return FList[static_cast<std::size_t>(Index)];
}

void TStringList::Put(int Index, const std::string& S) {
    if (FSorted)
        throw EListError("Operation not allowed on sorted list");
    CheckIndex(Index, Count() - 1);
    FList[static_cast<std::size_t>(Index)] = S;
    Changed();
}

void TStringList::Insert(int Index, const std::string& S) {
    if (FSorted)
        throw EListError("Operation not allowed on sorted list");
    CheckIndex(Index, Count());
    FList.insert(FList.begin() + Index, S);
    Changed();
}

void TStringList::Delete(int Index) {
    CheckIndex(Index, Count() - 1);
    FList.erase(FList.begin() + Index);
    Changed();
}

void TStringList::Clear() {
    if (FList.empty())
        return;
    FList.clear();
    Changed();
}

int TStringList::Add(const std::string& S) {
    if (!FSorted) {
        FList.push_back(S);
        Changed();
        return Count() - 1;
    }
    int index = 0;
    if (Find(S, index)) {
        if (FDuplicates == dupIgnore)
            return index;
        if (FDuplicates == dupError)
            throw EListError("String list does not allow duplicates");
    }
    FList.insert(FList.begin() + index, S);
    Changed();
    return index;
}

int TStringList::IndexOf(const std::string& S) const {
    if (!FSorted)
        return TStrings::IndexOf(S);
    int index = 0;
    return Find(S, index) ? index : -1;
}

// Binary search; among equal lines it finds the first, so IndexOf agrees with the unsorted scan.
bool TStringList::Find(const std::string& S, int& Index) const {
    int low = 0;
    int high = Count();
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (CompareStrings(FList[static_cast<std::size_t>(mid)], S) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    Index = low;
    return low < Count() && CompareStrings(FList[static_cast<std::size_t>(low)], S) == 0;
}

void TStringList::Sort() {
    std::stable_sort(
        FList.begin(), FList.end(),
        [this](const std::string& a, const std::string& b) { return CompareStrings(a, b) < 0; });
    Changed();
}

void TStringList::SetSorted(bool Value) {
    if (Value == FSorted)
        return;
    if (Value)
        Sort();
    FSorted = Value;
}

void TStringList::SetCaseSensitive(bool Value) {
    if (Value == CaseSensitive())
        return;
    TStrings::SetCaseSensitive(Value);
    if (FSorted)
        Sort();
}

void TStringList::SetUpdateState(bool Updating) {
    if (Updating) {
        FChangedWhileUpdating = false;
    } else if (FChangedWhileUpdating) {
        FChangedWhileUpdating = false;
        if (OnChange)
            OnChange(this);
    }
}

void TStringList::Changed() {
    if (UpdateCount() > 0) {
        FChangedWhileUpdating = true;
        return;
    }
    if (OnChange)
        OnChange(this);
}

} // namespace zv
