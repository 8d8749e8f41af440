// Lists of 8-bit text lines: one byte is one character, no encoding is assumed.
#pragma once

#include "toolkit/Object.h"
#include "toolkit/Persistent.h"

#include <string>
#include <vector>

namespace zv {

// The abstract list: storage is the descendant's; everything else is built on Get, Put, Count,
// Insert, Delete and Clear. Indexes out of range raise EListError.
class TStrings : public TPersistent {
public:
    virtual int Count() const = 0;
    virtual std::string Get(int Index) const = 0;
    // Replaces the line at Index (the default deletes and inserts).
    virtual void Put(int Index, const std::string& S);
    virtual void Insert(int Index, const std::string& S) = 0;
    virtual void Delete(int Index) = 0;
    virtual void Clear() = 0;
    // Appends S (a sorted list puts it in its place) and returns its index.
    virtual int Add(const std::string& S);
    void AddStrings(const TStrings& Strings);

    std::string Strings(int Index) const { return Get(Index); }
    std::string operator[](int Index) const { return Get(Index); }

    // The first index of S, or -1. Comparison ignores ASCII case unless CaseSensitive.
    virtual int IndexOf(const std::string& S) const;
    bool CaseSensitive() const noexcept { return FCaseSensitive; }
    virtual void SetCaseSensitive(bool Value);

    // All lines, each followed by LineBreak() (CR LF unless changed).
    std::string Text() const;
    // Replaces the lines with those of Value: a line ends at CR LF, LF or a single CR; a final
    // line break does not add an empty line.
    void SetText(const std::string& Value);
    const std::string& LineBreak() const noexcept { return FLineBreak; }
    void SetLineBreak(std::string Value) { FLineBreak = std::move(Value); }

    // Brackets a batch of changes: OnChange (TStringList) is raised once, at the end.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const noexcept { return FUpdateCount; }

    // From another TStrings: the same lines (and CaseSensitive); anything else: the assign error.
    void Assign(TPersistent* Source) override;
    bool Equals(const TStrings& Other) const;

protected:
    virtual void SetUpdateState(bool Updating);
    int CompareStrings(const std::string& A, const std::string& B) const;

private:
    int FUpdateCount = 0;
    bool FCaseSensitive = false;
    std::string FLineBreak = "\r\n";
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

// The list of strings kept in memory, optionally sorted.
class TStringList : public TStrings {
public:
    TStringList() = default;

    int Count() const override { return static_cast<int>(FList.size()); }
    std::string Get(int Index) const override;
    void Put(int Index, const std::string& S) override;
    // In a sorted list Insert raises EListError: the position is the list's to choose.
    void Insert(int Index, const std::string& S) override;
    void Delete(int Index) override;
    void Clear() override;
    // Sorted: a duplicate is ignored (returning the index of the line already there), accepted,
    // or refused with EListError, by Duplicates().
    int Add(const std::string& S) override;
    int IndexOf(const std::string& S) const override;

    bool Sorted() const noexcept { return FSorted; }
    void SetSorted(bool Value);
    TDuplicates Duplicates() const noexcept { return FDuplicates; }
    void SetDuplicates(TDuplicates Value) noexcept { FDuplicates = Value; }
    void SetCaseSensitive(bool Value) override;
    // Sorts the lines (stable; CaseSensitive decides the order).
    void Sort();
    // Sorted lists: the index of S, or where it would go, and whether it is there.
    bool Find(const std::string& S, int& Index) const;

    // Raised after every change, or once at the end of a BeginUpdate/EndUpdate bracket.
    TNotifyEvent OnChange;

protected:
    void SetUpdateState(bool Updating) override;
    virtual void Changed();

private:
    void CheckIndex(int Index, int Limit) const;

    std::vector<std::string> FList;
    bool FSorted = false;
    TDuplicates FDuplicates = dupIgnore;
    bool FChangedWhileUpdating = false;
};

} // namespace zv
