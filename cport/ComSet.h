// TSet: a small set of enumeration members stored as bits, bit i for the member of ordinal i.
//
// The port's sets (line events, modem signals, line errors, stored setting groups) have fixed
// widths because their bit patterns are stored and exchanged, so the storage type is explicit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <type_traits>

namespace zv {

template <typename E, typename Storage, unsigned Count> class TSet {
    static_assert(std::is_enum_v<E>, "a set holds members of an enumeration");
    static_assert(std::is_unsigned_v<Storage>, "the storage of a set is an unsigned integer");
    static_assert(Count >= 1 && Count <= sizeof(Storage) * 8, "the members must fit the storage");

public:
    using value_type = E;
    using storage_type = Storage;
    static constexpr unsigned MemberCount = Count;

    constexpr TSet() noexcept = default;
    constexpr TSet(std::initializer_list<E> members) noexcept {
        for (E member : members)
            insert(member);
    }

    // The set whose bit pattern is `bits`; bits above the last member are dropped.
    static constexpr TSet FromBits(Storage bits) noexcept {
        TSet result;
        result.FBits = static_cast<Storage>(bits & AllBits);
        return result;
    }
    // Every member of the enumeration.
    static constexpr TSet All() noexcept { return FromBits(AllBits); }

    constexpr Storage Bits() const noexcept { return FBits; }
    constexpr bool empty() const noexcept { return FBits == 0; }
    constexpr std::size_t size() const noexcept {
        return static_cast<std::size_t>(std::popcount(FBits));
    }

    constexpr bool contains(E member) const noexcept { return (FBits & BitOf(member)) != 0; }
    // A value outside the enumeration is never a member: inserting it changes nothing.
    constexpr TSet& insert(E member) noexcept {
        FBits = static_cast<Storage>(FBits | BitOf(member));
        return *this;
    }
    constexpr TSet& erase(E member) noexcept {
        FBits = static_cast<Storage>(FBits & ~BitOf(member));
        return *this;
    }

    constexpr TSet& operator|=(TSet other) noexcept {
        FBits = static_cast<Storage>(FBits | other.FBits);
        return *this;
    }
    constexpr TSet& operator&=(TSet other) noexcept {
        FBits = static_cast<Storage>(FBits & other.FBits);
        return *this;
    }
    constexpr TSet& operator-=(TSet other) noexcept {
        FBits = static_cast<Storage>(FBits & ~other.FBits);
        return *this;
    }
    friend constexpr TSet operator|(TSet a, TSet b) noexcept { return a |= b; }
    friend constexpr TSet operator&(TSet a, TSet b) noexcept { return a &= b; }
    friend constexpr TSet operator-(TSet a, TSet b) noexcept { return a -= b; }
    friend constexpr bool operator==(TSet a, TSet b) noexcept = default;

    // Walks the members present in ordinal order.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = E;
        using difference_type = std::ptrdiff_t;
        using pointer = const E*;
        using reference = E;

        constexpr const_iterator() noexcept = default;
        constexpr E operator*() const noexcept { return static_cast<E>(FOrdinal); }
        constexpr const_iterator& operator++() noexcept {
            FOrdinal = NextMember(FBits, FOrdinal + 1);
            return *this;
        }
        constexpr const_iterator operator++(int) noexcept {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        friend constexpr bool operator==(const_iterator a, const_iterator b) noexcept {
            return a.FOrdinal == b.FOrdinal;
        }

    private:
        friend class TSet;
        constexpr const_iterator(Storage bits, unsigned ordinal) noexcept
            : FBits(bits), FOrdinal(NextMember(bits, ordinal)) {}
        Storage FBits = 0;
        unsigned FOrdinal = Count;
    };
    using iterator = const_iterator;

    constexpr const_iterator begin() const noexcept { return const_iterator(FBits, 0); }
    constexpr const_iterator end() const noexcept { return const_iterator(FBits, Count); }

private:
    // Computed in 64 bits: small Storage types promote to int, which would mix signedness.
    static constexpr Storage AllBits = static_cast<Storage>(
        Count == sizeof(Storage) * 8 ? ~0ull : (1ull << Count) - 1ull);

    static constexpr Storage BitOf(E member) noexcept {
        // A negative ordinal turns into a huge unsigned one and falls out with the others.
        using Underlying = std::underlying_type_t<E>;
        const auto ordinal =
            static_cast<unsigned>(static_cast<std::make_unsigned_t<Underlying>>(member));
        if (ordinal >= Count)
            return 0;
        return static_cast<Storage>(Storage{1} << ordinal);
    }
    static constexpr unsigned NextMember(Storage bits, unsigned from) noexcept {
        while (from < Count && (bits & (Storage{1} << from)) == 0)
            ++from;
        return from;
    }

    Storage FBits = 0;
};

} // namespace zv
