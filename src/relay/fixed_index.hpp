// A fixed-size hash index from a 48-bit key to a 15-bit value, for the room table's lookups
// by address and by id. A key is either exact (a room id) or a keyed fingerprint of something
// wider (a peer, a source network), which two things may share: then the caller tells, from
// the value, whether an entry is the one it looks for (find with a `matches`), and erases an
// entry by key and value. Open addressing with linear probing; deletion shifts later entries
// back instead of leaving tombstones, so a probe never grows with the table's history.
// Twice as many cells as entries keeps probes short; the storage is a member array, so
// nothing is allocated, ever.
//
// Peers choose the keys (their ports, the ids they ask for), so the hash is keyed: a fixed
// multiplier would let anyone compute offline which keys share a home cell and build a run of
// thousands of cells. Multiply-shift with a secret odd multiplier is a universal family:
// without the multiplier, two chosen keys share a home cell with probability about 2/CELLS.
#pragma once

#include <array>
#include <cassert>
#include <cstdint>

namespace kiv {

template <int MAX_ENTRIES>
class FixedIndex {
  public:
    static constexpr int CELLS = 2 * MAX_ENTRIES;
    static_assert((CELLS & (CELLS - 1)) == 0, "cell count must be a power of two");
    static constexpr uint64_t KEY_MASK = (uint64_t(1) << 48) - 1;
    static constexpr uint32_t VALUE_MASK = (uint32_t(1) << 15) - 1;
    // The multiplier when no key is given: fixed, for tools that face no adversary.
    static constexpr uint64_t UNKEYED = 0x9E3779B97F4A7C15ull;

    FixedIndex() = default;
    // `hash_key` should come from a source no peer can predict; only its odd part is used.
    explicit FixedIndex(uint64_t hash_key) : multiplier_(hash_key | 1) {}

    // The value stored under `key`, or -1.
    int find(uint64_t key) const {
        assert((key & ~KEY_MASK) == 0);
        for (uint32_t cell = home(key);; cell = (cell + 1) & (CELLS - 1)) {
            uint64_t entry = cells_[cell];
            if (entry == 0) return -1;
            if ((entry & KEY_MASK) == key) return int((entry >> 48) & VALUE_MASK);
        }
    }

    // The value of the first entry under `key` for which matches(value) holds, or -1.
    template <class Matches>
    int find(uint64_t key, Matches matches) const {
        assert((key & ~KEY_MASK) == 0);
        for (uint32_t cell = home(key);; cell = (cell + 1) & (CELLS - 1)) {
            uint64_t entry = cells_[cell];
            if (entry == 0) return -1;
            if ((entry & KEY_MASK) == key && matches(int((entry >> 48) & VALUE_MASK)))
                return int((entry >> 48) & VALUE_MASK);
        }
    }

    // The table's invariants make every exact key unique, so a key is never inserted twice.
    void insert(uint64_t key, uint32_t value) {
        assert(find(key) < 0);
        insert_shared(key, value);
    }
    // A fingerprint that another entry may already have.
    void insert_shared(uint64_t key, uint32_t value) {
        assert((key & ~KEY_MASK) == 0 && value <= VALUE_MASK);
        assert(count_ < MAX_ENTRIES);
        uint32_t cell = home(key);
        while (cells_[cell] != 0)
            cell = (cell + 1) & (CELLS - 1);
        cells_[cell] = OCCUPIED | uint64_t(value) << 48 | key;
        ++count_;
    }

    void erase(uint64_t key) {
        erase_cell(key, [](uint64_t) { return true; });
    }
    // The entry of this fingerprint and this value.
    void erase(uint64_t key, uint32_t value) {
        erase_cell(key, [value](uint64_t entry) { return ((entry >> 48) & VALUE_MASK) == value; });
    }

    int count() const { return count_; }

  private:
    static constexpr uint64_t OCCUPIED = uint64_t(1) << 63;
    static constexpr int CELL_BITS = __builtin_ctz(CELLS);

    template <class Chosen>
    void erase_cell(uint64_t key, Chosen chosen) {
        uint32_t cell = home(key);
        for (;; cell = (cell + 1) & (CELLS - 1)) {
            if (cells_[cell] == 0) {
                assert(false && "erasing a key that is not indexed");
                return;
            }
            if ((cells_[cell] & KEY_MASK) == key && chosen(cells_[cell])) break;
        }
        // Backward shift: pull each later entry of the run into the hole unless its home lies
        // cyclically after the hole, where moving it would put it before its own start.
        uint32_t hole = cell;
        for (uint32_t next = (hole + 1) & (CELLS - 1); cells_[next] != 0;
             next = (next + 1) & (CELLS - 1)) {
            uint32_t next_home = home(cells_[next] & KEY_MASK);
            if (((next - next_home) & (CELLS - 1)) >= ((next - hole) & (CELLS - 1))) {
                cells_[hole] = cells_[next];
                hole = next;
            }
        }
        cells_[hole] = 0;
        --count_;
    }

    // The multiply spreads neighbouring addresses and ports over the top bits, which index
    // the cells.
    uint32_t home(uint64_t key) const { return uint32_t((key * multiplier_) >> (64 - CELL_BITS)); }

    uint64_t multiplier_ = UNKEYED;
    std::array<uint64_t, CELLS> cells_{};
    int count_ = 0;
};

}  // namespace kiv
